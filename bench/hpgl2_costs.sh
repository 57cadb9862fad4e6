#!/usr/bin/env bash
# The CPU time the HP-GL/2 model takes on inputs made to cost it the most:
# fills, hatches, wide pens and line types on big polygon buffers. Each is
# drawn by plotanix-render (--model hpgl2), one whole process per input;
# reported is the user + system CPU time of the fastest of the rounds.
#
#   fill       a 1 MB polygon of 262,000 points, then FP; 85 times (past the
#              polygon buffer's 32,768 points: outlined, as HP-GL/2 does)
#   hatch      one FP; with a 10 mm pen and a 1-pixel hatch on 55,000 edges
#              (outlined too)
#   dashes     a 10 mm round pen with a 2-pixel line type over 16,000
#              full-height PE vectors
#   edges      EP; 20 times on a 16,000-point buffer with a 10 mm pen
#   hatch32k   one FT4 cross-hatch (lines 12 pixels apart, at 45 degrees)
#              of the largest polygon the buffer holds: 32,767 full-height
#              teeth, a third of a plotter unit apart; the costliest hatch
#              of it that is still drawn (denser ones are filled solid)
#   angles     100 KB of fills of a 1,000-point zigzag, each hatched at a
#              new angle (none repeats one before, so none is passed over;
#              hatching past the plot's allowance is filled solid)
#   shades     100 KB of solid fills of the same zigzag, each in a new
#              shade (FT10): the same pixels in a new colour each time
#   epdash     one EP with a 10 mm pen and line type 2 round the largest
#              polygon (32,767 points): its dashes are drawn solid
#   ltalt      LT1;EP;LT2;EP; repeated to 100 KB on a 12,500-point zigzag
#              with a 10 mm pen (a new line type each time: never passed
#              over; dashes past the plot's allowance are drawn solid)
#   epalt      EP;SP2;EP;SP1; repeated to 100 KB on a 12,500-point zigzag
#              with a 10 mm pen (each EP after the first paints again what
#              the one before painted, in the other colour)
#   fpalt      the same with FP;SP2;FP;SP1;
#   hatchalt   the same with FT3,13,0;FP;SP2;FP;SP1; (a thin pen)
#   widths     EP;PW9;EP;PW10; repeated to 78 KB on a 16,000-point zigzag
#              with a 10 mm pen (a width change between outlines)
#   widths6    EP; in six widths in turn, repeated to 100 KB on the same
#   wdots      PW5;LT1,1;EP; 200 times round a circle of 3,600 chords
#   ltcycle    EP; in five line types in turn, to 100 KB, on the zigzag
#   roundjoin  one EP with a 10 mm pen and round joins round 32,000 points
#              scattered over the page (outlined plain for its cost)
#   hatch450   450 KB of hatches at new angles of a 1,000-point zigzag
#
# Each input is drawn at the page's size (scale 1), as a PNG four times
# as large (--scale 4: drawn again from the kept list, or enlarged from the
# page's pixels where that would cost too much) and so fitted (--fit).
#
# usage: bench/hpgl2_costs.sh BUILD_DIR|PROGRAM [ROUNDS]   (ROUNDS: 3)
# PLOTANIX_BENCH_CPU (seconds, 600 by default) stops an input that takes
# more CPU time than that (a signal may wait for an instruction to end); it
# is reported as more than that, as is a run that wrote no page. Each
# time comes with the peak resident memory of the rounds, in MB.
# PLOTANIX_BENCH_ONLY (names, by spaces) measures those inputs alone.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 BUILD_DIR|PROGRAM [ROUNDS]" >&2
    exit 2
fi
render=$1
[[ -d $render ]] && render=$render/plotanix-render
rounds=${2:-3}
limit=${PLOTANIX_BENCH_CPU:-600}
[[ -x $render ]] || { echo "$0: no plotanix-render at $render" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A zigzag in PE's encoding: $2 points from the pen, each a full-height
# tooth (7000 plotter units up or down) one unit along, back and forth
# across 10,000 units. Four bytes a point.
zigzag() {
    LC_ALL=C awk -v points="$1" '
        function pe(n,   v, s) {
            v = n < 0 ? -2 * n + 1 : 2 * n; s = "";
            for (; v >= 64; v = int(v / 64)) s = s sprintf("%c", 63 + v % 64);
            return s sprintf("%c", 191 + v);
        }
        BEGIN {
            dx = 1; x = 0;
            for (i = 0; i < points; ++i) {
                if (x >= 10000) dx = -1; else if (x <= 0) dx = 1;
                x += dx;
                printf "%s%s", pe(dx), pe(i % 2 ? -7000 : 7000);
            }
        }'
}
# A closed polygon of $1 full-height teeth across 10,000 plotter units, in PD.
teeth() {
    LC_ALL=C awk -v points="$1" 'BEGIN {
        printf "PA100,300;PM0;";
        for (i = 0; i < points - 1; ++i)
            printf "%s%d,%d", (i % 64 ? "," : "PD"), 100 + int(i * 10000 / points), i % 2 ? 300 : 7300;
        printf ";PM2;";
    }'
}
repeat() {
    for ((i = 0; i < $2; ++i)); do printf '%s' "$1"; done
}

