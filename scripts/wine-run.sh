#!/usr/bin/env bash
# Runs a Windows executable in this work tree's Wine prefix. CMake uses it as
# the cross-compiling emulator, so CTest and test discovery run .exe files
# transparently; the demo and the benchmarks use it too.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
zel_wine_up
exec wine "$@"
