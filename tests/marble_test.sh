#!/usr/bin/env bash
# navbeacon-maphost --marble against a real Marble: on a session bus
# without Marble navbeacon exits 5 saying so; with Marble up
# (tools/with-marble.sh) each capture's goto leaves Marble centred on the
# capture's first position, at the tile level of the goto's zoom.
# Usage: marble_test.sh NAVBEACON MAPHOST NMEA_DIR
# shellcheck disable=SC2015  # "A && B || fail" fails when either does not hold
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

fail() { echo "FAIL: $*" >&2; exit 1; }
marble_get() {
  gdbus call --session -d org.kde.marble -o /Marble \
    -m org.freedesktop.DBus.Properties.Get org.kde.marble "$1" 2>/dev/null
}
# Runs navbeacon on capture $1 against a fresh host on a private port,
# the host getting Ctrl-C after $2 seconds when given; navbeacon's status
# and output in $status and $out.
run_navbeacon() {
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
  "$maphost" --marble --count 1 >/dev/null 2>&1 &
  local host=$!
  # Until the port is there (5 s at most); then Ctrl-C at the moment under test.
  for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/rexx/KARTOVELL.1" ] && break; sleep 0.05; done
  [ -z "${2:-}" ] || { sleep "$2"; kill -INT $host; } &
  status=0
  out=$("$navbeacon" "$nmea/$1.nmea" 0 4800 2>&1) || status=$?
  wait $host
  rm -rf "$XDG_RUNTIME_DIR"
}

case "${MARBLE_TEST_STAGE:-}" in
  "") exec env MARBLE_TEST_STAGE=bare dbus-run-session -- "$0" "$@" ;;
  bare)
    run_navbeacon mt3339
    [ $status = 5 ] && grep -qF "Marble is not running" <<<"$out" ||
      fail "without Marble: status $status, $out"
    exec env MARBLE_TEST_STAGE=marble "$(dirname "$0")/../tools/with-marble.sh" "$0" "$@" ;;
esac

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

# A Marble that has stopped answering: the wait ends at its bound, or on
# Ctrl-C before it.
marble=$(gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
  -m org.freedesktop.DBus.GetConnectionUnixProcessID org.kde.marble | sed 's/.* \([0-9]*\),)/\1/')
kill -STOP "$marble"
run_navbeacon mt3339
[ $status = 5 ] && grep -qF "Marble did not answer within 4 s" <<<"$out" ||
  fail "Marble stopped: status $status, $out"
run_navbeacon mt3339 1
[ $status = 5 ] && grep -qF "error 20: interrupted" <<<"$out" ||
  fail "Marble stopped, Ctrl-C: status $status, $out"
