#!/usr/bin/env bash
# Runs the launcher window on the demo: serves the demo web page on loopback,
# prepares a demo installation folder and starts Zelvan in it against an
# update server that the caller has started. Without a display the launcher
# runs under xvfb-run, saves a screenshot once its first job has settled and
# closes itself.
#
#   scripts/run-launcher-demo.sh --port PORT [--host HOST] [--zelvan PATH]
#                                [--workdir DIR] [--timeout SECONDS]
#
# --port     the update server's port (required)
# --host     the update server's address (default 127.0.0.1)
# --zelvan   the launcher executable (default build/launcher/Zelvan)
# --workdir  where the installation, web server log and screenshot go
#            (default: a new temporary folder)
# --timeout  seconds before a headless run is given up (default 120)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

port="" host=127.0.0.1 zelvan="$root/build/launcher/Zelvan" work="" timeout=120
while [ $# -gt 0 ]; do
    case "$1" in
        --port) port=$2; shift 2 ;;
        --host) host=$2; shift 2 ;;
        --zelvan) zelvan=$2; shift 2 ;;
        --workdir) work=$2; shift 2 ;;
        --timeout) timeout=$2; shift 2 ;;
        -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
done
if [ -z "$port" ]; then echo "--port of the running update server is required (see --help)" >&2; exit 2; fi
if [ ! -x "$zelvan" ]; then echo "launcher not built: $zelvan" >&2; exit 1; fi
zelvan=$(cd "$(dirname "$zelvan")" && pwd)/$(basename "$zelvan")
[ -n "$work" ] || work=$(mktemp -d "${TMPDIR:-/tmp}/zelvan-launcher-demo.XXXXXX")
mkdir -p "$work"
work=$(cd "$work" && pwd)
install="$work/install"
rm -rf "$install"
mkdir -p "$install"

# The web page server: /zelvan1/index.php and its language variants
# /zelvan1/index.php/indexN.html, with pictures from any .../art/ path.
cat > "$work/webserver.py" <<'PY'
import http.server, os, sys
web, art, portfile = sys.argv[1], sys.argv[2], sys.argv[3]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path = self.path.split('?')[0]
        parts = [p for p in path.split('/') if p]
        name, kind = None, 'text/html; charset=utf-8'
        if path.rstrip('/') == '/zelvan1/index.php':
            name = os.path.join(web, 'index.php')
        elif len(parts) >= 2 and parts[-2] == 'art' and '/' not in parts[-1] and parts[-1].endswith('.png'):
            name, kind = os.path.join(art, os.path.basename(parts[-1])), 'image/png'
        elif len(parts) == 3 and parts[:2] == ['zelvan1', 'index.php'] and parts[2].startswith('index') \
                and parts[2].endswith('.html') and parts[2][5:-5].isdigit():
            name = os.path.join(web, parts[2])
        if not name or not os.path.isfile(name):
            self.send_error(404)
            return
        data = open(name, 'rb').read()
        self.send_response(200)
        self.send_header('Content-Type', kind)
        self.send_header('Content-Length', str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def log_message(self, fmt, *args):
        sys.stderr.write('web: ' + (fmt % args) + '\n')
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
with open(portfile + '.tmp', 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(portfile + '.tmp', portfile)
server.serve_forever()
PY
rm -f "$work/web.port"
python3 "$work/webserver.py" "$root/demo/web" "$root/demo/launcher_resources/art" "$work/web.port" \
    2> "$work/web.log" &
web_pid=$!
cleanup() { kill "$web_pid" 2>/dev/null || true; wait "$web_pid" 2>/dev/null || true; }
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$work/web.port" ] && break; sleep 0.1; done
web_port=$(cat "$work/web.port" 2>/dev/null || true)
if [ -z "$web_port" ]; then echo "the demo web server did not start; see $work/web.log" >&2; exit 1; fi

# The demo installation: settings pointing at the web page and the update
# server, the local pages, the language files, the stub game client and the
# game client's own files that the launcher rewrites.
sed -e "s|^WebURL=.*|WebURL=http://127.0.0.1:$web_port/zelvan1/index.php|" \
    -e "s|^UpdateURL=.*|UpdateURL=$host|" -e "s|^Port=.*|Port=$port|" \
    "$root/demo/game.ini" > "$install/game.ini"
cp -r "$root/demo/launcher_resources" "$install/"
cp "$root/demo/english.lng" "$root/demo/russian.lng" "$root/demo/ZelvanClient.exe" "$install/"
# The launcher lives in the installation folder: the self-update script restarts it from there.
ln -s "$zelvan" "$install/Zelvan"
printf 'MAIN_URL "127.0.0.1:7000"\r\nLAST_URL "127.0.0.1:7000"\r\nCHAT_SRV "127.0.0.1:7001"\r\n' > "$install/connect.cfg"
printf 'MAIN_URL "127.0.0.1:7000"\r\n' > "$install/connectn.cfg"
printf 'LANG 0\r\nSOUND 1\r\n' > "$install/config.cfg"

shot="$work/launcher.png"
rm -f "$shot"
echo "Demo installation: $install"
echo "Web page:          http://127.0.0.1:$web_port/zelvan1/index.php (log: $work/web.log)"
echo "Update server:     $host:$port"
status=0
if [ -n "${DISPLAY:-}" ]; then
    echo "Starting the launcher on $DISPLAY; close it with its close button."
    (cd "$install" && ./Zelvan /eng) || status=$?
else
    echo "No display: running under xvfb-run; a screenshot is saved once the first job has settled."
    # Nobody can click a message box there: dialogs are logged and closed.
    rm -f "$work/dialogs.log"
    (cd "$install" && ZELVAN_SCREENSHOT="$shot" ZELVAN_CLOSE_AFTER_SCREENSHOT=1 ZELVAN_DIALOG_LOG="$work/dialogs.log" \
        timeout "$timeout" xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
            ./Zelvan /eng; status=$?
            # After a self-update the script restarts the launcher in this
            # folder: keep the display while any launcher works here.
            here=$(pwd -P)
            running() {
                for p in /proc/[0-9]*; do
                    [ "$(readlink "$p/cwd" 2>/dev/null)" = "$here" ] &&
                        [ "$(basename "$(readlink "$p/exe" 2>/dev/null)")" = Zelvan ] && return 0
                done
                return 1
            }
            sleep 1
            while running; do sleep 0.5; done
            exit $status') || status=$?
fi

echo
echo "Launcher exit status: $status"
logs=$(ls "$install"/*.log 2>/dev/null || true)
echo "Launcher log:        ${logs:-none written}"
[ -f "$shot" ] && echo "Screenshot:          $shot"
[ -s "$work/dialogs.log" ] && { echo "Dialogs shown (caption|text):"; sed 's/^/  /' "$work/dialogs.log"; }
echo "Installed files:"
(cd "$install" && find . -type f ! -path './launcher_resources/*' | sort | sed 's/^/  /')
if [ -n "$logs" ]; then
    echo "Last log lines:"
    tail -n 8 $logs | sed 's/^/  /'
fi
exit "$status"
