#!/bin/sh
# Test code (tests/ and fuzz/) must stay between 25 % and 35 % of the rest
# (src/ tools/ bench/ scripts/), in cloc code lines, fuzz corpus excluded.
set -eu
cd "$(dirname "$0")/.."
command -v cloc >/dev/null 2>&1 || ./scripts/install-deps.sh
count() { cloc --quiet --exclude-dir=corpus --csv "$@" | awk -F, '$2 == "SUM" {print $5}'; }
tests=$(count tests fuzz)
rest=$(count src tools bench scripts)
percent=$((tests * 100 / rest))
echo "test code $tests lines, the rest $rest lines: $percent %"
if [ "$percent" -lt 25 ] || [ "$percent" -ge 35 ]; then
  echo "test-ratio: outside the 25-35 % band" >&2
  exit 1
fi
