# Sourced by the scripts: the Wine prefix of this work tree and how to keep
# its wineserver up. One prefix is one Windows machine (pipes, registry,
# Service Control Manager), so each build tree gets its own, and each CTest
# lane (a slot of the "wine" resource) a copy of it: see docs/e2e-harness.md.
ZEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZEL_BUILD_DIR=${ZEL_BUILD_DIR:-$ZEL_ROOT/build/mingw}
# The build tree's own prefix: booted once, configured, the lanes' template.
ZEL_MAIN_PREFIX=${ZEL_WINEPREFIX:-$ZEL_BUILD_DIR/wine}
export WINEPREFIX=$ZEL_MAIN_PREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# No desktop integration, no Mono/Gecko prompts in a headless prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
export DISPLAY=
# A coverage build's processes write their counts to the object files'
# Linux paths ("/work/..."), which a process whose current drive is C: (a
# service under the SCM, a child started in C:\) would resolve inside the
# prefix: the prefix "Z:" puts every write on the Linux side. Services get it
# from services.exe, which inherits it from the server start below.
export GCOV_PREFIX=Z:

# CTest gives a test that asks for one "wine" slot (RESOURCE_GROUPS wine:1)
# CTEST_RESOURCE_GROUP_0_WINE=id:<lane>,slots:1; that lane's prefix is then
# WINEPREFIX. Without a resource spec file CTest allocates nothing and the
# test runs in the main prefix.
zel_wine_select_lane() {
  local allocation=${CTEST_RESOURCE_GROUP_0_WINE:-}
  ZEL_WINE_LANE=
  [ -n "$allocation" ] || return 0
  ZEL_WINE_LANE=$(printf '%s' "$allocation" | sed -n 's/^id:\([a-z0-9_]*\),slots:[0-9]*$/\1/p')
  if [ -z "$ZEL_WINE_LANE" ]; then
    echo "wine-env.sh: cannot read the lane from CTEST_RESOURCE_GROUP_0_WINE=$allocation" >&2
    return 1
  fi
  export WINEPREFIX=$ZEL_BUILD_DIR/wine-lanes/$ZEL_WINE_LANE
}

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

# Keeps a persistent wineserver (with services.exe already running) for
# WINEPREFIX, detached from our stdio, so that test processes start in a
# fraction of a second and CTest never waits on Wine's helper processes.
# The caller holds prefix locks on fds 8 and 9: the server must inherit
# neither, or the lock lives as long as the server.
# The desktop process (explorer.exe /desktop) is started here as well, with
# our /dev/null: otherwise the first test process that needs a desktop
# (WinTrust on an executable does, under Wine 8) starts it with that test's
# stderr, and CTest waits for the pipe, which the desktop holds for good,
# until the test's time-out.
zel_wine_serve() {
  [ -S "$(zel_wine_server_socket)" ] && return 0
  setsid sh -c 'wineserver -p; wine wineboot; wine explorer.exe /desktop &' \
    </dev/null >/dev/null 2>&1 8>&- 9>&- &
  for _ in $(seq 1 200); do
    [ -S "$(zel_wine_server_socket)" ] && break
    sleep 0.1
  done
  wait
}

# Boots the main prefix once (the caller holds its lock).
zel_wine_boot_main() {
  [ -f "$ZEL_MAIN_PREFIX/.zel-booted" ] && return 0
  echo "== booting Wine prefix $ZEL_MAIN_PREFIX (once, about 20 s)" >&2
  WINEPREFIX=$ZEL_MAIN_PREFIX wineboot -i </dev/null >/dev/null 2>&1
  # The boot's own server must end before a persistent one can start.
  WINEPREFIX=$ZEL_MAIN_PREFIX wineserver -w </dev/null >/dev/null 2>&1
  WINEPREFIX=$ZEL_MAIN_PREFIX zel_wine_configure_prefix
  touch "$ZEL_MAIN_PREFIX/.zel-booted"
}

