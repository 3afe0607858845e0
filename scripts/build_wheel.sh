#!/usr/bin/env bash
# build_wheel.sh PYTHON
# Prints the path of a molvenar wheel for PYTHON built from this checkout,
# building it only when no wheel of the current sources exists yet under
# build/wheels/. The build runs in a build environment of its own per
# interpreter (build/build-env-TAG, holding the build-system requirements of
# pyproject.toml, so NumPy 2's headers whatever NumPy the target environment
# runs) and in a CMake folder that persists (build/cmake-TAG): with both
# paths stable, a rebuild compiles only what changed.
set -euo pipefail
python="$1"
cd "$(dirname "$0")/.."

tag="$("$python" -c 'import sys, sysconfig; print("cp%d%d-%s" % (sys.version_info[:2] + (sysconfig.get_platform(),)))')"
fingerprint="$(scripts/module_fingerprint.sh)"
folder="build/wheels/$tag-$fingerprint"
wheel="$(ls "$folder"/molvenar-*.whl 2> /dev/null | head -n 1 || true)"
if [ -n "$wheel" ]; then
    echo "$wheel"
    exit 0
fi

build_env="build/build-env-$tag"
if [ ! -x "$build_env/bin/python" ]; then
    echo "==> $build_env: creating the build environment" >&2
    "$python" -m venv "$build_env"
    "$build_env/bin/python" -m pip install --quiet --upgrade pip >&2
fi
install_missing() {
    local missing
    mapfile -t missing < <("$build_env/bin/python" scripts/missing_requirements.py "$@")
    if [ ${#missing[@]} -gt 0 ]; then
        echo "==> $build_env: pip install ${missing[*]}" >&2
        "$build_env/bin/python" -m pip install --quiet "${missing[@]}" >&2
    fi
}
# The build-system requirements, then what the build backend asks for on top
# (cmake or ninja from PyPI when the machine has none that will do).
mapfile -t requires < <("$build_env/bin/python" -c \
    'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
install_missing "${requires[@]}"
mapfile -t requires < <("$build_env/bin/python" -c \
    'from scikit_build_core.build import get_requires_for_build_wheel as r; print("\n".join(r()))')
[ ${#requires[@]} -eq 0 ] || install_missing "${requires[@]}"

echo "==> building molvenar for $tag (sources $fingerprint; about a minute from scratch)" >&2
start=$SECONDS
rm -rf build/wheels/"$tag"-*   # wheels of older sources
"$build_env/bin/python" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir "$folder" \
    --config-settings=build-dir="build/cmake-$tag" . >&2
wheel="$(ls "$folder"/molvenar-*.whl | head -n 1)"
echo "    built in $((SECONDS - start))s: $wheel" >&2
echo "$wheel"
