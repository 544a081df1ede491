#!/usr/bin/env bash
# Rate-limit benchmark: updclient --limit-rate fetching one file of random
# (incompressible) bytes from a local updserver whose cache is packed before
# it listens, so the time is the limit's and not the packing's. The ideal is
# size / rate; the target is 24-27 s for the default 50 MiB at 2M (from 4 %
# under to 8 % over the ideal).
#   bench/limit-rate.sh [BUILD_FOLDER]   (default $UPD_BUILD_DIR, else build)
# Environment (defaults in brackets):
#   MIB [50]            size of the file
#   RATE [2M]           the limit, as updclient takes it (k, M, G suffixes)
#   RUN_TIMEOUT [300]   seconds after which the run counts as failed
#   UPD_BUILD_DIR [build], UPD_JOBS [2], BENCH_DIR [a temporary folder, removed]
#   UPD_ARGS [none]     extra updclient options: --no-stream measures the base transfer
set -euo pipefail
build=$(realpath -m "${1:-${UPD_BUILD_DIR:-build}}")
cd "$(dirname "$0")/.."
mib=${MIB:-50}
rate=${RATE:-2M}
limit=${RUN_TIMEOUT:-300}
jobs=${UPD_JOBS:-2}
for v in "$mib" "$limit" "$jobs"; do
    [[ "$v" =~ ^[0-9]+$ ]] || { echo "not a whole number: $v" >&2; exit 2; }
done
[[ "$rate" =~ ^[0-9]+(\.[0-9]+)?[kKmMgG]?$ ]] || { echo "not a rate: $rate" >&2; exit 2; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target updserver updclient_tool >/dev/null
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

work=${BENCH_DIR:-$(mktemp -d)}
server=
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/tree"
cd "$work"

echo "Generating one file of $mib MiB of random bytes in $work..."
head -c "$((mib << 20))" /dev/urandom > tree/random.bin

"$build/tools/updserver" --root tree --port 0 --port-file server.port --prepack --cache-mb $((mib * 2 + 64)) \
    --log-dir "$work" >/dev/null 2>server.err &
server=$!
for _ in $(seq 1 3000); do [ -s server.port ] && break; sleep 0.1; done
[ -s server.port ] || { echo "updserver did not start:" >&2; cat server.err >&2; exit 1; }
port=$(cat server.port)

echo "Fetching at --limit-rate $rate..."
mkdir dest
start=$(date +%s.%N)
code=0
# shellcheck disable=SC2086 # UPD_ARGS: extra updclient options, e.g. --no-stream
timeout "$limit" "$build/tools/updclient" ${UPD_ARGS:-} --server "127.0.0.1:$port" --dir dest --list dest.lst \
    --limit-rate "$rate" update >/dev/null 2>client.err || code=$?
end=$(date +%s.%N)
check=differs
cmp -s tree/random.bin dest/random.bin && check=ok

load=$(cut -d' ' -f1-3 /proc/loadavg)
python3 - "$mib" "$rate" "$start" "$end" "$code" "$check" "$buildtype" "$load" <<'PY'
import os, sys
mib, rate, start, end, code, check, buildtype, load = sys.argv[1:]
units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
unit = units.get(rate[-1].lower(), 1)
bps = float(rate[:-1] if rate[-1].lower() in units else rate) * unit
ideal = int(mib) * (1 << 20) / bps
wall = float(end) - float(start)
low, high = ideal * 0.96, ideal * 1.08
print()
mode = "base transfer" if "--no-stream" in os.environ.get("UPD_ARGS", "") else "streaming"
print("updclient --limit-rate %s (%s), %s MiB of random bytes, %s build, load %s" % (rate, mode, mib, buildtype, load))
if code != "0" or check != "ok":
    print("FAILED: exit %s, copy %s" % (code, check))
    sys.exit(1)
verdict = "within" if low <= wall <= high else "OUTSIDE"
print("%.2f s (ideal %.2f s, %.2f MiB/s): %s the %.1f-%.1f s target" % (wall, ideal, int(mib) / wall, verdict, low, high))
sys.exit(0 if verdict == "within" else 1)
PY
