#!/usr/bin/env bash
# build_manylinux_wheel.sh PYTHON WORK CACHE OUT
# Builds the molvenar wheel of PYTHON with the zig toolchain of WORK (made by
# wheel_toolchain.sh) into the folder OUT, still tagged linux_x86_64:
# build_wheels.sh checks it and gives it its manylinux tag. Runs on the host
# or inside the sid root alike; it writes under WORK and CACHE:
#   WORK/build-env-TAG   the build requirements, for PYTHON
#   WORK/cmake-TAG       the CMake tree, kept so a rebuild compiles what changed
#   CACHE/ccache         compiled objects: the kernels, which include no Python
#                        header, are compiled once for all four interpreters
#   CACHE/zig            zig's own: its C++ runtime and glibc stubs, compiled
#                        once (a few minutes)
set -euo pipefail
python="$1" work="$(realpath "$2")" cache="$(realpath "$3")" out="$4"
cd "$(dirname "$0")/.."

tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
build_env="$work/build-env-$tag"
if [ ! -x "$build_env/bin/python" ]; then
    echo "==> $build_env: creating the build environment with $("$python" -V)"
    "$python" -m venv "$build_env"
fi
# Two rounds: the backend says what it needs once it is installed itself.
for round in backend additions; do
    mapfile -t requirements < <("$build_env/bin/python" scripts/build_requirements.py)
    mapfile -t missing < <("$build_env/bin/python" scripts/missing_requirements.py "${requirements[@]}")
    if [ ${#missing[@]} -gt 0 ]; then
        echo "==> $build_env: pip install ${missing[*]}"
        "$build_env/bin/python" -m pip install --quiet "${missing[@]}"
    fi
done

# Debian's interpreters keep the real pyconfig.h in a multiarch folder that
# their pyconfig.h names as <x86_64-linux-gnu/python3.X/pyconfig.h>, relative
# to /usr/include; zig searches no folder of the build machine. That one
# folder is made visible, without the C library's headers beside it.
extra_flags=()
include="$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
for target in $(sed -n 's/^# *include *<\(.*\)\/pyconfig\.h>.*/\1/p' "$include/pyconfig.h"); do
    if [ -d "$(dirname "$include")/$target" ]; then
        mkdir -p "$work/include-$tag/$(dirname "$target")"
        ln -sfn "$(dirname "$include")/$target" "$work/include-$tag/$target"
        extra_flags=(--config-settings=cmake.define.CMAKE_CXX_FLAGS="-idirafter $work/include-$tag")
    fi
done

launcher=()
if command -v ccache > /dev/null; then
    # Paths relative to the checkout and the compiler known by its identity:
    # the same object for the same source and flags in every build tree and
    # every clone. The macro prefix map names the checkout's folder, but
    # always maps it to the same relative paths, so it is left out of the hash.
    export CCACHE_DIR="$cache/ccache" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 \
           CCACHE_IGNOREOPTIONS='-fmacro-prefix-map=*' \
           CCACHE_COMPILERTYPE=clang CCACHE_COMPILERCHECK="string:$(cat "$work/zig/identity")"
    launcher=(--config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
export ZIG_GLOBAL_CACHE_DIR="$cache/zig" ZIG_LOCAL_CACHE_DIR="$cache/zig"

echo "==> building the $tag wheel with $(cat "$work/zig/identity")"
start=$SECONDS
mkdir -p "$out"
# The wheel's module carries no debug information (the line tables of a
# source build serve the maintainers' addr2line, not users).
"$build_env/bin/python" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir "$out" \
    --config-settings=build-dir="$work/cmake-$tag" \
    --config-settings=cmake.define.CMAKE_CXX_COMPILER="$work/zig/c++" \
    --config-settings=cmake.define.CMAKE_AR="$work/zig/ar" \
    --config-settings=cmake.define.CMAKE_RANLIB="$work/zig/ranlib" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-debug \
    "${launcher[@]}" "${extra_flags[@]}" .
echo "    built in $((SECONDS - start))s"
