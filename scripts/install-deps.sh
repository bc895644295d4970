#!/bin/sh
# Installs what building and testing Kolv-Bridge needs, from Debian's packages.
# Safe to run again: only what is missing is installed.
set -eu
# shellcheck source=scripts/lib/apt.sh
. "$(dirname "$0")/lib/apt.sh"
install_missing build-essential cmake pkg-config libssl-dev libsystemd-dev openssl libgtest-dev clang cloc
