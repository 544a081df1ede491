#!/usr/bin/env bash
# Our directory scan (filelist scan, without checksums) against
# find DIR -printf '%s %T@ %p\n' on the same generated tree of 20,000 files in
# 1,000 folders, in one run. Both read the directory data from the cache
# (warmed first); best of five runs each. Target: ours no slower than 1.5x find.
# Usage: compare-scan.sh BUILD_FOLDER
set -euo pipefail
build=${1:?usage: compare-scan.sh BUILD_FOLDER}
ours="$build/tools/filelist"
[ -x "$ours" ] || { echo "missing $ours" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tree="$tmp/tree"
mkdir -p "$tree"/top{0..39}/sub{0..24}
for d in "$tree"/top*/sub*; do
    for f in {0..19}; do
        printf '%s' "$d$f" >"$d/file$f.dat"
    done
done
find "$tree" -printf '%s %T@ %p\n' >/dev/null

count=$(find "$tree" -type f | wc -l)
"$ours" scan "$tree" "$tmp/out.lst" >"$tmp/summary"
listed=$(cut -d' ' -f1 "$tmp/summary")
if [ "$count" != "$listed" ]; then
    echo "file count mismatch: find $count, filelist $listed" >&2
    exit 1
fi

# best COMMAND...: prints "WALL CPU", the smallest of five runs each, in seconds.
best() {
    local runs="" TIMEFORMAT='%R %U %S'
    for _ in 1 2 3 4 5; do
        runs+=$({ time "$@" >/dev/null 2>&1; } 2>&1)$'\n'
    done
    awk 'NF == 3 { w = $1; c = $2 + $3
                   if (bw == "" || w < bw) bw = w
                   if (bc == "" || c < bc) bc = c }
         END { printf "%s %s\n", bw, bc }' <<<"$runs"
}

read -r ref_wall ref_cpu < <(best find "$tree" -printf '%s %T@ %p\n')
read -r our_wall our_cpu < <(best "$ours" scan "$tree" "$tmp/out.lst")
awk -v rw="$ref_wall" -v rc="$ref_cpu" -v ow="$our_wall" -v oc="$our_cpu" -v n="$count" 'BEGIN {
    printf "find:     %6.1f ms wall, %6.1f ms CPU (%d files)\n", rw * 1000, rc * 1000, n
    printf "filelist: %6.1f ms wall, %6.1f ms CPU (scan and list written)\n", ow * 1000, oc * 1000
    printf "ratio:    %.2fx wall, %.2fx CPU (target <= 1.50)\n", ow / rw, (rc > 0 ? oc / rc : 0)
}'
