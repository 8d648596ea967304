#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build
# folder (created on first use), no display and no debug chatter.
#
# The prefix is $ZUVA_WINEPREFIX, or else the build folder's; it is set up as
# wine-prefix.sh, beside this script, describes.
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
zuva_wine_use_prefix "${ZUVA_WINEPREFIX:-$(zuva_wine_build_prefix)}"
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
zuva_wine_ensure_ready
# The server lingers a few seconds after its last program (the packaged default
# is to stop at once), so the next run finds it ready; when one is running
# already this does nothing.
wineserver -p"${ZUVA_WINESERVER_LINGER:-5}" </dev/null >/dev/null 2>&1 || true
# Wine starts its session's processes (services, the desktop) from whichever
# program needs them first, and they inherit that program's output. Given the
# caller's pipe they would hold it open after the program ends, and a test
# runner would wait for them; so the program writes into files, which are
# handed on once it has ended.
runs="$WINEPREFIX/.zuva-runs"
mkdir -p "$runs"
out=$(mktemp "$runs/out.XXXXXX")
err=$(mktemp "$runs/err.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
# A runner that gives up on the program (a time-out) stops it with us.
stopped=0
program=
trap 'stopped=1; [ -z "$program" ] || kill "$program" 2>/dev/null' TERM INT HUP
# Rarely, Wine's loader dies before the program has run at all: a failure
# status and not one byte on either stream. Every program run here prints
# something before it does anything else, so such an end is Wine's, not the
# program's; the program is started again, at most twice. The attempts are
# logged in the prefix, and reported on the error stream when the program
# fails in the end.
attempt=1
while :; do
  : >"$out"
  : >"$err"
  wine "$@" <&0 >"$out" 2>"$err" &
  program=$!
  status=0
  while :; do
    wait "$program" && status=0 || status=$?
    kill -0 "$program" 2>/dev/null || break
  done
  program=
  if [ "$status" -eq 0 ] || [ "$stopped" -eq 1 ] || [ -s "$out" ] || [ -s "$err" ] ||
     [ "$attempt" -ge 3 ]; then
    break
  fi
  echo "wine-run.sh: $1 ended with status $status before printing anything (attempt $attempt); starting it again" >>"$runs/silent-ends.log"
  attempt=$((attempt + 1))
done
cat "$out"
cat "$err" >&2
if [ "$status" -ne 0 ] && [ "$attempt" -gt 1 ]; then
  echo "wine-run.sh: $1 was started $attempt times; the earlier starts ended silently" >&2
fi
exit $status
