#!/usr/bin/env bash
# Makes GoogleTest available for the kernel tests (Debian's libgtest-dev).
set -euo pipefail
if [ -f /usr/include/gtest/gtest.h ] && ls /usr/lib/*/libgtest.a > /dev/null 2>&1; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "error: the kernel tests need GoogleTest: run 'apt-get install libgtest-dev' as root" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq libgtest-dev cmake g++ > /dev/null
