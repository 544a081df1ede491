#!/usr/bin/env bash
# "Set up a server" of docs/operations.md, step by step, on this machine, as
# root: the packages installed with dpkg, the content handed to an operator
# account, the users file, the first release, the server started the way its
# unit starts it (no systemd here: the unit's ExecStart, User and
# WorkingDirectory), a player's folder updated, a second release published
# through the server and a switch back. Everything it installs or creates is
# removed again at the end.
#
#   tests/install/setup-test.sh SERVER_DEB LAUNCHER_DEB BUILD_DIR
set -euo pipefail
server_deb=$1
client_deb=$2
build=$3
fail() { echo "set-up test: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root"

# One run at a time: it uses the machine's package database and paths.
exec 9>/run/lock/zelvan-setup-test.lock
flock -w 240 9 || fail "another set-up test holds the lock"

work=$(mktemp -d /tmp/upd-setup-XXXXXX)
chmod 0755 "$work"
op=zelvan-optest
server_pid=""
installed=()
had_srv=$([ -e /srv/updserver ] && echo 1 || echo 0)
had_user=$(getent passwd updserver >/dev/null && echo 1 || echo 0)
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
    rm -f /etc/updserver/users
    for p in "${installed[@]}"; do dpkg --purge "$p" >/dev/null 2>&1 || true; done
    if getent passwd "$op" >/dev/null; then userdel "$op" >/dev/null 2>&1 || true; fi
    if [ "$had_user" = 0 ] && getent passwd updserver >/dev/null; then userdel updserver >/dev/null 2>&1 || true; fi
    if [ "$had_srv" = 0 ]; then rm -rf /srv/updserver; fi
    rm -rf "$work"
}
trap cleanup EXIT

# The operator: an account of its own with a home, as in the docs' "$USER".
useradd --system --user-group --no-create-home --home-dir "$work/op" --shell /bin/sh "$op"
install -d -o "$op" -g "$op" "$work/op"
as_op() { runuser -u "$op" -- env HOME="$work/op" USER="$op" sh -c "cd && $1"; }
mkdir -p "$work/op/game-1.0/data" "$work/op/game-1.1/data"
printf 'one\n' >"$work/op/game-1.0/readme.txt"
head -c 200000 /dev/urandom >"$work/op/game-1.0/data/map.bin"
cp -a "$work/op/game-1.0/." "$work/op/game-1.1/"
printf 'two\n' >"$work/op/game-1.1/data/new.txt"
(umask 077 && printf 'private\n' >"$work/op/game-1.1/data/private.txt") # the server must read it still
chown -R "$op": "$work/op"

# 1. Install the package (and the launcher's, for the player's side).
dpkg -i "$server_deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i of the server package"; }
installed+=(zelvan-server)
updclient=/usr/bin/updclient
if dpkg -i "$client_deb" >>"$work/dpkg.log" 2>&1; then
    installed+=(zelvan-launcher)
else
    # Its GTK and WebKit are not on every machine; the server's side does not need them.
    dpkg --remove zelvan-launcher >/dev/null 2>&1 || true
    echo "set-up test: the launcher package cannot be installed here; the player uses the build's updclient"
    updclient=$build/tools/updclient
fi
getent passwd updserver >/dev/null || fail "the package made no user updserver"
for d in /var/lib/updserver /var/log/updserver; do
    [ "$(stat -c %U "$d")" = updserver ] || fail "$d does not belong to updserver"
done
[ -d /srv/updserver/releases ] || fail "no /srv/updserver/releases"

# 2. Hand the content folder to the account that publishes.
chown -R "$op": /srv/updserver

# 3. The operators' accounts.
install -m 0640 -o root -g updserver /dev/null /etc/updserver/users
echo 'admin:choose-one' | tee /etc/updserver/users >/dev/null
as_op "(umask 077; echo 'choose-one' >~/.updctl-password)"

# 4. The ignore list keeps the player's files.
for f in game.ini '\*.lng' launcher_resources/; do
    grep -q "^$f\$" /etc/updserver/ignore.txt || fail "the ignore list lacks $f"
done

# 5. Adjust the configuration: here loopback, and any free port (written to a file).
sed -i -e 's|^bind = .*|bind = "127.0.0.1"|' -e 's|^port = .*|port = 0|' \
    -e 's|^metrics = .*|metrics = "127.0.0.1:0"|' /etc/updserver/updserver.conf
echo 'port-file = "/var/lib/updserver/port"' >>/etc/updserver/updserver.conf

