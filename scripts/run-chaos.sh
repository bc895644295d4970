#!/bin/sh
# The chaos soak at length: the bridge between ulk-sim --chaos and kolv-chat
# --load for MINUTES in each mode (plain, then TLS), in the default, asan and
# tsan builds (or the builds named after MINUTES). Prints both tools'
# summaries, what accounted for each packet the host never got, and whether
# the checks held; exits 1 when any run failed.
set -eu
cd "$(dirname "$0")/.."
if [ "$#" -lt 1 ] || ! [ "$1" -gt 0 ] 2>/dev/null; then
  echo "usage: scripts/run-chaos.sh MINUTES [default|asan|tsan ...]" >&2
  exit 2
fi
minutes=$1
shift
builds=${*:-default asan tsan}
KOLV_CHAOS_SECONDS=$((minutes * 60))
export KOLV_CHAOS_SECONDS
verdicts=""
failed=0
for build in $builds; do
  case $build in
    default) soak=soak ;;
    asan | tsan) soak=soak-$build ;;
    *) echo "run-chaos: unknown build $build" >&2; exit 2 ;;
  esac
  cmake --preset "$build" >/dev/null
  cmake --build --preset "$build" -j2 --target kolv_soak_tests
  for mode in Plain Tls; do
    echo "== $build, $mode, $minutes min =="
    # -V shows the summaries of a run that passes, too.
    if ctest --preset "$soak" -R "Chaos.*/$mode( |\$)" --timeout $((KOLV_CHAOS_SECONDS + 300)) -V; then
      verdict="the checks held"
    else
      verdict="the checks FAILED"
      failed=1
    fi
    verdicts="$verdicts== $build, $mode: $verdict
"
  done
done
printf '%s' "$verdicts"
exit "$failed"
