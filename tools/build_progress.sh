#!/bin/sh
# Runs a build command with its output kept in a log file. On a terminal the
# build's progress ("[ 42%] Building ...") is shown on one line, overwritten
# as it goes and cleared at the end; when the build fails, the log less its
# progress lines goes to standard error.
# Usage: tools/build_progress.sh LOG COMMAND [ARGUMENT...]
log=$1
shift
status_file=$(mktemp)
trap 'rm -f "$status_file"' EXIT
if [ -t 2 ]; then
    columns=$(tput cols 2>/dev/null || echo 80)
    { "$@" 2>&1; echo $? >"$status_file"; } | tee "$log" |
        awk -v width=$((columns - 1)) '
            /^\[ *[0-9]+%\]/ { printf "\r\033[K%s", substr($0, 1, width) > "/dev/stderr"; fflush("/dev/stderr") }
            END { printf "\r\033[K" > "/dev/stderr" }'
else
    { "$@" 2>&1; echo $? >"$status_file"; } >"$log"
fi
status=$(cat "$status_file")
if [ "$status" != 0 ]; then
    grep -Ev '^\[ *[0-9]+%\]|: (Entering|Leaving) directory' "$log" >&2
    exit 1
fi
