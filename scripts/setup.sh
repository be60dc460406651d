#!/usr/bin/env bash
# Idempotent: installs the Debian packages the build needs (when missing),
# configures and builds the cross build, and boots this work tree's Wine
# prefix with its wineserver kept up, detached.
#   scripts/setup.sh [preset]     (default: mingw; coverage.sh uses "coverage")
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
preset=${1:-mingw}

packages=(g++-mingw-w64-x86-64-posix wine64 wine cmake ninja-build googletest openssl osslsigncode)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

ZEL_BUILD_DIR=$PWD/build/$preset
. scripts/wine-env.sh
echo "== Wine prefix $WINEPREFIX"
zel_wine_up

echo "== configure and build ($preset)"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
