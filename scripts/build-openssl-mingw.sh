#!/bin/bash
# Builds static OpenSSL libraries for Windows (MinGW-w64) from Debian's own
# openssl source package, for the windows-x64 / windows-x86 presets.
#
#   scripts/build-openssl-mingw.sh x64|x86
#
# The result goes to a cache folder outside the clone, keyed by the Debian
# version and the architecture (KOLV_OPENSSL_CACHE, default
# /var/cache/kolv-bridge); a complete folder is reused as it is. The last
# line printed is the folder, for OPENSSL_ROOT_DIR; the link
# <cache>/openssl-<arch> points at it, for the MinGW toolchain files
# (cmake/toolchains), which read KOLV_OPENSSL_CACHE too.
set -euo pipefail
# shellcheck source=scripts/lib/apt.sh
. "$(dirname "$0")/lib/apt.sh"

arch=${1:-}
case "$arch" in
  x64) target=mingw64; triple=x86_64-w64-mingw32; compiler_pkg=g++-mingw-w64-x86-64-posix ;;
  # The 32-bit assembler routines come out with ELF relocations that this
  # binutils cannot put in a COFF object: plain C there.
  x86) target=mingw; triple=i686-w64-mingw32; compiler_pkg=g++-mingw-w64-i686-posix; extra=no-asm ;;
  *) echo "usage: $0 x64|x86" >&2; exit 2 ;;
esac

cache_root=${KOLV_OPENSSL_CACHE:-/var/cache/kolv-bridge}
started=$(date +%s)

# Source versions apt knows, newest first.
source_versions() {
  apt-cache showsrc openssl 2>/dev/null | awk '/^Package: / {p = $2} /^Version: / && p == "openssl" {print $2}' |
    sort -u -r -V
}

# Source entries: a deb-src copy of the machine's own Debian entries.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  apt_add_entries kolv-bridge-deb-src "$(apt_machine_entries | sed -E 's/^deb([[:space:]])/deb-src\1/')" || {
    echo "build-openssl-mingw: found no Debian apt entries to derive source entries from" >&2
    exit 1
  }
  apt_update
elif [ -z "$(source_versions)" ]; then
  apt_update
fi
versions=$(source_versions)
if [ -z "$versions" ]; then
  echo "build-openssl-mingw: apt knows no openssl source package" >&2
  exit 1
fi

for version in $versions; do
  dest="$cache_root/openssl-$version-$arch"
  if [ -f "$dest/.complete" ]; then
    ln -sfn "openssl-$version-$arch" "$cache_root/openssl-$arch"
    echo "build-openssl-mingw: cached build is complete, nothing to do ($(($(date +%s) - started)) s)" >&2
    echo "$dest"
    exit 0
  fi
done

install_missing "$compiler_pkg" dpkg-dev make perl

work=$(mktemp -d /var/tmp/kolv-openssl-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A mirror may lack the newest upload's files: take the newest version it serves.
srcdir=""
for version in $versions; do
  echo "build-openssl-mingw: fetching openssl $version source" >&2
  if apt-get source -qq "openssl=$version" >fetch.log 2>&1; then
    srcdir=$(find . -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
    [ -n "$srcdir" ] && break
  fi
  grep -E '^E:' fetch.log | head -n 2 >&2 || true
  find . -mindepth 1 -maxdepth 1 ! -name fetch.log -exec rm -rf {} +
done
[ -n "$srcdir" ] || { echo "build-openssl-mingw: could not fetch any openssl source" >&2; exit 1; }
dest="$cache_root/openssl-$version-$arch"
cd "$srcdir"

staging="$dest.partial"
rm -rf "$staging" "$dest"
mkdir -p "$cache_root"
echo "build-openssl-mingw: building $target into $dest" >&2
options=(no-shared no-tests ${extra:-})
# no-docs came with OpenSSL 3.2; older trees build no docs for build_libs anyway.
major=$(sed -n 's/^MAJOR=//p' VERSION.dat)
minor=$(sed -n 's/^MINOR=//p' VERSION.dat)
if [ "${major:-0}" -gt 3 ] || { [ "${major:-0}" -eq 3 ] && [ "${minor:-0}" -ge 2 ]; }; then options+=(no-docs); fi
# CC is prefixed with the cross prefix: the posix thread-model compiler.
CC=gcc-posix nice -n 10 ./Configure "$target" "${options[@]}" \
  --cross-compile-prefix="$triple-" --prefix="$dest" --libdir=lib --openssldir="$dest/ssl" >build.log 2>&1 ||
  { tail -n 15 build.log >&2; exit 1; }
nice -n 10 make -j2 build_libs >>build.log 2>&1 || { tail -n 15 build.log >&2; exit 1; }
# Install under the final path names (prefix is baked into the build), then move.
nice -n 10 make install_dev DESTDIR="$staging" >>build.log 2>&1 || { tail -n 15 build.log >&2; exit 1; }
mv "$staging$dest" "$dest"
rm -rf "$staging"
echo "openssl $version $target static, built $(date -u +%Y-%m-%dT%H:%M:%SZ)" > "$dest/.complete"
ln -sfn "openssl-$version-$arch" "$cache_root/openssl-$arch"
echo "build-openssl-mingw: done in $(($(date +%s) - started)) s" >&2
echo "$dest"
