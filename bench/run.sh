#!/bin/sh
# Builds the bridge and the benchmark in release mode, installs socat when it
# is missing (the peer-relay comparison), and runs the benchmark. The table
# goes to stdout; the figures stay in build/release/bench-results.json.
# Arguments go to kolv_bench, e.g. --quick for a short run.
set -eu
cd "$(dirname "$0")/.."

if ! command -v socat >/dev/null 2>&1; then
  echo "run.sh: installing socat" >&2
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq --no-install-recommends socat >/dev/null; } ||
    echo "run.sh: socat could not be installed; the peer relay is skipped" >&2
fi

cmake --preset release >/dev/null
cmake --build --preset release -j2 --target kolv-bridge kolv-setup kolv_bench

# The build's own load would count against the run: let it settle first.
waited=0
while [ "$waited" -lt 180 ] && awk '{ exit !($1 > 0.5) }' /proc/loadavg; do
  [ "$waited" = 0 ] && echo "run.sh: waiting up to 3 minutes for the load average ($(cut -d' ' -f1 /proc/loadavg)) to fall below 0.5" >&2
  sleep 5
  waited=$((waited + 5))
done

# The table's last two rows say how busy the machine was (see the README).
build/release/bench/kolv_bench --json build/release/bench-results.json "$@"
