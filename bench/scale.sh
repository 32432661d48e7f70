#!/bin/sh
# The many-users run of bench_server_load: N users (100,000 by default), each on a loopback
# address of its own, in a network namespace of its own so that nothing else on the machine
# shares its ports and addresses; the descriptor limit is raised inside, for the load generator
# and the server it starts alone, and the loopback's input queue for the run (see below). Needs
# root (unshare, a hard limit above the session's, the queue's limit).
#   bash bench/scale.sh [BUILD] [N] [more options of --scale: --active, --rate, --seconds, --cost]
set -eu
build=${1:-build}
users=${2:-100000}
[ $# -ge 2 ] && shift 2 || shift $#
bench="$build/bench/bench_server_load"
if [ ! -x "$bench" ]; then
    echo "no $bench: build the bench_server_load target first" >&2
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "run as root: the run needs a network namespace and a higher descriptor limit" >&2
    exit 2
fi
# Every packet between the two ends goes through the loopback's input queue, which holds
# net.core.netdev_max_backlog packets a core and silently drops the rest. The keep-alive probes
# of the connections idle since the same moment fall due in one timer tick, thousands at once:
# past the queue they are lost, and three lost in a row end a healthy connection ("Connection
# timed out" in the server's log). The limit is the machine's, not the namespace's: it is raised
# to hold a probe and its answer for every connection for the run, and set back after.
backlog=/proc/sys/net/core/netdev_max_backlog
before=$(cat "$backlog")
wanted=$((2 * users + 1000))
if [ "$before" -lt "$wanted" ]; then
    restore() { echo "$before" > "$backlog"; }
    trap restore EXIT
    trap 'exit 130' INT TERM
    echo "$wanted" > "$backlog"
    echo "net.core.netdev_max_backlog $before, $wanted for the run"
fi
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $(grep -o 'CMAKE_BUILD_TYPE:STRING=.*' "$build/CMakeCache.txt" 2>/dev/null || echo 'build type unknown')"
unshare -n sh -c 'ip link set lo up && exec "$0" --scale "$@"' "$bench" "$users" "$@"
