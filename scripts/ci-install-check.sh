#!/usr/bin/env bash
# Run by ci-fresh-root.sh inside a fresh root where the Debian package was
# just installed (as root, in a network namespace of its own). Two ordinary
# people with empty homes start the installed console one after the other;
# each time the console launches the installed server, its start-up probe
# finds the server up and the administrator's initial password logs in
# through the console's own login. Afterwards each person has a data folder
# and a server configuration of their own, and not one file of the
# installation has changed.
set -euo pipefail

PREFIX=/usr
APP_ID=com.trevokapp.TrevokServer
fail() { printf 'install check: FAILED: %s\n' "$*" >&2; exit 1; }
ok() { printf 'install check: ok: %s\n' "$*"; }

# Every path under the prefix with its type, mode and link target, and the
# checksum of every regular file.
prefix_state() {
  find "$PREFIX" -xdev -printf '%y %m %u %p -> %l\n' | LC_ALL=C sort
  find "$PREFIX" -xdev -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
}

for f in bin/TrevokServer share/applications/$APP_ID.desktop share/metainfo/$APP_ID.metainfo.xml \
  share/icons/hicolor/scalable/apps/$APP_ID.svg share/trevokserver/MainWindow.ui \
  share/trevokserver/server-core/bin/couchdb share/trevokserver/server-core/etc/couchdb/local.ini \
  share/trevokserver/server-core/node_modules/pouchdb-server/package.json; do
  [ -e "$PREFIX/$f" ] || fail "the package has no $PREFIX/$f"
done
ok "installed layout under $PREFIX"

prefix_state > /root/prefix-before
dpkg --verify trevokserver || fail "dpkg --verify trevokserver"

# Ends the processes started for one person (the server outlives the
# console): found by the marker in their environment.
end_marked() {
  local marker="$1" pid pids=()
  for pid in /proc/[0-9]*; do
    if { tr '\0' '\n' < "$pid/environ"; } 2>/dev/null | grep -qx "TREVOK_CI_MARK=$marker"; then
      pids+=("${pid#/proc/}")
    fi
  done
  [ ${#pids[@]} -eq 0 ] && return 0
  kill -TERM "${pids[@]}" 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    sleep 0.5
    kill -0 "${pids[@]}" 2>/dev/null || return 0
  done
  kill -KILL "${pids[@]}" 2>/dev/null || true
}

start_console_as() {
  local who="$1" home="/home/$1"
  id "$who" >/dev/null 2>&1 || useradd --no-create-home --home-dir "$home" --shell /bin/bash "$who"
  mkdir -p "$home"
  chown "$who:$who" "$home"
  chmod 700 "$home"
  [ -z "$(ls -A "$home")" ] || fail "$home is not empty"

  local log="/root/console-$who.log" rc=0
  runuser -u "$who" -- /usr/bin/env -i HOME="$home" USER="$who" LOGNAME="$who" \
    PATH=/usr/bin:/bin LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen \
    TREVOK_CI_MARK="$who" TREVOK_SELF_TEST=login \
    timeout 180 TrevokServer > "$log" 2>&1 || rc=$?
  sed "s/^/    $who| /" "$log"
  end_marked "$who"
  [ "$rc" -eq 0 ] || fail "the console of $who ended with status $rc"
  grep -q '^self-test: server up$' "$log" || fail "the start-up probe of $who did not see the server"
  grep -q '^self-test: login accepted$' "$log" || fail "the login of $who was not accepted"
  ok "$who: the console launched the installed server, the probe saw it up, login accepted"

  local config="$home/.config/com.trevokapp/server-core/local.ini"
  local data="$home/.local/share/$APP_ID"
  [ -f "$config" ] || fail "$who has no server configuration at $config"
  [ "$(grep -o -F "$data" "$config" | wc -l)" -eq 2 ] ||
    fail "$config does not name $data exactly twice"
  grep -q -F "database_dir = $data" "$config" || fail "$config has no data section for $data"
  grep -q '^admin = -pbkdf2-' "$config" || fail "the server did not keep the password hash in $config"
  [ "$(stat -c '%a %U' "$config")" = "600 $who" ] || fail "$config is not private to $who"
  [ -f "$data/server-core.log" ] || fail "$who's server logged nowhere in $data"
  [ -d "$data/trevok_master" ] || [ -n "$(ls "$data" | grep -i master)" ] ||
    fail "$who's data folder holds no master database"
  [ -f "$home/.config/com.trevokapp/TrevokServer.ini" ] || fail "$who has no settings file"
  ok "$who: configuration $config, data in $data"
}

start_console_as alice
start_console_as bob

grep -q -F /home/alice /home/bob/.config/com.trevokapp/server-core/local.ini &&
  fail "bob's server configuration names alice's folders"
grep -q -F /home/bob /home/alice/.config/com.trevokapp/server-core/local.ini &&
  fail "alice's server configuration names bob's folders"
ok "two people, two data folders, two server configurations"

prefix_state > /root/prefix-after
if ! diff -u /root/prefix-before /root/prefix-after; then
  fail "files under $PREFIX changed while the console ran"
fi
dpkg --verify trevokserver || fail "dpkg --verify trevokserver after the runs"
ok "nothing under $PREFIX changed"
