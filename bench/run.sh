#!/usr/bin/env bash
# Runs every benchmark: the Google Benchmark binaries, then the comparison
# scripts (bench/compare-*.sh) that measure us against reference tools in the
# same run. Not part of the test suite; figures go to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
"$root/scripts/deps.sh" --bench
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPD_BENCH=ON >/dev/null
cmake --build build -j "$(nproc)"
for b in build/bench/bench_*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b" --benchmark_counters_tabular=true
done
for s in bench/compare-*.sh; do
    [ -f "$s" ] || continue
    echo "== $(basename "$s")"
    bash "$s" "$root/build"
done
