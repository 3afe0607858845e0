#!/usr/bin/env bash
# run_sanitized.sh VENV PYTHON [PYTEST ARGUMENT...]
# Builds molvenar with AddressSanitizer and every UndefinedBehaviorSanitizer
# check into VENV (gcc, since the interpreter is preloaded with gcc's ASan
# runtime) and runs the Python tests under that runtime. Any sanitizer report
# fails the run.
set -euo pipefail
venv="$1" python="$2"
shift 2
cd "$(dirname "$0")/.."

# The venv and its test tools as for any stage; then the instrumented build
# replaces the module, from a build folder of its own so that no ordinary
# build ever picks up its objects.
scripts/setup_env.sh "$venv" "$python" 'numpy>=2'
CC=gcc CXX=g++ "$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall \
    --config-settings=build-dir=build/sanitizers \
    --config-settings=cmake.define.MOLVENAR_SANITIZE=ON .

libasan="$(g++ -print-file-name=libasan.so)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# handle_abort=0: tests that expect an internal fault to abort the process
# must still see SIGABRT. detect_leaks=0: CPython keeps interned objects, type
# caches and NumPy's state until exit and frees none of it, which leak
# detection would report by the thousand; the leak tests measure this
# module's leaks instead (reference counts, allocated blocks, malloc'd bytes).
# ASan reports also go to files, so that one in an interpreter a test starts
# is seen even when the test swallows its output; UBSan (gcc's runtime) only
# writes to standard error, so a report there ends the process with the
# distinctive status 86, which no test expects. Python objects come from
# malloc so that ASan watches them.
export ASAN_OPTIONS="detect_leaks=0:handle_abort=0:exitcode=86:log_path=$work/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86"
export PYTHONMALLOC=malloc

status=0
# --capture=sys: what the runtimes write to file descriptor 2 reaches the log
# even when the process dies in the middle of a test.
LD_PRELOAD="$libasan" "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "$@" \
    2>&1 | tee "$work/log" || status=1
if grep -qE 'runtime error:|ERROR: AddressSanitizer' "$work/log" || compgen -G "$work/asan*" > /dev/null; then
    echo "sanitizer reports:" >&2
    cat "$work"/asan* 2>/dev/null >&2 || true
    status=1
fi
exit $status
