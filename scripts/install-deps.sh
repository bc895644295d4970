#!/bin/sh
# Installs what building and testing Kolv-Bridge needs, from Debian's packages.
# Safe to run again: only what is missing is installed.
set -eu
# shellcheck source=scripts/lib/apt.sh
. "$(dirname "$0")/lib/apt.sh"
# nftables and iproute2: the dead-host tests firewall a link in a private network namespace.
install_missing build-essential cmake pkg-config libssl-dev libsystemd-dev openssl libgtest-dev clang cloc \
  nftables iproute2
