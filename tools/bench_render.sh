#!/usr/bin/env bash
# Times plotanix-render against hp2xx (hp2xx -q -m png) on the same HP-GL
# files, one whole process per file, the two programs taking turns file by
# file, round after round. The files: the real ones of ../shared/hpgl-corpus
# and hp2xx's own test files (when installed), and a generated line-heavy
# page for each model. Reported: the median of the rounds per file; over all
# real files the median of the rounds' sums and the geometric mean of the
# per-file ratios; the line-heavy pages; the minor page faults of one run
# over the real files; the futex calls of one process for each line-heavy
# page; all the real files in one call against a loop of hp2xx; and, with
# valgrind, the instructions an input of IN; alone costs each program.
# Ratios are hp2xx's time over plotanix-render's: above 1, plotanix-render
# is faster.
#
# usage: tools/bench_render.sh BUILD_DIR|PROGRAM [ROUNDS]   (ROUNDS: 7)
# PLOTANIX_BENCH_REPEAT runs each file that many times in a row within one
# timing (default 5), the time given for one run: bash's clock counts whole
# milliseconds, as long as a small file takes.
# PLOTANIX_CORPUS names another folder of real files; PLOTANIX_BENCH_ARGS
# adds options to every plotanix-render run (e.g. --model hp86b);
# PLOTANIX_BENCH_AGAINST names another plotanix-render to run in hp2xx's
# place, to measure one change (a build with it against one without).
# Use a release build without sanitizers, on a machine otherwise at rest.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 BUILD_DIR|PROGRAM [ROUNDS]" >&2
    exit 2
fi
render=$1
[[ -d $render ]] && render=$render/plotanix-render
rounds=${2:-7}
repo=$(cd "$(dirname "$0")/.." && pwd)
corpus=${PLOTANIX_CORPUS:-$repo/../shared/hpgl-corpus}
hp2xxTests=/usr/share/doc/hp2xx/hp-tests
read -r -a extra <<<"${PLOTANIX_BENCH_ARGS:-}"
repeat=${PLOTANIX_BENCH_REPEAT:-5}

against=${PLOTANIX_BENCH_AGAINST:-}

[[ -x $render ]] || { echo "$0: no plotanix-render at $render" >&2; exit 2; }
[[ -z $against || -x $against ]] || { echo "$0: no plotanix-render at $against" >&2; exit 2; }
command -v hp2xx >/dev/null || { echo "$0: hp2xx is not installed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A busy graph as a computer plots it point by point: a grid, then 150
# curves of 500 points in three pens; some 75000 instructions, 1 MB. $1 is
# the plotter units across the page: 10000 for the 7470A, 640 for the
# HP-86B's plotter (drawn with --model hp86b, one unit a pixel).
generateLines() {
    awk -v w="$1" 'BEGIN {
        h = w * 3 / 4; printf "IN;SP1;";
        for (g = 0; g <= w; g += w / 16) printf "PU%d,0;PD%d,%d;", g, g, h;
        for (g = 0; g <= h; g += w / 16) printf "PU0,%d;PD%d,%d;", g, w, g;
        for (c = 0; c < 150; ++c) {
            printf "SP%d;PU0,%d;", 2 + c % 3, h / 2;
            for (i = 1; i <= 500; ++i) {
                x = i * w / 500;
                y = h / 2 + (0.4 - c / 500) * h * sin(x / w * 6.2832 * (1 + c % 5)) * cos(x / w * 6.6 + c / 7);
                printf "PD%.1f,%.1f;", x, y;
            }
        }
        printf "PU0,0;";
    }'
}

