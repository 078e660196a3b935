#!/usr/bin/env bash
# plugview under Xvfb against the mount simulator, scripted with xdotool.
#
#   run-plugview.sh session BUILD_TREE WORK [DOCS]   the GUI session, checked; PNGs in WORK/shots (and DOCS)
#   run-plugview.sh frozen BUILD_TREE WORK           how long the window stays unanswered during a go-to
#
# BUILD_TREE is the Windows build tree; WORK is emptied first. Xvfb takes a
# free display of its own choosing and is stopped by its pid, as is plugview,
# whatever happens. Every wait is bounded. No window manager: keys go to
# window ids, clicks to screen positions that plugview's transcript gives.
set -eu
mode=$1 tree=$(cd "$2" && pwd) work=$3 docs=${4:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
# A Wine prefix of its own: the desktop of a prefix belongs to the display of
# its first program, and the other tests run theirs with none.
export WINE_RUN_PREFIX=wineprefix-plugview
prefix="$tree/$WINE_RUN_PREFIX"
system_dir="$prefix/drive_c/Program Files/Common Files/System"
rm -rf "$work"
mkdir -p "$work/shots"
work=$(cd "$work" && pwd)
[ -z "$docs" ] || docs=$(mkdir -p "$docs" && cd "$docs" && pwd)
out="$work/transcript.txt"
xvfb_pid="" view_pid=""

stop() {
  local pid
  for pid in $view_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  # The next session must find a new server, not one tied to this display.
  WINEPREFIX="$prefix" timeout 20 wineserver -k 2>/dev/null || true
}
trap stop EXIT
fail() {
  echo "plugview $mode: FAILED: $*" >&2
  echo "---- transcript ----" >&2
  grep -v '^star ' "$out" >&2 || true
  exit 1
}
say() { echo "plugview $mode: $*"; }

# wait_for SECONDS PATTERN [COUNT]: until the transcript has COUNT (default 1)
# lines matching PATTERN.
wait_for() {
  local until=$(( $(date +%s%N) + $1 * 1000000000 ))
  while [ "$(grep -cE -- "$2" "$out" 2>/dev/null || true)" -lt "${3:-1}" ]; do
    [ "$(date +%s%N)" -lt "$until" ] || fail "no \"$2\" (${3:-1}) within $1 s"
    kill -0 "$view_pid" 2>/dev/null || fail "plugview ended while waiting for \"$2\""
    sleep 0.1
  done
}
last() { grep -E -- "$1" "$out" | tail -1; }
# xy PATTERN: the last "X,Y" on a transcript line matching PATTERN.
xy() { last "$1" | grep -oE '[0-9]+,[0-9]+' | head -1; }

shot() {
  xwd -root -silent -display "$DISPLAY" > "$work/shots/$1.xwd"
  convert "$work/shots/$1.xwd" "$work/shots/$1.png"
  rm "$work/shots/$1.xwd"
}
# pixel NAME X Y: "R G B" of the picture at (X, Y).
pixel() {
  convert "$work/shots/$1.png" -crop "1x1+$2+$3" -depth 8 txt:- | tail -1 |
    sed -E 's/.*\(([0-9.]+),([0-9.]+),([0-9.]+).*/\1 \2 \3/' | awk '{ printf "%d %d %d\n", $1, $2, $3 }'
}
# The indicator's colour (host's 0xFFFF, 0x3030, 0x3030) at X,Y, or within a pixel of it.
red_at() {
  local x=${2%,*} y=${2#*,} dx dy
  for dx in 0 -1 1; do for dy in 0 -1 1; do
    read -r r g b < <(pixel "$1" $((x + dx)) $((y + dy)))
    [ "$r" -ge 200 ] && [ "$g" -le 90 ] && [ "$b" -le 90 ] && return 0
  done; done
  return 1
}
near() { # near A,B C,D PIXELS
  local ax=${1%,*} ay=${1#*,} bx=${2%,*} by=${2#*,}
  [ $(( (ax - bx) * (ax - bx) + (ay - by) * (ay - by) )) -le $(( $3 * $3 )) ]
}
# xdotool's own complaints (Xvfb's focus is PointerRoot) go to a file.
xdo() { xdotool "$@" 2>>"$work/xdotool.log"; }
key() { xdo key --window "$1" "$2"; }
click() { xdo mousemove "${2%,*}" "${2#*,}" click "$1"; }
window_named() { # window_named SECONDS NAME
  local until=$(( $(date +%s%N) + $1 * 1000000000 )) id
  while :; do
    id=$(xdo search --name "$2" | head -1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    [ "$(date +%s%N)" -lt "$until" ] || fail "no window \"$2\" within $1 s"
    sleep 0.1
  done
}

start_xvfb() {
  Xvfb -displayfd 9 -screen 0 1024x700x24 -nolisten tcp 9>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  local n
  for n in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || fail "Xvfb did not start"
  export DISPLAY=":$(head -1 "$work/display")"
}

# start_view SCENARIO ARGS...: the simulator at the fixed path, plugview in WORK.
start_view() {
  # The prefix, and its server started on this display.
  "$root/tools/wine-run.sh" --prepare "$tree/Host/plugview.exe"
  mkdir -p "$system_dir"
  cp "$tree/Simulator/DRAV.dll" "$system_dir/DRAV.dll"
  export DRAV_SIM_SCENARIO=$1 DRAV_SIM_JOURNAL=journal.txt
  shift
  cd "$work"
  # Its window within a minute, plus what a Wine process costs to start here.
  local cost
  cost=$("$root/tools/wine-run.sh" --start-cost "$tree/Host/plugview.exe")
  "$root/tools/wine-run.sh" "$tree/Host/plugview.exe" "$tree/telescope.plug" "$@" >"$out" 2>"$work/stderr.txt" &
  view_pid=$!
  wait_for $((60 + 2 * (${cost%.*} + 1))) '^window "plugview'
  view=$(window_named 10 '^plugview - telescope.plug$')
}

# quit: Ctrl+Q, and plugview's exit status.
quit() {
  key "$view" ctrl+q
  local n
  for n in $(seq 100); do kill -0 "$view_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$view_pid" 2>/dev/null && fail "plugview still running 10 s after Ctrl+Q"
  local status=0
  wait "$view_pid" || status=$?
  view_pid=""
  [ "$status" -eq 0 ] || fail "plugview exit status $status"
  grep -q 'every host byte intact' "$out" || fail "host bytes changed"
  ! grep -q FAULT "$out" || fail "$(grep FAULT "$out" | head -3)"
}

# Dismisses the plug-in's note with Return and waits for the call to end.
dismiss_note() {
  local box
  box=$(window_named 5 '^Telescope Controller$')
  key "$box" Return
  wait_for 10 "^call $1 -> 0" "${2:-1}"
}

# The mount: Celestial and Earth aligned, so opening shows the "just fine"
# note; parked on Procyon; 10 degrees a second. The chart is centred so that
# Betelgeuse lies near its right edge.
scenario="align=both,start=2.0040830/0.0911934,rate=10"
centre=(--centre 07:00:00 -03:00:00)

session() {
  start_xvfb
  start_view "$scenario" "${centre[@]}"
  say "started on $DISPLAY, window $view"

  # Open: the plug-in's note, a real message box; the timer goes on meanwhile.
  key "$view" ctrl+o
  wait_for 10 '^note "Telescope Controller" up'
  sleep 0.5
  shot note
  box=$(xy '^note "Telescope Controller" up')
  read -r r g b < <(pixel note $(( ${box%,*} + 20 )) $(( ${box#*,} + 60 )))
  [ "$r" -ge 200 ] && [ "$g" -ge 200 ] || fail "the note is not painted ($r $g $b)"
  dismiss_note op_TelescopeOpen
  idle=$(last 'idle and [0-9]+ other calls arrived' | awk '{ print $1 }')
  [ "${idle:-0}" -ge 3 ] || fail "the timer did not run while the note was up"
  say "open: note shown and dismissed, $idle idle calls while it was up"

  # The indicator where the plug-in says the telescope is: on Procyon.
  wait_for 5 '^indicator: [0-9]'
  sleep 0.3
  shot chart
  at=$(xy '^indicator: [0-9]')
  near "$at" "$(xy '^star Procyon at')" 2 || fail "indicator at $at, not on Procyon"
  red_at chart "$at" || fail "no indicator drawn at $at"
  say "indicator drawn on Procyon at $at"

  # Slew to Betelgeuse from its contextual menu.
  click 3 "$(xy '^star Betelgeuse at')"
  wait_for 5 '^popup entry 20001 "Synch Telescope"'
  sleep 0.3
  shot popup
  entry=$(last '^popup entry 20000 "Slew Telescope"' | grep -oE '[0-9]+,[0-9]+' | head -2 | tr '\n' ' ')
  read -r ex ey ew eh <<<"$(echo "$entry" | tr ',' ' ')"
  read -r r g b < <(pixel popup $((ex + ew - 6)) $((ey + eh / 2))) # right of the text
  [ $((r + g + b)) -ge 300 ] || fail "the contextual menu is not painted ($r $g $b)"
  click 1 "$((ex + 20)),$((ey + eh / 2))"
  wait_for 15 '^call op_DoContextualPopup -> 0'
  wait_for 5 '^indicator: [0-9]' 2
  sleep 0.3
  shot after-goto
  at=$(xy '^indicator: [0-9]')
  near "$at" "$(xy '^star Betelgeuse at')" 2 || fail "after the go-to the indicator is at $at, not on Betelgeuse"
  red_at after-goto "$at" || fail "no indicator drawn at $at after the go-to"
  say "slewed to Betelgeuse through the contextual menu: $(last '^call op_DoContextualPopup')"

  # A second go-to, to Sirius with the host's Slew command, stopped with Esc.
  click 1 "$(xy '^star Sirius at')"
  wait_for 5 '^selected Sirius'
  key "$view" ctrl+g
  wait_for 5 '^target Sirius'
  sleep 1
  xdo keydown Escape; sleep 0.3; xdo keyup Escape # held across several polls
  wait_for 10 '^call op_TelescopeSlew -> 0'
  took=$(last '^call op_TelescopeSlew' | awk '{ print $6 }')
  say "Esc during the go-to to Sirius: the call returned after $took s"

  # Tracking on, then a note: the timer's idle calls still reach the
  # plug-in, which reads the telescope's position for them.
  key "$view" ctrl+t
  wait_for 5 '^centre on'
  key "$view" ctrl+f
  wait_for 10 '^note "Telescope Controller" up' 2
  sleep 1.6
  dismiss_note op_TelescopeConfigure
  key "$view" ctrl+t
  wait_for 5 '^call op_TelescopeTrack -> 0' 2
  key "$view" ctrl+w
  wait_for 5 '^call op_TelescopeClose -> 0'
  quit
  check_log
  if [ -n "$docs" ]; then
    for s in chart popup note after-goto; do cp "$work/shots/$s.png" "$docs/plugview-$s.png"; done
    say "pictures written to $docs"
  fi
  say "passed"
}

# What the log must hold after the session.
check_log() {
  local log="$work/telelog.txt"
  [ -f "$log" ] || fail "no telelog.txt"
  grep -q $'\r$' "$log" || fail "telelog.txt has no CR LF line ends"
  tr -d '\r' < "$log" > "$work/log.txt"
  grep -q '^GoTo 100%$' "$work/log.txt" || fail "the first go-to did not arrive"
  stops=$(grep -cE '^GoTo stopped by the user at [0-9]+%$' "$work/log.txt" || true)
  [ "$stops" -eq 1 ] || fail "$stops lines saying the go-to was stopped by the user, not 1"
  pct=$(grep -oE 'stopped by the user at [0-9]+' "$work/log.txt" | grep -oE '[0-9]+$')
  [ "$pct" -gt 0 ] && [ "$pct" -lt 100 ] || fail "stopped at $pct%"
  grep -q '^TCS_KillMotion() -> 1' "$work/journal.txt" || fail "the mount was not told to stop"
  # After the configure's note text, the position reads of the idle calls
  # made while the note was up, before the log's next entry of any other kind.
  reads=$(awk '/^ Active and Aligned$/ { n++ } n == 2 && /^TCS RA = / { r++ } n == 2 && r && !/^TCS RA = / { exit }
               END { print r + 0 }' "$work/log.txt")
  [ "$reads" -ge 1 ] || fail "no position read logged while the second note was up"
  say "log: GoTo stopped by the user at $pct%, TCS_KillMotion sent, $reads position reads during the note"
}

# The go-to of known length: Procyon to Betelgeuse at 10 degrees a second.
frozen() {
  start_xvfb
  start_view "align=none,points=1,start=2.0040830/0.0911934,rate=10" "${centre[@]}" --probe
  key "$view" ctrl+o
  wait_for 10 '^call op_TelescopeOpen -> 0'
  click 1 "$(xy '^star Betelgeuse at')"
  wait_for 5 '^selected Betelgeuse'
  key "$view" ctrl+g
  wait_for 20 '^call op_TelescopeSlew -> 0'
  quit
  local held longest length
  held=$(last '^call op_TelescopeSlew' | awk '{ print $6 }')
  longest=$(last '^probe: longest unanswered' | awk '{ print $4 }')
  # The simulator's go-to lasts its great-circle distance over its rate.
  length=$(awk 'BEGIN { a1 = 2.0040830; d1 = 0.0911934; a2 = (5 + 55/60 + 10.31/3600) * 3.14159265358979 / 12
                        d2 = (7 + 24/60 + 25.4/3600) * 3.14159265358979 / 180
                        c = sin(d1) * sin(d2) + cos(d1) * cos(d2) * cos(a1 - a2)
                        printf "%.2f", atan2(sqrt(1 - c * c), c) * 180 / 3.14159265358979 / 10 }')
  printf 'frozen window: go-to of %s s (the mount'"'"'s own length)  DoOperation held %s s  window unanswered %s s  ratio %.2f\n' \
    "$length" "$held" "$longest" "$(awk "BEGIN { print $longest / $length }")"
}

case "$mode" in
  session) session ;;
  frozen) frozen ;;
  *) echo "usage: run-plugview.sh session|frozen BUILD_TREE WORK [DOCS]" >&2; exit 2 ;;
esac
