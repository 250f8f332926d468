#!/usr/bin/env bash
# Runs each named suite the way a person would, by hand with their own
# settings folder in place and none of CTest's redirections, and checks
# that the person's settings file is byte for byte what it was.
set -u
bin="$1"; shift
person="$(mktemp -d)"
trap 'rm -rf "$person"' EXIT
mkdir -p "$person/.config/com.trevokapp"
conf="$person/.config/com.trevokapp/TrevokServer.conf"
printf '[General]\nNSWindow%%20Frame%%20TrevokServer=10 20 700 500 0 0 1920 1080\nTS_CustomizedPassword=1\nserverID=a person\x27s own\n' > "$conf"
cp "$conf" "$person/expected.conf"
status=0
for suite in "$@"; do
  env -u TREVOK_TEST_HOME -u XDG_DATA_HOME HOME="$person" XDG_CONFIG_HOME="$person/.config" \
    QT_QPA_PLATFORM=offscreen "$bin/$suite" > "$person/$suite.out" 2>&1 ||
    { echo "$suite failed:"; tail -20 "$person/$suite.out"; status=1; }
  if ! cmp -s "$conf" "$person/expected.conf"; then
    echo "$suite changed the person's settings file"; status=1
    cp "$person/expected.conf" "$conf"
  fi
done
[ -e "$person/.local/share/com.trevokapp.TrevokServer" ] &&
  { echo "a suite wrote into the person's data folder"; status=1; }
exit $status
