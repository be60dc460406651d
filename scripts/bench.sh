#!/usr/bin/env bash
# Builds the benchmarks and prints one table of every figure they measure,
# each next to its baseline, with the machine it ran on. Each benchmark also
# prints its own detail lines with -v.
#   scripts/bench.sh [-v]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
verbose=0
[ "${1:-}" = "-v" ] && verbose=1

scripts/setup.sh >/dev/null
. scripts/wine-env.sh

figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
# One at a time: the benchmarks listen on the product's machine-wide pipes.
for exe in $(find build/mingw/bench -name '*.exe' | sort); do
  name=$(basename "$exe" .exe)
  echo "== $name" >&2
  if ! output=$(scripts/wine-run.sh "$exe" 2>&1); then
    echo "   $name failed:" >&2
    echo "$output" | sed 's/^/   /' >&2
    continue
  fi
  [ $verbose -eq 1 ] && echo "$output" | grep -v '^FIGURE|' | sed 's/^/   /' >&2
  echo "$output" | grep '^FIGURE|' | tr -d '\r' >>"$figures" || true
done

echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), \
$(free -g | awk '/Mem:/ {print $2}') GB RAM, $(wine --version), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
# "x baseline" says how many times better than its baseline a figure is
# (above 1: better), whichever direction counts as better for it.
awk -F'|' '
  BEGIN {
    printf "| %-46s | %20s | %-28s | %20s | %10s | %-8s |\n", "figure", "value", "baseline", "baseline value", "x baseline", "aim"
    printf "|%s|%s|%s|%s|%s|%s|\n", "------------------------------------------------", "----------------------", "------------------------------", "----------------------", "------------", "----------"
  }
  {
    value = $3 + 0; base = $6 + 0
    times = "-"
    if (value > 0 && base > 0) times = sprintf("%.2f", ($7 == "higher") ? value / base : base / value)
    printf "| %-46s | %10.4g %-9s | %-28s | %10.4g %-9s | %10s | %-8s |\n", $2, value, $4, $5, base, $4, times, $8
  }' "$figures"
