# Sourced by the scripts: the Wine prefix of this work tree and how to keep
# its wineserver up. One prefix is one Windows machine (pipes, registry,
# Service Control Manager), so each build tree gets its own.
ZEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZEL_BUILD_DIR=${ZEL_BUILD_DIR:-$ZEL_ROOT/build/mingw}
export WINEPREFIX=${ZEL_WINEPREFIX:-$ZEL_BUILD_DIR/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# No desktop integration, no Mono/Gecko prompts in a headless prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
export DISPLAY=

# The server's socket lives in a folder named after the prefix's device and
# inode; it exists exactly while a wineserver serves this prefix. Debian's
# Wine keeps that folder under a private temporary folder whose name it
# records in the prefix's "wineserver" file; upstream Wine uses /tmp/.wine-UID.
zel_wine_server_socket() {
  local dev ino base
  dev=$(stat -c '%d' "$WINEPREFIX" 2>/dev/null) || return 1
  ino=$(stat -c '%i' "$WINEPREFIX" 2>/dev/null) || return 1
  if [ -f "$WINEPREFIX/wineserver" ]; then
    base=/tmp/$(cat "$WINEPREFIX/wineserver")
  else
    base=/tmp/.wine-$(id -u)
  fi
  printf '%s/server-%x-%x/socket' "$base" "$dev" "$ino"
}

# Boots the prefix once and keeps a persistent wineserver (with services.exe
# already running) detached from our stdio, so that test processes start in
# a fraction of a second and CTest never waits on Wine's helper processes.
zel_wine_up() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.zel-booted" ]; then
      echo "== booting Wine prefix $WINEPREFIX (once, about 20 s)" >&2
      wineboot -i </dev/null >/dev/null 2>&1
      # The boot's own server must end before a persistent one can start.
      wineserver -w </dev/null >/dev/null 2>&1
      zel_wine_configure_prefix
      touch "$WINEPREFIX/.zel-booted"
    fi
    if ! [ -S "$(zel_wine_server_socket)" ]; then
      # fd 9 (the lock) must not be inherited by the persistent server.
      setsid sh -c 'wineserver -p; wine wineboot' </dev/null >/dev/null 2>&1 9>&- &
      for _ in $(seq 1 200); do
        [ -S "$(zel_wine_server_socket)" ] && break
        sleep 0.1
      done
      wait
    fi
  ) 9>"$(dirname "$WINEPREFIX")/.wine-prefix.lock"
}

# Registry settings every test run relies on.
zel_wine_configure_prefix() {
  # No crash debugger: an unhandled exception ends the process quietly,
  # which the crash-dump tests rely on.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f </dev/null >/dev/null 2>&1
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
}

zel_wine_down() {
  [ -d "$WINEPREFIX" ] && wineserver -k </dev/null >/dev/null 2>&1
  true
}