# 6. The first release, before any server runs.
as_op "updctl release --dir /srv/updserver --from ~/game-1.0 --name 1.0" >"$work/release1.out" 2>&1 ||
    { cat "$work/release1.out"; fail "the first release"; }

# 7. The service, started as its unit starts it.
unit=/usr/lib/systemd/system/updserver.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
unit_user=$(sed -n 's/^User=//p' "$unit")
unit_dir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
[ -n "$exec_start" ] && [ -n "$unit_user" ] && [ -n "$unit_dir" ] || fail "the unit lacks ExecStart, User or WorkingDirectory"
# shellcheck disable=SC2086 # ExecStart is split into words as systemd splits it
env -C "$unit_dir" STATE_DIRECTORY=/var/lib/updserver LOGS_DIRECTORY=/var/log/updserver \
    setpriv --reuid="$unit_user" --regid="$unit_user" --init-groups $exec_start \
    >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 300); do
    [ -s /var/lib/updserver/port ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err"; fail "the server did not start as its unit"; }
    sleep 0.1
done
[ -s /var/lib/updserver/port ] || fail "the server did not listen within 30 s"
port=$(cat /var/lib/updserver/port)
server=127.0.0.1:$port
if grep -Eq "Permission denied|no ignore list" "$work/server.err"; then cat "$work/server.err"; fail "warnings at start"; fi
ctl="updctl --server $server --login admin --password-file ~/.updctl-password"
as_op "$ctl command status" >"$work/status.out" 2>"$work/status.err" || { cat "$work/status.err"; fail "status"; }
grep -qx "release: 1.0" "$work/status.out" || { cat "$work/status.out"; fail "the server does not serve 1.0"; }
[ "$(grep -c "^release: 1.0$" "$work/status.out")" = 1 ] || fail "updctl printed a reply twice"

# A player's folder: the launcher's template, then updated.
player=$work/player
cp -a /usr/share/zelvan/launcher/. "$player" 2>/dev/null || mkdir -p "$player/launcher_resources"
printf '[Launcher]\nLanguage=1\n' >"$player/game.ini"
printf 'text\n' >"$player/english.lng"
printf 'page\n' >"$player/launcher_resources/local.html"
update() {
    timeout 60 "$updclient" --server "$server" --dir "$1" --list "$1.lst" --no-log update >"$work/client.out" 2>&1 ||
        { cat "$work/client.out"; fail "updating $1"; }
}
update "$player"
update "$work/fresh/inst" # a folder that does not exist yet
diff -r "$work/op/game-1.0" "$work/fresh/inst" || fail "the new folder differs from release 1.0"
diff -r -x game.ini -x '*.lng' -x launcher_resources -x '*.log' "$work/op/game-1.0" "$player" ||
    fail "the player's folder differs from release 1.0"
grep -q "Language=1" "$player/game.ini" && [ -s "$player/english.lng" ] && [ -s "$player/launcher_resources/local.html" ] ||
    fail "the update deleted the player's own files"

# Later releases go through the running server; then a switch back.
as_op "$ctl release --dir /srv/updserver --from ~/game-1.1 --name 1.1" >"$work/release2.out" 2>&1 ||
    { cat "$work/release2.out"; fail "the second release"; }
update "$player"
[ "$(cat "$player/data/private.txt")" = private ] || fail "the player did not get release 1.1"
grep -q "Language=1" "$player/game.ini" || fail "the second update changed game.ini"
as_op "$ctl switch --dir /srv/updserver 1.0" >"$work/switch.out" 2>&1 || { cat "$work/switch.out"; fail "switch"; }
update "$player"
[ ! -e "$player/data/new.txt" ] || fail "the switch back to 1.0 left 1.1's files"

# SIGHUP reads the users file again.
echo 'second:other-one' | tee -a /etc/updserver/users >/dev/null
kill -HUP "$server_pid"
# Failed logins are held back: the new account is tried once, after the reload.
for _ in $(seq 100); do
    grep -q "Users reloaded: 2 accounts" /var/log/updserver/*.log && break
    sleep 0.1
done
as_op "UPD_PASSWORD=other-one updctl --server $server --login second command status" >/dev/null 2>&1 ||
    fail "SIGHUP did not reload the users file"

kill -TERM "$server_pid"
wait "$server_pid" || fail "the server did not stop cleanly"
server_pid=""
grep -Eq "session summary: release '1\.1', [1-9][0-9]* files, [1-9][0-9]* bytes" /var/log/updserver/*.log ||
    { cat /var/log/updserver/*.log | tail -20; fail "no session summary in the log folder"; }
echo "set-up test: passed"
