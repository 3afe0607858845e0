#!/usr/bin/env bash
# A bare `make` lists the targets, one line each, and runs nothing: no
# environment made, nothing built, installed or written.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo="$PWD"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Alone in an empty folder, the Makefile cannot run any of the scripts the
# targets call: a bare make that tried would fail or leave files behind.
cp Makefile "$work/"
(cd "$work" && make --no-print-directory > out.txt 2> err.txt) || fail "bare make exited non-zero: $(cat "$work/err.txt")"
[ ! -s "$work/err.txt" ] || fail "bare make wrote to standard error: $(cat "$work/err.txt")"
[ "$(ls -A "$work" | sort | tr '\n' ' ')" = "Makefile err.txt out.txt " ] || fail "bare make left files: $(ls -A "$work")"

# Its one command is the print, whatever make's dry run shows.
dry="$(cd "$work" && make --no-print-directory -n)"
[ "$(printf '%s\n' "$dry" | head -n 1 | cut -c1-6)" = printf ] || fail "bare make would run: $dry"

# One line per target, each naming a target the Makefile defines.
for target in demo test quick bench kernel-bench bench-universe clean; do
    [ "$(grep -c "^make $target " "$work/out.txt")" = 1 ] || fail "no single line for make $target"
done
while read -r _ target _; do
    grep -q "^$target:" Makefile || fail "make $target is listed but not a target"
done < "$work/out.txt"

# In the checkout too, nothing changes.
before="$(git -C "$repo" status --porcelain --ignored | sort)"
make --no-print-directory > /dev/null
[ "$(git -C "$repo" status --porcelain --ignored | sort)" = "$before" ] || fail "bare make changed the checkout"
echo "bare make: $(wc -l < "$work/out.txt") targets listed, nothing run"
