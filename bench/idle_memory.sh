#!/usr/bin/env bash
# What an idle logged-on connection costs the server's memory, by the README's method: from 100
# clients to N (1,000 unless given), the rest logging on at once and ten at a time, in turn, RUNS
# times (3 unless given); over TLS with TLS=1. Other server programs given after the build are
# measured in the same turns, so that their figures share the machine's load.
#
#   bench/idle_memory.sh BUILD [N] [OTHER/wispline-server ...]
set -euo pipefail
[ $# -ge 1 ] || {
    echo "usage: $0 BUILD [N] [SERVER...]" >&2
    exit 2
}
build=$1
n=${2:-1000}
shift $(($# >= 2 ? 2 : 1))
bench="$build/bench/bench_server_load"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The bench starts its own server; another runs in its place through a wrapper.
servers=("")
for other in "$@"; do
    wrapper="$work/server${#servers[@]}"
    printf '#!/bin/sh\nshift\nexec %q "$@"\n' "$(realpath "$other")" >"$wrapper"
    chmod +x "$wrapper"
    servers+=("$wrapper")
done
for _ in $(seq "${RUNS:-3}"); do
    for group in 0 10; do
        for wrapper in "${servers[@]}"; do
            label=${wrapper:+$(sed -n 3p "$wrapper" | cut -d' ' -f2): }
            printf '%s' "$label"
            BENCH_SERVER_WRAPPER=$wrapper "$bench" --idle-memory "$n" --group "$group" \
                --tls "${TLS:-0}"
        done
    done
done
