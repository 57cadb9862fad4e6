#!/usr/bin/env bash
# Times plotanix-render against hp2xx (hp2xx -q -m png) on the same HP-GL
# files: the real files of ../shared/hpgl-corpus, plus a generated 1 MB
# line-heavy file and a label-heavy one. Each run is a whole process (or a
# set of them), the two programs take turns, and the median of several runs
# is compared. Besides one row per file, three totals:
#   corpus, one call        all corpus files in one plotanix-render call,
#                           against hp2xx run once per file;
#   corpus, one per process plotanix-render run once per file, summed;
#   line-heavy, one worker  the 1 MB file with -j 1.
#
# usage: tools/bench_render.sh BUILD_DIR [RUNS]   (RUNS defaults to 7;
# PLOTANIX_CORPUS names another folder of HP-GL files)
# Use a release build without sanitizers, on a machine otherwise at rest.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 BUILD_DIR [RUNS]" >&2
    exit 2
fi
build=$1
runs=${2:-7}
render=$build/plotanix-render
repo=$(cd "$(dirname "$0")/.." && pwd)
corpus=${PLOTANIX_CORPUS:-$repo/../shared/hpgl-corpus}

[[ -x $render ]] || { echo "$0: no plotanix-render in $build" >&2; exit 2; }
command -v hp2xx >/dev/null || { echo "$0: hp2xx is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A busy graph as a computer would plot it point by point: a grid and 150
# curves of 500 points in three pens, some 75000 instructions, 1 MB.
generateLines() {
    awk 'BEGIN {
        printf "IN;SP1;";
        for (g = 0; g <= 640; g += 40) printf "PU%d,0;PD%d,480;", g, g;
        for (g = 0; g <= 480; g += 40) printf "PU0,%d;PD640,%d;", g, g;
        for (c = 0; c < 150; ++c) {
            printf "SP%d;PU0,240;", 2 + c % 3;
            for (i = 1; i <= 500; ++i) {
                x = i * 640 / 500;
                y = 240 + (200 - c * 4 / 3) * sin(x / 640 * 6.2832 * (1 + c % 5)) * cos(x / 97 + c / 7);
                printf "PD%.1f,%.1f;", x, y;
            }
        }
        printf "PU0,0;";
    }'
}

# 500 labels in many directions, with character-cell moves. No line ends:
# the plotter would take them as a mnemonic and skip the next instruction.
generateLabels() {
    awk 'BEGIN {
        srand(86); printf "IN;SP1;";
        for (i = 0; i < 500; ++i) {
            run = int(rand() * 10) + 1; rise = int(rand() * 21) - 10;
            if (i % 2) run = -run;
            printf "PU%d,%d;DI%d,%d;", int(rand() * 600), int(rand() * 460), run, rise;
            printf "LBLabel %d%c;CP1,-1;", i, 3;
        }
    }'
}

# One run of the command, output discarded: "wall-µs cpu-ms" (CPU time is
# user + system, which a busy machine disturbs less than the wall clock).
timeRun() {
    local TIMEFORMAT='%3U %3S' start end user system
    start=$EPOCHREALTIME
    { time "$@" >/dev/null 2>&1; } 2>"$work/cpu" || true
    end=$EPOCHREALTIME
    read -r user system <"$work/cpu"
    awk -v wall=$(( ${end/./} - ${start/./} )) -v u="$user" -v s="$system" \
        'BEGIN { printf "%d %.0f\n", wall, (u + s) * 1000 }'
}

# Median of column $1 of the lines on standard input.
median() {
    awk -v c="$1" '{ print $c }' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

corpusFiles=()
for file in "$corpus"/*; do
    case $file in *.md | *.tsv) continue ;; esac
    [[ -f $file ]] && corpusFiles+=("$file")
done
((${#corpusFiles[@]} > 0)) || { echo "$0: no files in $corpus (set PLOTANIX_CORPUS)" >&2; exit 2; }
generateLines >"$work/generated-lines.hpgl"
generateLabels >"$work/generated-labels.hpgl"
files=("${corpusFiles[@]}" "$work/generated-lines.hpgl" "$work/generated-labels.hpgl")
mkdir "$work/out"

renderOne() { "$render" -o "$work/render.png" "$1"; }
hp2xxOne() { hp2xx -q -m png -f "$work/hp2xx.png" "$1"; }
renderEach() { for f in "${corpusFiles[@]}"; do renderOne "$f" || true; done; }
hp2xxEach() { for f in "${corpusFiles[@]}"; do hp2xxOne "$f" || true; done; }
renderAllAtOnce() { "$render" -o "$work/out" "${corpusFiles[@]}"; }
renderLinesOneWorker() { "$render" -j 1 -o "$work/render.png" "$work/generated-lines.hpgl"; }

# compare NAME BYTES OURS... -- THEIRS...: one table row of medians.
compare() {
    local name=$1 size=$2 ours=() theirs=()
    shift 2
    while [[ $1 != -- ]]; do ours+=("$1"); shift; done
    shift
    theirs=("$@")
    : >"$work/ours"
    : >"$work/theirs"
    for ((i = 0; i < runs; ++i)); do
        timeRun "${ours[@]}" >>"$work/ours"
        timeRun "${theirs[@]}" >>"$work/theirs"
    done
    awk -v name="$name" -v size="$size" \
        -v a="$(median 1 <"$work/ours")" -v b="$(median 1 <"$work/theirs")" \
        -v c="$(median 2 <"$work/ours")" -v d="$(median 2 <"$work/theirs")" \
        'BEGIN { printf "%-38s %8d | %8.1f %8.1f %8.2fx | %8d %8d %8.2fx\n", substr(name, 1, 38),
                 size, a / 1000, b / 1000, b / a, c, d, (c > 0 ? d / c : 0) }'
}

printf '%-38s %8s | %-27s | %-27s\n' "" "" "wall clock, ms (median)" "CPU time, ms (median)"
printf '%-38s %8s | %8s %8s %9s | %8s %8s %9s\n' "file" "bytes" \
    "render" "hp2xx" "speed-up" "render" "hp2xx" "speed-up"
for file in "${files[@]}"; do
    compare "$(basename "$file")" "$(stat -c %s "$file")" renderOne "$file" -- hp2xxOne "$file"
done
corpusBytes=$(cat "${corpusFiles[@]}" | wc -c)
echo "totals (hp2xx always once per file):"
compare "corpus, one call (${#corpusFiles[@]} files)" "$corpusBytes" renderAllAtOnce -- hp2xxEach
compare "corpus, one process per file" "$corpusBytes" renderEach -- hp2xxEach
compare "line-heavy, one worker" "$(stat -c %s "$work/generated-lines.hpgl")" \
    renderLinesOneWorker -- hp2xxOne "$work/generated-lines.hpgl"
echo "speed-up: hp2xx's median over plotanix-render's ($runs runs each, taking turns)"