{ printf 'IN;SP1;PA100,300;PM0;PE'; zigzag 262000; printf ';PM2;'; repeat 'FP;' 85; } >"$work/fill.plt"
{ printf 'IN;SP1;PW10;FT3,13,0;PA100,300;PM0;PE'; zigzag 55000; printf ';PM2;FP;'; } >"$work/hatch.plt"
{ printf 'IN;SP1;PW10;LA1,4,2,4;LT2,0.65,1;PA100,300;PE'; zigzag 16000; printf ';'; } >"$work/dashes.plt"
{ printf 'IN;SP1;PW10;PA100,300;PM0;PE'; zigzag 16000; printf ';PM2;'; repeat 'EP;' 20; } >"$work/edges.plt"

{ printf 'IN;SP1;'; teeth 32767; printf 'FT4,150,45;FP;'; } >"$work/hatch32k.plt"
{ printf 'IN;SP1;'; teeth 1000; for ((a = 0; a < 7000; ++a)); do printf 'FT3,13,%d;FP;' $((a % 360)); done; } >"$work/angles.plt"
{ printf 'IN;SP1;'; teeth 1000; for ((a = 0; a < 8200; ++a)); do printf 'FT10,%d;FP;' $((a % 100)); done; } >"$work/shades.plt"
# 100 KB of $2 after a 12,500-point zigzag, the pen set by $1.
alternating() {
    printf 'IN;SP1;%sPA100,300;PM0;PE' "$1"; zigzag 12500; printf ';PM2;'
    repeat "$2" $(( (100000 - 50000) / ${#2} ))
}
{ printf 'IN;SP1;PW10;LT2;PA100,300;PM0;PE'; zigzag 32767; printf ';PM2;EP;'; } >"$work/epdash.plt"
alternating 'PW10;' 'LT1;EP;LT2;EP;' >"$work/ltalt.plt"
alternating 'PW10;' 'EP;SP2;EP;SP1;' >"$work/epalt.plt"
alternating 'PW10;' 'FP;SP2;FP;SP1;' >"$work/fpalt.plt"
alternating '' 'FT3,13,0;FP;SP2;FP;SP1;' >"$work/hatchalt.plt"
# $2 after a 16,000-point zigzag with the pen set by $1, to $3 bytes.
after16k() {
    printf 'IN;SP1;%sPA100,300;PM0;PE' "$1"; zigzag 16000; printf ';PM2;'
    repeat "$2" $(( ($3 - 64000) / ${#2} ))
}
after16k 'PW10;' 'EP;PW9;EP;PW10;' 78000 >"$work/widths.plt"
after16k 'PW10;' 'PW5;EP;PW6;EP;PW7;EP;PW8;EP;PW9;EP;PW10;EP;' 100000 >"$work/widths6.plt"
after16k '' 'LT1;EP;LT2;EP;LT3;EP;LT4;EP;LT5;EP;' 100000 >"$work/ltcycle.plt"
{ printf 'IN;SP1;PA5000,4000;PM0;CI3000,0.1;PM2;'; repeat 'PW5;LT1,1;EP;' 200; } >"$work/wdots.plt"
LC_ALL=C awk 'BEGIN {
    srand(1); printf "IN;SP1;PW10;LA2,4;PA5000,4000;PM0;PD";
    for (i = 0; i < 32000; ++i) printf "%s%d,%d", (i ? "," : ""), int(rand() * 10000), int(rand() * 7500);
    printf ";PM2;EP;";
}' >"$work/roundjoin.plt"
{ printf 'IN;SP1;'; teeth 1000; for ((a = 0; a < 36000; ++a)); do printf 'FT3,13,%d;FP;' $((a % 360)); done; } >"$work/hatch450.plt"

# The fastest round's CPU seconds of drawing $1 with the options after it,
# and the largest peak resident memory (MB) of the rounds.
best_of() {
    local input=$1 best= peak=0 cpu times
    shift
    for ((round = 0; round < rounds; ++round)); do
        if ! bash -c 'ulimit -t "$1" && shift && exec "$@"' limit "$limit" \
            /usr/bin/time -f '%U %S %M' -o "$work/usage" \
            "$render" -q --model hpgl2 "$@" -o "$work/out.png" "$input" >/dev/null 2>&1; then
            # Killed at the limit, or no page written: either is a failure.
            echo ">$limit -"
            return
        fi
        times=$(tail -n 1 "$work/usage")
        cpu=$(awk '{ printf "%.2f", $1 + $2 }' <<<"$times")
        peak=$(awk -v p="$peak" '{ m = $3 / 1024; printf "%.0f", (m > p ? m : p) }' <<<"$times")
        if [[ -z $best ]] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$cpu
        fi
    done
    echo "$best $peak"
}
printf '%-9s %9s %10s %6s %10s %6s %10s %6s\n' input bytes "CPU s, x1" MB "CPU s, x4" MB \
    "fit, x4" MB
names=${PLOTANIX_BENCH_ONLY:-fill hatch dashes edges hatch32k angles shades epdash ltalt epalt \
fpalt hatchalt widths widths6 wdots ltcycle roundjoin hatch450}
for name in $names; do
    input=$work/$name.plt
    read -r one onePeak < <(best_of "$input")
    read -r four fourPeak < <(best_of "$input" --scale 4)
    read -r fit fitPeak < <(best_of "$input" --fit --scale 4)
    printf '%-9s %9d %10s %6s %10s %6s %10s %6s\n' "$name" "$(stat -c %s "$input")" "$one" \
        "$onePeak" "$four" "$fourPeak" "$fit" "$fitPeak"
done
echo "bounds: no input of 100 KB or less over 2 s of CPU or 64 MB, at x1 and x4 (fitted too);" \
    "'>$limit -' is a run killed at the CPU limit or one that wrote no page"
