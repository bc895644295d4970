# shellcheck shell=sh
# Sourced: a site run by the installed programs in a temporary folder. A TLS
# ulk-sim is the host, kolv-setup writes ulk.cfg and pins the host, and
# kolv-bridge -V -R1 runs under strace; a kolv-chat line goes to the host and
# back, logrotate (with the installed file) rotates kolv.log, the next line
# lands in a new kolv.log, and when the host goes away the bridge ends with 0.

# wait_for FILE TEXT: until FILE holds TEXT, at most 20 s.
wait_for() {
  wait_tries=200
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    wait_tries=$((wait_tries - 1))
    if [ "$wait_tries" -eq 0 ]; then
      echo "no \"$2\" in $1 within 20 s:" >&2
      cat "$1" >&2
      return 1
    fi
    sleep 0.1
  done
}

# expect_in FILE TEXT WHAT: FILE holds TEXT, else WHAT failed.
expect_in() {
  grep -qF -- "$2" "$1" && return 0
  echo "round trip: $3 (no \"$2\" in $1)" >&2
  return 1
}

# site_chat DIR TEXT: Alice says TEXT through the bridge and hears it back.
site_chat() {
  (cd "$1/sites/check" && kolv-chat --user Alice --say "$2" --wait 1000 >"$1/chat.out" 2>&1)
  expect_in "$1/chat.out" "Alice: $2" "the echo of \"$2\" reached the client"
  expect_in "$1/sim.out" "<- Alice~Local~~~~~$2~" "the host received \"$2\""
}

# site_start DIR PORT: the host, the site's files, and the bridge under strace.
site_start() {
  mkdir -p "$1/sites/check"
  ulk-sim --tls --port "$2" </dev/null >"$1/sim.out" 2>&1 &
  site_sim=$!
  wait_for "$1/sim.out" "listening on 127.0.0.2:$2"
  site_dir=$1/sites/check
  (cd "$site_dir" && kolv-setup --host 127.0.0.2 --port "$2" --tls --site "Package Check" --software dpkg >/dev/null)
  (cd "$site_dir" && kolv-setup --pin-host --yes >"$1/pin.out")
  expect_in "$site_dir/ulk.pin" "sha256:" "kolv-setup --pin-host --yes wrote the pin"
  (cd "$site_dir" && exec strace -f -qq -o "$1/trace" kolv-bridge -V -W1 -R1 >"$1/bridge.out" 2>&1) &
  site_bridge=$!
  wait_for "$1/sim.out" "CAPABILITIES"
}

# site_rotate DIR: logrotate -f with the installed file, pointed at DIR/sites.
site_rotate() {
  sed "s#/var/lib/kolv-bridge/#$1/sites/#" /etc/logrotate.d/kolv-bridge >"$1/logrotate.conf"
  logrotate -f -s "$1/logrotate.state" "$1/logrotate.conf"
  if [ ! -f "$1/sites/check/kolv.log.1" ] || [ -e "$1/sites/check/kolv.log" ]; then
    echo "round trip: logrotate did not move kolv.log to kolv.log.1" >&2
    return 1
  fi
}

# site_stop: ends the host and the bridge (strace's child) if they still run.
site_stop() {
  [ -z "${site_sim:-}" ] || kill "$site_sim" 2>/dev/null || true
  [ -z "${site_bridge:-}" ] || pkill -P "$site_bridge" 2>/dev/null || true
}

# site_end DIR: the host goes away; within 20 s the bridge, with -R1, gives
# up with exit code 0. Its output to a file has no colour escapes.
site_end() {
  kill "$site_sim"
  site_tries=200
  while kill -0 "$site_bridge" 2>/dev/null && [ "$site_tries" -gt 0 ]; do
    site_tries=$((site_tries - 1))
    sleep 0.1
  done
  [ "$site_tries" -gt 0 ] || site_stop
  site_code=0
  wait "$site_bridge" || site_code=$?
  site_sim="" site_bridge=""
  [ "$site_code" -eq 0 ] || { echo "round trip: the bridge ended with $site_code, not 0 within 20 s" >&2; return 1; }
  expect_in "$1/bridge.out" "Retry 1 of 1..." "the bridge gave up after -R1"
  if grep -q "$(printf '\033')" "$1/bridge.out"; then
    echo "round trip: colour escapes in the bridge's output to a file" >&2
    return 1
  fi
}

# site_round_trip DIR PORT: the whole run; DIR/trace is left for the unit's checks.
site_round_trip() {
  site_start "$1" "$2"
  site_chat "$1" "before rotation"
  site_rotate "$1"
  site_chat "$1" "after rotation"
  wait_for "$1/sites/check/kolv.log" "after rotation"
  if grep -qF "after rotation" "$1/sites/check/kolv.log.1"; then
    echo "round trip: a line after the rotation went to the renamed log" >&2
    return 1
  fi
  site_end "$1"
}
