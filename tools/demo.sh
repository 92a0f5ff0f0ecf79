#!/usr/bin/env bash
# The whole path on a machine with no receiver and no map application:
# a simulated USB bus holding a u-blox receiver whose tty sends a real
# receiver's capture, the stand-in map application, and one navbeacon run.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)

work=$(mktemp -d /tmp/navbeacon-demo-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

export XDG_RUNTIME_DIR=$work/run
mkdir -m 0700 "$XDG_RUNTIME_DIR"

capture=$top/samples/nmea/ublox-lea-5h.nmea
pty=/dev/ttyACM0
echo "== 1. A GPS receiver: a u-blox 5 (1546:01a5) on a USB bus simulated by umockdev;"
echo "   its tty $pty sends the start of $(basename "$capture"), a line every 50 ms"
# umockdev's script: each line a read of the device, so many ms after the
# one before (^M^J is CR LF); the first comes once navbeacon has set the
# line up, as a receiver's next burst would.
delay=300
while IFS= read -r line; do
  printf 'r %d %s^M^J\n' "$delay" "${line%$'\r'}"
  delay=50
done < <(head -n 20 "$capture") >"$work/receiver.script"

echo "== 2. The map application: navbeacon-maphost hosts the public port KARTOVELL.1"
"$build/navbeacon-maphost" >"$work/maphost.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q ' open at ' "$work/maphost.out" 2>/dev/null && break; sleep 0.05; done
sed 's/^/   /' "$work/maphost.out"

echo "== 3. navbeacon, seeing the simulated USB bus"
echo
echo "\$ navbeacon $pty 0 9600 ZOOM 12 VERBOSE POSITION"
set +e
umockdev-run -d "$top/tests/devices/ublox.umockdev" -s "$pty=$work/receiver.script" -- \
  "$build/navbeacon" "$pty" 0 9600 ZOOM 12 VERBOSE POSITION
status=$?
set -e
echo "(exit status $status)"
echo
sleep 0.2
echo "== 4. What the map application received"
tail -n +2 "$work/maphost.out" | sed 's/^/   /'
echo
cat <<EOT
navbeacon found the supported receiver on the USB bus, read the receiver's
text from $pty until a complete RMC sentence had arrived (VERBOSE shows
it), took the position from it (POSITION), and sent the map application
"goto LAT LON 12" through its public port. Exit status 0 means the map
application replied success; the link above shows where the map went.
EOT
exit "$status"
