#!/usr/bin/env bash
# ensure_debian_packages.sh PACKAGE...
# Installs, with apt-get, those of the named Debian packages that are missing.
# A package counts as present when dpkg has it installed or when a command of
# the same name is on PATH (a cmake or clang installed some other way serves
# as well). Installing needs root; without it the missing packages are named.
set -euo pipefail

missing=()
for package in "$@"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        continue
    fi
    if command -v "$package" > /dev/null 2>&1; then
        continue
    fi
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing Debian packages: ${missing[*]}; run 'apt-get install ${missing[*]}' as root" >&2
    exit 1
fi
echo "==> apt-get install ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" > /dev/null
