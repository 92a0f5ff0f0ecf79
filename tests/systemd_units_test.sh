#!/bin/sh
# The user units as installed, checked by systemd-analyze verify with the
# programs of this build in the place of the installed ones: every key
# known, every command there, the template's instance a device path.
# $1: the configured units, $2: the bin directory they name, $3: the build.
set -eu
units=$(mktemp -d)
trap 'rm -rf "$units"' EXIT
for unit in "$1"/*.service; do
  sed "s#^ExecStart=$2/#ExecStart=$3/#" "$unit" > "$units/${unit##*/}"
done
grep -q "^ExecStart=$3/navbeacon --follow /dev/%I 0 " "$units/navbeacon-follow@.service"
mkdir -m 700 "$units/runtime"
out=$(XDG_RUNTIME_DIR=$units/runtime systemd-analyze verify --user --man=no \
      "$units/navbeacon-maphost.service" "$units/navbeacon-follow@ttyACM0.service" 2>&1) || {
  echo "$out"; exit 1; }
[ -z "$out" ] || { echo "$out"; exit 1; }
