# How the Wine prefixes of the Windows build's tests are set up, marked and
# shared. Sourced (it defines functions only) by scripts/wine-run.sh and by
# zuva-wine-devsim (configured from sim/windows-devsim/zuva-wine-devsim.in).
#
# A prefix is set up once: Wine initialised without a display, then marked
# complete by .zuva-ready, written last. A prefix with the virtual DFU
# drivers installed also holds .zuva-driver-ready, "STAMP NODES": a digest of
# what the drivers were installed from (a rebuilt driver, INF, installer or
# model makes the prefix stale) and how many device nodes of each driver it
# has.
#
# ZUVA_WINEPREFIX names the prefix wine-run.sh runs programs in (by default
# the build folder's wineprefix/); zuva-wine-devsim sets it to the prefix of
# its run, so that a command that runs its programs through wine-run.sh
# reaches the virtual devices.

# Seconds a step of the set-up may take.
zuva_wine_setup_timeout=120

# The build folder's prefix: wineprefix/ in the nearest folder above the
# working directory that holds CMakeCache.txt (the working directory when
# there is none), so every test of a build shares one.
zuva_wine_build_prefix() {
  local root=$PWD
  while [ "$root" != / ] && [ ! -f "$root/CMakeCache.txt" ]; do root=$(dirname "$root"); done
  [ -f "$root/CMakeCache.txt" ] || root=$PWD
  printf '%s\n' "$root/wineprefix"
}

# Makes prefix $1 the one of Wine and of wine-run.sh, for this shell and the
# programs it starts.
zuva_wine_use_prefix() {
  export WINEPREFIX=$1 ZUVA_WINEPREFIX=$1
}

# Initialises Wine in $WINEPREFIX; the output is the caller's to redirect.
# Fails when the graphics driver cannot be chosen.
zuva_wine_initialise() {
  local status=0
  timeout "$zuva_wine_setup_timeout" wineboot -i </dev/null
  # Windows without a display: the null graphics driver still gives hidden
  # windows and their messages.
  timeout "$zuva_wine_setup_timeout" \
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null || status=$?
  # The registry reaches the disk when the server ends.
  timeout "$zuva_wine_setup_timeout" wineserver -w </dev/null
  return "$status"
}

zuva_wine_is_ready() { [ -f "$1/.zuva-ready" ]; }
zuva_wine_mark_ready() { touch "$1/.zuva-ready"; }

# Initialises $WINEPREFIX unless it is ready. The first caller does it under
# a lock while concurrent callers wait; the marker written last says it is
# complete.
zuva_wine_ensure_ready() {
  zuva_wine_is_ready "$WINEPREFIX" && return 0
  mkdir -p "$WINEPREFIX" || return
  (
    flock 9 || exit
    zuva_wine_is_ready "$WINEPREFIX" && exit 0
    zuva_wine_initialise >/dev/null 2>&1 || exit
    zuva_wine_mark_ready "$WINEPREFIX"
  ) 9>"$WINEPREFIX/.zuva-init.lock"
}

# The number of device nodes of prefix $1 when its drivers were installed
# from what digest $2 names: 0 when it is stale or has none.
zuva_wine_driver_nodes() {
  local recorded nodes
  { read -r recorded nodes <"$1/.zuva-driver-ready"; } 2>/dev/null || { echo 0; return; }
  if [ "$recorded" = "$2" ] && [[ "$nodes" =~ ^[0-9]+$ ]]; then echo "$nodes"; else echo 0; fi
}

# Marks prefix $1 ready, with its drivers installed from digest $2 on $3
# nodes each.
zuva_wine_mark_driver_ready() {
  zuva_wine_mark_ready "$1" && echo "$2 $3" >"$1/.zuva-driver-ready"
}
zuva_wine_unmark_driver_ready() { rm -f "$1/.zuva-driver-ready"; }

# Makes folder $2 a copy of prepared prefix $1 (shared blocks where the file
# system allows).
zuva_wine_copy_prefix() {
  mkdir -p "$2" && cp -a --reflink=auto "$1/." "$2"
}
