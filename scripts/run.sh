#!/usr/bin/env bash
# Tries the client on this machine: installs what is missing, builds, starts the reference
# server with demo accounts (unless one already listens on 127.0.0.1:30609) and starts the
# client. `bash scripts/run.sh BOB` starts a second client for another demo user beside the
# first one, with its own settings and instance lock. `bash scripts/run.sh --stop` stops the
# demo server this script started.
set -euo pipefail
cd "$(dirname "$0")/.."
data="${XDG_DATA_HOME:-$HOME/.local/share}/Wispline"
pidfile="$data/demo-server.pid"

# The demo server this script started, if it still runs.
demo_server_pid() {
    local pid
    pid=$(cat "$pidfile" 2>/dev/null) || return 1
    [ -n "$pid" ] && [ "$(ps -o comm= -p "$pid" 2>/dev/null)" = wispline-server ] && echo "$pid"
}

if [ "${1:-}" = --stop ]; then
    if pid=$(demo_server_pid); then
        kill -TERM "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
        rm -f "$pidfile"
        echo "Demo server stopped."
    else
        rm -f "$pidfile"
        echo "No demo server started by this script is running."
    fi
    exit 0
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "There is no display to show the client on (DISPLAY and WAYLAND_DISPLAY are not set):" \
        "run this in a terminal of a desktop session." >&2
    exit 1
fi

user=${1:-ALICE}
user=${user^^}

bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target wispline wispline-server -j"$(nproc)"

mkdir -p "$data"
if ! (exec 3<>/dev/tcp/127.0.0.1/30609) 2>/dev/null; then
    nohup ./build/server/wispline-server --demo --db "$data/demo-server.db" \
        >"$data/demo-server.log" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 50); do
        (exec 3<>/dev/tcp/127.0.0.1/30609) 2>/dev/null && break
        sleep 0.1
    done
    echo "Reference server started on 127.0.0.1:30609 (log: $data/demo-server.log)."
fi

program=./build/wispline
if [ "$user" != ALICE ]; then
    # A second client keeps its own settings, its own single-instance lock and, running from
    # its own folder, its own day's message log.
    profile="$data/profile-$user"
    mkdir -p "$profile/config/AkWispline"
    chmod 700 "$profile"
    export XDG_CONFIG_HOME="$profile/config" XDG_RUNTIME_DIR="$profile"
    cp ./build/wispline "$profile/wispline"
    program="$profile/wispline"
fi
ini="${XDG_CONFIG_HOME:-$HOME/.config}/AkWispline/AkWispline.ini"
if [ ! -f "$ini" ]; then
    mkdir -p "$(dirname "$ini")"
    printf '[AkSettings]\nAkWLUser=%s\nAkWLMode=LAN\n' "$user" >"$ini"
fi
if demo_server_pid >/dev/null && grep -q '^demo account' "$data/demo-server.log"; then
    # The accounts as the demo set them up (a password changed in the client since then stays
    # changed until the demo data is reset).
    echo "Demo accounts:"
    grep '^demo account' "$data/demo-server.log" | sed 's/^demo account /  /'
    echo "Log on as $user. Another client: bash scripts/run.sh BOB"
    echo "Stop the demo server: bash scripts/run.sh --stop"
    echo "Reset the demo data: bash scripts/run.sh --stop && rm -f '$data'/demo-server.db*"
else
    echo "A server this script did not start listens on 127.0.0.1:30609: log on with one of its" \
        "accounts."
fi
exec "$program"
