#!/usr/bin/env bash
# Builds the project and runs the main job on the embedded demo: the reference
# update server on loopback serving demo content, and a demo installation
# brought up to date from it. Runs what exists so far and says what it skipped.
#   scripts/run-demo.sh            update the demo installation, then stop the server
#   scripts/run-demo.sh --keep     leave the server running (stop it with the printed kill)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
keep=0
[ "${1:-}" = "--keep" ] && keep=1

build=$(realpath -m "${UPD_BUILD_DIR:-build}")
jobs=${UPD_JOBS:-$(nproc)}

"$root/scripts/deps.sh"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build "$build" -j "$jobs"; then
    echo "The full build failed; building just the server and the client for the demo."
    cmake --build "$build" -j "$jobs" --target updserver updclient_tool
fi

if [ ! -x "$build/tools/updserver" ] || [ ! -x "$build/tools/updclient" ]; then
    echo "The update server and client tools are not built yet; nothing more to run."
    exit 0
fi

demo="$build/demo"
content="$root/demo/server-content"
self="$root/demo/self-update"
mkdir -p "$demo/server-log" "$demo/install" "$self"
rm -f "$demo/port"

"$build/tools/updserver" --root "$content" --self-update "$self" --ignore "$content/ignore.txt" \
    --port 0 --port-file "$demo/port" --log-dir "$demo/server-log" --cache-dir "$demo/packcache" \
    >"$demo/server.out" 2>"$demo/server.err" &
server=$!
stop_server() { kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true; }
[ $keep -eq 1 ] || trap stop_server EXIT

for _ in $(seq 1 100); do
    [ -s "$demo/port" ] && break
    if ! kill -0 "$server" 2>/dev/null; then
        echo "updserver did not start:"; cat "$demo/server.err"; exit 1
    fi
    sleep 0.1
done
port=$(cat "$demo/port")

# The client writes its list, cache and daily log into its current folder.
status=0
(cd "$demo" && "$build/tools/updclient" --server "127.0.0.1:$port" --dir install \
    --list install.lst --cache install.cache update) 2>"$demo/client.err" || status=$?
tail -n 3 "$demo/client.err"

# The launcher window on the same server, when it is built.
launcher_status="not built"
if [ -x "$build/launcher/Zelvan" ] && [ $status -eq 0 ]; then
    launcher_status=0
    "$root/scripts/run-launcher-demo.sh" --port "$port" --zelvan "$build/launcher/Zelvan" \
        --workdir "$demo/launcher" || launcher_status=$?
fi

echo
echo "Demo:"
echo "  server         127.0.0.1:$port (pid $server)$([ $keep -eq 1 ] && echo ", still running: kill $server")"
echo "  content        $content"
echo "  self-update    $self"
echo "  server log     $demo/server-log/ (console: $demo/server.err)"
echo "  installation   $demo/install"
echo "  client list    $demo/install.lst (cache $demo/install.cache)"
echo "  client log     $demo/ (daily *.log; console: $demo/client.err)"
echo "  launcher       $demo/launcher/ (exit: $launcher_status; screenshot launcher.png when headless)"
case "$launcher_status" in 0|"not built") ;; *) status=$launcher_status ;; esac
exit $status
