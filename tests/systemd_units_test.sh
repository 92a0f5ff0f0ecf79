#!/bin/sh
# The user units as `make install PREFIX=...` installs them, into a DESTDIR
# under a prefix of the test's own: ExecStart names that prefix's programs.
# Then systemd-analyze verify, with the programs where they were installed:
# every key known, every command there, the template's instance a device
# path. $1: the build directory.
set -eu
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=/opt/navbeacon-units-test
DESTDIR=$root cmake --install "$1" --prefix "$prefix" >/dev/null
units=$root$prefix/lib/systemd/user
grep -q "^ExecStart=$prefix/bin/navbeacon --follow /dev/%I 0 " "$units/navbeacon-follow@.service"
grep -q "^ExecStart=$prefix/bin/navbeacon-maphost " "$units/navbeacon-maphost.service"
mkdir "$root/units"
for unit in "$units"/*.service; do
  sed "s#^ExecStart=$prefix/#ExecStart=$root$prefix/#" "$unit" > "$root/units/${unit##*/}"
done
mkdir -m 700 "$root/runtime"
out=$(XDG_RUNTIME_DIR=$root/runtime systemd-analyze verify --user --man=no \
      "$root/units/navbeacon-maphost.service" "$root/units/navbeacon-follow@ttyACM0.service" 2>&1) || {
  echo "$out"; exit 1; }
[ -z "$out" ] || { echo "$out"; exit 1; }
