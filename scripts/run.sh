#!/usr/bin/env bash
# Tries the client on this machine: installs what is missing, builds, starts the reference
# server with demo accounts (unless one already listens on 127.0.0.1:30609) and starts the
# client. `bash scripts/run.sh BOB` starts a second client for another demo user beside the
# first one, with its own settings and instance lock.
set -euo pipefail
cd "$(dirname "$0")/.."
user=${1:-ALICE}
user=${user^^}

bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target wispline wispline-server -j"$(nproc)"

data="${XDG_DATA_HOME:-$HOME/.local/share}/Wispline"
mkdir -p "$data"
if ! (exec 3<>/dev/tcp/127.0.0.1/30609) 2>/dev/null; then
    nohup ./build/server/wispline-server --demo --db "$data/demo-server.db" \
        >"$data/demo-server.log" 2>&1 &
    for _ in $(seq 50); do
        (exec 3<>/dev/tcp/127.0.0.1/30609) 2>/dev/null && break
        sleep 0.1
    done
    echo "Reference server started on 127.0.0.1:30609 (log: $data/demo-server.log)."
fi

declare -A passwords=([ALICE]=alice1 [BOB]=bob2 [CAROL]=carol2 [DAVE]=dave3 [ERIN]=erin3)
password=${passwords[$user]:-}
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
echo "Log on as $user with password ${password:-<its password>}."
echo "Demo users: ALICE/alice1 (level 1), BOB/bob2 and CAROL/carol2 (level 2),"
echo "DAVE/dave3 and ERIN/erin3 (level 3). Another client: bash scripts/run.sh BOB"
exec "$program"
