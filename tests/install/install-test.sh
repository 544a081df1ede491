#!/usr/bin/env bash
# Installs a build into a temporary prefix and runs what was installed: the
# layout, the binaries' help, a short update on loopback between the
# installed server (started from the installed configuration file) and the
# installed client, and, when cpack and dpkg-deb are there, the two packages.
# Run as root, it then follows "Set up a server" in docs/operations.md on this
# machine (tests/install/setup-test.sh): a change to those steps changes that
# script too.
#
#   tests/install/install-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/upd-install-XXXXXX")
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install failed"; }

libdir=$(dirname "$(find "$prefix" -name 'libupdclient.so*' | head -n1)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "libupdclient.so not installed"
for f in bin/updclient bin/updserver bin/filelist bin/updctl include/zelvan/UpdClient.h \
         lib/systemd/system/updserver.service etc/updserver/updserver.conf etc/updserver/ignore.txt; do
    [ -e "$prefix/$f" ] || fail "missing $f"
done
if [ -e "$build/launcher/Zelvan" ]; then
    for f in bin/Zelvan share/zelvan/launcher/launcher_resources/launcher0.html share/zelvan/launcher/game.ini \
             share/zelvan/launcher/english.lng; do
        [ -e "$prefix/$f" ] || fail "missing $f"
    done
fi
grep -q "^ExecStart=$prefix/bin/updserver --config /etc/updserver/updserver.conf$" \
    "$prefix/lib/systemd/system/updserver.service" || fail "the unit does not start the installed server"

if command -v systemd-analyze >/dev/null; then
    timeout 60 systemd-analyze verify "$prefix/lib/systemd/system/updserver.service" ||
        fail "systemd-analyze does not accept the unit"
fi

# The installed programs find the installed library, not the build's; the
# operator's tool needs none, so the server component runs alone.
if ldd "$prefix/bin/updctl" | grep -q libupdclient; then fail "updctl needs libupdclient.so"; fi
for b in updclient Zelvan; do
    [ -e "$prefix/bin/$b" ] || continue
    where=$(ldd "$prefix/bin/$b" | awk '/libupdclient/ {print $3}')
    [ "$(cd "$(dirname "$where")" && pwd -P)" = "$(cd "$libdir" && pwd -P)" ] ||
        fail "$b loads libupdclient from '$where'"
done
version=$(sed -n 's/^project(ZelvanLauncher VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
for b in updclient updserver filelist updctl; do
    "$prefix/bin/$b" --help >"$work/$b.help" || fail "$b --help failed"
    [ -s "$work/$b.help" ] || fail "$b --help printed nothing"
    [ "$("$prefix/bin/$b" --version)" = "$b $version" ] || fail "$b --version does not print '$b $version'"
done
# Every option of the server has its row in the operators' table.
docs="$(dirname "$0")/../../docs/operations.md"
for name in $("$prefix/bin/updserver" --help | grep -o -- '--[a-z][a-z-]*' | sort -u | sed 's/^--//'); do
    case $name in help | version) continue ;; esac
    grep -q "^| \`$name\` |" "$docs" || fail "the table in docs/operations.md lacks the option '$name'"
done
cmake --install "$build" --prefix "$work/server-only" --component server >/dev/null || fail "server component"
"$work/server-only/bin/updctl" --version >/dev/null || fail "updctl of the server component alone does not run"

# A short update through the installed server and client.
mkdir -p "$work/content/data" "$work/inst" "$work/log"
printf 'hello\n' >"$work/content/readme.txt"
head -c 300000 /dev/urandom >"$work/content/data/blob.bin"
sed -e "s|^root = .*|root = \"$work/content\"|" -e 's|^bind = .*|bind = "127.0.0.1"|' \
    -e "s|^ignore = .*|ignore = \"$prefix/etc/updserver/ignore.txt\"|" \
    -e 's|^metrics = .*|metrics = "127.0.0.1:0"|' -e "s|^log-dir = .*|log-dir = \"$work/log\"|" \
    -e "s|^cache-dir = .*|cache-dir = \"$work/packcache\"|" \
    "$prefix/etc/updserver/updserver.conf" >"$work/updserver.conf"
printf 'operator:secret\n' >"$work/users.txt"
"$prefix/bin/updserver" --config "$work/updserver.conf" --users "$work/users.txt" --port 0 --port-file "$work/port" \
    >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 300); do
    [ -s "$work/port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err"; fail "the installed server did not start"; }
    sleep 0.1
