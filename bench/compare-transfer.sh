#!/usr/bin/env bash
# Transfer benchmark over simulated links: a fresh install by updclient from
# updserver against rsync -a from an rsync daemon, both through latency_relay at
# each round-trip time, same trees, same relay. Two trees: many mixed files
# (half compressible text, half random) and one large file. The server's pack
# cache is warmed by one direct download first (that cold run is shown too).
# Each install is followed by a run with nothing changed.
# Names are lower case because updclient stores them so.
#   bench/compare-transfer.sh [BUILD_FOLDER]   (default $UPD_BUILD_DIR, else build)
# Environment (defaults in brackets):
#   FILES [2000] and MIB [300]   the many-files tree
#   BIG_MIB [2048]               the single large file; 0 leaves it out
#   RTTS ["0 20 100"]            added round-trip times in ms
#   RATE [0]                     relay cap per direction (k, M, G suffixes)
#   RUN_TIMEOUT [3600]           seconds after which one run counts as failed
#   UPD_BUILD_DIR [build], UPD_JOBS [2], BENCH_DIR [a temporary folder, removed]
#   UPD_ARGS [none]              extra updclient options, e.g. --no-stream
#   BENCH_FORCE_BIG [0]          1: with --no-stream, try updclient on a large file
#                                even when it packs beyond the base transfer limit (64 MiB)
set -euo pipefail
build=$(realpath -m "${1:-${UPD_BUILD_DIR:-build}}")
cd "$(dirname "$0")/.."
root=$(pwd)
files=${FILES:-2000}
mib=${MIB:-300}
bigmib=${BIG_MIB:-2048}
rtts=${RTTS:-0 20 100}
rate=${RATE:-0}
limit=${RUN_TIMEOUT:-3600}
jobs=${UPD_JOBS:-2}
for v in "$files" "$mib" "$bigmib" "$limit" "$jobs"; do
    [[ "$v" =~ ^[0-9]+$ ]] || { echo "not a whole number: $v" >&2; exit 2; }
done
for r in $rtts; do
    [[ "$r" =~ ^[0-9]+$ ]] || { echo "not a round-trip time in ms: $r" >&2; exit 2; }
done

"$root/scripts/deps.sh" --bench
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target updserver updclient_tool updctl latency_relay >/dev/null
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

