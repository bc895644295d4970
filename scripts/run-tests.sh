#!/bin/sh
# Installs dependencies, builds the default preset and runs every quick test.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j"$(nproc)"
ctest --preset default "$@"
