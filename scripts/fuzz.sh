#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for a bounded time on its seed corpus
# (fuzz/corpus/<name>; new inputs go to a scratch copy).  FUZZ_SECONDS=60 by default.
set -euo pipefail
cd "$(dirname "$0")/.."
WISPLINE_CLANG=1 bash scripts/deps.sh
seconds=${FUZZ_SECONDS:-60}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DWISPLINE_FUZZ=ON -DWISPLINE_BUILD_TESTS=OFF -DWISPLINE_BUILD_BENCH=OFF >/dev/null
harnesses=$(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
# shellcheck disable=SC2086
cmake --build build-fuzz -j"$(nproc)" --target $harnesses
for h in $harnesses; do
    name=${h#fuzz_}
    scratch=$(mktemp -d)
    cp -r "fuzz/corpus/$name/." "$scratch/"
    echo "== $h for ${seconds}s"
    status=0
    "./build-fuzz/fuzz/$h" -max_total_time="$seconds" -print_final_stats=1 "$scratch" \
        >"$scratch.log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|Done|SUMMARY)' "$scratch.log" || true
    [ "$status" -eq 0 ] || tail -n 40 "$scratch.log"
    rm -rf "$scratch" "$scratch.log"
    [ "$status" -eq 0 ] || { echo "$h found a failing input" >&2; exit 1; }
done
echo "fuzzing: $(echo $harnesses | wc -w) passed, 0 failed"
