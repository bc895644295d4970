#!/bin/sh
# Installs dependencies, builds the default preset and runs every quick test.
# Arguments go to ctest (for example -R Name or -L unit).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
. ./scripts/lib/workflow.sh
run_preset default "$@"
