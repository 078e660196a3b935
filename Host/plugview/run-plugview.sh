#!/usr/bin/env bash
# plugview under Xvfb against the mount simulator, scripted with xdotool.
#
#   run-plugview.sh session BUILD_TREE WORK [DOCS]   the GUI session, checked; PNGs in WORK/shots (and DOCS)
#   run-plugview.sh frozen BUILD_TREE WORK           the longest the window leaves a message unanswered
#                                                    during a go-to of 2.6 s and one of 30 s, and the polls
#   run-plugview.sh waits BUILD_TREE WORK            with the INDI library and a window manager: the longest
#                                                    the window leaves unanswered while the library waits
#                                                    (initialisation, open, sync, go-to launch, Stop)
#
# BUILD_TREE is the Windows build tree; WORK is emptied first. Xvfb takes a
# free display of its own choosing and is stopped by its pid, as is plugview,
# whatever happens. Every wait is bounded. Keys go to window ids, clicks to
# screen positions that plugview's transcript gives. No window manager but in
# waits, which runs openbox.
set -eu
mode=$1 tree=$(cd "$2" && pwd) work=$3 docs=${4:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
# A Wine prefix of its own: the desktop of a prefix belongs to the display of
# its first program, and the other tests run theirs with none. The waits
# have a window manager, which the prefix of the others is told is never
# there: one more prefix.
export WINE_RUN_PREFIX=wineprefix-plugview
[ "$mode" != waits ] || WINE_RUN_PREFIX=wineprefix-plugview-wm
prefix="$tree/$WINE_RUN_PREFIX"
system_dir="$prefix/drive_c/Program Files/Common Files/System"
rm -rf "$work"
mkdir -p "$work/shots"
work=$(cd "$work" && pwd)
[ -z "$docs" ] || docs=$(mkdir -p "$docs" && cd "$docs" && pwd)
out="$work/transcript.txt"
xvfb_pid="" view_pid="" wm_pid="" server_pid="" ping_pid="" indi_dir=""

stop() {
  local pid
  for pid in $ping_pid $view_pid $server_pid $wm_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  view_pid="" xvfb_pid="" wm_pid="" server_pid="" ping_pid=""
  [ -z "$indi_dir" ] || "$root/ControlLibraries/Indi/Tests/indi-server.sh" stop "$indi_dir"
  indi_dir=""
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
# popup_on STAR: right-clicks the star until plugview says where the entries
# of its contextual menu are. Wine told that there is no window manager now
# and then opens the menu without ever idling in it, or not at all: Esc
# closes that one, and the click is made again (three times at most).
popup_on() {
  local shown tries until
  shown=$(grep -cE '^popup entry 20001 ' "$out" || true)
  for tries in 1 2 3; do
    click 3 "$(xy "^star $1 at")"
    until=$(( $(date +%s%N) + 5000000000 ))
    while [ "$(date +%s%N)" -lt "$until" ]; do
      [ "$(grep -cE '^popup entry 20001 ' "$out" || true)" -gt "$shown" ] && return 0
      kill -0 "$view_pid" 2>/dev/null || fail "plugview ended while its contextual menu was awaited"
      sleep 0.1
    done
    xdo key Escape
    sleep 0.5
  done
  fail "no contextual menu on $1 after three right clicks"
}
# xy PATTERN: the last "X,Y" on a transcript line matching PATTERN.
xy() { last "$1" | grep -oE '[0-9]+,[0-9]+' | head -1; }
# size PATTERN: the "W,H" after "size" on the last line matching PATTERN.
size() { last "$1" | grep -oE 'size [0-9]+,[0-9]+' | grep -oE '[0-9]+,[0-9]+'; }

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
xdo() { xdotool "$@" 2>>"$work/xdotool.log" || fail "xdotool $* failed"; }
# Keys for the chart's window go to the window of that name now: Wine told
# that there is no window manager may give it a new X window along the way,
# and xdotool now and then fails to send to it (three tries).
key() {
  local window=$1 tries
  for tries in 1 2 3; do
    [ "$1" != "${view:-}" ] || { window=$(window_named 5 '^plugview - telescope.plug$'); view=$window; }
    xdotool key --window "$window" "$2" 2>>"$work/xdotool.log" && return 0
    sleep 0.3
  done
  fail "xdotool key --window $window $2 failed three times"
}
click() { xdo mousemove "${2%,*}" "${2#*,}" click "$1"; }
window_named() { # window_named SECONDS NAME: a window of that name on the screen now
  local until=$(( $(date +%s%N) + $1 * 1000000000 )) id
  while :; do
    # Visible only: the go-to's box has the note's caption, and Wine may keep
    # its window unmapped after it went.
    id=$(xdotool search --onlyvisible --name "$2" 2>>"$work/xdotool.log" | tail -1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    [ "$(date +%s%N)" -lt "$until" ] || fail "no window \"$2\" within $1 s"
    sleep 0.1
  done
}

# Without key repeat (-r): xdotool sends the keys for the focused window
# through the server as typed ones, and under load its release can come
# more than the repeat delay after its press, which the server then repeats
# (a Ctrl+G became some 25 go-tos).
start_xvfb() {
  rm -f "$work/display"
  Xvfb -displayfd 9 -screen 0 1024x700x24 -nolisten tcp -r 9>"$work/display" >"$work/xvfb.log" 2>&1 &
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
  # No window manager here: Wine told so, or it waits for one for 2 s each
  # time a window with a caption goes (the go-to's box, say).
  if ! grep -q '^"Managed"="N"' "$prefix/user.reg" 2>/dev/null; then
    WINEPREFIX="$prefix" WINEDEBUG=-all timeout 120 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
      fail "cannot tell Wine that there is no window manager"
  fi
  install_library "$tree/Simulator/DRAV.dll"
  export DRAV_SIM_SCENARIO=$1 DRAV_SIM_JOURNAL=journal.txt
  shift
  launch_view "$@"
}

# install_library DLL: at the fixed path inside the prefix.
install_library() {
  mkdir -p "$system_dir"
  cp "$1" "$system_dir/DRAV.dll"
}

# launch_view ARGS...: plugview in WORK, with the prefix ready; until its window is up.
launch_view() {
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
  # Ctrl+Q, again every 3 s while plugview runs (xdotool may say it failed
  # for a key that went through, or lose one).
  local n window
  for n in $(seq 100); do
    kill -0 "$view_pid" 2>/dev/null || break
    if [ $((n % 30)) -eq 1 ]; then
      window=$(xdotool search --onlyvisible --name '^plugview - telescope.plug$' 2>>"$work/xdotool.log" | tail -1 || true)
      [ -z "$window" ] || xdotool key --window "$window" ctrl+q 2>>"$work/xdotool.log" || true
    fi
    sleep 0.1
  done
  kill -0 "$view_pid" 2>/dev/null && fail "plugview still running 10 s after Ctrl+Q"
  finished
}

# ended SECONDS: as quit, for a plugview asked to close otherwise.
ended() {
  local until=$(( $(date +%s%N) + $1 * 1000000000 ))
  while kill -0 "$view_pid" 2>/dev/null; do
    [ "$(date +%s%N)" -lt "$until" ] || fail "plugview still running $1 s after it was asked to close"
    sleep 0.1
  done
  finished
}

# finished: plugview, once it has ended, ended well: its exit status and its
# last word on the host's bytes.
finished() {
  local status=0
  wait "$view_pid" || status=$?
  view_pid=""
  [ "$status" -eq 0 ] || fail "plugview exit status $status"
  grep -q 'every host byte intact' "$out" || fail "host bytes changed"
  ! grep -q FAULT "$out" || fail "$(grep FAULT "$out" | head -3)"
}

# Dismisses the plug-in's note and waits for the call to end.
dismiss_note() {
  # Its OK button, at the bottom in the middle: a click, since Wine told that
  # there is no window manager may leave the keyboard focus elsewhere once the
  # go-to's box has come and gone.
  local at wh
  at=$(xy '^note "Telescope Controller" up')
  wh=$(size '^note "Telescope Controller" up')
  window_named 5 '^Telescope Controller$' >/dev/null
  click 1 "$(( ${at%,*} + ${wh%,*} / 2 )),$(( ${at#*,} + ${wh#*,} - 24 ))"
  wait_for 10 "^call $1 -> 0" "${2:-1}"
}

# The mount: Celestial and Earth aligned, so opening shows the "just fine"
# note; parked on Procyon; 2 degrees a second, so that the go-to to
# Betelgeuse takes 13 s. The chart is centred so that Betelgeuse lies near
# its right edge.
scenario="align=both,start=2.0040830/0.0911934,rate=2"
centre=(--centre 07:00:00 -03:00:00)

# The go-to from Procyon to Betelgeuse, in degrees: the simulator's slew
# lasts this over its rate.
goto_degrees=$(awk 'BEGIN { a1 = 2.0040830; d1 = 0.0911934; a2 = (5 + 55/60 + 10.31/3600) * 3.14159265358979 / 12
                            d2 = (7 + 24/60 + 25.4/3600) * 3.14159265358979 / 180
                            c = sin(d1) * sin(d2) + cos(d1) * cos(d2) * cos(a1 - a2)
                            printf "%.4f", atan2(sqrt(1 - c * c), c) * 180 / 3.14159265358979 }')

# The window's answers as plugview's probe saw them: the longest stretch
# unanswered during go-tos, and how often the system called it hung.
probe_figures() {
  local line
  line=$(last '^probe: longest unanswered')
  [ -n "$line" ] || fail "no probe figures"
  during=$(echo "$line" | sed -E 's/.*during go-tos ([0-9.]+) s.*/\1/')
  hung=$(echo "$line" | sed -E 's/.*called hung in ([0-9]+) of.*/\1/')
}

session() {
  start_xvfb
  start_view "$scenario" "${centre[@]}" --probe
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
  popup_on Betelgeuse
  sleep 0.3
  shot popup
  entry=$(last '^popup entry 20000 "Slew Telescope"' | grep -oE '[0-9]+,[0-9]+' | head -2 | tr '\n' ' ')
  read -r ex ey ew eh <<<"$(echo "$entry" | tr ',' ' ')"
  read -r r g b < <(pixel popup $((ex + ew - 6)) $((ey + eh / 2))) # right of the text
  [ $((r + g + b)) -ge 300 ] || fail "the contextual menu is not painted ($r $g $b)"
  click 1 "$((ex + 20)),$((ey + eh / 2))"
  # The go-to's box, modal to the chart's window, while the chart follows
  # the telescope: the indicator drawn where the mount is now.
  wait_for 10 '^box Stop at'
  grep -q "^box \"Telescope Controller\" up .*: Slewing to 05:55:10.3 +07:24:25" "$out" ||
    fail "the box does not name the target: $(last '^box "')"
  last '^box Stop at' | grep -q 'window disabled' || fail "the chart's window is enabled under the box"
  sleep 5
  shot goto-box
  # It moves on meanwhile: drawn at one of the places said last.
  drawn=""
  for at in $(grep -E '^indicator: [0-9]' "$out" | tail -8 | grep -oE '[0-9]+,[0-9]+'); do
    red_at goto-box "$at" && drawn=$at
  done
  [ -n "$drawn" ] || fail "no indicator drawn during the go-to where the transcript last put it"
  read -r r g b < <(pixel goto-box $(( $(xy '^box Stop at' | cut -d, -f1) - 30 )) $(( $(xy '^box Stop at' | cut -d, -f2) + 5 )))
  [ $((r + g + b)) -ge 300 ] || fail "the box is not painted ($r $g $b)"
  wait_for $((${goto_degrees%.*} / 2 + 30)) '^call op_DoContextualPopup -> 0'
  places=$(awk '/^chosen 20000/ { on = 1 } on && /^indicator: [0-9]/ { seen[$2] = 1 } /^call op_DoContextualPopup/ { on = 0 }
                END { n = 0; for (p in seen) n++; print n }' "$out")
  [ "$places" -ge 5 ] || fail "the indicator was drawn at $places places during the go-to, not 5 or more"
  wait_for 5 '^indicator: [0-9]' 2
  sleep 0.3
  shot after-goto
  at=$(xy '^indicator: [0-9]')
  near "$at" "$(xy '^star Betelgeuse at')" 2 || fail "after the go-to the indicator is at $at, not on Betelgeuse"
  red_at after-goto "$at" || fail "no indicator drawn at $at after the go-to"
  [ -z "$(xdotool search --name '^Telescope Controller$' 2>>"$work/xdotool.log" || true)" ] || fail "the box is still up after the go-to"
  say "slewed to Betelgeuse through the contextual menu: $(last '^call op_DoContextualPopup'), the indicator drawn at $places places on the way"

  # A second go-to, to Sirius with the host's Slew command, stopped with the box's Stop.
  click 1 "$(xy '^star Sirius at')"
  wait_for 5 '^selected Sirius'
  key "$view" ctrl+g
  wait_for 5 '^target Sirius'
  wait_for 10 '^box Stop at' 2
  sleep 1
  stop_at=$(xy '^box Stop at') stop_size=$(size '^box Stop at')
  click 1 "$(( ${stop_at%,*} + ${stop_size%,*} / 2 )),$(( ${stop_at#*,} + ${stop_size#*,} / 2 ))"
  wait_for 10 '^call op_TelescopeSlew -> 0'
  took=$(last '^call op_TelescopeSlew' | awk '{ print $6 }')
  say "Stop clicked in the box during the go-to to Sirius: the call returned after $took s"

  # Tracking on, then a note: the timer's idle calls still reach the
  # plug-in, which reads the telescope's position for them.
  key "$view" ctrl+t
  wait_for 5 '^centre on'
  key "$view" ctrl+f
  wait_for 10 '^note "Telescope Controller" up' 2
  sleep 1.6
  dismiss_note op_TelescopeConfigure
  # Now and then (about one session in ten, with xdotool reporting no
  # failure) the Ctrl+T that follows the note reaches plugview as a second
  # Ctrl+F: that configure's note is dismissed and Ctrl+T sent again.
  key "$view" ctrl+t
  local until=$(( $(date +%s%N) + 5000000000 ))
  while [ "$(grep -cE '^call op_TelescopeTrack -> 0' "$out")" -lt 2 ] &&
        [ "$(grep -cE '^note "Telescope Controller" up' "$out")" -le 2 ] && [ "$(date +%s%N)" -lt "$until" ]; do
    sleep 0.1
  done
  if [ "$(grep -cE '^note "Telescope Controller" up' "$out")" -gt 2 ]; then
    say "a second configure came instead of the track: its note dismissed, Ctrl+T sent again"
    dismiss_note op_TelescopeConfigure 2
    key "$view" ctrl+t
  fi
  wait_for 5 '^call op_TelescopeTrack -> 0' 2

  # A go-to to Rigel (9 s) from a second top-level window, the object window:
  # its box disables both windows. A click on the chart window's close button
  # does nothing meanwhile; a close request from outside reaches that window
  # all the same, and its handler terminates and releases the plug-in from
  # inside the box: plugview goes on in loaded code, and the plug-in is
  # unloaded, its log complete, once the go-to's call is over.
  click 1 "$(xy '^star Rigel at')"
  wait_for 5 '^selected Rigel'
  key "$view" ctrl+n
  wait_for 5 '^object window Slew at'
  slew_at=$(xy '^object window Slew at') slew_size=$(size '^object window Slew at')
  click 1 "$(( ${slew_at%,*} + ${slew_size%,*} / 2 )),$(( ${slew_at#*,} + ${slew_size#*,} / 2 ))"
  wait_for 5 '^target Rigel'
  wait_for 10 '^box Stop at' 3
  last '^box Stop at' | grep -q "the chart's window disabled, the object window disabled" ||
    fail "not every window of the host is disabled under the box: $(last '^box Stop at')"
  click 1 "$(xy '^window close button at')"
  sleep 1
  [ "$(grep -c '^call op_TelescopeSlew' "$out")" -eq 1 ] && ! grep -q '^call op_Terminate' "$out" ||
    fail "a click on the disabled chart window's close button ended the go-to"
  "$root/tools/wine-run.sh" "$tree/Host/plugview.exe" --close || fail "plugview --close found no chart window"
  ended 20
  grep -q '^plugview: released the plug-in while a call is under way' "$out" ||
    fail "the close did not release the plug-in during the go-to"
  grep -q '^plugview: telescope.plug unloaded, the control library released' "$out" ||
    fail "after the close: $(last '^plugview: telescope.plug')"
  say "closed from outside during a go-to from the object window: $(last '^call op_TelescopeSlew'), the plug-in unloaded"
  check_log
  probe_figures
  [ "$hung" -eq 0 ] || fail "the system called the window hung in $hung readings"
  awk "BEGIN { exit !($during < 1.0) }" || fail "the window left a message unanswered for $during s during a go-to"
  say "the window: at most $during s unanswered during the go-tos, never called hung"
  if [ -n "$docs" ]; then
    for s in chart popup note goto-box after-goto; do cp "$work/shots/$s.png" "$docs/plugview-$s.png"; done
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
  # The go-to cut short by the close: every poll the library answered is in
  # the log, which reached the disk as the plug-in was unloaded.
  logged=$(awk '/^Goto \(/ { n = 0 } /^GoTo [0-9]+%$/ { n++ } END { print n }' "$work/log.txt")
  polled=$(awk '/^TCS_GoToCelestialCoords/ { n = 0 } /^TCS_GetGoToProgress/ { n++ } END { print n }' "$work/journal.txt")
  [ "$logged" -ge 1 ] && [ "$logged" -eq "$polled" ] ||
    fail "the last go-to's log holds $logged polls of the $polled made"
  # After the configure's note text, the position reads of the idle calls
  # made while the note was up, before the log's next entry of any other kind.
  reads=$(awk '/^ Active and Aligned$/ { n++ } n == 2 && /^TCS RA = / { r++ } n == 2 && r && !/^TCS RA = / { exit }
               END { print r + 0 }' "$work/log.txt")
  [ "$reads" -ge 1 ] || fail "no position read logged while the second note was up"
  say "log: GoTo stopped by the user at $pct%, TCS_KillMotion sent, $reads position reads during the note"
}

# A go-to of known length, Procyon to Betelgeuse with the simulator's rate
# set to last SECONDS: the longest stretch the window left a message
# unanswered during it (goal: 0.25 s at most, whatever the length), whether
# the system called it hung, and the polls' pacing.
frozen_goto() {
  local rate held polls
  rate=$(awk "BEGIN { printf \"%.6f\", $goto_degrees / $1 }")
  rm -f "$work/journal.txt"
  start_view "align=none,points=1,start=2.0040830/0.0911934,rate=$rate" "${centre[@]}" --probe
  key "$view" ctrl+o
  wait_for 10 '^call op_TelescopeOpen -> 0'
  click 1 "$(xy '^star Betelgeuse at')"
  wait_for 5 '^selected Betelgeuse'
  key "$view" ctrl+g
  wait_for $((${1%.*} + 30)) '^call op_TelescopeSlew -> 0'
  quit
  probe_figures
  held=$(last '^call op_TelescopeSlew' | awk '{ print $6 }')
  polls=$(grep -c '^TCS_GetGoToProgress' "$work/journal.txt")
  printf 'frozen window: go-to of %.2f s  DoOperation held %s s  window unanswered at most %s s (goal 0.25 s)  called hung %s times  %d polls, one every %.0f ms\n' \
    "$1" "$held" "$during" "$hung" "$polls" "$(awk "BEGIN { print $held * 1000 / $polls }")"
}

# Each go-to on a display and a Wine server of its own. A second plugview
# started on the server and display of the first one that ended, on a
# machine that runs 32-bit programs itself, mostly never got the keys sent
# to its window, or its window was replaced under xdotool.
frozen() {
  local seconds
  for seconds in 2.6 30; do
    start_xvfb
    frozen_goto "$seconds"
    stop
  done
}

# --- The waits: plugview with the INDI library, under a window manager ---

# openbox on the display, until it says it manages it (its check window on the root).
start_wm() {
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  wm_pid=$!
  local n
  for n in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    kill -0 "$wm_pid" 2>/dev/null || fail "openbox ended at its start"
    sleep 0.1
  done
  fail "openbox did not take the display within 10 s"
}

# start_server KIND: the library's server on a free loopback port: silent
# (accepts, says nothing), full (its listen queue full), or Debian's
# indiserver with its telescope simulator (simulator). Sets port.
start_server() {
  if [ "$1" = simulator ]; then
    indi_dir="$work/indiserver"
    "$root/ControlLibraries/Indi/Tests/indi-server.sh" start "$indi_dir" || fail "indiserver did not start"
    port=$(cat "$indi_dir/port")
    return 0
  fi
  python3 "$root/Host/plugview/wait_server.py" "$1" "$work/port" &
  server_pid=$!
  local n
  for n in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  [ -s "$work/port" ] || fail "the $1 server did not start"
  port=$(cat "$work/port")
}

# choose STAR ID: the entry with command ID of the star's contextual menu,
# clicked in its middle once the menu has had time to be drawn (its picture
# kept in WORK/shots). The chart's window is made the active one first:
# plugview asks for that as it opens the menu, and the window manager,
# raising it then, would cover the menu. Now and then the click still lands
# on the chart ("selected nothing"): the menu is opened again, three times
# at most.
choose() {
  local ex ey ew eh chosen tries n
  chosen=$(grep -c "^chosen $2 on $1" "$out" || true)
  for tries in 1 2 3; do
    xdotool windowactivate --sync "$view" 2>>"$work/xdotool.log" || true
    sleep 0.3
    popup_on "$1"
    sleep 0.3
    shot "menu-$2"
    read -r ex ey ew eh <<<"$(last "^popup entry $2 " | grep -oE '[0-9]+,[0-9]+' | head -2 | tr ',\n' '  ')"
    click 1 "$((ex + ew / 2)),$((ey + eh / 2))"
    for n in $(seq 30); do
      [ "$(grep -c "^chosen $2 on $1" "$out" || true)" -gt "$chosen" ] && return 0
      sleep 0.1
    done
    xdo key Escape
    sleep 0.5
  done
  fail "entry $2 of the contextual menu on $1 not chosen after three tries"
}

# answer_note CALL: Return to the plug-in's note, until CALL has ended (xdotool
# may say it failed for a key that went through, and the note is gone then).
answer_note() {
  local tries n
  for tries in 1 2 3; do
    xdotool key --window "$(window_named 5 '^Telescope Controller$')" Return 2>>"$work/xdotool.log" || true
    for n in $(seq 30); do
      grep -q "^call $1 -> 0" "$out" && return 0
      sleep 0.1
    done
  done
  fail "the note did not go with Return"
}

# The library's waits last at most its timeout each; a user's action makes a
# few of them (the open four: control and alignment, twice).
waits_timeout=2000
call_bound=$((4 * waits_timeout / 1000 + 20))
# The library spaces its attempts to connect a second from the end of the
# last: each case comes 1.5 s after the one before, as a user's next action
# would, so that its calls may start an attempt of their own.
case_gap=1.5
# Longer than this unanswered, or called hung, is OVER the goal; with
# WAITS_CHECK=1 any case OVER fails the run.
waits_goal=0.05

# waits_session KIND: one plugview against that server, its cases one after
# the other: the initialisation (its window up 3 s before), the open and its
# note, a sync on Betelgeuse and a go-to to Sirius from the contextual menu,
# and the go-to's Stop when its box comes up.
waits_session() {
  local kind=$1
  work="$waits_dir/$kind" out="$waits_dir/$kind/transcript.txt"
  mkdir -p "$work/shots"
  start_xvfb
  start_wm
  start_server "$kind"
  "$root/tools/wine-run.sh" --prepare "$tree/Host/plugview.exe"
  install_library "$tree/ControlLibraries/Indi/DRAV.dll"
  export DRAV_INDI="port=$port,timeout=$waits_timeout,log=indi-trace.txt"
  launch_view "${centre[@]}" --stamps --init-after 3
  # Managed by openbox (framed), and asking to be pinged.
  xprop -id "$view" _NET_FRAME_EXTENTS WM_PROTOCOLS >"$work/managed.txt" 2>&1 || true
  grep -q '^_NET_FRAME_EXTENTS(CARDINAL) = ' "$work/managed.txt" && grep -q '_NET_WM_PING' "$work/managed.txt" ||
    fail "the window is not managed by openbox, or takes no ping: $(tr '\n' ' ' <"$work/managed.txt")"
  python3 "$root/Host/plugview/wm_ping.py" "$view" 600 >"$work/ping.txt" 2>&1 &
  ping_pid=$!
  say "$kind: plugview on $DISPLAY under openbox, window $view, the INDI library on 127.0.0.1:$port"
  wait_for "$call_bound" '^call op_Initialize -> 0'

  sleep "$case_gap"
  key "$view" ctrl+o
  wait_for "$call_bound" '^note "Telescope Controller" up'
  sleep 0.5
  answer_note op_TelescopeOpen

  sleep "$case_gap"
  choose Betelgeuse 20001
  wait_for "$call_bound" '^call op_DoContextualPopup -> 0'

  sleep "$case_gap"
  choose Sirius 20000
  local until=$(( $(date +%s%N) + call_bound * 1000000000 ))
  while ! grep -q '^box Stop at' "$out" && [ "$(grep -c '^call op_DoContextualPopup -> 0' "$out")" -lt 2 ]; do
    [ "$(date +%s%N)" -lt "$until" ] || fail "neither the go-to's box nor its end within $call_bound s"
    kill -0 "$view_pid" 2>/dev/null || fail "plugview ended during the go-to's launch"
    sleep 0.1
  done
  if grep -q '^box Stop at' "$out"; then
    sleep 1
    local at wh
    at=$(xy '^box Stop at') wh=$(size '^box Stop at')
    click 1 "$(( ${at%,*} + ${wh%,*} / 2 )),$(( ${at#*,} + ${wh#*,} / 2 ))"
  fi
  wait_for "$call_bound" '^call op_DoContextualPopup -> 0' 2
  quit
  kill "$ping_pid" 2>/dev/null || true
  wait "$ping_pid" 2>/dev/null || true
  ping_pid=""
  stop
  # What the plug-in made of it, in its log.
  tr -d '\r' <"$work/telelog.txt" >"$work/log.txt"
  say "$kind: $(grep -m1 '^DRAV Version' "$work/log.txt"); $(grep -m1 '^Status->' "$work/log.txt");" \
    "$(grep -m1 -E '^(Calibrate|Add Celestial Point) ' "$work/log.txt"); $(grep -m1 '^Goto ' "$work/log.txt")"
  if grep -q '^box Stop at' "$out"; then
    grep -q '^GoTo stopped by the user at' "$work/log.txt" &&
      tr -d '\r' <"$work/indi-trace.txt" | grep -q 'name="TELESCOPE_ABORT_MOTION"><oneSwitch name="ABORT">On' ||
      fail "the box's Stop did not stop the mount (no \"GoTo stopped by the user\", or no ABORT sent)"
    say "$kind: $(grep -m1 '^GoTo stopped by the user' "$work/log.txt"), TELESCOPE_ABORT_MOTION sent by TCS_KillMotion"
  fi
  waits_figures "$kind"
}

# waits_figures KIND: for each case, the longest stretch that overlaps it
# that plugview's probe (a message every 5 ms from a thread of its own) and
# the window manager's ping (every 5 ms from outside) saw unanswered, and
# whether the window was called hung meanwhile: by the system (Wine's
# IsHungAppWindow), or by openbox had the user tried to close it then (a
# ping unanswered for as long as openbox waits before it says so).
waits_figures() {
  cat "$out" "$work/ping.txt" | awk -v kind="$1" -v goal="$waits_goal" -v patience="$wm_patience" '
    /^probe: call / { n++; name[n] = $3; from[n] = $5; to[n] = $7 }
    /^probe: box up at / && !box { box = $5 }
    /^probe: unanswered / { p++; pw[p] = $3; ps[p] = $6; pe[p] = $8 }
    /^ping: unanswered / { least = $3 == "at"; w = least ? $5 : $3; s = least ? $8 : $6; e = least ? $10 : $8
                           q++; qw[q] = w; qs[q] = s; qe[q] = e }
    /^probe: called hung at / { h++; hs[h] = $5; he[h] = 1e12 }
    /^probe: no longer called hung at / { he[h] = $6 }
    function longest(a, b, count, w, s, e,   i, m) {
      m = 0
      for (i = 1; i <= count; i++) if (s[i] < b && e[i] > a && w[i] > m) m = w[i]
      return m
    }
    function show(m) { return m == 0 ? "< 0.005 s" : sprintf("%.3f s", m) }
    function report(what, a, b,   i, hung, m1, m2) {
      hung = "never"
      for (i = 1; i <= h; i++) if (hs[i] < b && he[i] > a) hung = "yes"
      m1 = longest(a, b, p, pw, ps, pe); m2 = longest(a, b, q, qw, qs, qe)
      if (m2 >= patience) hung = "yes"
      printf "waits: %-9s %-14s window unanswered at most %-10s  ping unanswered at most %-10s  called hung: %-5s  (%.2f s)%s\n",
        kind, what, show(m1), show(m2), hung, b - a, (m1 > goal || m2 > goal || hung == "yes") ? "  OVER" : ""
    }
    END {
      slews = 0
      for (i = 1; i <= n; i++) {
        if (name[i] == "op_Initialize") report("initialise", from[i], to[i])
        else if (name[i] == "op_TelescopeOpen") report("open", from[i], to[i])
        else if (name[i] == "op_DoContextualPopup" && ++slews == 1) report("sync", from[i], to[i])
        else if (name[i] == "op_DoContextualPopup") {
          report("go-to launch", from[i], box ? box : to[i])
          if (box) report("Stop", box, to[i])
          else printf "waits: %-9s %-14s not reached: the go-to was refused at its launch, no box came up\n", kind, "Stop"
        }
      }
    }' | tee -a "$waits_dir/figures.txt"
}

# Each server on a display, a window manager and a Wine server of its own.
waits() {
  waits_dir=$work
  : >"$waits_dir/figures.txt"
  local kind
  # How long openbox waits for a window's answer, after it was asked to
  # close it, before its title says the window is not responding.
  work="$waits_dir/openbox" out="$waits_dir/openbox/transcript.txt"
  mkdir -p "$work"
  start_xvfb
  start_wm
  timeout 60 python3 "$root/Host/plugview/wm_ping.py" --limit >"$out" 2>&1 || fail "wm_ping.py --limit failed"
  stop
  # Never said within its 20 s: no ping of the cases is called hung by it.
  wm_patience=$(grep -oE 'not responding [0-9.]+ s' "$out" | grep -oE '[0-9.]+' || echo 1e9)
  sed 's/^ping:/waits: openbox:/' "$out" | tee -a "$waits_dir/figures.txt"
  for kind in silent full simulator; do
    waits_session "$kind"
  done
  say "figures in $waits_dir/figures.txt (timeout $waits_timeout ms; OVER: more than $waits_goal s unanswered, or called hung)"
  [ "${WAITS_CHECK:-0}" != 1 ] || ! grep -q ' OVER$' "$waits_dir/figures.txt" ||
    { echo "plugview waits: FAILED: $(grep -c ' OVER$' "$waits_dir/figures.txt") cases over the goal" >&2; exit 1; }
}

case "$mode" in
  session) session ;;
  frozen) frozen ;;
  waits) waits ;;
  *) echo "usage: run-plugview.sh session|frozen|waits BUILD_TREE WORK [DOCS]" >&2; exit 2 ;;
esac
