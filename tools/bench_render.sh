#!/usr/bin/env bash
# Times plotanix-render against hp2xx (hp2xx -q -m png) on the same HP-GL
# files: the real files of ../shared/hpgl-corpus, plus a generated large
# line-heavy file and a label-heavy one. Each run is a whole process, the two
# programs take turns, and the median of several runs is compared.
#
# usage: tools/bench_render.sh BUILD_DIR [RUNS]   (RUNS defaults to 7)
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
corpus=$repo/../shared/hpgl-corpus

[[ -x $render ]] || { echo "$0: no plotanix-render in $build" >&2; exit 2; }
command -v hp2xx >/dev/null || { echo "$0: hp2xx is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A busy graph as a computer would plot it point by point: a grid and 100
# curves of 500 points in three pens, some 50000 instructions.
generateLines() {
    awk 'BEGIN {
        printf "IN;SP1;";
        for (g = 0; g <= 640; g += 40) printf "PU%d,0;PD%d,480;", g, g;
        for (g = 0; g <= 480; g += 40) printf "PU0,%d;PD640,%d;", g, g;
        for (c = 0; c < 100; ++c) {
            printf "SP%d;PU0,240;", 2 + c % 3;
            for (i = 1; i <= 500; ++i) {
                x = i * 640 / 500;
                y = 240 + (200 - c * 2) * sin(x / 640 * 6.2832 * (1 + c % 5)) * cos(x / 97 + c / 7);
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

files=()
for file in "$corpus"/*; do
    case $file in *.md | *.tsv) continue ;; esac
    [[ -f $file ]] && files+=("$file")
done
generateLines >"$work/generated-lines.hpgl"
generateLabels >"$work/generated-labels.hpgl"
files+=("$work/generated-lines.hpgl" "$work/generated-labels.hpgl")

printf '%-38s %7s | %-27s | %-27s\n' "" "" "wall clock, ms (median)" "CPU time, ms (median)"
printf '%-38s %7s | %8s %8s %9s | %8s %8s %9s\n' "file" "bytes" \
    "render" "hp2xx" "speed-up" "render" "hp2xx" "speed-up"
for file in "${files[@]}"; do
    : >"$work/ours"
    : >"$work/theirs"
    for ((i = 0; i < runs; ++i)); do
        timeRun "$render" "$file" "$work/render.png" >>"$work/ours"
        timeRun hp2xx -q -m png -f "$work/hp2xx.png" "$file" >>"$work/theirs"
    done
    awk -v name="$(basename "$file")" -v size="$(stat -c %s "$file")" \
        -v a="$(median 1 <"$work/ours")" -v b="$(median 1 <"$work/theirs")" \
        -v c="$(median 2 <"$work/ours")" -v d="$(median 2 <"$work/theirs")" \
        'BEGIN { printf "%-38s %7d | %8.1f %8.1f %8.2fx | %8d %8d %8.2fx\n", substr(name, 1, 38),
                 size, a / 1000, b / 1000, b / a, c, d, (c > 0 ? d / c : 0) }'
done
echo "speed-up: hp2xx's median over plotanix-render's ($runs runs each, taking turns)"
