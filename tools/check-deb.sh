#!/usr/bin/env bash
# Checks the package `make deb` built: lintian accepts it without errors,
# and the programs and man pages it holds work where they are unpacked.
set -euo pipefail
deb=$(ls navbeacon_*.deb)
echo "== lintian $deb"
lintian --fail-on error "$deb" 2>&1 | grep -v '^running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian found errors" >&2; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
echo "== the unpacked programs"
"$root/usr/bin/navbeacon" --version
"$root/usr/bin/navbeacon-maphost" --version
"$root/usr/bin/navbeacon-gpssim" --version
grep -q '\$VER: 1.0 (25.06.16) navbeacon' "$root/usr/bin/navbeacon"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  MANWIDTH=80 man -l "$page" 2>&1 >/dev/null | { ! grep .; } || { echo "man: $page" >&2; exit 1; }
  echo "man -l $(basename "$page"): $(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l) lines"
done
test -f "$root/usr/lib/udev/rules.d/70-navbeacon.rules"
test -f "$root/usr/share/doc/navbeacon/copyright"
echo "package ok"
