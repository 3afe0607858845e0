#!/usr/bin/env bash
# run_stages.sh STAGE...
# Runs each named make target in turn, says when it starts and how long it
# took, and ends with a summary. Every stage runs even after a failure, so one
# run shows everything that is broken; the exit status is 1 if any failed.
set -u
cd "$(dirname "$0")/.."

results=()
status=0
total_start=$SECONDS
for stage in "$@"; do
    echo
    echo "===== stage $stage: started $(date -u +%H:%M:%S)"
    start=$SECONDS
    if make --no-print-directory "$stage"; then outcome=passed; else outcome=FAILED; status=1; fi
    took=$((SECONDS - start))
    echo "===== stage $stage: $outcome in ${took}s"
    results+=("$(printf '%-22s %-7s %5ds' "$stage" "$outcome" "$took")")
done

echo
echo "===== summary"
printf '%s\n' "${results[@]}"
echo "total: $((SECONDS - total_start))s"
exit $status
