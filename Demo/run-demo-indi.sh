#!/usr/bin/env bash
# Runs a whole plug-in session under Wine with the INDI control library
# against indiserver and its telescope simulator, on a free loopback port.
#   run-demo-indi.sh WINDOWS_BUILD_TREE
set -eu
tree=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
demo="$tree/demo-indi"
server="$root/ControlLibraries/Indi/Tests/indi-server.sh"
device="Telescope Simulator"
. "$here/wine-session.sh"

rm -rf "$demo"
mkdir -p "$demo"
trap '"$server" stop "$demo/server"' EXIT
"$server" start "$demo/server"
port=$(cat "$demo/server/port")
echo "demo-indi: indiserver with indi_simulator_telescope on 127.0.0.1:$port (process group $(cat "$demo/server/pid"))"

view() {
  echo "demo-indi: the simulator's own view ($1), read with indi_getprop:"
  indi_getprop -p "$port" -t 2 "$device.CONNECTION.CONNECT" "$device.EQUATORIAL_EOD_COORD.*" \
    "$device.ON_COORD_SET.*" "$device.TELESCOPE_PARK.PARK" 2>&1 | sed 's/^/    /'
}
view "before the session"

# The target: ten degrees from the pole, where a fresh simulator points, at
# about the right ascension it shows (the sidereal time at Greenwich), J2000.
lst=$(python3 -c 'import time,math; d=time.time()/86400+2440587.5-2451545.0; print(math.radians((280.46061837+360.98564736629*d)%360))')
sed -e "s/@RA@/$lst/g" -e "s/@DEC@/1.3962634/g" "$here/indi-session.txt" > "$demo/session.txt"

export DRAV_INDI="port=$port,log=indi-trace.txt"
wine_session demo-indi "INDI library" "$tree/ControlLibraries/Indi/DRAV.dll"
view "after the session"
printf 'demo-indi: the library'"'"'s trace is %s/indi-trace.txt; plughost exit status %d\n' "$demo" "$status"
exit "$status"
