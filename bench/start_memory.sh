#!/usr/bin/env bash
# The server's memory at start, steady: VmRSS (/proc/PID/status), and Pss and the private pages
# (USS) from smaps_rollup, of a server started on a fresh SQLite database in a folder of its own, read once listening and
# unchanged for 2 s, with the optional parts one by one and together. Each is started RUNS times
# (3 unless given), programs given alternating, and the median printed.
#
#   bench/start_memory.sh build/server/wispline-server [another/wispline-server ...]
#
# The directory is one that does not answer (ldaps:// to a closed port, its CA given): libldap,
# GnuTLS and the TLS context are loaded and made at start, and asked again every second.
set -euo pipefail
[ $# -ge 1 ] || {
    echo "usage: $0 SERVER [SERVER...]" >&2
    exit 2
}
runs=${RUNS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
chmod 600 "$work/key.pem"
tls=(--tls-cert "$work/cert.pem" --tls-key "$work/key.pem")
admin=(--admin 127.0.0.1:0)
ldap=(--ldap ldaps://127.0.0.1:9 --ldap-ca "$work/cert.pem"
      --ldap-bind-pattern 'uid=%s,ou=people,dc=example,dc=org'
      --ldap-level1-group 'cn=level1,ou=groups,dc=example,dc=org')

# Prints "VmRSS Pss USS" in kB of one start with these options. Pss shares each page among the
# processes that map it, and so depends on what else runs; USS is the pages no other maps.
measure() {
    local server=$1
    shift
    local dir
    dir=$(mktemp -d -p "$work")
    : >"$dir/log"
    "$server" --db "$dir/start.db" --port 0 "$@" >"$dir/log" 2>&1 &
    local pid=$!
    for _ in $(seq 300); do
        grep -q '^listening on' "$dir/log" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^listening on' "$dir/log" || {
        echo "did not start: $(cat "$dir/log")" >&2
        exit 1
    }
    local last="" same=0 rss
    while [ "$same" -lt 10 ]; do
        sleep 0.2
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
        if [ "$rss" = "$last" ]; then same=$((same + 1)); else same=0; fi
        last=$rss
    done
    local pss uss
    pss=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup")
    uss=$(awk '/^Private_(Clean|Dirty):/ { n += $2 } END { print n }' "/proc/$pid/smaps_rollup")
    kill -TERM "$pid"
    wait "$pid" || true
    echo "$rss $pss $uss"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-8s' "MB"
for server in "$@"; do printf ' | %-16s' "$(basename "$(dirname "$server")")/$(basename "$server")"; done
printf '\n%-8s' "start"
for server in "$@"; do printf ' | %-16s' "VmRSS  Pss  USS"; done
printf '\n'
for config in plain admin tls ldap all; do
    case $config in
    plain) options=() ;;
    admin) options=("${admin[@]}") ;;
    tls) options=("${tls[@]}") ;;
    ldap) options=("${ldap[@]}") ;;
    all) options=("${admin[@]}" "${tls[@]}" "${ldap[@]}") ;;
    esac
    declare -A rss=() pss=() uss=()
    for _ in $(seq "$runs"); do
        for server in "$@"; do
            read -r r p u < <(measure "$server" "${options[@]}")
            rss[$server]+="$r "
            pss[$server]+="$p "
            uss[$server]+="$u "
        done
    done
    printf '%-8s' "$config"
    for server in "$@"; do
        r=$(tr ' ' '\n' <<<"${rss[$server]}" | grep . | median)
        p=$(tr ' ' '\n' <<<"${pss[$server]}" | grep . | median)
        u=$(tr ' ' '\n' <<<"${uss[$server]}" | grep . | median)
        awk -v r="$r" -v p="$p" -v u="$u" \
            'BEGIN { printf " | %5.1f %4.1f %4.1f", r / 1024, p / 1024, u / 1024 }'
    done
    printf '\n'
    unset rss pss uss
done
