#!/usr/bin/env bash
# Runs a command beside a throwaway PostgreSQL cluster: created in a temporary folder, listening on
# a free loopback port, stopped and removed at the end. The command finds it in WISPLINE_PG_URL
# (trust authentication, so no password), and its data folder, pg_ctl and socket folder in
# WISPLINE_PG_DATA, WISPLINE_PG_CTL and WISPLINE_PG_SOCKET_DIR. Exits 77 (skipped) when PostgreSQL
# is not installed. WISPLINE_NETNS=0 keeps it in the caller's network namespace.
#   bash scripts/with-postgres.sh COMMAND [ARGUMENTS...]
set -euo pipefail
# As root, the cluster and the command run in a network namespace of their own with loopback up
# (WISPLINE_NETNS=1 then), where tests may set packet rules, such as a balancer's DNAT, without
# touching the host's.
if [ -z "${WISPLINE_NETNS:-}" ] && [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null &&
    unshare -n true 2>/dev/null; then
    export WISPLINE_NETNS=1
    exec unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
    echo "PostgreSQL server programs not found (Debian package postgresql); skipped"
    exit 77
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/wispline-pg.XXXXXX")
# PostgreSQL refuses to run as root: the cluster belongs to an unprivileged user then.
as=()
if [ "$(id -u)" -eq 0 ]; then
    chmod 755 "$dir"
    chown nobody "$dir"
    as=(runuser -u nobody --)
fi
stop() {
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
}
trap stop EXIT
"${as[@]}" "$bin/initdb" -D "$dir/data" -A trust -U wispline -E UTF8 --locale=C >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log"; exit 1; }
# A port some other program took meanwhile makes the start fail: try another.
started=0
for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    if "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=off" start >/dev/null; then
        started=1
        break
    fi
done
[ $started = 1 ] || { cat "$dir/server.log"; exit 1; }
export WISPLINE_PG_URL="postgresql://wispline@127.0.0.1:$port/postgres"
# For tests that restart the cluster or reach it through its Unix socket: the data folder, the
# pg_ctl command (words split by spaces, with its runuser prefix when root) and the socket folder.
export WISPLINE_PG_DATA="$dir/data"
export WISPLINE_PG_CTL="${as[*]+${as[*]} }$bin/pg_ctl"
export WISPLINE_PG_SOCKET_DIR="$dir"
status=0
"$@" || status=$?
exit $status
