#!/usr/bin/env bash
# Runs a Windows executable in this build tree's Wine prefix, or in the
# prefix of the lane that CTest gave the test. CMake uses it as the
# cross-compiling emulator, so CTest and test discovery run .exe files
# transparently; the demo and the benchmarks use it too.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
zel_wine_select_lane
zel_wine_up
exec wine "$@"
