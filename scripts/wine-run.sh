#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build
# folder (created on first use), no display and no debug chatter.
#
# The prefix is the build folder's (the nearest folder above the working
# directory that holds CMakeCache.txt), so every test of a build shares one.
# It is initialised once: the first caller does it under a lock while
# concurrent callers wait, and a marker written last says it is complete.
# Wine's server stays up a few seconds after its last program ends, so a run
# of many short tests reuses it, and it goes away by itself afterwards.
set -eu
if [ -z "${ZUVA_WINEPREFIX:-}" ]; then
  root=$PWD
  while [ "$root" != / ] && [ ! -f "$root/CMakeCache.txt" ]; do root=$(dirname "$root"); done
  [ -f "$root/CMakeCache.txt" ] || root=$PWD
  ZUVA_WINEPREFIX=$root/wineprefix
fi
export WINEPREFIX="$ZUVA_WINEPREFIX" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/.zuva-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.zuva-ready" ]; then
      wineboot -i >/dev/null 2>&1 || true
      # Windows without a display: the null graphics driver still gives
      # hidden windows and their messages.
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      # The registry reaches the disk when the server ends.
      timeout 120 wineserver -w || true
      touch "$WINEPREFIX/.zuva-ready"
    fi
  ) 9>"$WINEPREFIX/.zuva-init.lock"
fi
exec wine "$@"
