#!/bin/sh
# The Debian package from end to end: builds it; lintian and the manual pages'
# lint; installs it with dpkg; checks the systemd unit (verify, the exposure
# level, and that its filters allow all that the bridge does in a round trip);
# runs a site with the installed programs; then purges the package and finds
# nothing of it left. Run as root; needs no running systemd.
set -eu
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/apt.sh
. ./scripts/lib/apt.sh
# shellcheck source=scripts/lib/unit-checks.sh
. ./scripts/lib/unit-checks.sh
# shellcheck source=scripts/lib/site-round-trip.sh
. ./scripts/lib/site-round-trip.sh
install_missing lintian mandoc groff-base man-db systemd logrotate strace
port=${KOLV_PACKAGE_PORT:-23241}
unit=kolv-bridge@check.service
work=$(mktemp -d)
# On a failure the work folder (the site, the outputs, the trace) is kept.
cleanup() {
  code=$?
  site_stop
  dpkg --purge kolv-bridge >/dev/null 2>&1 || true
  if [ "$code" -eq 0 ]; then rm -rf "$work"; else echo "check-package: failed; see $work" >&2; fi
}
trap cleanup EXIT

deb=$(./scripts/build-package.sh | tail -n 1)
echo "package: $deb, $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "depends: $(dpkg-deb -f "$deb" Depends)"
# The unit is Type=notify: a bridge that cannot notify would never be ready.
dpkg-deb -f "$deb" Depends | grep -q libsystemd0 || { echo "the package does not depend on libsystemd0" >&2; exit 1; }

echo "lintian (errors fail; warnings and notes are listed):"
lintian --display-info --pedantic --fail-on error "$deb"
pages=$(mandoc -T lint -W all man/*.[0-9] 2>&1; for page in man/*.[0-9]; do groff -ww -z -man "$page" 2>&1; done)
[ -z "$pages" ] || { echo "$pages" >&2; exit 1; }
echo "manual pages: mandoc -T lint -W all and groff -ww report nothing"

dpkg -i "$deb" >/dev/null
unit_verify "$unit"
unit_exposure "$unit" 2.0
systemctl enable "$unit" 2>/dev/null
echo "unit: verify reports nothing; $unit enabled"

site_round_trip "$work" "$port"
echo "round trip: a line to the host and back before and after logrotate; the bridge gave up with 0"
unit_allows_trace /lib/systemd/system/kolv-bridge@.service "$work/trace"

dpkg-query -L kolv-bridge >"$work/files"
dpkg --purge kolv-bridge >/dev/null
left=""
while read -r path; do
  { [ -e "$path" ] || [ -L "$path" ]; } || continue
  # A folder may stay when other packages share it.
  [ -d "$path" ] && { [ "$path" = "/." ] || dpkg -S "$path" >/dev/null 2>&1; } && continue
  left="$left $path"
done <"$work/files"
for link in /etc/systemd/system/*.wants/kolv-bridge@*.service; do
  [ -L "$link" ] && left="$left $link"
done
[ -z "$left" ] || { echo "left after purge:$left" >&2; exit 1; }
echo "purge: nothing of the package is left ($(wc -l <"$work/files") paths checked)"
