#!/usr/bin/env bash
# build_wheels.sh
# `make wheels`: writes to dist/ the molvenar wheels for CPython 3.12, 3.13,
# 3.14 and 3.15 on x86_64 Linux, each with its manylinux tag, and the sdist.
# 3.12 and 3.13 are the host's (PYTHON312, PYTHON313 or found as by
# find_python.sh); 3.14 and 3.15 are Debian sid's, in the root build/sid-root
# (made on first use). All four are compiled by zig (wheel_toolchain.sh);
# every wheel is checked by check_wheel.sh before it lands in dist/. Wheels of
# the current sources are kept under build/wheels-work and not built again.
# The compiler caches and the tools' venv outlive the checkout, in
# MOLVENAR_WHEEL_CACHE (default ~/.cache/molvenar-wheels), so that a fresh
# clone compiles only what changed.
# Needs root (the sid root) and, on first use, PyPI and Debian's mirror.
set -euo pipefail
cd "$(dirname "$0")/.."

work=build/wheels-work
root=build/sid-root
cache="${MOLVENAR_WHEEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/molvenar-wheels}"
mkdir -p "$cache"
start=$SECONDS

scripts/ensure_debian_packages.sh ccache binutils
tools="$cache/tools"
scripts/wheel_toolchain.sh "$work" "$tools" "$(scripts/find_python.sh)"
platform="$(cat "$work/zig/platform-tag")"

# Unchecked wheels, one folder per state of the sources.
fingerprint="$(scripts/module_fingerprint.sh)"
raw="$work/raw-$fingerprint"
for folder in "$work"/raw-*; do
    [ "$folder" = "$raw" ] || rm -rf "$folder"
done
missing() { ! compgen -G "$raw/molvenar-*-cp${1/./}-*.whl" > /dev/null; }

for version in 3.12 3.13; do
    if missing "$version"; then
        variable="PYTHON${version/./}"
        python="$(PYTHON="${!variable:-}" scripts/find_python.sh "$version")"
        scripts/build_manylinux_wheel.sh "$python" "$work" "$cache" "$raw"
    fi
done
for version in 3.14 3.15; do
    if missing "$version"; then
        scripts/sid_root.sh "$root"
        scripts/in_sid_root.sh "$root" "scripts/build_manylinux_wheel.sh python$version $work '$cache' $raw" \
            "$work" "$cache"
    fi
done

mkdir -p dist
rm -f dist/molvenar-*.whl dist/molvenar-*.tar.gz
status=0
for wheel in "$raw"/molvenar-*.whl; do
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$platform" \
        --wheel-dir dist "$wheel" > "$work/repair.log" 2>&1 || { cat "$work/repair.log" >&2; exit 1; }
done
for wheel in dist/molvenar-*.whl; do
    echo
    echo "=== $wheel"
    scripts/check_wheel.sh "$tools" "$wheel" || status=1
done
# The sdist holds what git tracks (build/, venvs and roots are ignored).
"$tools/bin/python" -m build --sdist --no-isolation --skip-dependency-check --outdir dist . \
    > "$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
echo
echo "dist/ ($((SECONDS - start))s):"
ls -l dist | sed -n 's/^.* \([0-9]* \)\(.* \)\?\(molvenar-.*\)$/  \3/p'
exit $status
