#!/usr/bin/env bash
# Builds everything and runs the whole suite under Wine, one test per lane
# (a Wine prefix of its own) side by side. Extra arguments go to ctest (for
# example: -R TraceGate).
#
# A test whose process printed nothing at all never ran: the Wine launch
# itself failed (seen once in about 1,500 runs, 0.02 s, no output). Only such
# tests are run once more; a test that ran and failed stays failed.
#
# Its last line is the wall time (setup and build, then the tests), after
# CTest's summary.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh
. scripts/wine-env.sh
echo "== Wine lanes: $(zel_wine_lane_count)"
built_at=$SECONDS
zel_wine_lanes_up
report_wall_time() {
  echo "== wall time: $SECONDS s (setup and build $built_at s, lanes and tests $((SECONDS - built_at)) s)"
}
# However the run ends, the lanes' servers do not outlive it.
trap 'zel_wine_lanes_down; report_wall_time' EXIT
jobs=$(zel_wine_lane_count)
log=build/mingw/Testing/Temporary/LastTest.log
if ctest --preset mingw -j "$jobs" "$@"; then
  exit 0
fi
not_started=$(awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $3; empty = 0 }
  /^Output:$/ { getline; getline; empty = ($0 == "<end of output>") }
  /^Test Failed\.$/ && empty { print name }
' "$log" | sort -u)
failed=$(sed -n 's/^[0-9]*:\(.*\)$/\1/p' build/mingw/Testing/Temporary/LastTestsFailed.log 2>/dev/null |
         sort -u)
[ -n "$not_started" ] || exit 1
if [ "$(echo "$failed")" != "$(echo "$not_started")" ]; then
  echo "== tests failed (not only launch failures)" >&2
  exit 1
fi
echo "== $(echo "$not_started" | wc -l) test(s) printed nothing (the Wine launch failed); running them again:" >&2
echo "$not_started" | sed 's/^/   /' >&2
regex=$(echo "$not_started" | sed 's/[][\.*^$]/\\&/g' | paste -sd'|')
ctest --preset mingw -j "$jobs" -R "^(${regex})\$"
