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

# The compiler is named here: the build backend would otherwise take the one
# the interpreter was built with, which may not be installed (see find_cxx.sh).
wanted_cxx="${CXX:-}"
if ! CXX="$(scripts/find_cxx.sh)"; then
    echo "error: no C++20 compiler found (tried ${wanted_cxx:-g++, clang++ and c++}); install one, for example 'apt-get install g++', or set CXX" >&2
    exit 1
fi
export CXX
echo "==> building molvenar for $tag with $CXX (sources $fingerprint; about a minute from scratch)" >&2
start=$SECONDS
rm -rf build/wheels/"$tag"-*   # wheels of older sources
mkdir -p build/wheels
log="build/wheels/build-$tag.log"
# The full output goes to the log; the backend's steps and each compiled
# source are shown as they happen.
progress() {
    sed -E -n -u \
        -e 's#^[[:space:]]*\[([0-9]+/[0-9]+| *[0-9]+%)\] Building CXX object ([^ ]*/)?CMakeFiles/[^/ ]*\.dir/(.*)\.o$#    [\1] compiling \2\3#p' \
        -e 's#^[[:space:]]*\[([0-9]+/[0-9]+| *[0-9]+%)\] Linking CXX [a-z ]*(library|module) ([^ ]*/)?([^ /]+)$#    [\1] linking \4#p' \
        -e 's#^[[:space:]]*\*\*\* (.*)$#    \1#p'
}
if ! "$build_env/bin/python" -m pip wheel -v --no-deps --no-build-isolation --wheel-dir "$folder" \
        --config-settings=build-dir="build/cmake-$tag" . 2>&1 | tee "$log" | progress >&2; then
    echo "error: building molvenar failed; the end of $log:" >&2
    tail -n 30 "$log" >&2
    exit 1
fi
wheel="$(ls "$folder"/molvenar-*.whl | head -n 1)"
echo "    built in $((SECONDS - start))s: $wheel" >&2
echo "$wheel"