files=()
for file in "$corpus"/*; do
    case $file in *.md | *.tsv) continue ;; esac
    [[ -f $file ]] && files+=("$file")
done
if [[ -d $hp2xxTests ]]; then
    mkdir "$work/hp2xx-tests"
    for file in "$hp2xxTests"/*; do
        name=$(basename "$file")
        case $name in *.eps* | readme) continue ;; esac
        if [[ $name == *.gz ]]; then
            gzip -dc "$file" >"$work/hp2xx-tests/${name%.gz}"
            files+=("$work/hp2xx-tests/${name%.gz}")
        else
            files+=("$file")
        fi
    done
fi
((${#files[@]} > 0)) || { echo "$0: no real files (set PLOTANIX_CORPUS)" >&2; exit 2; }
lines=$work/line-heavy.hpgl
lines86=$work/line-heavy-hp86b.hpgl
generateLines 10000 >"$lines"
generateLines 640 >"$lines86"

# The HP-86B's page is drawn by its model, whatever the other options say.
# Set without a subshell: the timed runs hold nothing but the program's.
model=()
modelFor() { model=(); [[ $1 != "$lines86" ]] || model=(--model=hp86b); }
renderOne() {
    modelFor "$1"
    for ((k = 0; k < repeat; ++k)); do
        "$render" "${extra[@]}" "${model[@]}" -o "$work/render.png" "$1"
    done
}
otherCommand=(hp2xx -q -m png -f "$work/other.png")
[[ -n $against ]] && otherCommand=("$against" "${extra[@]}" -o "$work/other.png")
otherOne() {
    modelFor "$1"
    [[ -n $against ]] || model=()
    for ((k = 0; k < repeat; ++k)); do
        "${otherCommand[@]}" "${model[@]}" "$1"
    done
}

# One run: "wall-µs cpu-µs" (CPU time is user + system of the process, which
# a busy machine disturbs less than the wall clock).
timeRun() {
    local TIMEFORMAT='%3U %3S' start end user system
    start=$EPOCHREALTIME
    { time "$@" >/dev/null 2>&1; } 2>"$work/cpu" || true
    end=$EPOCHREALTIME
    read -r user system <"$work/cpu"
    awk -v wall=$((${end/./} - ${start/./})) -v u="$user" -v s="$system" \
        -v n="$repeat" 'BEGIN { printf "%d %.0f\n", wall / n, (u + s) * 1000000 / n }'
}

# Rounds of every file in turn, then the line-heavy page: each record is
# "round file program wall cpu"; who goes first alternates by round.
all=("${files[@]}" "$lines" "$lines86")
for ((round = 0; round < rounds; ++round)); do
    for ((i = 0; i < ${#all[@]}; ++i)); do
        if ((round % 2 == 0)); then
            echo "$round $i render $(timeRun renderOne "${all[i]}")" >>"$work/times"
            echo "$round $i other $(timeRun otherOne "${all[i]}")" >>"$work/times"
        else
            echo "$round $i other $(timeRun otherOne "${all[i]}")" >>"$work/times"
            echo "$round $i render $(timeRun renderOne "${all[i]}")" >>"$work/times"
        fi
    done
done

# Minor page faults of one run of each program over the real files.
faults() {
    local total=0 file
    for file in "${files[@]}"; do
        /usr/bin/time -f %R -o "$work/faults" "$@" "$file" >/dev/null 2>&1 || true
        total=$((total + $(tail -n 1 "$work/faults")))
    done
    echo "$total"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The medians of file $1's runs for program $2: "wall-ms cpu-ms".
fileMedians() {
    local wall cpu
    wall=$(awk -v f="$1" -v p="$2" '$2 == f && $3 == p { print $4 }' "$work/times" | median)
    cpu=$(awk -v f="$1" -v p="$2" '$2 == f && $3 == p { print $5 }' "$work/times" | median)
    echo "$wall $cpu"
}
# The median over rounds of the sums over the real files: "wall-ms cpu-ms".
sumMedians() {
    local column
    for column in 4 5; do
        awk -v n="${#files[@]}" -v p="$1" -v c=$column \
            '$2 < n && $3 == p { sum[$1] += $c } END { for (r in sum) print sum[r] }' \
            "$work/times" | median
    done | paste -sd' '
}
row() { # name bytes render-wall render-cpu other-wall other-cpu (µs)
    awk -v name="$1" -v size="$2" -v rw="$3" -v rc="$4" -v hw="$5" -v hc="$6" \
        'BEGIN { printf "%-36s %8d | %8.2f %8.2f %6.2fx | %8.2f %8.2f %6.2fx\n", substr(name, 1, 36),
                 size, rw / 1000, hw / 1000, hw / rw, rc / 1000, hc / 1000, (rc > 0 ? hc / rc : 0) }'
}

echo "plotanix-render ($render${extra[*]:+ ${extra[*]}}) against ${against:-hp2xx -q -m png}:"
echo "whole processes, taking turns file by file, $rounds rounds; medians"
printf '%-36s %8s | %-24s | %-24s\n' "" "" "wall clock, ms" "CPU time (user+sys), ms"
other=hp2xx
[[ -n $against ]] && other=other
printf '%-36s %8s | %8s %8s %7s | %8s %8s %7s\n' "file" "bytes" \
    "render" "$other" "ratio" "render" "$other" "ratio"
total=0
: >"$work/ratios"
for ((i = 0; i < ${#files[@]}; ++i)); do
    size=$(stat -c %s "${files[i]}")
    total=$((total + size))
    medians="$(fileMedians $i render) $(fileMedians $i other)"
    echo "$medians" >>"$work/ratios"
    row "$(basename "${files[i]}")" "$size" $medians
done
echo "totals:"
row "${#files[@]} real files, one process each" "$total" $(sumMedians render) $(sumMedians other)
# The typical file, which the sums' few slow files do not sway.
awk '{ w += log($3 / $1); if ($2 > 0 && $4 > 0) { c += log($4 / $2); n++ } }
     END { printf "%-36s %8s | %26.2fx | %26.2fx\n", "geometric mean of the files'"'"' ratios", "",
           exp(w / NR), (n ? exp(c / n) : 0) }' "$work/ratios"
# The median file's ratio, which neither the fastest nor the slowest sway.
medianRatio() { awk -v a="$1" -v b="$2" '$a > 0 && $b > 0 { print $b / $a }' "$work/ratios" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
printf '%-36s %8s | %26.2fx | %26.2fx\n' "median of the files' ratios" "" "$(medianRatio 1 3)" \
    "$(medianRatio 2 4)"
row "line-heavy page, 7470A" "$(stat -c %s "$lines")" $(fileMedians ${#files[@]} render) \
    $(fileMedians ${#files[@]} other)
row "line-heavy page, HP-86B" "$(stat -c %s "$lines86")" $(fileMedians $((${#files[@]} + 1)) render) \
    $(fileMedians $((${#files[@]} + 1)) other)
if [[ -x /usr/bin/time ]]; then
    echo "minor page faults, one run over the real files:" \
        "plotanix-render $(faults "$render" "${extra[@]}" -o "$work/render.png")," \
        "${against:-hp2xx} $(faults "${otherCommand[@]}")"
fi
# The threads' hand-overs show as futex calls: those of one process drawing
# each line-heavy page.
if command -v strace >/dev/null; then
    futexes() {
        modelFor "$1"
        strace -f -c -e trace=futex -o "$work/strace" "$render" "${extra[@]}" "${model[@]}" \
            -o "$work/render.png" "$1" >/dev/null 2>&1 || true
        awk '$NF == "futex" { calls = $4 } END { print calls + 0 }' "$work/strace"
    }
    echo "futex calls, one process: line-heavy page 7470A $(futexes "$lines")," \
        "HP-86B $(futexes "$lines86")"
fi
# Many files in one call: plotanix-render given every real file at once
# (its workers on the machine's cores) against a loop of the other, one
# process a file; the medians of the rounds, wall clock and CPU time.
mkdir -p "$work/many"
manyRender() {
    for ((k = 0; k < repeat; ++k)); do
        "$render" "${extra[@]}" -q -o "$work/many" "${files[@]}"
    done
}
manyOther() { # otherOne runs each file repeat times
    local file
    for file in "${files[@]}"; do otherOne "$file" >/dev/null 2>&1 || true; done
}
: >"$work/many-times"
for ((round = 0; round < rounds; ++round)); do
    echo "render $(timeRun manyRender)" >>"$work/many-times"
    echo "other $(timeRun manyOther)" >>"$work/many-times"
done
manyMedians() {
    local wall cpu
    wall=$(awk -v p="$1" '$1 == p { print $2 }' "$work/many-times" | median)
    cpu=$(awk -v p="$1" '$1 == p { print $3 }' "$work/many-times" | median)
    echo "$wall $cpu"
}
row "${#files[@]} real files in one call" "$total" $(manyMedians render) $(manyMedians other)
# The cost of starting: an input of IN; alone, in instructions (valgrind).
if command -v valgrind >/dev/null; then
    printf 'IN;' >"$work/in.hpgl"
    instructions() {
        valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
            awk '/Collected :/ { print $NF }'
    }
    echo "IN; alone, instructions: plotanix-render" \
        "$(instructions "$render" "${extra[@]}" -q -o "$work/in.png" "$work/in.hpgl")," \
        "${against:-hp2xx}" "$(instructions "${otherCommand[@]}" "$work/in.hpgl")"
fi

# Line plots at the machine's limit, and the vector copies: each output of
# plotanix-render against hp2xx's nearest (PNG, SVG; PDF against its EPS),
# CPU time, the median of $bigRuns runs each (a shared machine's CPU times
# vary by some 10-20%: compare medians, and instruction counts where it
# matters), with the peak memory of one run. PLOTANIX_BENCH_BIG=0 leaves
# them out; PLOTANIX_BENCH_HUGE=0 leaves out the 100 MB plot.
if [[ ${PLOTANIX_BENCH_BIG:-1} != 0 ]]; then
    bigRuns=${PLOTANIX_BENCH_BIG_RUNS:-3}
    # The busy graph of 150 curves made longer: $1 curves, about 7.9 KB each.
    generateCurves() {
        awk -v w=10000 -v curves="$1" 'BEGIN {
            h = w * 3 / 4; printf "IN;SP1;";
            for (g = 0; g <= w; g += w / 16) printf "PU%d,0;PD%d,%d;", g, g, h;
            for (g = 0; g <= h; g += w / 16) printf "PU0,%d;PD%d,%d;", g, w, g;
            for (c = 0; c < curves; ++c) {
                printf "SP%d;PU0,%d;", 2 + c % 3, h / 2;
                for (i = 1; i <= 500; ++i) {
                    x = i * w / 500;
                    y = h / 2 + (0.4 - (c % 500) / 500) * h * sin(x / w * 6.2832 * (1 + c % 5)) * cos(x / w * 6.6 + c / 7);
                    printf "PD%.1f,%.1f;", x, y;
                }
            }
            printf "PU0,0;";
        }'
    }
    # A pen wandering at random in small steps, 130,000 of them: 1.2 MB.
    generateWalk() {
        awk 'BEGIN { srand(59); x = 5000; y = 3800; printf "IN;SP1;PA%d,%d;PD", x, y;
            for (i = 0; i < 130000; ++i) {
                x += int(rand() * 241) - 120; y += int(rand() * 241) - 120;
                x = x < 0 ? -x : x > 10300 ? 20600 - x : x;
                y = y < 0 ? -y : y > 7650 ? 15300 - y : y;
                printf "%d,%d%s", x, y, (i % 16 == 15 ? ";PD" : ",");
            }
            printf "0,0;PU;";
        }'
    }
    generateWalk >"$work/walk-1.2MB.hpgl"
    generateCurves 640 >"$work/lines-5MB.hpgl"
    generateCurves 2600 >"$work/lines-20MB.hpgl"
    big=("$work/walk-1.2MB.hpgl" "$work/lines-5MB.hpgl" "$work/lines-20MB.hpgl")
    if [[ ${PLOTANIX_BENCH_HUGE:-1} != 0 ]]; then
        generateCurves 13000 >"$work/lines-100MB.hpgl"
        big+=("$work/lines-100MB.hpgl")
    fi
    # The median CPU time (ms, user + system) of $bigRuns runs of a command,
    # each of $2 repeats in a row (bash's clock counts whole milliseconds),
    # and the peak resident memory (KB) of one more run.
    cpuAndPeak() {
        local TIMEFORMAT='%3U %3S' k j times=() repeats=$1
        shift
        for ((k = 0; k < bigRuns; ++k)); do
            { time for ((j = 0; j < repeats; ++j)); do "$@"; done >/dev/null 2>&1; } 2>"$work/cpu" || true
            times+=("$(awk -v n="$repeats" '{ printf "%.1f", ($1 + $2) * 1000 / n }' "$work/cpu")")
        done
        /usr/bin/time -f '%M' -o "$work/usage" "$@" >/dev/null 2>&1 || true
        echo "$(printf '%s\n' "${times[@]}" | median) $(tail -n 1 "$work/usage")"
    }
    echo
    echo "line plots and copies: CPU ms (median of $bigRuns), peak memory MB; ratio hp2xx's CPU over ours"
    printf '%-20s %6s | %-29s | %-29s | %-29s\n' "" "" "PNG (hp2xx png)" "SVG (hp2xx svg)" \
        "PDF (hp2xx eps)"
    printf '%-20s %6s |' "plot" "MB"
    for format in png svg pdf; do printf ' %7s %5s %7s %7s |' ours MB hp2xx ratio; done
    echo
    memoryFailures=0 overBound=
    for file in "${big[@]}"; do
        printf '%-20s %6.1f |' "$(basename "$file" .hpgl)" "$(stat -c %s "$file" | awk '{ print $1 / 1048576 }')"
        for format in png svg pdf; do
            read -r ours peak < <(cpuAndPeak 1 "$render" "${extra[@]}" -q -o "$work/big.$format" "$file")
            theirs=eps
            [[ $format == pdf ]] || theirs=$format
            read -r theirsCpu _ < <(cpuAndPeak 1 hp2xx -q -m "$theirs" -f "$work/big-hp2xx.$theirs" "$file")
            printf ' %7.0f %5.1f %7.0f %6.2fx |' "$ours" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" \
                "$theirsCpu" "$(awk -v a="$theirsCpu" -v b="$ours" 'BEGIN { print (b > 0 ? a / b : 0) }')"
            # The memory bound: not a timing, so it holds on a busy machine too.
            if [[ $file != *walk* ]] && ((peak > 32 * 1024)); then
                memoryFailures=$((memoryFailures + 1))
                overBound+="$(basename "$file" .hpgl) as $format: $((peak / 1024)) MB; "
            fi
        done
        echo
    done
    # The vector copy of each real file, one process each, against hp2xx's SVG.
    : >"$work/svg-ratios"
    for file in "${files[@]}"; do
        read -r ours _ < <(cpuAndPeak "$repeat" "$render" "${extra[@]}" -q -o "$work/real.svg" "$file")
        read -r theirsCpu _ < <(cpuAndPeak "$repeat" hp2xx -q -m svg -f "$work/real-hp2xx.svg" "$file")
        awk -v a="$theirsCpu" -v b="$ours" 'BEGIN { if (a > 0 && b > 0) print a / b }' >>"$work/svg-ratios"
    done
    echo "SVG copies of the ${#files[@]} real files, hp2xx's CPU over ours per file: median" \
        "$(median <"$work/svg-ratios")x"
    echo "memory bound (peak <= 32 MB for the generated line plots, any output):" \
        "$( ((memoryFailures == 0)) && echo held || echo "broken $memoryFailures times ($overBound)")"
fi
# The enlarged PNG (a copy drawn again from the page's kept drawing): each
# real file at --scale 4, and fitted to the page at --scale 4; the costliest
# file's CPU time and the largest peak memory (PLOTANIX_BENCH_SCALED=0
# leaves them out; bench/hpgl2_costs.sh has the inputs made to cost most).
if [[ ${PLOTANIX_BENCH_SCALED:-1} != 0 && -x /usr/bin/time ]]; then
    for fit in "" --fit; do
        worst=0 worstFile= peak=0
        for file in "${files[@]}"; do
            /usr/bin/time -f '%U %S %M' -o "$work/usage" "$render" "${extra[@]}" $fit --scale 4 \
                -q -o "$work/scaled.png" "$file" >/dev/null 2>&1 || true
            read -r user system resident < <(tail -n 1 "$work/usage")
            cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.0f", (u + s) * 1000 }')
            ((cpu > worst)) && worst=$cpu worstFile=$(basename "$file")
            ((resident > peak)) && peak=$resident
        done
        echo "--scale 4${fit:+ $fit}, each real file: costliest ${worst} ms of CPU ($worstFile)," \
            "largest peak memory $((peak / 1024)) MB"
    done
fi
echo "ratio: $other's time over plotanix-render's (above 1: plotanix-render is faster)"
