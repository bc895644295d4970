#!/bin/sh
# Lets this machine run 32-bit Windows programs although its kernel runs no
# 32-bit code: Debian's 32-bit Wine (wine32:i386) on QEMU's user-mode emulator
# for i386, registered with binfmt_misc so that the helper processes Wine
# starts itself are emulated too. Safe to run again; run it at every boot,
# since nothing keeps the binfmt_misc entry.
#
# QEMU comes from the backports suite of the machine's own Debian mirror:
# Debian 12's QEMU 7.2 ignores MAP_FIXED_NOREPLACE, and Wine's probing of its
# address space then takes over a minute per program start.
#
# The 64-bit Wine stays as it was, but /usr/bin/wine starts the 32-bit loader
# from now on: start 64-bit programs with /usr/lib/wine/wine64.
set -eu
# shellcheck source=scripts/lib/apt.sh
. "$(dirname "$0")/lib/apt.sh"
# shellcheck source=/dev/null
. /etc/os-release
backports="$VERSION_CODENAME-backports"
qemu_min=1:10.0  # the first QEMU measured fast enough here

lists_changed=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  lists_changed=1
fi
if ! grep -rqsE "^[^#]*[[:space:]]$backports([[:space:]]|\$)" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  # The machine's "deb ... <codename> ..." entries, with the backports suite.
  apt_add_entries kolv-bridge-backports "$(apt_machine_entries |
    sed -nE "s#^(deb[[:space:]]+(\[[^]]*\][[:space:]]+)?[^[:space:]]+[[:space:]]+)$VERSION_CODENAME([[:space:]])#\1$backports\3#p")" || {
    echo "setup-wine-x86: found no $VERSION_CODENAME entry to add $backports to" >&2
    exit 1
  }
  lists_changed=1
fi
[ "$lists_changed" = 0 ] || apt_update

qemu_version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
qemu_installed=0
if ! dpkg --compare-versions "${qemu_version:-0}" ge "$qemu_min"; then
  install_missing "qemu-user/$backports"
  qemu_installed=1
fi
# It brings the i386 libraries it needs, upgrading their amd64 twins to the
# same point release.
install_missing wine32:i386

binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
qemu=$(command -v qemu-i386)
# F: the kernel opens the emulator now, so it works inside any mount namespace.
# An entry for another emulator, or for the one just replaced (the F flag
# keeps the old file), is registered anew.
if [ -e "$binfmt/qemu-i386" ] && { [ "$qemu_installed" = 1 ] || ! grep -qx "interpreter $qemu" "$binfmt/qemu-i386"; }; then
  echo -1 > "$binfmt/qemu-i386"
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
  # 32-bit little-endian x86 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':qemu-i386:M::%s:%s:%s:F' "$magic" "$mask" "$qemu" > "$binfmt/register"
fi
echo "setup-wine-x86: $(qemu-i386 --version | head -n 1); wine32 $(dpkg-query -W -f='${Version}' wine32:i386)" >&2
