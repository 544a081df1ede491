#!/usr/bin/env bash
# A fuzz campaign: builds the libFuzzer targets with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), runs each for a number of runs and prints
# one table row per target: runs, coverage (cov, ft), executions per second and
# findings. Exits non-zero when a target found anything or stopped early.
#
# Usage: bench/fuzz-campaign.sh [-r RUNS] [-j JOBS] [TARGET...]
#   -r RUNS   runs per target (default 10000000)
#   -j JOBS   parallel libFuzzer workers per target (default 1)
#   TARGET    names without the fuzz_ prefix (default: every target)
# The corpus grows in build-fuzz/corpus/TARGET (seeded from fuzz/seeds/TARGET);
# inputs that crash, leak or time out are kept in build-fuzz/findings/TARGET;
# each target's output is in build-fuzz/campaign/TARGET.log.
# Environment: FUZZ_BUILD (build folder, default build-fuzz),
# FUZZ_MAX_TIME (seconds a target may run at most, default unlimited).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

runs=10000000
jobs=1
while getopts "r:j:h" opt; do
    case $opt in
    r) runs=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) sed -n '2,15p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
build=${FUZZ_BUILD:-$root/build-fuzz}
max_time=${FUZZ_MAX_TIME:-0}

command -v clang++ >/dev/null || { echo "clang++ is needed for the fuzz targets" >&2; exit 1; }
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUPD_FUZZ=ON -DUPD_BENCH=OFF -DUPD_WINDOW=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in "$build"/fuzz/fuzz_*; do
        [ -x "$f" ] && targets+=("$(basename "$f" | sed 's/^fuzz_//')")
    done
fi

# The targets run in a folder of their own: any daily log file they write stays there.
scratch="$build/campaign"
mkdir -p "$scratch"

failed=0
rows=()
for name in "${targets[@]}"; do
    binary="$build/fuzz/fuzz_$name"
    [ -x "$binary" ] || { echo "no fuzz target '$name'" >&2; exit 2; }
    corpus="$build/corpus/$name"
    findings="$build/findings/$name"
    mkdir -p "$corpus" "$findings"
    seeds=()
    [ -d "$root/fuzz/seeds/$name" ] && seeds=("$root/fuzz/seeds/$name")
    log="$scratch/$name.log"
    echo "-- $name: $runs runs" >&2
    before=$(find "$findings" -type f | wc -l)
    start=$(date +%s)
    set +e
    args=(-runs="$runs" -max_total_time="$max_time" -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix="$findings/")
    if [ "$jobs" -gt 1 ]; then
        # Workers share the corpus; each runs its share of the runs.
        (cd "$scratch" && "$binary" "${args[@]/#-runs=*/-runs=$((runs / jobs))}" -jobs="$jobs" -workers="$jobs" \
            "$corpus" "${seeds[@]}" >"$log" 2>&1)
        cat "$scratch"/fuzz-*.log >>"$log" 2>/dev/null
        rm -f "$scratch"/fuzz-*.log
    else
        (cd "$scratch" && "$binary" "${args[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1)
    fi
    status=$?
    set -e
    seconds=$(( $(date +%s) - start ))
    done_runs=$(awk '/stat::number_of_executed_units/ { n += $NF } END { print n + 0 }' "$log")
    rate=$(awk '/stat::average_exec_per_sec/ { n += $NF } END { print n + 0 }' "$log")
    # libFuzzer reports 0 for runs shorter than a second.
    [ "$rate" -gt 0 ] || rate=$(( done_runs / (seconds > 0 ? seconds : 1) ))
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 | awk '{ print $2 " " $4 }')
    found=$(( $(find "$findings" -type f | wc -l) - before ))
    result=ok
    if [ "$found" -gt 0 ] || [ "$status" -ne 0 ]; then
        result="FAILED (exit $status): $(grep -m1 -oE 'ERROR: [A-Za-z]+: [^ ]+( [^ ]+)?|deadly signal|out-of-memory|timeout' "$log" || echo "see log")"
        failed=1
    fi
    rows+=("$(printf '%-20s %12s %7s %7s %9s %7s %8s  %s' "$name" "$done_runs" ${cov:-- -} "$rate" \
        "$seconds" "$found" "$result")")
done

printf '%-20s %12s %7s %7s %9s %7s %8s  %s\n' target runs cov ft "exec/s" seconds findings result
printf '%s\n' "${rows[@]}"
exit $failed
