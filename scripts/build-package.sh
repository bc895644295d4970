#!/bin/sh
# Builds the Debian package build/package/kolv-bridge_<version>_<arch>.deb:
# a Release build for /usr with Debian's hardening flags, without the tests
# and the benchmark, with the service manager's notifications (the unit is
# Type=notify), then cpack. Prints the package's path last.
set -eu
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib/apt.sh
. ./scripts/lib/apt.sh
install_missing build-essential cmake pkg-config libssl-dev libsystemd-dev dpkg-dev file
dir=build/package
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKOLV_BUILD_TESTS=OFF -DKOLV_BUILD_BENCH=OFF -DKOLV_REQUIRE_SERVICE_NOTIFY=ON \
  -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$dir" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/kolv-bridge_*.deb
