#!/bin/sh
# The CPU the plotter uses while it sits idle: waiting for the computer to
# send, in the page menu with the plot window open, and (with --live, in a
# second run) waiting for the next plot with the window open. The program
# runs in a tmux pane with a private Xvfb; its serial line is the terminal
# of a second, silent tmux pane (the bytes typed there are the computer's).
# The user + system time of the whole process (/proc/PID/stat) is read
# before and after each quiet period.
#   tools/measure_idle.sh BINARY [SECONDS]     (SECONDS defaults to 10)
set -eu

[ $# -ge 1 ] || { echo "usage: $0 BINARY [SECONDS]" >&2; exit 2; }
binary=$(realpath "$1")
seconds=${2:-10}
[ -x "$binary" ] || { echo "$0: $1 is not an executable" >&2; exit 2; }
for tool in tmux Xvfb; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
socket=plotanix-idle-$$
xvfb_pid=
cleanup() {
    tmux -L "$socket" kill-server 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

t() { tmux -L "$socket" -f /dev/null "$@"; }

# Polls (every 50 ms, up to 20 s) until the command succeeds.
wait_for() {
    what=$1; shift
    tries=400
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || { echo "$0: timed out waiting for $what" >&2; exit 1; }
        sleep 0.05
    done
}
screen_has() { t capture-pane -p -t plotter | grep -qF -- "$1"; }
display_known() { grep -q . "$work/display" 2>/dev/null; }
process_gone() { [ ! -e "/proc/$pid" ] || grep -q ') [ZX]' "/proc/$pid/stat" 2>/dev/null; }

# Clock ticks of user + system time of all the process's threads.
ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
# The same to the nanosecond, where the kernel keeps scheduler statistics.
nanoseconds() { cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { if (NR) printf "%.0f", n }'; }

measure() {
    before=$(ticks)
    before_ns=$(nanoseconds)
    sleep "$seconds"
    after=$(ticks)
    after_ns=$(nanoseconds)
    awk -v what="$1" -v u="$((after - before))" -v h="$hz" -v s="$seconds" \
        -v b="$before_ns" -v a="$after_ns" 'BEGIN {
        printf "%-30s %3d ticks (1/%d s) in %d s = %.2f%% of a core", what ":", u, h, s, 100 * u / h / s
        if (a != "" && b != "") printf " (on CPU %.1f ms = %.4f%%)", (a - b) / 1e6, (a - b) / 1e7 / s
        printf "\n" }'
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
wait_for "Xvfb" display_known
display=:$(head -n 1 "$work/display")

t new-session -d -s line -x 80 -y 25 "exec sleep 1000000"
line_tty=$(t display-message -p -t line '#{pane_tty}')

# The plotter in a fresh pane, with these options, at "Waiting...".
start_plotter() {
    t kill-session -t plotter 2>/dev/null || true
    t new-session -d -s plotter -x 80 -y 25 -c "$work" \
        "exec env PLOTANIX_COM1=$line_tty DISPLAY=$display LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM=screen $binary $*"
    pid=$(t display-message -p -t plotter '#{pane_pid}')
    wait_for "the start menu" screen_has "Your choice"
    t send-keys -t plotter 1
    wait_for "Waiting..." screen_has "Waiting..."
}

# A short plot from the computer, then its silence ends the run.
plot() {
    t send-keys -t line -l 'SP1;PU100,100;PD200,100,200,200;LBHI'
    # ETX ends the label; a lone ';' would end the tmux command, '\;' is one.
    t send-keys -t line C-c '\;'
    wait_for "the page menu" screen_has "Command :"
}

# The page drawn is not saved: 4 is asked about once, then Enter ends it.
quit_plotter() {
    t send-keys -t plotter 4
    wait_for "the question" screen_has "4 again to quit"
    t send-keys -t plotter 4
    wait_for "ENTER to quit..." screen_has "ENTER to quit..."
    t send-keys -t plotter Enter
    wait_for "the program to end" process_gone
}

start_plotter
measure "waiting for data"
plot
measure "page menu, plot window open"
quit_plotter

# Live, the window opens with the first plot and stays while the next is awaited.
start_plotter --live
plot
t send-keys -t plotter 3
wait_for "Waiting..." screen_has "Waiting..."
measure "waiting, live window open"
plot
quit_plotter
