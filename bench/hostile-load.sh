#!/usr/bin/env bash
# Hostile load: a real client updates a tree from a server on loopback while
# hostile peers (bench/hostile-peers.py) attack it, all at once and each loop
# bounded: streamed requests that would hold descriptors, sessions that only
# ask for checksums from two addresses (32 each), sessions that never read,
# base requests of a file too large to pack, runs of "SRep" of one segment,
# and idle connections to the metrics endpoint. Prints the client's time on
# the quiet server and under attack, and the server's most descriptors and
# resident memory meanwhile; checks the tree byte for byte.
#   bench/hostile-load.sh [BUILD_FOLDER]   (default $UPD_BUILD_DIR, else build)
# Environment (defaults in brackets):
#   MIB [300]     size of the tree (files of 1 to 8 MiB, text and noise)
#   WARMUP [8]    seconds of attack before the client starts
#   UPD_BUILD_DIR [build], UPD_JOBS [2], BENCH_DIR [a temporary folder, removed]
set -euo pipefail
build=$(realpath -m "${1:-${UPD_BUILD_DIR:-build}}")
cd "$(dirname "$0")/.."
bench=$(pwd)/bench
mib=${MIB:-300}
warmup=${WARMUP:-8}
jobs=${UPD_JOBS:-2}
[[ "$mib" =~ ^[0-9]+$ && "$warmup" =~ ^[0-9]+$ ]] || { echo "MIB and WARMUP are whole numbers" >&2; exit 2; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target updserver updclient_tool >/dev/null

work=${BENCH_DIR:-$(mktemp -d)}
server= attacker= sampler=
cleanup() {
    for p in $attacker $sampler $server; do kill -9 "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/tree" "$work/quiet" "$work/attacked"
cd "$work"

echo "Generating a tree of $mib MiB in $work..."
python3 - "$mib" <<'PY'
import os, random, sys
random.seed(7)
block = (b"zelvan realm update texture sound map player launcher\n" * 20000)[: 1 << 20]
left, n = int(sys.argv[1]) << 20, 0
while left > 0:
    size = min(left, random.randint(1, 8) << 20)
    os.makedirs(f"tree/d{n % 10}", exist_ok=True)
    with open(f"tree/d{n % 10}/f{n}.pak", "wb") as f:
        for i in range(0, size, 1 << 20):
            f.write((os.urandom(1 << 20) if (i >> 20) % 2 else block)[: min(1 << 20, size - i)])
    left -= size
    n += 1
with open("tree/big.bin", "wb") as f:
    f.write(block * 8)
with open("tree/small.txt", "w") as f:
    f.write("small\n")
PY
# Sparse: beyond what one packed file can hold, and no disk used.
truncate -s 1000M tree/huge.bin

"$build/tools/updserver" --root tree --port 0 --port-file server.port --metrics 127.0.0.1:0 \
    --cache-dir "$work/packcache" --log-dir "$work" >/dev/null 2>server.err &
server=$!
for _ in $(seq 1 6000); do [ -s server.port ] && break; sleep 0.1; done
[ -s server.port ] || { echo "updserver did not start:" >&2; cat server.err >&2; exit 1; }
port=$(cat server.port)
metrics=$(sed -n 's/.*Metrics on .*(port \([0-9]*\)).*/\1/p' server.err | head -1)

update() {
    "$build/tools/updclient" --server "127.0.0.1:$port" --dir "$1" --list "$1.lst" --exclude huge.bin \
        --no-log update >/dev/null 2>"$1.err"
}
seconds() { python3 -c 'import time; print(f"{time.time():.3f}")'; }

# The quiet run packs what the cache folder keeps; a second quiet run is the
# baseline, as the attacked run finds the same cache.
update quiet
rm -rf quiet quiet.lst && mkdir quiet
t0=$(seconds); update quiet; t1=$(seconds)
quiet=$(python3 -c "print(f'{$t1 - $t0:.2f}')")

sample() {
    local fds rss most_fds=0 most_rss=0
    while kill -0 "$server" 2>/dev/null; do
        fds=$(ls "/proc/$server/fd" 2>/dev/null | wc -l)
        rss=$(awk '/VmRSS/ {print $2}' "/proc/$server/status" 2>/dev/null || echo 0)
        [ "$fds" -gt "$most_fds" ] && most_fds=$fds
        [ "${rss:-0}" -gt "$most_rss" ] && most_rss=$rss
        echo "$most_fds $most_rss" >sample.txt
        sleep 0.25
    done
}
sample & sampler=$!
duration=$((warmup + 300))
python3 "$bench/hostile-peers.py" "$port" "${metrics:-0}" "$duration" >attack.txt 2>attack.err &
attacker=$!
sleep "$warmup"
t0=$(seconds)
status=0
update attacked || status=$?
t1=$(seconds)
attackedTime=$(python3 -c "print(f'{$t1 - $t0:.2f}')")
read -r fds rss <sample.txt
kill "$attacker" 2>/dev/null || true
wait "$attacker" 2>/dev/null || true
attacker=

diff -r quiet attacked >/dev/null && same=yes || same=NO
echo
echo "Client update of $mib MiB, streaming, from a warm cache folder:"
echo "  quiet server:        $quiet s"
echo "  under attack:        $attackedTime s (status $status; ratio $(python3 -c "print(f'{$attackedTime / $quiet:.2f}')"); tree identical: $same)"
echo "Server during the attacked run (most):"
echo "  open descriptors:    $fds"
echo "  resident memory:     $((rss / 1024)) MiB"
echo "Server log counts:"
for what in "too little progress" "gives its slot" "answered busy" "more than can be packed whole" \
    "too many requests" "descriptors"; do
    echo "  '$what': $(grep -c "$what" Log_*.log 2>/dev/null | awk -F: '{s += $NF} END {print s + 0}')"
done
echo "Attackers (over the attacked run; interrupted at its end):"
cat attack.txt