done
[ -s "$work/port" ] || fail "the installed server did not listen within 30 s"
port=$(cat "$work/port")
# A player's own files: the shipped ignore list keeps them through the update.
printf '[Launcher]\n' >"$work/inst/game.ini"
printf 'x\n' >"$work/inst/english.lng"
(cd "$work" && timeout 60 "$prefix/bin/updclient" --server "127.0.0.1:$port" --dir inst --list inst.lst update \
    >"$work/client.out" 2>"$work/client.err") || { cat "$work/client.err"; fail "the installed client failed"; }
diff -r -x game.ini -x english.lng -x '*.log' "$work/content" "$work/inst" || fail "the installed client's tree differs"
[ -s "$work/inst/game.ini" ] && [ -s "$work/inst/english.lng" ] || fail "the update deleted a player's own files"
# The client may be gone before the server has taken its last acknowledgement
# and counted the files: the figures are read until they show them, at most 10 s.
for _ in $(seq 50); do
    timeout 60 "$prefix/bin/updctl" --server "127.0.0.1:$port" --login operator --password secret command status \
        >"$work/status.out" 2>/dev/null || fail "updctl command status failed"
    grep -q "^updserver_files_served_total 2$" "$work/status.out" && break
    sleep 0.2
done
grep -q "^updserver_files_served_total 2$" "$work/status.out" || { cat "$work/status.out"; fail "status figures"; }
kill -TERM "$server_pid"
wait "$server_pid" || fail "the installed server did not stop cleanly"
server_pid=""

# The Debian packages: one for the launcher and client, one for the server.
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
    (cd "$build" && timeout 300 cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
        { cat "$work/cpack.log"; fail "cpack failed"; }
    server_deb=$(ls "$work"/pkg/zelvan-server_*.deb 2>/dev/null | head -n1)
    client_deb=$(ls "$work"/pkg/zelvan-launcher_*.deb 2>/dev/null | head -n1)
    [ -n "$server_deb" ] && [ -n "$client_deb" ] || { ls "$work/pkg"; fail "two packages expected"; }
    dpkg-deb -c "$server_deb" >"$work/server.list"
    for f in ./usr/bin/updserver ./usr/bin/updctl ./usr/bin/filelist ./etc/updserver/updserver.conf ./etc/updserver/ignore.txt \
             ./usr/lib/systemd/system/updserver.service; do
        grep -q " $f\$" "$work/server.list" || { cat "$work/server.list"; fail "server package lacks $f"; }
    done
    dpkg-deb -f "$server_deb" Depends | grep -Eq 'gtk|webkit' && fail "the server package pulls in GTK or WebKit"
    dpkg-deb -c "$client_deb" >"$work/client.list"
    grep -q "/libupdclient.so" "$work/client.list" || fail "client package lacks the library"
    grep -q " ./usr/bin/updclient$" "$work/client.list" || fail "client package lacks updclient"
    if grep -q " ./usr/bin/updserver$" "$work/client.list"; then fail "the server is in the client package"; fi
    dpkg-deb --ctrl-tarfile "$server_deb" | tar -t >"$work/server.ctrl"
    grep -q "conffiles" "$work/server.ctrl" && grep -q "postinst" "$work/server.ctrl" ||
        fail "server package lacks conffiles or postinst"
    mkdir "$work/unpacked"
    dpkg-deb -x "$server_deb" "$work/unpacked"
    grep -q "^ExecStart=/usr/bin/updserver " "$work/unpacked/usr/lib/systemd/system/updserver.service" ||
        fail "the packaged unit does not start /usr/bin/updserver"
    if [ "$(id -u)" != 0 ]; then
        echo "install test: not root: the set-up on this machine (dpkg -i, a service user) is skipped"
    else
        timeout 300 bash "$(dirname "$0")/setup-test.sh" "$server_deb" "$client_deb" "$build" || fail "the set-up as documented failed"
    fi
fi
echo "install test: passed"
