#!/usr/bin/env bash
# Checks the package `make deb` built: lintian (pedantic, info tags too)
# finds nothing but debian/navbeacon.lintian-overrides, the programs carry
# the distribution's hardening, and the programs and man pages it holds
# work where they are unpacked.
set -euo pipefail
deb=$(ls navbeacon_*.deb)
echo "== lintian --pedantic -I $deb"
status=0
lintian --pedantic -I --fail-on error,warning,info,pedantic "$deb" >"${TMPDIR:-/tmp}/lintian.$$" 2>&1 ||
  status=$?
grep -v '^running with root privileges' "${TMPDIR:-/tmp}/lintian.$$" || true
rm -f "${TMPDIR:-/tmp}/lintian.$$"
[ "$status" -eq 0 ] || { echo "lintian: $deb has tags beyond the overrides" >&2; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
echo "== hardening"
# The stack protector, FORTIFY, PIE, RELRO and BIND_NOW that
# hardening=+all asks for; Debian 12's dpkg does not yet ask for
# control-flow protection (stack-clash protection is reported, not required).
hardening-check --nocfprotection "$root"/usr/bin/* | grep -v ': yes' || true
hardening-check --quiet --nocfprotection "$root"/usr/bin/*
echo "== the unpacked programs"
"$root/usr/bin/navbeacon" --version
"$root/usr/bin/navbeacon-maphost" --version
"$root/usr/bin/navbeacon-gpssim" --version
grep -q '\$VER: 1.0 (25.06.16) navbeacon' "$root/usr/bin/navbeacon"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  MANWIDTH=80 man -l "$page" 2>&1 >/dev/null | { ! grep .; } || { echo "man: $page" >&2; exit 1; }
  echo "man -l $(basename "$page"): $(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l) lines"
done
for file in usr/lib/udev/rules.d/70-navbeacon.rules usr/share/doc/navbeacon/copyright \
            usr/share/doc/navbeacon/public-ports.md usr/share/doc/navbeacon/README.md.gz; do
  test -f "$root/$file" || { echo "missing: /$file" >&2; exit 1; }
done
grep -q '^License: Expat' "$root/usr/share/doc/navbeacon/copyright"
echo "package ok"
