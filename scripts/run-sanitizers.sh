#!/bin/sh
# Builds the asan and tsan presets and runs the test suite under each.
# Any failing test or sanitizer report fails the script. Arguments go to ctest.
set -eu
cd "$(dirname "$0")/.."
. ./scripts/lib/workflow.sh
for preset in asan tsan; do
  echo "== $preset =="
  run_preset "$preset" "$@"
done
