#!/bin/sh
# The CPU a process uses while it waits for a key: runs the console driver
# in a tmux pane, reads its user+system time from /proc before and after a
# quiet period, and prints the difference.
#   tests/console/measure_idle_cpu.sh [build-dir] [seconds]
set -eu
build=${1:-build}
seconds=${2:-5}
driver=$build/console_driver
[ -x "$driver" ] || { echo "no $driver: build the console_driver target first" >&2; exit 1; }

work=$(mktemp -d)
socket=$work/socket
trap 'tmux -S "$socket" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT

tmux -S "$socket" -f /dev/null new-session -d -x 80 -y 25 \
    "exec env LC_ALL=C.UTF-8 $(realpath "$driver") keys"
pid=$(tmux -S "$socket" display-message -p '#{pane_pid}')
until tmux -S "$socket" capture-pane -p | grep -q "keys ready"; do sleep 0.05; done

ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
used=$((after - before))
echo "idle wait for a key: $used CPU ticks (1/$hz s) in $seconds s:" \
    "$(awk -v u="$used" -v h="$hz" -v s="$seconds" 'BEGIN { printf "%.3f%%", 100 * u / h / s }')"
tmux -S "$socket" send-keys q
