#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix of the build tree it came
# from (never the user's own), creating the prefix on first use.
#   wine-run.sh PROGRAM [ARGS...]   runs PROGRAM
#   wine-run.sh --prepare PATH      creates the prefix of PATH's tree and starts its server
#   wine-run.sh --start-cost PATH   prints the seconds a Wine process takes to start and
#                                   end here, measured once per tree (wine-start-seconds)
# The prefix is a 64-bit one, where a 32-bit program runs as on 64-bit
# Windows (WoW64). WINE_RUN_PREFIX names another prefix folder of that tree
# (plugview's GUI session has one of its own, so that its desktop is on its
# own display).
#
# The prefix's server is started to stay WINE_RUN_PERSIST seconds (30) after
# its last program ends: the programs of a test suite then share one server
# and one set of Wine's system processes (services, devices, desktop), which
# would otherwise start again for every program.
set -eu
mode=run
case "${1:-}" in --prepare | --start-cost) mode=${1#--}; shift ;; esac
exe=$1; shift
dir=$(cd "$(dirname "$exe")" && pwd)
while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
[ -f "$dir/CMakeCache.txt" ] || { echo "wine-run: $exe is not inside a build tree" >&2; exit 2; }
tree=$dir
export WINEPREFIX="$tree/${WINE_RUN_PREFIX:-wineprefix}" WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
wine64=/usr/lib/wine/wine64  # the 64-bit loader: no emulation needed
[ -x "$wine64" ] || wine64=wine
# The suite's prefix has no display: Wine's null graphics driver lets its
# programs make windows all the same (the plug-in's go-to box), and the
# suite expects them. plugview's prefix keeps the display it runs on. Seen
# to on every run, since a prefix may have been made without it; its
# user.reg is read first, so that a prefix that has it costs no Wine process.
null_graphics() {
  [ -n "${WINE_RUN_PREFIX:-}" ] ||
    awk '/^\[/ { on = /^\[Software\\\\Wine\\\\Drivers\]/ } on && /^"Graphics"="null"$/ { found = 1 }
         END { exit !found }' "$WINEPREFIX/user.reg" 2>/dev/null
}
if [ ! -f "$WINEPREFIX/system.reg" ] || ! null_graphics; then
  # One creator at a time when tests start in parallel.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  if ! null_graphics; then
    # Set with no server running, whose desktop would keep the driver it
    # started with; written out to user.reg as that server ends.
    wineserver -w
    "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  flock -u 9
fi
# A new server: Wine's system processes are booted now, with no output of
# ours. Booted by the caller's program, they would inherit its standard
# handles and hold the caller's pipe open for as long as the server stays.
# (wineserver -p ends at once, with status 2, when one is running already.)
exec 8>"$WINEPREFIX.server.lock"
flock 8
if wineserver -p"${WINE_RUN_PERSIST:-30}" 2>/dev/null; then
  "$wine64" wineboot.exe </dev/null >/dev/null 2>&1 || true
fi
flock -u 8
exec 8>&-

case $mode in
  prepare) exit 0 ;;
  start-cost)
    cost="$tree/wine-start-seconds"
    if [ ! -s "$cost" ]; then
      exec 9>"$cost.lock"
      flock 9
      if [ ! -s "$cost" ]; then
        # plughost without arguments prints its usage and ends: the longer
        # of two runs on a running server.
        longest=0
        for _ in 1 2; do
          start=$(date +%s%N)
          wine "$tree/Host/plughost.exe" >/dev/null 2>&1 || true
          took=$(( $(date +%s%N) - start ))
          [ "$took" -gt "$longest" ] && longest=$took
        done
        awk -v ns="$longest" 'BEGIN { printf "%.2f\n", ns / 1e9 }' > "$cost.new"
        mv "$cost.new" "$cost"
      fi
      flock -u 9
    fi
    cat "$cost"
    exit 0 ;;
esac
exec wine "$exe" "$@"
