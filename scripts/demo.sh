#!/usr/bin/env bash
# The product's main job end to end under Wine's Service Control Manager:
# starts the companion log server and command manager, lays out a sample
# product folder with a one-minute sample-folder cleanup interval, installs
# and starts the service with "stvZelSvr.exe -install", waits for start-up and
# for a cleanup command to arrive decoded, asks the support tool zeldiag
# whether the installation is healthy, removes the service with
# "stvZelSvr.exe -uninstall" and prints a summary. Leaves the prefix as it
# found it; exits non-zero when any step did not happen.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh >/dev/null
. scripts/wine-env.sh
zel_wine_up

build=build/mingw
product="$WINEPREFIX/drive_c/zeldemo"
exe='C:\zeldemo\Bin\x64\stvZelSvr.exe'
service=stvZelSvr
service_key='HKLM\System\CurrentControlSet\Services\stvZelSvr'
cleanup_command=CMZELV2_ZELSVR_CLEANUP_SAMPLE_FOLDER
information_key='HKLM\SOFTWARE\Karvelo\Sentavo\service\Information'

server_out=$(mktemp)
manager_out=$(mktemp)
diag_out=$(mktemp)
server_pid=
manager_pid=
tail_pid=
installed=
made_product=
set_local_path=

service_registered() { wine reg query "$service_key" </dev/null >/dev/null 2>&1; }
run_exe() {  # argument; the Windows exit code modulo 256
  local code=0
  scripts/wine-run.sh "$product/Bin/x64/stvZelSvr.exe" "$1" </dev/null >/dev/null 2>&1 || code=$?
  return "$code"
}
stop_pid() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
wait_for() {  # file text seconds
  for _ in $(seq 1 $(($3 * 10))); do
    grep -qF -- "$2" "$1" && return 0
    sleep 0.1
  done
  return 1
}
fail() {
  echo "!! $*" >&2
  exit 1
}

cleanup() {
  if [ -n "$installed" ] && service_registered; then
    echo "== removing the service left behind"
    run_exe -uninstall || true
    if service_registered; then
      wine sc stop "$service" </dev/null >/dev/null 2>&1 || true
      sleep 2
      wine sc delete "$service" </dev/null >/dev/null 2>&1 || true
    fi
  fi
  stop_pid "$tail_pid"
  stop_pid "$manager_pid"
  stop_pid "$server_pid"
  # Only what this run made: what was found in place is never touched.
  [ -n "$set_local_path" ] &&
    wine reg delete "$information_key" /v Local_Path /f /reg:64 </dev/null >/dev/null 2>&1
  [ -n "$made_product" ] && rm -rf "$product"
  rm -f "$server_out" "$manager_out" "$diag_out"
  return 0
}
trap cleanup EXIT

if service_registered; then
  installed=
  fail "a service $service is already registered in this prefix; the demo leaves it alone"
fi
if [ -e "$product" ]; then
  fail "C:\\zeldemo already exists in this prefix; the demo leaves it alone"
fi

echo "== sample product folder C:\\zeldemo (executable and plug-in in Bin\\x64, cleanup every minute)"
made_product=1
mkdir -p "$product/Bin/x64" "$product/Private/LogServer" "$product/Local"
# The executable and the plug-in as an installation ships them: signed (by
# the build's test maker, like KVNotify.dll).
cp "$build/tools/zeldiag/product/stvZelSvr.exe" "$build/server/ZOLM/StvZelSvr/KVNotify.dll" \
  "$build/tools/zeldiag/product/libCmdHndlrZel.dll" "$product/Bin/x64/"
printf '[WEB_SERVER]\r\nServerType=2\r\n' >"$product/StUninst.ini"
printf '[Sample_Submission]\r\nSampleFolderCleanupHour=0\r\nSampleFolderCleanupMinute=1\r\n' \
  >"$product/Private/stvZelSvr.ini"

# The product's local folder, where the service makes its temp folders.
if ! wine reg query "$information_key" /v Local_Path /reg:64 </dev/null >/dev/null 2>&1; then
  set_local_path=1
  wine reg add "$information_key" /v Local_Path /t REG_SZ /d 'C:\zeldemo\Local\' /f /reg:64 \
    </dev/null >/dev/null 2>&1 || fail "could not set Local_Path"
fi

echo "== starting the companion log server (zelLogServer.exe)"
scripts/wine-run.sh "$build/companions/logserver/zelLogServer.exe" \
  --log 'C:\zeldemo\zelLogServer.log' --level 0x00010009 </dev/null >"$server_out" 2>&1 &
server_pid=$!
wait_for "$server_out" listening 20 || fail "the log server did not start"
tail --pid=$$ -f "$server_out" | grep --line-buffered -E \
  'InstallAsService - (StartService|CreateService)|UninstallAsService|has started up|SERVICE_STOPPED|Cleanup|cmzel_OutputCommand|DeleteService \[' &
tail_pid=$!

echo "== starting the companion command manager (cmdmanager.exe)"
scripts/wine-run.sh "$build/companions/cmdmanager/cmdmanager.exe" </dev/null >"$manager_out" 2>&1 &
manager_pid=$!
wait_for "$manager_out" listening 20 || fail "the command manager did not start"
sed 's/^/   [cmdmanager] /' "$manager_out"

echo "== $exe -install"
installed=1
run_exe -install || fail "-install exited with $?"
service_registered || fail "-install registered no service"
wait_for "$server_out" 'InstallAsService - StartService result(0)' 60 ||
  fail "the service did not reach running"
wait_for "$server_out" 'has started up' 30 || fail "no start-up line"

echo "== waiting for the cleanup command (at start-up when the first pass falls in the same second, else a minute later)"
waited=0
until grep -q "$cleanup_command" "$manager_out"; do
  [ "$waited" -lt 90 ] || fail "no cleanup command within 90 s"
  sleep 5
  waited=$((waited + 5))
  echo "   ... ${waited} s"
done
echo "== the command manager received and decoded:"
sed -n "/$cleanup_command/,\$p" "$manager_out" | head -5 | sed 's/^/   [cmdmanager] /'

echo "== is this installation healthy? (tools/zeldiag)"
diag_code=0
scripts/wine-run.sh "$build/tools/zeldiag/zeldiag.exe" </dev/null >"$diag_out" 2>&1 || diag_code=$?
tr -d '\r' <"$diag_out" | sed 's/^/   /'
[ "$diag_code" -eq 0 ] || fail "zeldiag found something to fix (exit $diag_code)"

echo "== $exe -uninstall"
run_exe -uninstall || fail "-uninstall exited with $?"
wait_for "$server_out" 'UninstallAsService - DeleteService result(0)' 30 ||
  fail "the service was not stopped and deleted"
service_registered && fail "the service is still registered"
installed=
final_state="deleted (stopped, then removed from the Service Control Manager)"
sleep 1

echo "== summary"
echo "   records received by level (letter or number):"
awk '$3 ~ /^pid=/ && $4 ~ /^tid=/ { count[$5]++ } END { for (l in count) printf "     %s %d\n", l, count[l] }' \
  "$server_out" | sort
echo "   commands received by the command manager: $(grep -c "command: " "$manager_out" || true)" \
  "($(grep -c "command: $cleanup_command" "$manager_out" || true) cleanup)"
echo "   service $service: $final_state"
echo "   log file C:\\zeldemo\\zelLogServer.log: $(wc -l <"$product/zelLogServer.log") records (removed with the folder)"
