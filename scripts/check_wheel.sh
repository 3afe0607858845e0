#!/usr/bin/env bash
# check_wheel.sh TOOLS WHEEL
# Checks the module inside a built wheel, with the auditwheel of the venv
# TOOLS, and prints what auditwheel finds:
#   - its manylinux tag is the one the wheel's name carries;
#   - it exports PyInit_molvenar and nothing else (the static C++ runtime
#     included), and needs no library beyond the C library's own: no
#     libpython, no NumPy, no C++ runtime;
#   - no fused multiply-add anywhere, and the AVX2 and AVX-512 paths are in;
#   - no debug information.
set -euo pipefail
tools="$1" wheel="$2"

failed=0
fail() { echo "FAILED: $(basename "$wheel"): $*" >&2; failed=1; }

shown="$(PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" show "$wheel" 2> /dev/null)"
echo "$shown"
tag="$(tr -s ' \n' ' ' <<< "$shown" | grep -oE 'platform tag: "[a-z0-9_]+"' | head -n 1 | cut -d'"' -f2)"
case "$(basename "$wheel")" in
    *"$tag"*) ;;
    *) fail "auditwheel finds the tag '$tag', which the name does not carry" ;;
esac

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
"$tools/bin/python" -m zipfile -e "$wheel" "$unpacked"
modules=("$unpacked"/molvenar.*.so)
[ ${#modules[@]} -eq 1 ] && [ -f "${modules[0]}" ] || { fail "not exactly one module in the wheel"; exit 1; }
module="${modules[0]}"

exported="$(nm -D --defined-only "$module" | awk '{print $NF}')"
[ "$exported" = PyInit_molvenar ] || fail "exports $(echo $exported) instead of PyInit_molvenar alone"
needed="$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')"
for library in $needed; do
    case "$library" in
        libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | ld-linux-x86-64.so.2) ;;
        *) fail "needs $library" ;;
    esac
done
code="$(objdump -d --no-show-raw-insn "$module")"
! grep -qE 'vf(n)?m(add|sub)[0-9]' <<< "$code" || fail "contains fused multiply-add instructions"
grep -q '%ymm' <<< "$code" || fail "has no AVX2 code"
grep -q '%zmm' <<< "$code" || fail "has no AVX-512 code"
# Each kernel's AVX2 and AVX-512 lanes clear the upper halves of the wide
# registers before scalar code runs (lane_engine.hpp), at least once each.
[ "$(grep -c vzeroupper <<< "$code")" -ge 6 ] || fail "clears the wide registers' upper halves in fewer than 6 places"
! readelf -S "$module" | grep -q '\.debug_' || fail "carries debug information"
[ $failed = 0 ] && echo "checked $(basename "$module"): exports PyInit_molvenar alone; needs $(echo $needed); no FMA; AVX2 and AVX-512 paths, which clear the wide registers; no debug information"
exit $failed
