#!/usr/bin/env bash
# Side-by-side load figures for wispline-server and a local MQTT broker (mosquitto at QoS 0,
# persistence off), from one load generator, runs interleaved:
#   - 100, 500 and 1,000 clients: server CPU per delivery at 5,000 messages/s, unpaced
#     throughput, server memory after the log-ons;
#   - 500 clients at 20,000 messages/s: latency percentiles and the largest gap between
#     deliveries;
#   - over TLS (the broker with a TLS listener), 100 and 1,000 clients: server CPU per delivery
#     against the plain runs above, and new TLS connections per second, full handshakes and
#     resumptions (the server's handshakes run on one thread: one core).
# Usage: bash bench/compare.sh [BUILD_DIR] (RUNS=N repeats the whole set; default 1).
# Installs mosquitto when missing (outside CI). Traffic stays on loopback.
set -euo pipefail

build=${1:-build}
runs=${RUNS:-1}
bench="$build/bench/bench_server_load"
[ -x "$bench" ] || { echo "build $bench first" >&2; exit 1; }

if ! command -v mosquitto >/dev/null; then
    if [ -n "${CI:-}" ]; then
        echo "mosquitto missing: broker runs skipped" >&2
    else
        sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo apt-get install -y mosquitto >/dev/null || echo "could not install mosquitto" >&2
    fi
fi
kinds="0"
command -v mosquitto >/dev/null && kinds="0 1"

# Two descriptors per client (both ends live in this machine) and some to spare.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
for run in $(seq "$runs"); do
    echo "=== run $run of $runs"
    for clients in 100 500 1000; do
        for mqtt in $kinds; do
            "$bench" --mqtt "$mqtt" --clients "$clients" --level2 $((clients / 5)) \
                --direct 25000 --rate 5000 --burst 100000 --broadcasts 0 --phase-seconds 60
        done
    done
    for mqtt in $kinds; do
        "$bench" --mqtt "$mqtt" --clients 500 --level2 100 --direct 200000 --rate 20000 \
            --burst 0 --broadcasts 0 --phase-seconds 60
    done
    for clients in 100 1000; do
        for mqtt in $kinds; do
            "$bench" --tls 1 --mqtt "$mqtt" --clients "$clients" --level2 $((clients / 5)) \
                --direct 25000 --rate 5000 --burst 100000 --broadcasts 0 --phase-seconds 60
        done
    done
    for resume in 0 1; do
        "$bench" --tls 1 --handshakes 5000 --resume "$resume"
    done
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
