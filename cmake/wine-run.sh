#!/bin/sh
# Runs a Windows program under Wine: the cross-compiling emulator of the
# windows-x64 and windows-x86 presets, and the KOLV_BRIDGE_CMD prefix of the
# integration run.
#   cmake/wine-run.sh [--x86] PROGRAM.exe [ARGS...]
# --x86: a 32-bit program, for the 32-bit loader (scripts/setup-wine-x86.sh)
# and a 32-bit prefix; the 64-bit one is named in full because /usr/bin/wine
# starts the 32-bit loader once that is installed.
# A wineserver (and Wine's services) that the program starts itself would
# inherit the caller's output pipes and hold them open for many seconds after
# the program has ended; started here, detached and without them, they do
# not. They end by themselves 30 s after the last program.
set -eu
wine=${KOLV_WINE:-/usr/lib/wine/wine64}
if [ "${1:-}" = --x86 ]; then
  shift
  wine=${KOLV_WINE:-/usr/lib/wine/wine}
  export WINEARCH=win32
fi
wineserver=${KOLV_WINESERVER:-$(dirname "$wine")/wineserver64}
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
export WINEDEBUG="${WINEDEBUG--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"  # no Mono or Gecko prompts

mkdir -p "$(dirname "$WINEPREFIX")"
# One caller at a time: makes the prefix if need be (aside, so that a caller
# killed meanwhile leaves no half-made one), then starts the server (which
# fails when one runs already) and with it the services, from a program that
# holds no pipe of the caller (-o: nor the lock).
flock -o "$WINEPREFIX.lock" sh -c '
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX.new"
    WINEPREFIX="$WINEPREFIX.new" "$1" wineboot.exe --init && WINEPREFIX="$WINEPREFIX.new" "$2" -w &&
      rm -rf "$WINEPREFIX" && mv "$WINEPREFIX.new" "$WINEPREFIX"
  fi
  if setsid -w "$2" -p30; then "$1" wineboot.exe; fi
  exit 0' sh "$wine" "$wineserver" </dev/null >/dev/null 2>&1
exec "$wine" "$@"
