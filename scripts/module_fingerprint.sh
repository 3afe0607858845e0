#!/usr/bin/env bash
# Prints a short fingerprint of everything the built module depends on: the
# content of the build files and of the module's sources (tracked or not, as
# they are in the working tree). Equal fingerprints mean an equal wheel, so
# setup_env.sh skips the build.
set -euo pipefail
cd "$(dirname "$0")/.."

inputs=(CMakeLists.txt cmake kernels module numpy_bridge errors pyproject.toml molvenar-stubs LICENSE)
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    files="$(git ls-files --cached --others --exclude-standard -- "${inputs[@]}")"
else
    files="$(find "${inputs[@]}" -type f)"
fi
# Deleted-but-tracked files are skipped; the listing itself is hashed too, so
# a removed or renamed file changes the fingerprint.
printf '%s\n' "$files" | LC_ALL=C sort | while read -r file; do
    [ -f "$file" ] && printf '%s  %s\n' "$(sha256sum < "$file" | cut -c1-64)" "$file"
done | sha256sum | cut -c1-16
