#!/bin/sh
# Runs the test runner (ctest) with its output kept in a log file. On a
# terminal the test just finished ("12/80 Test #12: ... Passed") is shown on
# one line, overwritten as it goes and cleared at the end; then the
# runner's own summary is shown. When a test fails, the log less the lines
# of tests started and passed (so: what the failures said) goes to
# standard error first. The exit status is the runner's.
# Usage: tools/test_progress.sh LOG COMMAND [ARGUMENT...]
log=$1
shift
status_file=$(mktemp)
trap 'rm -f "$status_file"' EXIT
if [ -t 2 ]; then
    columns=$(tput cols 2>/dev/null || echo 80)
    { "$@" 2>&1; echo $? >"$status_file"; } | tee "$log" |
        awk -v width=$((columns - 1)) '
            /^ *[0-9]+\/[0-9]+ Test +#/ {
                sub(/^ +/, ""); gsub(/ \.+ */, " ")
                printf "\r\033[K%s", substr($0, 1, width) > "/dev/stderr"; fflush("/dev/stderr")
            }
            END { printf "\r\033[K" > "/dev/stderr" }'
else
    { "$@" 2>&1; echo $? >"$status_file"; } >"$log"
fi
status=$(cat "$status_file")
summary='^[0-9]+% tests passed'
if [ "$status" != 0 ]; then
    # What came before the summary, less the tests that went well.
    awk -v summary="$summary" '$0 ~ summary { exit } { print }' "$log" |
        grep -Ev '^ *Start +[0-9]+:|Test +#[0-9]+: .* +Passed +[0-9.]+ sec$' >&2
    echo "The whole log: $log" >&2
fi
# The runner's summary: no summary at all (the runner did not run) shows
# the log's end.
if grep -Eq "$summary" "$log"; then
    awk -v summary="$summary" '$0 ~ summary { on = 1 } on { print }' "$log"
else
    tail -n 20 "$log" >&2
fi
exit "$status"
