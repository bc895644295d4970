#!/bin/bash
# The Windows builds, from Linux: cross-compiles the windows-x64 and
# windows-x86 presets with MinGW-w64 against a static OpenSSL made from
# Debian's source (cached outside the clone), runs the unit and fuzz replay
# tests of both under Wine (x86: 32-bit Wine on QEMU's user-mode emulator,
# set up by scripts/setup-wine-x86.sh), runs the Linux integration suite
# against the Windows bridge of both, and makes the two release zips.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
start=$(date +%s)
stamp() { echo "== $* ($(($(date +%s) - start)) s)"; }

stamp "dependencies"
./scripts/install-deps.sh
. scripts/lib/apt.sh
. scripts/lib/workflow.sh
install_missing g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 googletest dpkg-dev
stamp "32-bit Wine on QEMU's user-mode emulator"
./scripts/setup-wine-x86.sh
for arch in x64 x86; do
  stamp "static OpenSSL for Windows $arch (cached under ${KOLV_OPENSSL_CACHE:-/var/cache/kolv-bridge})"
  time ./scripts/build-openssl-mingw.sh "$arch"
done

# Wine for the tests: cmake/wine-run.sh makes a prefix per preset once and
# keeps a detached wineserver for the run, which ends by itself when unused.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# Not niced: their Wine tests (and the wineserver they leave for the
# end-to-end run) are timed.
stamp "windows-x64 build, unit and fuzz replay tests under Wine"
run_preset windows-x64
stamp "windows-x86 build, unit and fuzz replay tests under 32-bit Wine on QEMU"
run_preset windows-x86

stamp "Linux end-to-end suite, built"
cmake --preset default >/dev/null
nice -n 10 cmake --build --preset default -j2 --target kolv_e2e_tests
# e2e PRESET [--x86]: the suite against that preset's bridge, its prefix's
# wineserver and services started first, so that each start is a warm one.
# One test at a time: the bridges of a prefix share its wineserver, through
# which every send goes, so a second test would shift the first one's timing.
e2e() {
  local wine_run=("$ROOT/cmake/wine-run.sh" "${@:2}") bridge="$ROOT/build/$1/kolv-bridge.exe"
  (
    export WINEPREFIX="$ROOT/build/$1/wine-prefix"
    "${wine_run[@]}" "$bridge" "-?" >/dev/null
    cd build/default
    export KOLV_BRIDGE_CMD="${wine_run[*]} $bridge"
    export KOLV_BRIDGE_PLATFORM="Windows.${1#windows-}"
    export KOLV_TEST_TIMEOUT_SCALE=3
    ctest -L e2e -j1 --output-on-failure --no-tests=error
  )
}
stamp "Linux end-to-end suite against the Windows x64 bridge through Wine"
e2e windows-x64
stamp "Linux end-to-end suite against the Windows x86 bridge through 32-bit Wine on QEMU"
e2e windows-x86 --x86

stamp "release zips"
for preset in windows-x64 windows-x86; do
  (cd "build/$preset" && cpack -G ZIP >/dev/null)
  zip=$(ls "build/$preset"/kolv-bridge-*-"$preset".zip)
  echo "$zip"
  cmake -E tar tf "$zip" | sed 's/^/   /'
  triple=$([ "$preset" = windows-x64 ] && echo x86_64-w64-mingw32 || echo i686-w64-mingw32)
  echo "   imports of kolv-bridge.exe: $("$triple-objdump" -p "build/$preset/kolv-bridge.exe" |
    awk '/DLL Name/ {print $3}' | tr '\n' ' ')"
done

stamp "done"
