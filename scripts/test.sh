#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the normal build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, short fuzz runs, and the
# Windows build under Wine (scripts/windows-test.sh; UPD_SKIP_WINDOWS=1 skips it).
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

"$root/scripts/deps.sh"

jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

# Tests that open a window need an X server; give them a virtual one.
run_ctest() {
    local dir=$1
    if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
        xvfb-run -a -s "-screen 0 1280x1024x24" ctest --test-dir "$dir" --output-on-failure -j "$jobs"
    else
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
    fi
}

echo "== format"
# One style across the tree; reformat with: git ls-files '*.cpp' '*.h' | xargs clang-format -i
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPD_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
run_ctest build

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPD_SANITIZE=ON -DUPD_BENCH=OFF -DUPD_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan

if command -v clang++ >/dev/null; then
    echo "== fuzz targets (${fuzz_seconds}s each)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DUPD_FUZZ=ON -DUPD_BENCH=OFF -DUPD_WINDOW=OFF -DUPD_WERROR=ON >/dev/null
    cmake --build build-fuzz -j "$jobs" --target fuzzers
    # Run from the build folder: the log writes its daily file into the current folder.
    for f in "$root"/build-fuzz/fuzz/fuzz_*; do
        [ -x "$f" ] || continue
        name=$(basename "$f")
        corpus="$root/build-fuzz/corpus/$name"
        mkdir -p "$corpus"
        seeds="$root/fuzz/seeds/${name#fuzz_}"
        [ -d "$seeds" ] || seeds=""
        echo "-- $name"
        (cd "$root/build-fuzz" && "$f" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" $seeds 2>&1 | tail -n 3)
    done
else
    echo "clang++ not found: fuzz targets skipped"
fi
if [ "${UPD_SKIP_WINDOWS:-0}" != 1 ]; then
    JOBS="$jobs" "$root/scripts/windows-test.sh"
fi
echo "== all tests passed"
