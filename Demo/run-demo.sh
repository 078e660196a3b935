#!/usr/bin/env bash
# Runs the demo session against the mount simulator.
#   run-demo.sh BUILD_TREE windows|native
# windows: the simulator goes to the fixed path inside the build tree's own
# Wine prefix, and plughost.exe runs under Wine; native: the fixed path maps
# under TELESCOPE_DRIVE_C, a folder of the build tree.
set -eu
tree=$1 kind=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
tree=$(cd "$tree" && pwd)
demo="$tree/demo"
system_dir="Program Files/Common Files/System"
. "$here/wine-session.sh"

# The mount: unaligned, one alignment point taken on Aldebaran where it points,
# slewing at 8 degrees a second.
export DRAV_SIM_SCENARIO="provider=active,align=none,points=1,start=1.2039281/0.2881417,rate=8"
export DRAV_SIM_JOURNAL=journal.txt

rm -rf "$demo"
mkdir -p "$demo"
cp "$here/session.txt" "$demo/session.txt"
start=$(date +%s.%N)
if [ "$kind" = windows ]; then
  wine_session demo simulator "$tree/Simulator/DRAV.dll"
else
  export TELESCOPE_DRIVE_C="$demo/drive_c"
  mkdir -p "$TELESCOPE_DRIVE_C/$system_dir"
  cp "$tree/Simulator/DRAV.dll" "$TELESCOPE_DRIVE_C/$system_dir/DRAV.dll"
  echo "demo: simulator installed at $TELESCOPE_DRIVE_C/$system_dir/DRAV.dll"
  cd "$demo"
  set +e
  "$tree/Host/plughost" ../telescope.plug session.txt
  status=$?
  set -e
fi
end=$(date +%s.%N)
calls=$(wc -l < journal.txt 2>/dev/null || echo 0)
printf '\ndemo: %s calls reached the simulator; its journal is %s/journal.txt\n' "$calls" "$demo"
printf 'demo: session ran in %.1f s, plughost exit status %d\n' "$(awk "BEGIN { print $end - $start }")" "$status"
exit "$status"
