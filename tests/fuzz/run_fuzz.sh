#!/usr/bin/env bash
# A bounded fuzzing run over the whole in-process plotting path.
# usage: run_fuzz.sh FUZZER WORKDIR SECONDS SEED_DIR...
set -euo pipefail
fuzzer=$1 work=$2 seconds=$3
shift 3
mkdir -p "$work/corpus" "$work/artifacts"
for seeds in "$@"; do
    [ -e "$seeds" ] || { echo "missing seed corpus: $seeds"; exit 1; }
    if [ -d "$seeds" ]; then
        find "$seeds" -maxdepth 1 -type f ! -name '*.md' ! -name '*.tsv' -exec cp {} "$work/corpus/" \;
    else
        cp "$seeds" "$work/corpus/"
    fi
done
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if ! "$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" 2>"$work/fuzz.log"; then
    tail -n 60 "$work/fuzz.log"
    echo "The fuzzer found a failing input in $work/artifacts: keep it in tests/fuzz/regressions."
    exit 1
fi
grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|cov: ' "$work/fuzz.log" | tail -n 4
