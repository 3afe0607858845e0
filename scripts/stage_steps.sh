# Sourced by the stage scripts that run several steps (i386_stage.sh,
# wheels_stage.sh), after setting STAGE to the stage's name.
#   step NAME COMMAND...  runs the command, records its outcome and time, and
#                         goes on after a failure, so one run shows everything
#                         that is broken; returns the command's success
#   summary               prints every step's outcome and time
# $failed is 1 once a step has failed.
steps=()
failed=0
stage_start=$SECONDS

step() {
    local name="$1" start=$SECONDS outcome=passed
    shift
    echo
    echo "--- $STAGE: $name"
    "$@" || { outcome=FAILED; failed=1; }
    steps+=("$(printf '  %-42s %-7s %4ds' "$name" "$outcome" $((SECONDS - start)))")
    echo "--- $STAGE: $name: $outcome in $((SECONDS - start))s"
    [ "$outcome" = passed ]
}

summary() {
    echo
    echo "--- $STAGE stage summary"
    printf '%s\n' "${steps[@]}"
    echo "  total: $((SECONDS - stage_start))s"
}
