#!/usr/bin/env bash
# Runs a whole plug-in session under Wine with the ASCOM control library
# against our Alpaca simulator on a free loopback port, found by discovery
# (the probe goes to the simulator's responder on loopback, not broadcast).
#   run-demo-alpaca.sh WINDOWS_BUILD_TREE
set -eu
tree=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
demo="$tree/demo-alpaca"
. "$here/wine-session.sh"

rm -rf "$demo"
mkdir -p "$demo"
python3 "$root/ControlLibraries/Ascom/Tests/alpaca_simulator.py" --port 0 --port-file "$demo/port" \
  --discovery-port 0 --discovery-port-file "$demo/discovery" --tracking --slew-rate 10 \
  --equatorial-system 2 --request-log "$demo/requests.jsonl" &
simulator=$!
trap 'kill "$simulator" 2>/dev/null; wait "$simulator" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$demo/port" ] && break; sleep 0.1; done
[ -s "$demo/port" ] || { echo "demo-alpaca: the simulator did not start" >&2; exit 1; }
port=$(cat "$demo/port")
echo "demo-alpaca: Alpaca simulator on 127.0.0.1:$port, discovery on 127.0.0.1:$(cat "$demo/discovery") (pid $simulator)"

view() {
  echo "demo-alpaca: the simulator's own view ($1):"
  python3 - "$port" <<'PY' | sed 's/^/    /'
import http.client, json, sys
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=5)
for member in ("connected", "rightascension", "declination", "slewing", "tracking"):
    c.request("GET", f"/api/v1/telescope/0/{member}?ClientID=1&ClientTransactionID=1")
    print(member, json.loads(c.getresponse().read()).get("Value"))
PY
}
view "before the session"

# The target: J2000 5h 30m, +20 degrees (radians).
sed -e "s/@RA@/1.4398966/g" -e "s/@DEC@/0.3490659/g" "$here/alpaca-session.txt" > "$demo/session.txt"

export DRAV_ASCOM="discovery=127.0.0.1:$(cat "$demo/discovery"),log=alpaca-trace.txt"
wine_session demo-alpaca "ASCOM library" "$tree/ControlLibraries/Ascom/DRAV.dll"
view "after the session"
printf 'demo-alpaca: the library'"'"'s trace is %s/alpaca-trace.txt, the requests %s/requests.jsonl; plughost exit status %d\n' "$demo" "$demo" "$status"
exit "$status"
