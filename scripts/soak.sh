#!/usr/bin/env bash
# The trace load at full size, outside the suite: eight threads write until
# the service has started beside them and then 20,000 records more each
# (about 160,000 in all, several minutes under Wine); every record must
# arrive once and whole, and the log server's memory must stay bounded.
# The suite runs the same test with 500 more each. Prints the test's figures
# and its time. Extra arguments: the records per thread after the start-up.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh
. scripts/wine-env.sh
zel_wine_lanes_up
trap zel_wine_lanes_down EXIT
export ZEL_TRACE_LOAD_RECORDS_PER_THREAD=${1:-20000}
echo "== soak: trace load, $ZEL_TRACE_LOAD_RECORDS_PER_THREAD records per thread after the service's start-up"
out=build/mingw/Testing/soak.log
mkdir -p "$(dirname "$out")"
started=$(date +%s)
status=0
ctest --preset mingw -R '^TraceLoad\.' --output-on-failure -V >"$out" 2>&1 || status=$?
grep -E 'records from|committed bytes|OK \]|FAILED|Failure|Expected|Which is|Test +#' "$out" || true
echo "== soak wall time: $(( $(date +%s) - started )) s (whole output: $out)"
exit "$status"
