#!/bin/sh
# Installs what building and testing Kolv-Bridge needs, from Debian's packages.
# Safe to run again: apt-get skips what is already installed.
set -eu
PACKAGES="build-essential cmake pkg-config libssl-dev openssl libgtest-dev clang cloc"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
