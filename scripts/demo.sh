#!/usr/bin/env bash
# Shows the service at work under Wine's Service Control Manager: lays out a
# sample product folder in the Wine prefix with a one-minute sample-folder
# cleanup interval, starts the companion log server and command manager,
# installs and starts stvZelSvr as a service, waits for the cleanup command to
# arrive at the command manager decoded, then stops and deletes the service.
# Stops everything it started.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh >/dev/null
. scripts/wine-env.sh
zel_wine_up

build=build/mingw
product="$WINEPREFIX/drive_c/zeldemo"
service=stvZelSvr
cleanup_command=CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER

echo "== sample product folder C:\\zeldemo (executable and plug-in in Bin\\x64, cleanup every minute)"
rm -rf "$product"
mkdir -p "$product/Bin/x64" "$product/Private/LogServer"
cp "$build/server/ZOLM/StvZelSvr/stvZelSvr.exe" "$build/server/ZOLM/StvZelSvr/KVNotify.dll" \
  "$build/companions/cmdhandler/full/libCmdHndlrZel.dll" "$product/Bin/x64/"
printf '[WEB_SERVER]\r\nServerType=2\r\n' >"$product/StUninst.ini"
printf '[Sample_Submission]\r\nSampleFolderCleanupHour=0\r\nSampleFolderCleanupMinute=1\r\n' \
  >"$product/Private/stvZelSvr.ini"

server_out=$(mktemp)
manager_out=$(mktemp)
server_pid=
manager_pid=
tail_pid=
service_created=
sc() { wine sc "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# Wine's sc has no query: the service's own status reports in the log tell.
stopped_line='SendStatusToSCM - CurrentState(1)'
stop_pid() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
wait_for() {  # file text seconds
  for _ in $(seq 1 $(($3 * 10))); do
    grep -qF "$2" "$1" && return 0
    sleep 0.1
  done
  return 1
}

cleanup() {
  if [ -n "$service_created" ]; then
    sc stop "$service" >/dev/null || true
    wait_for "$server_out" "$stopped_line" 30 || true
    sc delete "$service" >/dev/null || true
  fi
  stop_pid "$tail_pid"
  stop_pid "$manager_pid"
  stop_pid "$server_pid"
  rm -f "$server_out" "$manager_out"
  return 0
}
trap cleanup EXIT


echo "== starting the companion log server (zelLogServer.exe)"
scripts/wine-run.sh "$build/companions/logserver/zelLogServer.exe" \
  --log 'C:\zeldemo\zelLogServer.log' --level 0x00010009 </dev/null >"$server_out" 2>&1 &
server_pid=$!
wait_for "$server_out" listening 20
tail --pid=$$ -f "$server_out" | grep --line-buffered -E 'SendStatusToSCM - CurrentState\((4|1)\)|has started up|Cleanup|cmzel_OutputCommand' &
tail_pid=$!

echo "== starting the companion command manager (cmdmanager.exe)"
scripts/wine-run.sh "$build/companions/cmdmanager/cmdmanager.exe" </dev/null >"$manager_out" 2>&1 &
manager_pid=$!
wait_for "$manager_out" listening 20
sed 's/^/   [cmdmanager] /' "$manager_out"

echo "== installing the service: sc create $service binPath= C:\\zeldemo\\Bin\\x64\\stvZelSvr.exe"
sc create "$service" binPath= 'C:\zeldemo\Bin\x64\stvZelSvr.exe' >/dev/null
service_created=1
echo "== sc start $service"
sc start "$service" >/dev/null
wait_for "$server_out" 'has started up' 60

echo "== waiting for the cleanup command (at start-up when the first pass falls in the same second, else a minute later)"
waited=0
until grep -q "$cleanup_command" "$manager_out"; do
  if [ "$waited" -ge 90 ]; then
    echo "!! no cleanup command within 90 s" >&2
    exit 1
  fi
  sleep 5
  waited=$((waited + 5))
  echo "   ... ${waited} s"
done
echo "== the command manager received and decoded:"
sed -n "/$cleanup_command/,\$p" "$manager_out" | head -5 | sed 's/^/   [cmdmanager] /'

echo "== sc stop $service"
sc stop "$service" >/dev/null
wait_for "$server_out" "$stopped_line" 30
sleep 1
sc delete "$service" >/dev/null
service_created=
echo "== service deleted; the log file C:\\zeldemo\\zelLogServer.log holds $(wc -l <"$product/zelLogServer.log") records"
