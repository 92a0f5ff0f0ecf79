#!/usr/bin/env bash
# Runs COMMAND on a session bus of its own with Marble up on it, drawn on
# Xvfb, its settings and caches in a temporary HOME and its map the
# OpenStreetMap theme (whose tile levels are slippy-map levels); stops
# Marble afterwards. For the Marble test and make bench.
# Usage: with-marble.sh COMMAND [ARG...]
set -euo pipefail
[ -n "${WITH_MARBLE_BUS:-}" ] || exec env WITH_MARBLE_BUS=1 dbus-run-session -- "$0" "$@"
unset WITH_MARBLE_BUS
home=$(mktemp -d)
marble=
# CONT too, for a Marble stopped by the command.
trap '[ -z "$marble" ] || { kill -- -"$marble"; kill -CONT -- -"$marble"; }; wait; rm -rf "$home"' EXIT
export HOME=$home XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache \
  XDG_DATA_HOME=$home/data
# As root (a container), Marble's web engine runs only unsandboxed.
[ "$(id -u)" != 0 ] || export QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox
setsid xvfb-run -a marble >"$home/marble.log" 2>&1 &
marble=$!
call() { gdbus call --session -d org.kde.marble -o /Marble -m "$@" >/dev/null 2>&1; }
for _ in $(seq 600); do
  call org.kde.marble.setMapTheme earth/openstreetmap/openstreetmap.dgml && break
  sleep 0.1
done
call org.kde.marble.setMapTheme earth/openstreetmap/openstreetmap.dgml || {
  echo "with-marble: Marble did not come up within 60 s: $(tail -3 "$home/marble.log")" >&2
  exit 1
}
"$@"
