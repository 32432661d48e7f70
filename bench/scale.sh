#!/bin/sh
# The many-users run of bench_server_load: N users (100,000 by default), each on a loopback
# address of its own, in a network namespace of its own so that nothing else on the machine
# shares its ports and addresses; the descriptor limit is raised inside, for the load generator
# and the server it starts alone. Needs root (unshare, and a hard limit above the session's).
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
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $(grep -o 'CMAKE_BUILD_TYPE:STRING=.*' "$build/CMakeCache.txt" 2>/dev/null || echo 'build type unknown')"
exec unshare -n sh -c 'ip link set lo up && exec "$0" --scale "$@"' "$bench" "$users" "$@"
