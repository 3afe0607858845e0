#!/usr/bin/env bash
# in_sid_root.sh ROOT COMMAND WRITABLE...
# Runs the shell COMMAND inside the Debian sid root ROOT (see sid_root.sh),
# in this checkout, with a clean environment. The checkout appears inside the
# root at its own path, read-only; only the WRITABLE folders (of the checkout
# or not) are writable there, also at their own paths, so tools, caches and
# venvs made outside the root serve inside it unchanged and the other way
# round.
# Read-only on purpose: an `rm -rf build` while a mount is left behind then
# fails on the checkout instead of emptying it. Needs root (chroot, mount).
set -euo pipefail
root="$(realpath "${1:?usage: in_sid_root.sh ROOT COMMAND WRITABLE...}")" command="$2"
shift 2
cd "$(dirname "$0")/.."
project="$PWD"

# pip inside the root verifies PyPI's certificate with the host's bundle: the
# certificates the host trusts are the ones that work from this machine.
host_ca=""
for candidate in "${PIP_CERT:-}" "${SSL_CERT_FILE:-}" /etc/ssl/certs/ca-certificates.crt; do
    if [ -n "$candidate" ] && [ -f "$candidate" ]; then host_ca="$candidate"; break; fi
done
[ -z "$host_ca" ] || cp "$host_ca" "$root/etc/molvenar-host-ca.pem"

mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" || true; done
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mount_here() {  # mount arguments... target
    mount "$@"
    mounted+=("${!#}")
}

mkdir -p "$root$project" "$root/proc"
mount_here -t proc proc "$root/proc"
mount_here --bind "$project" "$root$project"
mount -o remount,bind,ro "$root$project"
for folder in "$@"; do
    folder="$(realpath "$folder")"
    mkdir -p "$root$folder"   # outside the checkout; inside it, the folder is there
    mount_here --bind "$folder" "$root$folder"
done

chroot "$root" /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 PYTHONDONTWRITEBYTECODE=1 \
    ${host_ca:+PIP_CERT=/etc/molvenar-host-ca.pem} \
    bash -euo pipefail -c "cd '$project' && $command"
