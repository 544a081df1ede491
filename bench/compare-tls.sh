#!/usr/bin/env bash
# TLS benchmark on loopback: a fresh install of the many-files tree by
# updclient from one updserver that offers TLS, in clear and inside TLS,
# alternating, best of RUNS each. The server's pack cache is warmed by one
# run first. Target: the TLS install within 1.2 times the clear one.
#   bench/compare-tls.sh [BUILD_FOLDER]   (default $UPD_BUILD_DIR, else build)
# Environment (defaults in brackets):
#   FILES [2000] and MIB [300]   the tree (half compressible text, half random)
#   RUNS [3]                     installs per mode
#   UPD_BUILD_DIR [build], UPD_JOBS [2], BENCH_DIR [a temporary folder, removed]
set -euo pipefail
build=$(realpath -m "${1:-${UPD_BUILD_DIR:-build}}")
cd "$(dirname "$0")/.."
files=${FILES:-2000}
mib=${MIB:-300}
runs=${RUNS:-3}
jobs=${UPD_JOBS:-2}
for v in "$files" "$mib" "$runs" "$jobs"; do
    [[ "$v" =~ ^[0-9]+$ ]] || { echo "not a whole number: $v" >&2; exit 2; }
done
command -v openssl >/dev/null || { echo "needs the openssl tool for the certificate" >&2; exit 2; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target updserver updclient_tool updctl >/dev/null
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")
buildtype=${buildtype:-RelWithDebInfo} # the project's default when none is given

work=${BENCH_DIR:-$(mktemp -d)}
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"
cd "$work"

echo "Generating: $files files / $mib MiB in $work..."
python3 - "$files" "$mib" <<'PY'
import os, random, sys
files, mib = int(sys.argv[1]), int(sys.argv[2])
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
PY
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench \
    -addext subjectAltName=IP:127.0.0.1 -keyout tls.key -out tls.pem 2>/dev/null

"$build/tools/updserver" --root tree --port 0 --port-file tree.port --cache-mb 4096 --max-clients 8 \
    --timeout 600 --log-dir "$work" --allow-anonymous-changes --tls-cert tls.pem --tls-key tls.key \
    >/dev/null 2>server.err &
pids+=($!)
for _ in $(seq 1 600); do [ -s tree.port ] && break; sleep 0.1; done
port=$(cat tree.port)

measure() { # result-file updclient-options...
    rm -rf dest dest.lst
    mkdir dest
    local code=0
    /usr/bin/time -f "%e %U %S" -o "$1.time" "$build/tools/updclient" "${@:2}" --server "127.0.0.1:$port" \
        --dir dest --list dest.lst update >/dev/null 2>"$1.err" || code=$?
    if [ "$code" != 0 ] || ! diff -r -q tree dest >/dev/null 2>&1; then
        echo "install failed ($1, exit $code)" >&2
        exit 1
    fi
    tail -n 1 "$1.time" >> "$1"
}

echo "Warming the server's cache..."
measure warm
for _ in $(seq 1 300); do
    n=$("$build/tools/updctl" --server "127.0.0.1:$port" --deadline 30 command status 2>/dev/null |
        sed -n 's/.* \([0-9][0-9]*\) files waiting to be packed.*/\1/p')
    [ "$n" = 0 ] && break
    sleep 0.2
done
for i in $(seq 1 "$runs"); do
    echo "Run $i of $runs..."
    measure clear
    measure tls --tls-ca tls.pem
done
grep -c "private channel open" "$work"/*.log >/dev/null || { echo "no session moved into TLS" >&2; exit 1; }

load=$(cut -d' ' -f1-3 /proc/loadavg)
python3 - "$files" "$mib" "$buildtype" "$load" <<'PY'
import sys
files, mib, buildtype, load = sys.argv[1:5]
def best(name):
    rows = [list(map(float, l.split())) for l in open(name) if l.strip()]
    return min(rows, key=lambda r: r[0])
clear, tls = best("clear"), best("tls")
print(f"\nFresh install of {files} files / {mib} MiB on loopback ({buildtype}; load {load}), best of runs:")
print(f"{'mode':8} {'wall s':>8} {'user s':>8} {'sys s':>8} {'MiB/s':>8}")
for name, r in (("clear", clear), ("TLS", tls)):
    print(f"{name:8} {r[0]:8.2f} {r[1]:8.2f} {r[2]:8.2f} {int(mib) / r[0]:8.1f}")
ratio = tls[0] / clear[0]
print(f"TLS / clear: {ratio:.2f} (target at most 1.20): {'met' if ratio <= 1.2 else 'NOT met'}")
PY
