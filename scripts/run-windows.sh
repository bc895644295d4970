#!/bin/bash
# The Windows builds, from Linux: cross-compiles the windows-x64 and
# windows-x86 presets with MinGW-w64 against a static OpenSSL made from
# Debian's source (cached outside the clone), runs the x64 unit and fuzz
# replay tests under Wine, runs the Linux integration suite against the
# Windows x64 bridge through Wine, and makes the two release zips.
#
# 32-bit Windows programs cannot run here: Debian's wine64 has no 32-bit
# side on this machine, so the x86 build is compiled and linked only.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
start=$(date +%s)
stamp() { echo "== $* ($(($(date +%s) - start)) s)"; }

stamp "dependencies"
./scripts/install-deps.sh
. scripts/lib/apt.sh
install_missing g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 googletest dpkg-dev
for arch in x64 x86; do
  stamp "static OpenSSL for Windows $arch (cached under ${KOLV_OPENSSL_CACHE:-/var/cache/kolv-bridge})"
  time ./scripts/build-openssl-mingw.sh "$arch"
done

# Wine for the tests: cmake/wine-run.sh makes the prefix once and keeps a
# detached wineserver for the run, which ends by itself when unused.
export WINEPREFIX="$ROOT/build/windows-x64/wine-prefix"
export WINEDEBUG=-all
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# Not niced as a whole: its Wine tests (and the wineserver they leave for the
# end-to-end run) are timed.
stamp "windows-x64 build, unit and fuzz replay tests under Wine"
cmake --workflow --preset windows-x64

stamp "windows-x86 build: compile and link only (32-bit programs cannot run under this machine's Wine)"
nice -n 10 cmake --workflow --preset windows-x86

stamp "Linux end-to-end suite against the Windows x64 bridge through Wine"
cmake --preset default >/dev/null
nice -n 10 cmake --build --preset default -j2 --target kolv_e2e_tests
(
  cd build/default
  export KOLV_BRIDGE_CMD="$ROOT/cmake/wine-run.sh $ROOT/build/windows-x64/kolv-bridge.exe"
  export KOLV_BRIDGE_PLATFORM=Windows.x64
  export KOLV_TEST_TIMEOUT_SCALE=3
  ctest -L e2e -j2 --output-on-failure --no-tests=error
)

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
