#!/usr/bin/env bash
# Patch benchmark: a v1 tree installed by each tool, then the update to v2
# measured, updclient from updserver against rsync -a --delete from an rsync
# daemon, both through latency_relay. v2 rewrites eight 32 KiB regions in each
# of three packs and inserts 64 KiB in the middle of one; of 200 small files 25
# are rewritten, 10 added and 10 removed. Bytes moved are what the relay read
# in both directions (its --count-file), so both tools are counted alike.
#   bench/compare-patch.sh [BUILD_FOLDER]   (default $UPD_BUILD_DIR, else build)
# Environment (defaults in brackets):
#   PACK_MIB [64]      size of each pack (256 for the full variant)
#   RTT [20]           added round-trip time in ms
#   RATE [12500k]      relay cap per direction in bytes/s (100 Mbit/s)
#   UPD_BUILD_DIR [build], UPD_JOBS [2], BENCH_DIR [a temporary folder, removed]
set -euo pipefail
build=$(realpath -m "${1:-${UPD_BUILD_DIR:-build}}")
cd "$(dirname "$0")/.."
root=$(pwd)
packmib=${PACK_MIB:-64}
rtt=${RTT:-20}
rate=${RATE:-12500k}
jobs=${UPD_JOBS:-2}
for v in "$packmib" "$rtt" "$jobs"; do
    [[ "$v" =~ ^[0-9]+$ ]] || { echo "not a whole number: $v" >&2; exit 2; }
done

"$root/scripts/deps.sh" --bench
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target updserver updclient_tool latency_relay >/dev/null
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

