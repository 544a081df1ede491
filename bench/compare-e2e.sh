#!/usr/bin/env bash
# End-to-end benchmark: a generated tree installed from empty by updclient from
# updserver over loopback, against rsync -a from an rsync daemon on loopback
# into an empty folder; then the no-change run of both. Prints wall time,
# throughput and peak memory of each, and the ratios.
#   bench/compare-e2e.sh [FILES] [MIB]      (default 2000 files, 300 MiB)
# Environment: UPD_BUILD_DIR (default build), UPD_JOBS (default 2),
# BENCH_DIR (default a temporary folder, removed afterwards).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
files=${1:-2000}
mib=${2:-300}
build=$(realpath -m "${UPD_BUILD_DIR:-build}")
jobs=${UPD_JOBS:-2}

"$root/scripts/deps.sh" --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target updserver updclient_tool >/dev/null

work=${BENCH_DIR:-$(mktemp -d)}
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"
cd "$work"

echo "Generating $files files, $mib MiB (half compressible text, half random) in $work/content..."
python3 - "$files" "$mib" <<'PY'
import os, random, sys
files, mib = int(sys.argv[1]), int(sys.argv[2])
rnd = random.Random(42)
total = mib << 20
words = [b"zelvan", b"realm", b"update", b"texture", b"sound", b"map", b"player", b"launcher"]
sizes = [rnd.expovariate(1.0) for _ in range(files)]
scale = total / sum(sizes)
for i, s in enumerate(sizes):
    size = int(s * scale)
    d = os.path.join("content", "dir%02d" % (i % 40), "sub%d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "File%05d.bin" % i), "wb") as f:
        if i % 2:
            f.write(os.urandom(size))
        else:
            line = b" ".join(rnd.choice(words) for _ in range(12)) + b"\n"
            f.write((line * (size // len(line) + 1))[:size])
PY

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# "wall seconds, peak KiB" of a command, from GNU time.
measure() {
    local out=$1; shift
    /usr/bin/time -f "%e %M" -o "$out" "$@" >/dev/null 2>"$out.err"
}

# Packed files persist in content.packcache beside the content, so the
# first run of a fresh folder is cold and a restarted server is not.
start_server() {
    rm -f upd.port
    "$build/tools/updserver" --root content --port 0 --port-file upd.port --cache-mb 2048 \
        >/dev/null 2>>server.err &
    pids+=($!)
    server=$!
    for _ in $(seq 1 6000); do [ -s upd.port ] && break; sleep 0.1; done
    updport=$(cat upd.port)
}
echo "Starting updserver (lists and checksums are built before it listens)..."
start_server

rsport=$(free_port)
cat > rsyncd.conf <<CONF
use chroot = no
[content]
    path = $work/content
    read only = yes
CONF
rsync --daemon --no-detach --address=127.0.0.1 --port="$rsport" --config=rsyncd.conf --log-file=rsyncd.log &
pids+=($!)
for _ in $(seq 1 100); do rsync "rsync://127.0.0.1:$rsport/" >/dev/null 2>&1 && break; sleep 0.1; done

mkdir -p upd1 upd2 rs
upd() { measure "$1" "$build/tools/updclient" --server "127.0.0.1:$updport" --dir "$2" --list "$2.lst" \
        --cache "$2.cache" update; }
rs() { measure "$1" rsync -a "rsync://127.0.0.1:$rsport/content/" rs/; }

echo "Running..."
upd t.upd.cold upd1      # first client: the server packs every file
upd t.upd.warm upd2      # second client: packed files come from the cache
rs t.rs.fresh
upd t.upd.same upd1
rs t.rs.same
diff -r content rs >/dev/null || echo "warning: rsync copy differs"
[ "$(cd content && find . -type f | wc -l)" = "$(cd upd1 && find . -type f | wc -l)" ] || echo "warning: updclient copy differs"
serverkb=$(awk '/VmHWM/ {print $2}' "/proc/$server/status")
kill "$server"; wait "$server" 2>/dev/null || true
start_server
mkdir -p upd3
upd t.upd.restart upd3   # restarted server: packed files come from the cache folder

python3 - "$mib" "$serverkb" <<'PY'
import sys
mib, serverkb = int(sys.argv[1]), int(sys.argv[2])
def read(name):
    wall, kb = open(name).read().split()[:2]
    return float(wall), int(kb)
rows = [("updclient fresh, cold server", "t.upd.cold"), ("updclient fresh, warm server", "t.upd.warm"),
        ("updclient fresh, restarted", "t.upd.restart"),
        ("rsync -a fresh", "t.rs.fresh"), ("updclient no change", "t.upd.same"), ("rsync -a no change", "t.rs.same")]
r = {}
print("%-30s %9s %11s %11s" % ("run", "wall s", "MiB/s", "peak MiB"))
for label, f in rows:
    wall, kb = read(f)
    r[f] = wall
    print("%-30s %9.2f %11.1f %11.1f" % (label, wall, mib / wall if wall else 0, kb / 1024))
print("updserver peak memory: %.1f MiB" % (serverkb / 1024))
print("fresh cold / rsync:  %.2fx (target 1.5x)" % (r["t.upd.cold"] / r["t.rs.fresh"]))
print("fresh warm / rsync:  %.2fx (target 1.5x)" % (r["t.upd.warm"] / r["t.rs.fresh"]))
print("no change / rsync:   %.2fx (target 1.0x)" % (r["t.upd.same"] / r["t.rs.same"]))
PY
