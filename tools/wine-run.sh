#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix of the build tree it came
# from (never the user's own), creating the prefix on first use.
# WINE_RUN_ARCH=win64 picks a 64-bit prefix of its own instead, where the
# 32-bit program runs as on 64-bit Windows. WINE_RUN_PREFIX names another
# prefix folder of that tree (plugview's GUI session has one of its own, so
# that its desktop is on its own display).
set -eu
exe=$1; shift
dir=$(cd "$(dirname "$exe")" && pwd)
while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
[ -f "$dir/CMakeCache.txt" ] || { echo "wine-run: $exe is not inside a build tree" >&2; exit 2; }
export WINEPREFIX="$dir/${WINE_RUN_PREFIX:-wineprefix}"
if [ "${WINE_RUN_ARCH:-}" = win64 ]; then
  export WINEPREFIX="$dir/wineprefix64" WINEARCH=win64
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # One creator at a time when tests start in parallel.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }
  flock -u 9
fi
exec wine "$exe" "$@"
