#!/usr/bin/env bash
# Makes GoogleTest and a C++ toolchain available for the kernel tests.
exec "$(dirname "$0")/ensure_debian_packages.sh" libgtest-dev g++ cmake
