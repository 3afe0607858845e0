#!/usr/bin/env bash
# Prints the path of a CPython interpreter that molvenar supports.
#   find_python.sh          any CPython 3.12 or newer
#   find_python.sh 3.13     exactly that minor version
# $PYTHON, when set, is used as it is (after checking that it runs).
set -u
wanted="${1:-}"

runs_as() {  # interpreter, wanted minor ("" for any >= 3.12)
    local version
    version="$("$1" -c 'import sys, platform; print(platform.python_implementation(), "%d.%d" % sys.version_info[:2])' 2>/dev/null)" || return 1
    case "$version" in CPython\ *) ;; *) return 1 ;; esac
    version="${version#CPython }"
    if [ -n "$2" ]; then
        [ "$version" = "$2" ]
    else
        local minor="${version#3.}"
        [ "${version%%.*}" = 3 ] && [ "$minor" -ge 12 ] 2>/dev/null
    fi
}

if [ -n "${PYTHON:-}" ]; then
    if runs_as "$PYTHON" "$wanted"; then echo "$PYTHON"; exit 0; fi
    echo "error: PYTHON=$PYTHON does not run as CPython ${wanted:-3.12 or newer}" >&2
    exit 1
fi

if [ -n "$wanted" ]; then minors="$wanted"; else minors="3.13 3.12 3.14 3.15"; fi
pyenv_root="$( (pyenv root) 2>/dev/null || echo "$HOME/.pyenv")"
for minor in $minors; do
    for candidate in "$(command -v "python$minor" 2>/dev/null)" "$pyenv_root"/versions/"$minor"*/bin/python"$minor"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] && runs_as "$candidate" "$minor"; then
            echo "$candidate"
            exit 0
        fi
    done
done

echo "error: molvenar needs CPython ${wanted:-3.12 or newer}; none found on PATH (python${wanted:-3.12}) or under $pyenv_root/versions." >&2
echo "       Install one (for example 'pyenv install ${wanted:-3.12}') or set PYTHON=/path/to/python." >&2
exit 1
