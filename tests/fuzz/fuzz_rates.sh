#!/usr/bin/env bash
# Each model fuzzed alone for SECONDS on the seed corpus, and its rate:
# executions per CPU-second (user and system time of the fuzzer, the oracle
# included), the figure that says how deep a campaign of a given length goes.
# usage: fuzz_rates.sh FUZZER WORKDIR SECONDS SEED...
set -euo pipefail
fuzzer=$1 work=$2 seconds=$3
shift 3
here=$(dirname "$0")
mkdir -p "$work"
for model in ${PLOTANIX_FUZZ_MODELS:-hp86b 7470a hpgl2 pcl escp}; do
    rm -rf "$work/$model"
    start=$(date +%s.%N)
    times=$( { PLOTANIX_FUZZ_MODEL=$model /usr/bin/time -f '%U %S' \
        "$here/run_fuzz.sh" "$fuzzer" "$work/$model" "$seconds" "$@" >"$work/$model.out"; } 2>&1 ) ||
        { cat "$work/$model.out"; exit 1; }
    runs=$(sed -n "s/^stat::executions_$model: //p" "$work/$model/fuzz.log")
    cpu=$(awk '{ print $1 + $2 }' <<<"${times##*$'\n'}")
    awk -v m="$model" -v r="$runs" -v c="$cpu" -v s="$start" -v e="$(date +%s.%N)" 'BEGIN {
        printf "rate::%s: %d executions in %.1f CPU-s (%.1f s): %.0f per CPU-second\n",
            m, r, c, e - s, r / c }'
done