work=${BENCH_DIR:-$(mktemp -d)}
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    for f in "$work"/*.pid; do [ -f "$f" ] && { kill "$(cat "$f")" 2>/dev/null || true; }; done
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"
cd "$work"

echo "Generating v1 and v2: three packs of $packmib MiB and 200 small files in $work..."
python3 - "$packmib" <<'PY'
import os, random, sys
mib = int(sys.argv[1])
rnd = random.Random(7)
def noise(n):
    return rnd.randbytes(n)
def text(n):
    words = [b"zelvan", b"realm", b"texture", b"sound", b"map", b"player"]
    line = b" ".join(rnd.choice(words) for _ in range(12)) + b"\n"
    return (line * (n // len(line) + 1))[:n]
def write(path, data, t):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (t, t))
packs = {}
for i in range(3):
    # Alternating MiB blocks of noise and text, like a game archive.
    packs["data/pack%d.pak" % i] = b"".join(noise(1 << 20) if b % 4 else text(1 << 20) for b in range(mib))
small = {"misc/f%03d.dat" % i: (noise if i % 2 else text)(rnd.randint(4 << 10, 64 << 10)) for i in range(200)}
for name, data in list(packs.items()) + list(small.items()):
    write(os.path.join("v1", name), data, 1700000000)
for k, name in enumerate(sorted(packs)):
    data = bytearray(packs[name])
    for _ in range(8):
        at = rnd.randrange(0, len(data) - (32 << 10))
        data[at:at + (32 << 10)] = noise(32 << 10)
    if k == 1:
        mid = len(data) // 2
        data[mid:mid] = noise(64 << 10)
    packs[name] = bytes(data)
names = sorted(small)
for name in names[:25]:
    small[name] = noise(len(small[name]))
for name in names[25:35]:
    del small[name]
for i in range(10):
    small["misc/new%02d.dat" % i] = noise(rnd.randint(4 << 10, 64 << 10))
for name, data in list(packs.items()) + list(small.items()):
    write(os.path.join("v2", name), data, 1700100000)
PY
changed=$(python3 - <<'PY'
import os
total = 0
for dirpath, _, files in os.walk("v2"):
    for f in files:
        p = os.path.join(dirpath, f)
        q = os.path.join("v1", os.path.relpath(p, "v2"))
        a = open(p, "rb").read()
        b = open(q, "rb").read() if os.path.exists(q) else b""
        total += sum(1 for i in range(0, len(a), 4096) if a[i:i + 4096] != b[i:i + 4096]) * 4096 if len(a) == len(b) else 0
print(total)
PY
)

wait_for_file() {
    for _ in $(seq 1 6000); do [ -s "$1" ] && return 0; sleep 0.1; done
    echo "timed out waiting for $1" >&2
    exit 1
}
serve_upd() { # the updserver on srv, its port in upd.port
    rm -f upd.port
    "$build/tools/updserver" --root srv --port 0 --port-file upd.port --cache-dir "$work/cache" \
        --max-clients 8 --timeout 600 --log-dir "$work" >/dev/null 2>>server.err &
    echo $! > updserver.pid
    wait_for_file upd.port
}
stop_upd() {
    kill "$(cat updserver.pid)" 2>/dev/null || true
    while kill -0 "$(cat updserver.pid)" 2>/dev/null; do sleep 0.1; done
}
start_relay() { # name target: prints the relay's port
    "$build/bench/latency_relay" --target "127.0.0.1:$2" --rtt-ms "$rtt" --rate "$rate" \
        --port-file "$1.port" --count-file "$1.count" >/dev/null 2>"$1.err" &
    echo $! > "$1.pid"
    wait_for_file "$1.port"
    cat "$1.port"
}
relay_bytes() { # name: bytes the relay delivered both ways, then stops it
    sleep 0.3 # the count is written every 100 ms
    cat "$1.count"
    kill "$(cat "$1.pid")" 2>/dev/null || true
    rm -f "$1.pid"
}
verify() {
    if diff -r -q "$1" "$2" >/dev/null 2>&1; then echo ok; else echo differs; fi
}

# v1, installed by each tool straight from its server.
cp -a v1 srv
serve_upd
mkdir upd rs
"$build/tools/updclient" --server "127.0.0.1:$(cat upd.port)" --dir upd --list upd.lst update >/dev/null 2>v1.upd.err
rsport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'use chroot = no\n[srv]\n    path = %s\n    read only = yes\n' "$work/srv" > rsyncd.conf
rsync --daemon --no-detach --address=127.0.0.1 --port="$rsport" --config=rsyncd.conf --log-file=rsyncd.log &
pids+=($!)
for _ in $(seq 1 100); do rsync "rsync://127.0.0.1:$rsport/" >/dev/null 2>&1 && break; sleep 0.1; done
rsync -a --delete "rsync://127.0.0.1:$rsport/srv/" rs/
echo "v1 installed: updclient $(verify v1 upd), rsync $(verify v1 rs)"

# v2 published; the server starts afresh on it (indexes made on first request).
stop_upd
rsync -a --delete v2/ srv/
serve_upd
srvpid=$(cat updserver.pid)
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }

port=$(start_relay relay.upd "$(cat upd.port)")
cpu0=$(cpu "$srvpid")
t0=$(date +%s.%N)
"$build/tools/updclient" --server "127.0.0.1:$port" --dir upd --list upd.lst update >/dev/null 2>v2.upd.err ||
    echo "updclient failed, see $work/v2.upd.err" >&2
t1=$(date +%s.%N)
cpu1=$(cpu "$srvpid")
updbytes=$(relay_bytes relay.upd)
updcheck=$(verify v2 upd)

port=$(start_relay relay.rs "$rsport")
t2=$(date +%s.%N)
rsync -a --delete "rsync://127.0.0.1:$port/srv/" rs/
t3=$(date +%s.%N)
rsbytes=$(relay_bytes relay.rs)
rscheck=$(verify v2 rs)
stop_upd

hz=$(getconf CLK_TCK)
python3 - "$packmib" "$rtt" "$rate" "$buildtype" "$changed" "$updbytes" "$t0" "$t1" "$updcheck" \
    "$rsbytes" "$t2" "$t3" "$rscheck" "$cpu0" "$cpu1" "$hz" <<'PY'
import sys
(packmib, rtt, rate, buildtype, changed, ub, t0, t1, uc, rb, t2, t3, rc, c0, c1, hz) = sys.argv[1:]
mib = lambda b: int(b) / 1048576
ut, rt = float(t1) - float(t0), float(t3) - float(t2)
print()
print("Patch v1 -> v2 through latency_relay (%s ms RTT, cap %s/s per direction), %s build" % (rtt, rate, buildtype))
print("three packs of %s MiB; about %.1f MiB changed (4 KiB blocks differing in place; the inserted pack counted 0)"
      % (packmib, mib(changed)))
print("%-10s %12s %10s %7s" % ("tool", "moved MiB", "time s", "copy"))
print("%-10s %12.2f %10.2f %7s" % ("updclient", mib(ub), ut, uc))
print("%-10s %12.2f %10.2f %7s" % ("rsync", mib(rb), rt, rc))
print("updclient / rsync: bytes %.2fx, time %.2fx; updserver CPU %.2f s (rsync daemon not measured)"
      % (int(ub) / max(1, int(rb)), ut / max(rt, 1e-9), (int(c1) - int(c0)) / int(hz)))
PY
