#!/usr/bin/env bash
# Checks what a distribution starts from: the tarball of `make dist` holds
# no build output and builds a source package and its binary package with
# dpkg-buildpackage, lintian (pedantic, info tags too) finds nothing in the
# source package beyond debian/'s overrides, and a second build of the same
# tarball in another folder gives a bit-identical package. The tests have
# run already (make test), so both builds skip them (nocheck).
set -euo pipefail
cd "$(dirname "$0")/.."
make dist >/dev/null
version=$(sed -n 's/^project(navbeacon VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
tarball=$PWD/navbeacon-$version.tar.gz
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)"
work=$(mktemp -d /tmp/navbeacon-dist-XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== $(basename "$tarball"): no build output"
if tar -tzf "$tarball" | grep -E '/(build[^/]*/|[^/]*\.deb$|CMakeCache\.txt$)'; then
  echo "navbeacon: the tarball holds build output" >&2; exit 1
fi

build() {  # FOLDER DPKG-BUILDPACKAGE-OPTIONS...
  local folder=$work/$1; shift
  mkdir -p "$folder"
  cp "$tarball" "$folder/navbeacon_$version.orig.tar.gz"
  tar -xzf "$tarball" -C "$folder"
  (cd "$folder/navbeacon-$version" && dpkg-buildpackage -us -uc "$@") >"$folder.log" 2>&1 ||
    { tail -n 40 "$folder.log" >&2; echo "navbeacon: dpkg-buildpackage $* failed in $folder" >&2; exit 1; }
}
echo "== dpkg-buildpackage (source and binary) from the tarball"
build first
status=0
lintian --pedantic -I --fail-on error,warning,info,pedantic "$work"/first/*.dsc >"$work/lintian" 2>&1 ||
  status=$?
grep -v '^running with root privileges' "$work/lintian" || true
[ "$status" -eq 0 ] || { echo "navbeacon: lintian: the source package has tags beyond the overrides" >&2; exit 1; }
echo "== a second build in another folder"
build second-elsewhere -b
for deb in "$work"/first/*.deb; do
  if cmp "$deb" "$work/second-elsewhere/$(basename "$deb")"; then
    echo "$(basename "$deb"): bit-identical"
  else
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$work/second-elsewhere/$(basename "$deb")") || true
    echo "navbeacon: two builds of one tarball differ" >&2; exit 1
  fi
done
