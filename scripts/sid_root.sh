#!/usr/bin/env bash
# sid_root.sh ROOT
# Makes ROOT a Debian sid x86_64 root holding CPython 3.14 and 3.15, each as
# release and debug interpreter with headers and venv, unless a complete root
# for the same package list is there already (then it is reused as it is);
# ccache serves the wheel builds made inside. No other build of these
# interpreters can be had on this machine.
# Needs root and Debian's mirror (DEBIAN_MIRROR, default
# http://deb.debian.org/debian).
set -euo pipefail
root="${1:?usage: sid_root.sh ROOT}"
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
packages=(python3.14-dev python3.14-venv python3.14-dbg
          python3.15-dev python3.15-venv python3.15-dbg ca-certificates ccache)
marker="$root/.molvenar-root-complete"
marker_text="sid amd64 ${packages[*]}"

if [ -f "$marker" ] && [ "$(cat "$marker")" = "$marker_text" ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "error: making the sid root needs root; run it as root" >&2
    exit 1
fi
if ! command -v mmdebstrap > /dev/null; then
    echo "==> apt-get install mmdebstrap"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq mmdebstrap > /dev/null
fi
# A run killed half-way may have left a mount in the old root.
awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/self/mounts \
    | sort -r | while read -r point; do umount "$point"; done
rm -rf "$root"
mkdir -p "$(dirname "$root")"
echo "==> making the Debian sid root in $root (a few minutes, once)"
start=$SECONDS
# sid's release files are published with a validity window that its mirrors'
# copies often outlive.
mmdebstrap --quiet --variant=apt --arch=amd64 \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="$(IFS=,; echo "${packages[*]}")" sid "$root" "$mirror"
echo "$marker_text" > "$marker"
echo "    made in $((SECONDS - start))s"
