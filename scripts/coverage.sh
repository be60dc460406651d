#!/usr/bin/env bash
# Line and branch coverage of the product's libraries: builds the "coverage"
# preset (build/coverage, every target compiled with --coverage), runs the
# whole suite under Wine in that tree's own prefix and lanes, and reports by
# library and by file with gcovr (from Debian, installed when missing).
#   scripts/coverage.sh [ctest arguments]
# Prints the table; the HTML pages are build/coverage/coverage/index.html.
# Not part of CI. Exits non-zero when a test failed (the report is made all
# the same: a failed test still counts what it ran).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if ! dpkg-query -W -f='${Status}' gcovr 2>/dev/null | grep -q 'install ok installed'; then
  echo "== installing gcovr"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    gcovr >/dev/null
fi

scripts/setup.sh coverage
build=$PWD/build/coverage
ZEL_BUILD_DIR=$build
. scripts/wine-env.sh

# Counts from an earlier run would add up with this one's.
find "$build" -name '*.gcda' -delete
zel_wine_lanes_up
# However the run ends, the lanes' servers do not outlive it.
trap zel_wine_lanes_down EXIT
status=0
ctest --preset coverage -j "$(zel_wine_lane_count)" "$@" || status=$?
# A process writes its counts when it ends: stop what the suite left
# running in the lanes (a service of a failed test) so that it writes too.
zel_wine_down

# The product's libraries only: not their tests, the companions, the e2e
# harness, the benchmarks or GoogleTest. Branches that only C++ exception
# handling adds (every call that may throw) are left out of the figures.
report=$build/coverage
mkdir -p "$report"
gcovr --root . --object-directory "$build" "$build" \
  --gcov-executable x86_64-w64-mingw32-gcov-posix \
  --filter '(server|client|diagnostics|util)/' --exclude '.*/tests/.*' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --html-details "$report/index.html" --json-summary "$report/summary.json" \
  --txt "$report/files.txt" >/dev/null

# One row per library (the folder a file sits in), then the total.
python3 - "$report/summary.json" <<'EOF'
import json, os, sys
rows = {}
for f in json.load(open(sys.argv[1]))["files"]:
    lib = os.path.dirname(f["filename"])
    r = rows.setdefault(lib, [0, 0, 0, 0])
    r[0] += f["line_covered"]; r[1] += f["line_total"]
    r[2] += f["branch_covered"]; r[3] += f["branch_total"]
def pct(a, b): return f"{100.0 * a / b:5.1f} %" if b else "    -  "
def cell(a, b): return f"{pct(a, b)} {a:>5}/{b:<5}"
print(f"| {'library':<28} | {'lines':<19} | {'branches':<19} |")
print(f"|{'-' * 30}|{'-' * 21}|{'-' * 21}|")
total = [0, 0, 0, 0]
for lib in sorted(rows):
    r = rows[lib]
    total = [t + v for t, v in zip(total, r)]
    print(f"| {lib:<28} | {cell(r[0], r[1])} | {cell(r[2], r[3])} |")
print(f"| {'total':<28} | {cell(total[0], total[1])} | {cell(total[2], total[3])} |")
EOF
echo
echo "by file: $report/files.txt; pages: $report/index.html"
exit $status
