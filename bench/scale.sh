#!/usr/bin/env bash
# Scale-out benchmark: three updserver instances serving the same tree behind
# HAProxy (TCP mode, health checks on the server port), against one server
# alone. Each phase runs CLIENTS concurrent updclient updates of a generated
# tree into empty folders, checks every tree byte-identical with the source,
# and reports wall time, total throughput and how the sessions spread over
# the servers (from each server's "status" figures).
#
#   bench/scale.sh [CLIENTS] [MIB] [FILES]     (default 500 clients, 50 MiB, 400 files)
#
# Needs CLIENTS x MIB of space in BENCH_DIR (default a temporary folder under
# /dev/shm when it has room, else under TMPDIR; removed afterwards).
# Environment: UPD_BUILD_DIR (default build; configured as Release only when
# it holds no build yet), UPD_JOBS (default 2), BENCH_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
clients=${1:-500}
mib=${2:-50}
files=${3:-400}
build=$(realpath -m "${UPD_BUILD_DIR:-build}")
jobs=${UPD_JOBS:-2}

"$root/scripts/deps.sh" --bench
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j "$jobs" --target updserver updclient_tool updctl >/dev/null
tools="$build/tools"

need_kib=$(( (clients + 2) * mib * 1024 ))
if [ -z "${BENCH_DIR:-}" ]; then
    base=${TMPDIR:-/tmp}
    if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt "$need_kib" ]; then base=/dev/shm; fi
    work=$(mktemp -d "$base/upd-scale-XXXXXX")
else
    work=$BENCH_DIR
    mkdir -p "$work"
fi
free_kib=$(df -Pk "$work" | awk 'NR==2 {print $4}')
if [ "$free_kib" -lt "$need_kib" ]; then
    echo "scale: $work has $((free_kib / 1024)) MiB free, $((need_kib / 1024)) MiB needed; lower CLIENTS or MIB" >&2
    exit 1
fi
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

echo "Generating $files files, $mib MiB (half compressible text, half random)..."
python3 - "$files" "$mib" <<'PY'
import os, random, sys
files, mib = int(sys.argv[1]), int(sys.argv[2])
rnd = random.Random(7)
total = mib << 20
words = [b"zelvan", b"realm", b"update", b"texture", b"sound", b"map", b"player", b"launcher"]
sizes = [rnd.expovariate(1.0) for _ in range(files)]
scale = total / sum(sizes)
for i, s in enumerate(sizes):
    size = int(s * scale)
    d = os.path.join("content", "dir%02d" % (i % 20), "sub%d" % (i % 5))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%05d.bin" % i), "wb") as f:
        if i % 2:
            f.write(rnd.randbytes(size))
        else:
            line = b" ".join(rnd.choice(words) for _ in range(12)) + b"\n"
            f.write((line * (size // len(line) + 1))[:size])
PY
tree_bytes=$(du -sb --apparent-size content | cut -f1)
# The digest of a tree: every file's path and MD5, in path order.
digest() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum | md5sum | cut -d' ' -f1); }
expected=$(digest content)

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

ports=()
for i in 1 2 3; do
    mkdir -p "log$i"
    "$tools/updserver" --root "$work/content" --port 0 --port-file "$work/port$i" --prepack \
        --max-clients $((clients + 16)) --max-per-address $((clients + 16)) --handshake-timeout 300 \
        --allow-anonymous-changes --cache-mb $((mib * 3 + 64)) --timeout 300 --log-dir "$work/log$i" \
        >"server$i.out" 2>"server$i.err" &
    pids+=($!)
done
for i in 1 2 3; do
    for _ in $(seq 1200); do [ -s "port$i" ] && break; sleep 0.1; done
    [ -s "port$i" ] || { echo "server $i did not start:"; cat "server$i.err"; exit 1; }
    ports+=("$(cat "port$i")")
done
echo "Servers on ports ${ports[*]} (each packed the tree before listening)"

proxy_port=$(free_port)
cat >haproxy.cfg <<CFG
global
    maxconn $((clients * 2 + 100))
defaults
    mode tcp
    timeout connect 5s
    timeout client 300s
    timeout server 300s
frontend updates
    bind 127.0.0.1:$proxy_port
    default_backend updservers
backend updservers
    balance leastconn
    server s1 127.0.0.1:${ports[0]} check inter 1s
    server s2 127.0.0.1:${ports[1]} check inter 1s
    server s3 127.0.0.1:${ports[2]} check inter 1s
CFG
haproxy -f haproxy.cfg -db >haproxy.log 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1',$proxy_port),1).close()" 2>/dev/null && break
    sleep 0.1
done

# A figure of a server's "status": sessions, files or bytes so far.
figure_of() {
    "$tools/updctl" --server "127.0.0.1:$1" --deadline 30 command status 2>/dev/null | awk -v n="$2" '$1 == n {print $2}'
}

# One phase: CLIENTS updates at once through ADDRESS; checks and removes the trees.
run_phase() {
    local name=$1 address=$2
    rm -rf "$name" && mkdir -p "$name"
    local start end failed=0 wrong=0 cpids=()
    start=$(date +%s.%N)
    for c in $(seq "$clients"); do
        mkdir "$name/c$c"
        (cd "$name" && exec timeout 900 "$tools/updclient" --server "$address" --dir "c$c" --list "c$c.lst" update \
            >/dev/null 2>"c$c.err") &
        cpids+=($!)
    done
    for p in "${cpids[@]}"; do wait "$p" || failed=$((failed + 1)); done
    end=$(date +%s.%N)
    for c in $(seq "$clients"); do
        [ "$(digest "$name/c$c")" = "$expected" ] || wrong=$((wrong + 1))
    done
    local seconds
    seconds=$(python3 -c "print(f'{$end - $start:.2f}')")
    echo "$name: $clients clients in ${seconds}s, $failed failed, $wrong trees differ," \
        "$(python3 -c "print(f'{$clients * $tree_bytes / ($end - $start) / 1048576:.1f}')") MiB/s of tree delivered"
    rm -rf "$name"
    [ "$failed" -eq 0 ] && [ "$wrong" -eq 0 ]
}

status=0
echo "== one server alone ($clients clients, $mib MiB tree)"
run_phase single "127.0.0.1:${ports[0]}" || status=1
before_files=() before_bytes=()
for p in "${ports[@]}"; do
    before_files+=("$(figure_of "$p" updserver_files_served_total)")
    before_bytes+=("$(figure_of "$p" updserver_bytes_served_total)")
done
echo "== three servers behind HAProxy on port $proxy_port"
run_phase proxied "127.0.0.1:$proxy_port" || status=1
published=$(figure_of "${ports[0]}" updserver_published_files)
echo "Spread in the HAProxy phase (files and packed bytes each server sent; clients = files / $published):"
for i in 0 1 2; do
    f=$(( $(figure_of "${ports[$i]}" updserver_files_served_total) - before_files[i] ))
    b=$(( $(figure_of "${ports[$i]}" updserver_bytes_served_total) - before_bytes[i] ))
    echo "  s$((i + 1)) (port ${ports[$i]}): $f files, $((b / 1048576)) MiB, ~$(python3 -c "print(f'{$f / $published:.1f}')") clients"
done
exit $status
