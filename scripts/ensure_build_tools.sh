#!/usr/bin/env bash
# ensure_build_tools.sh TARGET
# Makes sure that a C++20 compiler and CMake 3.20 or newer are there before
# `make TARGET` builds the module. As root the missing Debian packages are
# installed; otherwise one line names them and the target stops.
set -euo pipefail
cd "$(dirname "$0")/.."
target="${1:-build}"

cmake_usable() {
    local version
    version="$(cmake --version 2> /dev/null | head -n 1)" || return 1
    version="${version##* }"
    [ "$(printf '%s\n3.20\n' "$version" | sort -V | head -n 1)" = 3.20 ]
}

needed=()
scripts/find_cxx.sh > /dev/null || needed+=(g++)
cmake_usable || needed+=(cmake)
[ ${#needed[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "error: make $target needs a C++20 compiler and CMake 3.20+; as root run: apt-get install ${needed[*]}" >&2
    exit 1
fi
echo "==> make $target needs a C++20 compiler and CMake 3.20+"
exec scripts/ensure_debian_packages.sh "${needed[@]}"
