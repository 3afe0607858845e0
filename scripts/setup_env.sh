#!/usr/bin/env bash
# setup_env.sh VENV PYTHON NUMPY_REQUIREMENT
# Creates (or reuses) a virtual environment, installs the requested NumPy and
# the test tools, then builds and installs molvenar from this checkout.
set -euo pipefail
venv="$1" python="$2" numpy_requirement="$3"
cd "$(dirname "$0")/.."

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
# hypothesis before 6.156: later releases carry a compiled extension that
# defines an exception class under the same qualified name as this module's
# PanicException, which the fault-path tests look up by name.
"$venv/bin/python" -m pip install --quiet "$numpy_requirement" 'pytest>=8' 'hypothesis>=6.100,<6.156'
# Build isolation brings NumPy 2's headers whatever NumPy the venv runs.
"$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps \
    --config-settings=build-dir="build/wheel-$(basename "$venv")" .
