#!/usr/bin/env bash
# The printer models' figures from the real renderer: peak memory and CPU
# time of a Letter page of PCL raster at 600 dpi (methods 0 and 2) and at
# 300 dpi (method 2), each the median of ROUNDS runs, and the PNG's size
# in pixels. With a second renderer (another build), both are measured,
# turn about, and the ratios given (the first's over the second's).
# usage: bench/printer_figures.sh PLOTANIX_RENDER [OTHER_PLOTANIX_RENDER] [ROUNDS]
set -euo pipefail
render=$1 other=${2:-} rounds=${3:-5}
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for page in "600 0" "600 2" "300 2"; do
    set -- $page
    python3 "$here/../tools/print_page.py" "$1" "$2" >"$work/page-$1-$2.prn"
done
# One program on one page: "peak-KB cpu-ms" of the median run by CPU time
# (perf's task clock: finer than time's hundredths).
measure() {
    local program=$1 page=$2
    for _ in $(seq "$rounds"); do
        /usr/bin/time -o "$work/time" -f '%M' "$program" "$page" -o "$work/out.png" >/dev/null 2>&1
        perf stat -x, -e task-clock -o "$work/perf" "$program" "$page" -o "$work/out.png" \
            >/dev/null 2>&1
        echo "$(tail -n 1 "$work/time") $(grep task-clock "$work/perf" | cut -d, -f1)"
    done | sort -g -k2 | sed -n "$(( (rounds + 1) / 2 ))p" | awk '{ printf "%d %.1f\n", $1, $2 }'
}
for page in "$work"/page-*.prn; do
    name=$(basename "$page" .prn)
    read -r kb ms < <(measure "$render" "$page")
    size=$(file "$work/out.png" | grep -o '[0-9]* x [0-9]*, [0-9]*-bit[^,]*')
    line="$name: peak $((kb / 1024)) MB, CPU $ms ms, $size"
    if [[ -n $other ]]; then
        read -r kb2 ms2 < <(measure "$other" "$page")
        line+="; other: peak $((kb2 / 1024)) MB, CPU $ms2 ms"
        line+=$(awk -v a="$kb" -v b="$kb2" 'BEGIN { printf "; memory ratio %.2f", a / b }')
    fi
    echo "$line"
done
