#!/bin/sh
# Builds the asan and tsan presets and runs the test suite under each.
# Any failing test or sanitizer report fails the script.
set -eu
cd "$(dirname "$0")/.."
for preset in asan tsan; do
  echo "== $preset =="
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$(nproc)"
  ctest --preset "$preset" -j2 "$@"
done