echo "Generating: $files files / $mib MiB, and one file of $bigmib MiB, in $work..."
python3 - "$files" "$mib" "$bigmib" <<'PY'
import os, random, sys
files, mib, bigmib = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(42)
words = [b"zelvan", b"realm", b"update", b"texture", b"sound", b"map", b"player", b"launcher"]
def text(size):
    line = b" ".join(rnd.choice(words) for _ in range(12)) + b"\n"
    return (line * (size // len(line) + 1))[:size]
total = mib << 20
sizes = [rnd.expovariate(1.0) for _ in range(files)]
scale = total / sum(sizes) if files else 0
for i, s in enumerate(sizes):
    size = int(s * scale)
    d = os.path.join("tree", "dir%02d" % (i % 40), "sub%d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%05d.bin" % i), "wb") as f:
        f.write(os.urandom(size) if i % 2 else text(size))
os.makedirs("big", exist_ok=True)
if bigmib:
    # Alternating MiB blocks of text and random bytes, like a game archive.
    block = text(1 << 20)
    with open(os.path.join("big", "archive.pak"), "wb") as f:
        for i in range(bigmib):
            f.write(os.urandom(1 << 20) if i % 2 else block)
PY

wait_for_file() {
    for _ in $(seq 1 6000); do [ -s "$1" ] && return 0; sleep 0.1; done
    echo "timed out waiting for $1" >&2
    exit 1
}

# Servers: one updserver per tree, one rsync daemon with a module per tree.
trees=(tree)
[ "$bigmib" -gt 0 ] && trees+=(big)
declare -A updport
for t in "${trees[@]}"; do
    "$build/tools/updserver" --root "$t" --port 0 --port-file "$t.port" --cache-mb 4096 \
        --max-clients 8 --timeout 600 --log-dir "$work" --allow-anonymous-changes >/dev/null 2>"server.$t.err" &
    pids+=($!)
done
for t in "${trees[@]}"; do
    wait_for_file "$t.port"
    updport[$t]=$(cat "$t.port")
done
rsport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
{
    echo "use chroot = no"
    for t in "${trees[@]}"; do printf '[%s]\n    path = %s\n    read only = yes\n' "$t" "$work/$t"; done
} > rsyncd.conf
rsync --daemon --no-detach --address=127.0.0.1 --port="$rsport" --config=rsyncd.conf --log-file=rsyncd.log &
pids+=($!)
for _ in $(seq 1 100); do rsync "rsync://127.0.0.1:$rsport/" >/dev/null 2>&1 && break; sleep 0.1; done

# A relay per tool and round-trip time; prints its port.
start_relay() {
    local name=$1 target=$2 rtt=$3
    "$build/bench/latency_relay" --target "127.0.0.1:$target" --rtt-ms "$rtt" --rate "$rate" \
        --port-file "$name.port" >/dev/null 2>"$name.err" &
    # Called in a command substitution: the pid reaches cleanup through a file.
    echo $! > "$name.pid"
    wait_for_file "$name.port"
    cat "$name.port"
}

# Runs one fresh install and writes "wall peakKiB exit" to the named file.
measure() {
    local out=$1; shift
    local code=0
    /usr/bin/time -f "%e %M" -o "$out.time" timeout "$limit" "$@" >/dev/null 2>"$out.err" || code=$?
    echo "$(tail -n 1 "$out.time") $code" > "$out"
}
# Whether the copy equals the tree.
verify() {
    if diff -r -q "$1" "$2" >/dev/null 2>&1; then echo ok; else echo differs; fi
}
run_upd() { # result-name tree port
    rm -rf dest dest.lst
    mkdir dest
    # shellcheck disable=SC2086 # UPD_ARGS: extra updclient options, e.g. --no-stream
    measure "$1" "$build/tools/updclient" ${UPD_ARGS:-} --server "127.0.0.1:$3" --dir dest --list dest.lst update
    echo "$(cat "$1") $(verify "$2" dest)" > "$1"
    # shellcheck disable=SC2086
    measure "$1.again" "$build/tools/updclient" ${UPD_ARGS:-} --server "127.0.0.1:$3" --dir dest --list dest.lst update
    echo "$(cat "$1.again") $(verify "$2" dest)" > "$1.again"
    rm -rf dest dest.lst
}
run_rsync() { # result-name tree port
    rm -rf dest
    mkdir dest
    measure "$1" rsync -a "rsync://127.0.0.1:$3/$2/" dest/
    echo "$(cat "$1") $(verify "$2" dest)" > "$1"
    measure "$1.again" rsync -a "rsync://127.0.0.1:$3/$2/" dest/
    echo "$(cat "$1.again") $(verify "$2" dest)" > "$1.again"
    rm -rf dest
}

# Streaming clients do not wait for the cache: it packs behind them. The
# measured runs start once it has nothing left to pack.
wait_packed() { # port
    local n
    for _ in $(seq 1 3000); do
        n=$("$build/tools/updctl" --server "127.0.0.1:$1" --deadline 30 command status 2>/dev/null |
            sed -n 's/.* \([0-9][0-9]*\) files waiting to be packed.*/\1/p')
        [ "$n" = 0 ] && return 0
        sleep 0.2
    done
    echo "the server's cache is still packing" >&2
}

skip_upd() { # tree: the base transfer (--no-stream) cannot carry a file that packs beyond 64 MiB
    [ "$1" = big ] && [ "$bigmib" -gt 64 ] && [ "${BENCH_FORCE_BIG:-0}" != 1 ] &&
        [[ " ${UPD_ARGS:-} " == *" --no-stream "* ]]
}

results=()
for t in "${trees[@]}"; do
    if skip_upd "$t"; then
        echo "skipped $t" > "r.$t.cold"
    else
        echo "Warming the server's cache with $t (direct)..."
        run_upd "r.$t.cold" "$t" "${updport[$t]}"
        wait_packed "${updport[$t]}"
    fi
    results+=("$t cold r.$t.cold -")
    for rtt in $rtts; do
        echo "$t at $rtt ms..."
        if skip_upd "$t"; then
            echo "skipped" > "r.$t.$rtt.upd"
        else
            port=$(start_relay "relay.upd.$t.$rtt" "${updport[$t]}" "$rtt")
            run_upd "r.$t.$rtt.upd" "$t" "$port"
        fi
        port=$(start_relay "relay.rs.$t.$rtt" "$rsport" "$rtt")
        run_rsync "r.$t.$rtt.rs" "$t" "$port"
        results+=("$t $rtt r.$t.$rtt.upd r.$t.$rtt.rs")
        if skip_upd "$t"; then
            results+=("$t $rtt/same r.$t.$rtt.upd r.$t.$rtt.rs.again")
        else
            results+=("$t $rtt/same r.$t.$rtt.upd.again r.$t.$rtt.rs.again")
        fi
    done
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
python3 - "$files" "$mib" "$bigmib" "$rate" "$buildtype" "$load" "${results[@]}" <<'PY'
import sys
files, mib, bigmib, rate, buildtype, load = sys.argv[1:7]
rows = sys.argv[7:]
sizes = {"tree": int(mib), "big": int(bigmib)}

def read(name):
    if name == "-":
        return None
    parts = open(name).read().split()
    if parts[0] == "skipped":
        return "skipped"
    if len(parts) < 4:
        return "failed (exit %s)" % parts[-2] if len(parts) >= 2 else "failed"
    wall, kb, code, check = float(parts[0]), int(parts[1]), int(parts[2]), parts[3]
    if code != 0 or check != "ok":
        return "failed (exit %d, copy %s)" % (code, check)
    return wall, kb

print()
print("Fresh install through latency_relay, %s build, relay cap %s, load %s" % (buildtype, rate, load))
print("tree: %s files / %s MiB; big: %s" % (files, mib, "one file of %s MiB" % bigmib if int(bigmib) else "left out"))
print("%-5s %6s %12s %10s %12s %13s %8s" % ("tree", "RTT ms", "updclient s", "upd MiB/s", "rsync s", "upd peak MiB", "ratio"))
for row in rows:
    tree, rtt, upd, rs = row.split()
    u, r = read(upd), read(rs)
    def cell(x):
        return ("%.2f" % x[0]) if isinstance(x, tuple) else (x or "")
    speed = ("%.1f" % (sizes[tree] / u[0])) if isinstance(u, tuple) and u[0] > 0 and not rtt.endswith("/same") else ""
    peak = ("%.1f" % (u[1] / 1024)) if isinstance(u, tuple) else ""
    ratio = ("%.2fx" % (u[0] / r[0])) if isinstance(u, tuple) and isinstance(r, tuple) and r[0] > 0 else ""
    label = "cold" if rtt == "cold" else rtt
    print("%-5s %6s %12s %10s %12s %13s %8s" % (tree, label, cell(u), speed, cell(r), peak, ratio))
print("(cold: first download straight from the server, packing on demand; N/same: a second run with")
print(" nothing changed; ratio: updclient / rsync)")
PY
