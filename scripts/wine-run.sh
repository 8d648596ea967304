#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build
# folder (created on first use), no display and no debug chatter.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
: "${ZUVA_WINEPREFIX:=${PWD}/wineprefix}"
export WINEPREFIX="$ZUVA_WINEPREFIX" WINEDEBUG=-all
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
fi
exec wine "$@"
