#!/bin/sh
# Builds the libFuzzer targets and runs each for SECONDS (default 30) on a
# copy of its seed corpus. A finding stops the script with a non-zero exit;
# its input is left in build/fuzz/findings/ to be kept in fuzz/corpus/.
set -eu
SECONDS_EACH=${1:-30}
cd "$(dirname "$0")/.."
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target fuzz_host_stream fuzz_client_stream fuzz_config fuzz_text fuzz_pin_file
out=build/fuzz/fuzz-runs
mkdir -p "$out" build/fuzz/findings
for target in host_stream client_stream config text pin_file; do
  work="$out/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/run"
  cp fuzz/corpus/$target/* "$work/corpus/"
  # The bridge appends to ./kolv.log and rewrites ./ulkstats.dat: folders by
  # those names make both writes fail (the one line that says so goes to the
  # fuzzer's captured console), so a long run fills no disk.
  mkdir -p "$work/run/kolv.log" "$work/run/ulkstats.dat"
  bin="$(pwd)/build/fuzz/fuzz/fuzz_$target"
  echo "== fuzz_$target for ${SECONDS_EACH}s =="
  (cd "$work/run" && "$bin" -max_total_time="$SECONDS_EACH" -max_len=8192 -timeout=10 \
      -artifact_prefix="$(cd ../../../findings && pwd)/${target}-" -print_final_stats=1 ../corpus) \
      >"$work/log.txt" 2>&1 || { tail -40 "$work/log.txt"; exit 1; }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/log.txt" | sed "s/^/  /"
done
