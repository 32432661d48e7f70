#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   WISPLINE_SANITIZE=1 bash scripts/test.sh   the same with clang, AddressSanitizer and
#                                              UndefinedBehaviorSanitizer (folder build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${WISPLINE_SANITIZE:-0}" = 1 ]; then
    WISPLINE_CLANG=1 bash scripts/deps.sh
    build=build-asan
    options+=(-DCMAKE_CXX_COMPILER=clang++ -DWISPLINE_SANITIZE=ON -DWISPLINE_BUILD_BENCH=OFF)
    # Leaks are reported at exit by the process-end paths that skip destructors on purpose.
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
fi
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j2
