#!/usr/bin/env bash
# SHA-256 verification of an installation as a signed release checks it: our
# hashing (the system's library behind platform/Crypto.h) against sha256sum
# over the same files, in one run, on one core. The files are read from the
# page cache (warmed first); best of three runs each, by wall time and by CPU
# time (user + system), which stays steady on a busy machine. The digests of
# both must agree. Target: 1 GB/s or more.
# Usage: verify-speed.sh BUILD_FOLDER [MIB]   (MIB: size of the installation, 2048 unless given)
set -euo pipefail
build=${1:?usage: verify-speed.sh BUILD_FOLDER [MIB]}
mib=${2:-2048}
ours="$build/bench/bench_sha256"
[ -x "$ours" ] || { echo "missing $ours (build the target bench_sha256)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tree="$tmp/install"
mkdir -p "$tree/data" "$tree/bin"
# A game's shape: a few large packs, some middle-sized files, many small ones.
left=$mib
i=0
while [ "$left" -gt 0 ]; do
    size=$(( left >= 256 ? 256 : left ))
    head -c $((size << 20)) /dev/urandom >"$tree/data/pack$i.pak"
    left=$((left - size))
    i=$((i + 1))
done
for j in $(seq 1 200); do head -c $(( (j * 7919) % 300000 + 1 )) /dev/urandom >"$tree/bin/f$j.dll"; done
(cd "$tree" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/paths"
bytes=$(cd "$tree" && cat $(cat "$tmp/paths") | wc -c)
cat "$tree"/data/* "$tree"/bin/* >/dev/null

ref() { (cd "$tree" && xargs -d '\n' sha256sum <"$tmp/paths"); }
mine() { "$ours" --tree "$tree" <"$tmp/paths"; }
if ! diff <(ref) <(mine) >/dev/null; then
    echo "digests differ between sha256sum and ours" >&2
    exit 1
fi

# best FUNCTION: prints "WALL CPU", the smallest of three runs each, in seconds.
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

read -r ref_wall ref_cpu < <(best ref)
read -r our_wall our_cpu < <(best mine)
awk -v b="$bytes" -v rw="$ref_wall" -v rc="$ref_cpu" -v ow="$our_wall" -v oc="$our_cpu" 'BEGIN {
    gb = b / 1e9
    printf "installation: %.2f GB in %d files\n", gb, 0
    printf "sha256sum: %5.2f GB/s wall, %5.2f GB/s CPU\n", gb / rw, gb / rc
    printf "ours:      %5.2f GB/s wall, %5.2f GB/s CPU (target >= 1 GB/s)\n", gb / ow, gb / oc
    printf "ratio:     %.2fx wall, %.2fx CPU\n", rw / ow, rc / oc
}' | sed "s/in 0 files/in $(wc -l <"$tmp/paths") files/"
