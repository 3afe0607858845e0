#!/usr/bin/env bash
# i386_stage.sh HOST_PYTHON
# The 32-bit x86 stage of `make test`. In a Debian trixie i386 root (made on
# first use, then reused) it builds the module from this checkout with
# Debian's own Python packages, runs the Python tests and the C++ kernel
# tests; then it compares the i386 module's output bits with those of the
# x86_64 module that HOST_PYTHON imports, over a few thousand calls.
# Needs root (chroot, mount) and, to make the root, Debian's mirror
# (DEBIAN_MIRROR, default http://deb.debian.org/debian).
set -uo pipefail
cd "$(dirname "$0")/.."
project="$PWD"

host_python="${1:?usage: i386_stage.sh HOST_PYTHON}"
root="$project/.i386-root"
suite=trixie
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
packages=(python3-dev python3-numpy python3-pytest python3-hypothesis python3-pip
          python3-scikit-build-core g++ cmake make libgtest-dev)
# Written last when the root is made; a root without it (or made for another
# package list) is made again.
marker="$root/.molvenar-root-complete"
marker_text="$suite i386 ${packages[*]}"
# Inside the root: the copy of the checkout, the installed module, and the
# inputs and results of the cross-build comparison.
source_dir=/molvenar
site_dir=/molvenar-site
cross_dir=/molvenar-cross

if [ "$(id -u)" -ne 0 ]; then
    echo "error: the i386 stage needs root (it makes and enters a chroot); run it as root" >&2
    exit 1
fi

STAGE=i386
source scripts/stage_steps.sh

# Mount points at or below the root, deepest first.
mounts_below_root() {
    awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}

# A run killed without its trap leaves /proc mounted in the root: unmount it
# before anything is mounted again or deleted.
unmount_leftovers() {
    local point
    for point in $(mounts_below_root); do
        umount "$point" || { echo "error: cannot unmount $point" >&2; return 1; }
    done
}

install_bootstrapper() {
    command -v mmdebstrap > /dev/null && return 0
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq mmdebstrap > /dev/null || apt-get install -y -qq debootstrap > /dev/null
}

make_root() {
    if [ -f "$marker" ] && [ "$(cat "$marker")" = "$marker_text" ]; then
        echo "reusing the i386 root in $root"
        return 0
    fi
    install_bootstrapper || return 1
    unmount_leftovers || return 1
    rm -rf "$root"
    local include
    include="$(IFS=,; echo "${packages[*]}")"
    if command -v mmdebstrap > /dev/null; then
        mmdebstrap --variant=apt --arch=i386 --include="$include" "$suite" "$root" "$mirror" || return 1
    else
        debootstrap --arch=i386 --variant=minbase --include="$include" "$suite" "$root" "$mirror" || return 1
    fi
    echo "$marker_text" > "$marker"
}

# The files of the checkout, tracked or new, without ignored ones (build
# trees, venvs, this root).
copy_sources() {
    rm -rf "$root$source_dir" "$root$site_dir" "$root$cross_dir"
    mkdir -p "$root$source_dir" "$root$cross_dir"
    git ls-files -z --cached --others --exclude-standard \
        | while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done \
        | tar --null -T - -cf - | tar -xf - -C "$root$source_dir"
}

# Runs a shell command inside the root as a 32-bit machine (uname says i686),
# with a clean environment, in the copy of the checkout.
inside() {
    setarch i686 chroot "$root" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 PYTHONPATH="$site_dir" PYTHONDONTWRITEBYTECODE=1 \
        bash -euo pipefail -c "cd $source_dir && $1"
}

proc_mounted=0
unmount_proc() {
    if [ "$proc_mounted" = 1 ]; then
        umount "$root/proc" && proc_mounted=0
    fi
}
on_exit() {
    local status=$?
    unmount_proc || status=1
    exit $status
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if ! step "i386 root (made on first use)" make_root; then
    summary
    exit 1
fi
step "copy the checkout into the root" copy_sources || { summary; exit 1; }
step "cross-build inputs (host)" \
    "$host_python" tests/cross_build/compare_builds.py generate "$root$cross_dir/cases.npz"

unmount_leftovers || exit 1
mount -t proc proc "$root/proc" || exit 1
proc_mounted=1

inside 'python3 -c "import sys, numpy, platform; print(platform.machine(), \"CPython\", sys.version.split()[0], \"NumPy\", numpy.__version__)"; g++ --version | head -n 1'
step "build the module (i386)" inside \
    "python3 -m pip install --quiet --no-build-isolation --no-deps --no-index \
        --root-user-action=ignore --target $site_dir ."
step "Python tests (i386)" inside "python3 -m pytest -q -p no:cacheprovider tests/python"
step "kernel tests (i386)" inside "make --no-print-directory kernel-tests"
# A fresh interpreter with the default floating-point settings: nothing the
# test suite does to its own process can hide an x87 build here.
step "cross-build outputs (i386)" inside \
    "python3 tests/cross_build/compare_builds.py run $cross_dir/cases.npz $cross_dir/i386.npz"
unmount_proc

step "cross-build outputs (x86_64)" "$host_python" tests/cross_build/compare_builds.py run \
    "$root$cross_dir/cases.npz" "$root$cross_dir/x86_64.npz"
step "cross-build comparison" "$host_python" tests/cross_build/compare_builds.py compare \
    "$root$cross_dir/cases.npz" "$root$cross_dir/i386.npz" "$root$cross_dir/x86_64.npz"

summary
exit $failed