# What the main prefix holds, as its stamps say: every step that configures
# it leaves a ".zel-*" stamp (boot, trusted test root, ...). A lane made from
# an older state is made again.
zel_wine_main_state() {
  (cd "$ZEL_MAIN_PREFIX" && stat -c '%n %.9Y' .zel-* 2>/dev/null) | sort
}

# Makes the lane's prefix a copy of the main one. The main server is stopped
# first, which writes its registry out, so the copy is consistent; it comes
# back at the next use of the main prefix. The system folder's files (630 MB
# of DLLs and tables that Wine only reads) are hard links; the rest is copied.
zel_wine_make_lane() {
  local lane=$WINEPREFIX
  if [ -d "$lane" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    rm -rf "$lane"
  fi
  (
    flock 8
    zel_wine_boot_main
    WINEPREFIX=$ZEL_MAIN_PREFIX wineserver -k </dev/null >/dev/null 2>&1 || true
    WINEPREFIX=$ZEL_MAIN_PREFIX wineserver -w </dev/null >/dev/null 2>&1 || true
    mkdir -p "$lane.tmp"
    tar -C "$ZEL_MAIN_PREFIX" --exclude=./drive_c/windows/system32 -cf - . | tar -C "$lane.tmp" -xf -
    cp -al "$ZEL_MAIN_PREFIX/drive_c/windows/system32" "$lane.tmp/drive_c/windows/"
    zel_wine_main_state >"$lane.tmp/.lane-source"
  ) 8>"$ZEL_MAIN_PREFIX.lock"
  mv "$lane.tmp" "$lane"
}

# Brings WINEPREFIX up: the main prefix is booted once; a lane's prefix is
# (re)made from the main one when missing or older than it.
zel_wine_up() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ "$WINEPREFIX" = "$ZEL_MAIN_PREFIX" ]; then
      zel_wine_boot_main
    elif [ "$(cat "$WINEPREFIX/.lane-source" 2>/dev/null)" != "$(zel_wine_main_state)" ]; then
      rm -rf "$WINEPREFIX.tmp"
      zel_wine_make_lane
    fi
    zel_wine_serve
  ) 9>"$WINEPREFIX.lock"
}

# Brings every lane of the build tree up at once (their servers start side
# by side), so that the first test of each lane does not pay for it.
zel_wine_lanes_up() {
  local spec=$ZEL_BUILD_DIR/wine-lanes.json lane
  [ -f "$spec" ] || return 0
  for lane in $(sed -n 's/.*"id": *"\([a-z0-9_]*\)".*/\1/p' "$spec"); do
    (WINEPREFIX=$ZEL_BUILD_DIR/wine-lanes/$lane; zel_wine_up) &
  done
  wait
}

# The number of lanes the build tree's resource spec file lists.
zel_wine_lane_count() {
  grep -c '"id"' "$ZEL_BUILD_DIR/wine-lanes.json" 2>/dev/null || echo 1
}

# Registry settings every test run relies on.
zel_wine_configure_prefix() {
  # No crash debugger: an unhandled exception ends the process quietly,
  # which the crash-dump tests rely on.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f </dev/null >/dev/null 2>&1
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
}

# Stops the servers of the main prefix and of every lane of this build tree.
zel_wine_down() {
  local prefix
  for prefix in "$ZEL_MAIN_PREFIX" "$ZEL_BUILD_DIR"/wine-lanes/*/; do
    [ -d "$prefix" ] && WINEPREFIX=${prefix%/} wineserver -k </dev/null >/dev/null 2>&1
  done
  true
}

# Stops the servers of every lane of this build tree, and with them the
# lanes' services.exe and friends, and waits until they are gone. The main
# prefix's server stays up for the next command.
zel_wine_lanes_down() {
  local prefix
  for prefix in "$ZEL_BUILD_DIR"/wine-lanes/*/; do
    [ -d "$prefix" ] || continue
    WINEPREFIX=${prefix%/} wineserver -k </dev/null >/dev/null 2>&1 || true
    WINEPREFIX=${prefix%/} timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
  done
  true
}
