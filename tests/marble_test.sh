#!/usr/bin/env bash
# navbeacon-maphost --marble against a real Marble under Xvfb, on a session
# bus of its own: without Marble navbeacon exits 5 saying so; with it each
# capture's goto leaves Marble centred on the capture's first position, at
# the tile level of the goto's zoom.
# Usage: marble_test.sh NAVBEACON MAPHOST NMEA_DIR
set -euo pipefail
navbeacon=$1 maphost=$2 nmea=$3

skip() {
  [ -n "${CI:-}" ] && { echo "CI cannot skip: $1" >&2; exit 1; }
  echo "skipped: $1" >&2
  exit 77
}
for tool in marble xvfb-run xauth dbus-run-session gdbus; do
  command -v $tool >/dev/null || skip "$tool is not installed (make test-marble installs it)"
done
[ -f "$nmea/expected.tsv" ] || skip "no receiver captures in $nmea"
[ -n "${MARBLE_TEST_BUS:-}" ] || exec env MARBLE_TEST_BUS=1 dbus-run-session -- "$0" "$@"

work=$(mktemp -d)
marble=
trap '[ -z "$marble" ] || kill -- -"$marble"; wait; rm -rf "$work"' EXIT
# Marble's settings and caches, and the port, private to this run.
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache \
  XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
fail() { echo "FAIL: $*" >&2; exit 1; }
marble_get() {
  gdbus call --session -d org.kde.marble -o /Marble \
    -m org.freedesktop.DBus.Properties.Get org.kde.marble "$1" 2>/dev/null
}
# Runs navbeacon on capture $1 against a fresh host; its output in $out.
run_navbeacon() {
  rm -f "$XDG_RUNTIME_DIR/rexx/KARTOVELL.1"
  "$maphost" --marble --count 1 >"$work/host.log" 2>&1 &
  host=$!
  for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/rexx/KARTOVELL.1" ] && break; sleep 0.05; done
  status=0
  out=$("$navbeacon" "$nmea/$1.nmea" 0 4800 2>&1) || status=$?
  wait $host
}

run_navbeacon mt3339
[ $status = 5 ] && grep -qF "Marble is not running" <<<"$out" ||
  fail "without Marble: status $status, $out"

# As root (a container), Marble's web engine runs only unsandboxed.
[ "$(id -u)" != 0 ] || export QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox
setsid xvfb-run -a marble >"$work/marble.log" 2>&1 &
marble=$!
for _ in $(seq 600); do marble_get center >/dev/null && break; sleep 0.1; done
marble_get center >/dev/null || fail "Marble did not come up: $(tail -5 "$work/marble.log")"
# The theme whose tile levels are the slippy-map levels.
gdbus call --session -d org.kde.marble -o /Marble -m org.kde.marble.setMapTheme \
  earth/openstreetmap/openstreetmap.dgml >/dev/null

while IFS=$'\t' read -r name _ _ _ goto _; do
  [ "$name" = name ] || [ "$goto" = none ] && continue
  run_navbeacon "$name"
  [ $status = 0 ] || fail "$name: status $status, $out"
  read -r _ latitude longitude zoom <<<"$goto"
  centre=$(marble_get center | tr -d '(<>),')
  awk -v c="$centre" -v lat="$latitude" -v lon="$longitude" 'BEGIN {
    split(c, at, " "); d1 = at[1] - lon; d2 = at[2] - lat
    exit !(d1 * d1 <= 1e-8 && d2 * d2 <= 1e-8) }' ||
    fail "$name: Marble centred on (longitude, latitude) $centre after $goto"
  [ "$(marble_get tileLevel)" = "(<$zoom>,)" ] ||
    fail "$name: tile level $(marble_get tileLevel) after $goto"
  echo "$name: $goto, Marble at $centre"
done <"$nmea/expected.tsv"
