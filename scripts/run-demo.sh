#!/bin/bash
# Installs dependencies, builds, and shows the bridge's whole road in under a
# minute: ulk-sim (a stand-in chat host) and the bridge start, a kolv-chat user
# joins and says something, the echo and a LATENCY figure come back, the host
# drops the link, the bridge retries and reconnects, and the user is told so.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target kolv-bridge kolv-setup ulk-sim kolv-chat
BIN=$ROOT/build/default
PORT=${KOLV_DEMO_PORT:-23231}
DEMO=$ROOT/build/demo
rm -rf "$DEMO" && mkdir -p "$DEMO" && cd "$DEMO"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "Writing ulk.cfg with kolv-setup"
"$BIN/tools/kolv-setup" --host 127.0.0.2 --port "$PORT" --site "Demo Board" --software "Kolv Demo" \
    --web "https://demo.example" --sys "Linux" --dsc "The demo site"

say "Starting ulk-sim on 127.0.0.2:$PORT (40 ms link delay, ping every 4 s, drops the link once after 6 s)"
"$BIN/tools/ulk-sim" --port "$PORT" --latency 40 --ping 4 --drop-after 6 --drop-once --exit-after 40 \
    > >(tee sim.out | sed -u 's/^/                                [ulk-sim] /') 2>&1 &
pids+=($!)
sleep 0.3

say "Starting kolv-bridge -W2 (its own console lines follow, unindented)"
"$BIN/kolv-bridge" -W2 &
pids+=($!)

for _ in $(seq 100); do grep -q CAPABILITIES sim.out 2>/dev/null && break; sleep 0.1; done

say "Alice joins with kolv-chat, says hello, and stays for 11 s"
"$BIN/tools/kolv-chat" --port "$PORT" --user Alice --site "Demo Board" \
    --say "|11Hello |15from the demo|07" --wait 11000 2>&1 | sed -u 's/^/                                [kolv-chat] /'

sleep 0.5
say "kolv.log"
cat kolv.log
say "ulkstats.dat"
cat ulkstats.dat 2>/dev/null; echo
say "Done. To do the same by hand against a real host, see the README."
