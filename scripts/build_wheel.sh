#!/usr/bin/env bash
# build_wheel.sh PYTHON
# Prints the path of a molvenar wheel for PYTHON built from this checkout,
# building it only when no wheel of the current sources exists yet under
# build/wheels/. The CMake build folder persists under build/, so a rebuild
# recompiles only what changed. Build isolation brings NumPy 2's headers
# whatever NumPy the target environment runs.
set -euo pipefail
python="$1"
cd "$(dirname "$0")/.."

tag="$("$python" -c 'import sys, sysconfig; print("cp%d%d-%s" % (sys.version_info[:2] + (sysconfig.get_platform(),)))')"
fingerprint="$(scripts/module_fingerprint.sh)"
folder="build/wheels/$tag-$fingerprint"
wheel="$(ls "$folder"/molvenar-*.whl 2> /dev/null | head -n 1 || true)"
if [ -z "$wheel" ]; then
    echo "==> building molvenar for $tag (sources $fingerprint; about a minute from scratch)" >&2
    start=$SECONDS
    rm -rf build/wheels/"$tag"-*   # wheels of older sources
    "$python" -m pip wheel --quiet --no-deps --wheel-dir "$folder" \
        --config-settings=build-dir="build/cmake-$tag" . >&2
    wheel="$(ls "$folder"/molvenar-*.whl | head -n 1)"
    echo "    built in $((SECONDS - start))s: $wheel" >&2
fi
echo "$wheel"
