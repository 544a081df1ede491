#!/usr/bin/env bash
# Our MD5 against md5sum over the same 256 MiB file, in one run. Both read the
# file from the page cache (warmed first); best of three runs each.
# Usage: compare-md5.sh BUILD_FOLDER
set -euo pipefail
build=${1:?usage: compare-md5.sh BUILD_FOLDER}
ours="$build/bench/bench_md5"
[ -x "$ours" ] || { echo "missing $ours" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
file="$tmp/data.bin"
head -c $((256 << 20)) /dev/urandom >"$file"
cat "$file" >/dev/null

best() { # command...: the shortest wall time of three runs, in seconds
    local best_t=""
    for _ in 1 2 3; do
        local s e t
        s=$(date +%s.%N)
        "$@" >/dev/null 2>&1
        e=$(date +%s.%N)
        t=$(awk -v s="$s" -v e="$e" 'BEGIN { printf "%.6f", e - s }')
        if [ -z "$best_t" ] || awk -v t="$t" -v b="$best_t" 'BEGIN { exit !(t < b) }'; then best_t=$t; fi
    done
    echo "$best_t"
}

a=$(md5sum "$file" | cut -d' ' -f1)
b=$("$ours" --file "$file" 2>/dev/null | cut -d' ' -f1)
if [ "$a" != "$b" ]; then
    echo "digest mismatch: md5sum $a, ours $b" >&2
    exit 1
fi

t_ref=$(best md5sum "$file")
t_ours=$(best "$ours" --file "$file")
awk -v r="$t_ref" -v o="$t_ours" 'BEGIN {
    mb = 268.435456
    printf "md5sum: %.0f MB/s\n", mb / r
    printf "ours:   %.0f MB/s\n", mb / o
    printf "ratio:  %.2fx md5sum (target >= 0.90)\n", r / o
}'
