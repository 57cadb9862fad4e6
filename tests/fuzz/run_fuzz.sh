#!/usr/bin/env bash
# A bounded fuzzing run over the whole in-process plotting path, every model.
# usage: run_fuzz.sh FUZZER WORKDIR SECONDS SEED...
# Each seed (a file, or the files of a folder) starts the corpus five times:
# once for each model, as the fuzz target reads an input's first byte (its
# second says where the stream is split). With
# PLOTANIX_FUZZ_MODEL set the target runs that model alone.
set -euo pipefail
fuzzer=$1 work=$2 seconds=$3
shift 3
mkdir -p "$work/corpus" "$work/artifacts"
seed() {
    local name
    name=$(basename "$1")
    # 0xF5: the HP-86B model, 0xF6: the 7470A, 0xF7: HP-GL/2, 0xF8: PCL,
    # 0xF9: Epson; reads of 82 or 84 bytes; then 0x3F: split into runs of 64 bytes.
    { printf '\365?'; cat "$1"; } >"$work/corpus/hp86b-$name"
    { printf '\366?'; cat "$1"; } >"$work/corpus/7470a-$name"
    { printf '\367?'; cat "$1"; } >"$work/corpus/hpgl2-$name"
    { printf '\370?'; cat "$1"; } >"$work/corpus/pcl-$name"
    { printf '\371?'; cat "$1"; } >"$work/corpus/escp-$name"
}
for seeds in "$@"; do
    [ -e "$seeds" ] || { echo "missing seed corpus: $seeds"; exit 1; }
    if [ -d "$seeds" ]; then
        while IFS= read -r -d '' file; do seed "$file"; done < <(
            find "$seeds" -maxdepth 1 -type f ! -name '*.md' ! -name '*.tsv' -print0)
    else
        seed "$seeds"
    fi
done
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if ! "$fuzzer" -dict="$(dirname "$0")/hpgl.dict" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" 2>"$work/fuzz.log"; then
    tail -n 60 "$work/fuzz.log"
    echo "The fuzzer found a failing input in $work/artifacts: keep it in tests/fuzz/regressions."
    exit 1
fi
grep -E '^stat::|cov: ' "$work/fuzz.log" | tail -n 8
# Every model must have run (unless one was pinned).
if [ -z "${PLOTANIX_FUZZ_MODEL:-}" ]; then
    for model in hp86b 7470a hpgl2 pcl escp; do
        grep -Eq "^stat::executions_$model: [1-9]" "$work/fuzz.log" ||
            { echo "the $model model was never run"; exit 1; }
    done
fi
