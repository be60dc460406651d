#!/usr/bin/env bash
# Builds everything and runs the whole suite under Wine. Extra arguments go
# to ctest (for example: -R TraceGate).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh
ctest --preset mingw -j2 "$@"
