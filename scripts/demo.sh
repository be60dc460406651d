#!/usr/bin/env bash
# Shows the service at its current stage: lays out a sample product folder in
# the Wine prefix, starts the companion log server, runs stvZelSvr.exe there
# (outside the Service Control Manager, so it ends with 1063 after about 10 s)
# and shows the trace records as they arrive. Stops everything it started.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh >/dev/null
. scripts/wine-env.sh
zel_wine_up

build=build/mingw
product="$WINEPREFIX/drive_c/zeldemo"
echo "== sample product folder C:\\zeldemo (executable in Bin\\x64, StUninst.ini says Apache)"
rm -rf "$product"
mkdir -p "$product/Bin/x64" "$product/Private/LogServer"
cp "$build/server/ZOLM/StvZelSvr/stvZelSvr.exe" "$product/Bin/x64/"
printf '[WEB_SERVER]\r\nServerType=2\r\n' >"$product/StUninst.ini"

server_out=$(mktemp)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -f "$server_out"
  return 0
}
trap cleanup EXIT

echo "== starting the companion log server (zelLogServer.exe)"
scripts/wine-run.sh "$build/companions/logserver/zelLogServer.exe" \
  --log 'C:\zeldemo\zelLogServer.log' --level 0x00010009 </dev/null >"$server_out" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q 'listening' "$server_out" && break
  sleep 0.1
done
tail -f "$server_out" &
tail_pid=$!

echo "== running C:\\zeldemo\\Bin\\x64\\stvZelSvr.exe (no argument: asks for the service dispatcher)"
set +e
scripts/wine-run.sh 'C:\zeldemo\Bin\x64\stvZelSvr.exe'
code=$?
set -e
sleep 1
kill "$tail_pid" 2>/dev/null || true
wait "$tail_pid" 2>/dev/null || true
echo "== stvZelSvr.exe exit status $code (Linux keeps 8 bits: 39 is Windows' 1063," \
  "ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, expected outside the Service Control Manager)"
echo "== the log file C:\\zeldemo\\zelLogServer.log holds $(wc -l <"$product/zelLogServer.log") records"
