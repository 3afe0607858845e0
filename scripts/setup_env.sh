#!/usr/bin/env bash
# setup_env.sh [--without-module] VENV PYTHON [REQUIREMENT...]
# Makes VENV a virtual environment of PYTHON that holds the test tools, the
# given requirements (NumPy's first, by convention) and molvenar built from
# this checkout, doing only what is not done yet:
#   - the venv is made again when it was made from another interpreter;
#   - only the requirements that are not satisfied yet are installed;
#   - molvenar is built and installed only when its sources changed.
# --without-module leaves molvenar out (for a stage that builds it otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."

# PyPI packages that every test environment gets; stages add their own as
# arguments.
# hypothesis before 6.156: later releases carry a compiled extension that
# defines an exception class under the same qualified name as this module's
# PanicException, which the fault-path tests look up by name.
test_tools=('pytest>=8' 'hypothesis>=6.100,<6.156')

with_module=yes
if [ "${1:-}" = --without-module ]; then with_module=no; shift; fi
venv="$1" python="$2"
shift 2
requirements=("$@" "${test_tools[@]}")
[ -n "$python" ] || { echo "error: $venv: no interpreter given" >&2; exit 1; }

interpreter="$(realpath "$(command -v "$python")")"
interpreter_mark="$venv/.molvenar-interpreter"
if [ -x "$venv/bin/python" ] && [ "$(cat "$interpreter_mark" 2> /dev/null)" != "$interpreter" ]; then
    echo "==> $venv: made from another interpreter; making it again with $interpreter"
    rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
    echo "==> $venv: creating a virtual environment with $("$interpreter" -V) ($interpreter)"
    "$interpreter" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    echo "$interpreter" > "$interpreter_mark"
fi

mapfile -t missing < <("$venv/bin/python" scripts/missing_requirements.py "${requirements[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    echo "==> $venv: pip install ${missing[*]}"
    "$venv/bin/python" -m pip install --quiet "${missing[@]}"
fi

versions() { "$venv/bin/python" -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)'; }
if [ "$with_module" = no ]; then
    echo "==> $venv: ready ($(versions))"
    exit 0
fi
build_mark="$venv/.molvenar-build"
wheel="$(scripts/build_wheel.sh "$venv/bin/python")"
if [ "$(cat "$build_mark" 2> /dev/null)" = "$wheel" ] && "$venv/bin/python" -c 'import molvenar' 2> /dev/null; then
    echo "==> $venv: up to date ($(versions), molvenar from $wheel)"
    exit 0
fi
echo "==> $venv: installing $wheel"
"$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall "$wheel"
echo "$wheel" > "$build_mark"
