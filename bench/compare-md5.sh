#!/usr/bin/env bash
# Our MD5 against md5sum over the same 256 MiB file, in one run. Both read the
# file from the page cache (warmed first); best of three runs each, by wall
# time and by CPU time (user + system), which stays steady on a busy machine.
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

a=$(md5sum "$file" | cut -d' ' -f1)
b=$("$ours" --file "$file" 2>/dev/null | cut -d' ' -f1)
if [ "$a" != "$b" ]; then
    echo "digest mismatch: md5sum $a, ours $b" >&2
    exit 1
fi

# best COMMAND...: prints "WALL CPU", the smallest of three runs each, in seconds.
best() {
    local runs="" TIMEFORMAT='%R %U %S'
    for _ in 1 2 3; do
        runs+=$({ time "$@" >/dev/null 2>&1; } 2>&1)$'\n'
    done
    awk 'NF == 3 { w = $1; c = $2 + $3
                   if (bw == "" || w < bw) bw = w
                   if (bc == "" || c < bc) bc = c }
         END { printf "%s %s\n", bw, bc }' <<<"$runs"
}

read -r ref_wall ref_cpu < <(best md5sum "$file")
read -r our_wall our_cpu < <(best "$ours" --file "$file")
awk -v rw="$ref_wall" -v rc="$ref_cpu" -v ow="$our_wall" -v oc="$our_cpu" 'BEGIN {
    mb = 268.435456
    printf "md5sum: %4.0f MB/s wall, %4.0f MB/s CPU\n", mb / rw, mb / rc
    printf "ours:   %4.0f MB/s wall, %4.0f MB/s CPU\n", mb / ow, mb / oc
    printf "ratio:  %.2fx wall, %.2fx CPU (target >= 0.90)\n", rw / ow, rc / oc
}'
