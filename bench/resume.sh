#!/usr/bin/env bash
# Resume benchmark: the download of one large file (MiB blocks of text and
# random bytes, like a game archive) is killed at about half; the next run
# goes on from the verified part. Reports the share of the file the second
# run moved (from its "Resuming ... at N of M bytes" line) and checks the
# result byte for byte. The target is at most 60 %.
#   bench/resume.sh [BUILD_FOLDER]   (default $UPD_BUILD_DIR, else build)
# Environment (defaults in brackets):
#   MIB [1024]    size of the file
#   RATE [64M]    the first run's --limit-rate, so that it can be stopped near half
#   UPD_BUILD_DIR [build], UPD_JOBS [2], BENCH_DIR [a temporary folder, removed]
set -euo pipefail
build=$(realpath -m "${1:-${UPD_BUILD_DIR:-build}}")
cd "$(dirname "$0")/.."
mib=${MIB:-1024}
rate=${RATE:-64M}
jobs=${UPD_JOBS:-2}
[[ "$mib" =~ ^[0-9]+$ ]] || { echo "not a whole number: $mib" >&2; exit 2; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target updserver updclient_tool >/dev/null

work=${BENCH_DIR:-$(mktemp -d)}
server= client=
cleanup() {
    for p in $client $server; do kill -9 "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/tree" "$work/dest"
cd "$work"

echo "Generating one file of $mib MiB in $work..."
python3 - "$mib" <<'PY'
import os, sys
block = (b"zelvan realm update texture sound map player launcher\n" * 20000)[: 1 << 20]
with open("tree/archive.pak", "wb") as f:
    for i in range(int(sys.argv[1])):
        f.write(os.urandom(1 << 20) if i % 2 else block)
PY

"$build/tools/updserver" --root tree --port 0 --port-file server.port --log-dir "$work" >/dev/null 2>server.err &
server=$!
for _ in $(seq 1 6000); do [ -s server.port ] && break; sleep 0.1; done
[ -s server.port ] || { echo "updserver did not start:" >&2; cat server.err >&2; exit 1; }
port=$(cat server.port)
run() { "$build/tools/updclient" --server "127.0.0.1:$port" --dir dest --list dest.lst "$@" update; }

half=$(( (mib << 20) / 2 ))
echo "First run, killed once $half bytes are in..."
"$build/tools/updclient" --server "127.0.0.1:$port" --dir dest --list dest.lst --limit-rate "$rate" update \
    >/dev/null 2>first.err &
client=$!
while kill -0 "$client" 2>/dev/null; do
    size=$(stat -c %s dest/archive.pak.partial.log 2>/dev/null || echo 0)
    [ "$size" -ge "$half" ] && break
    sleep 0.05
done
kill -9 "$client" 2>/dev/null || true
wait "$client" 2>/dev/null || true
client=

echo "Second run..."
start=$(date +%s.%N)
run >/dev/null 2>second.err || { echo "the second run failed:" >&2; tail -n 5 second.err >&2; exit 1; }
end=$(date +%s.%N)
check=differs
cmp -s tree/archive.pak dest/archive.pak && check=ok

load=$(cut -d' ' -f1-3 /proc/loadavg)
python3 - "$mib" "$start" "$end" "$check" "$load" <<'PY'
import re, sys
mib, start, end, check, load = sys.argv[1:]
text = open("second.err").read()
m = re.search(r"Resuming 'archive\.pak' at ([0-9]+) of ([0-9]+) bytes", text)
print()
print("Resume of %s MiB killed at about half, load %s" % (mib, load))
if not m or check != "ok":
    print("FAILED: %s, copy %s" % ("resumed" if m else "did not resume", check))
    sys.exit(1)
kept, size = int(m.group(1)), int(m.group(2))
moved = (size - kept) / size
verdict = "within" if moved <= 0.60 else "OUTSIDE"
print("second run: %.2f s, moved %.1f %% of the file (kept %d of %d bytes), copy ok: %s the 60 %% target"
      % (float(end) - float(start), moved * 100, kept, size, verdict))
sys.exit(0 if verdict == "within" else 1)
PY
