#!/usr/bin/env bash
# The installer under Wine, in a prefix of its own made afresh in WORK: one
# table of cases, each a sequence of silent installs, uninstalls and the
# events around them (the vendor's library installed or updated, the sky
# chart holding the plug-in and its library, the previous release installed
# first, the user's own settings, a full disk, a file held or read-only),
# each step followed by what must hold.
# The mount simulator is this release's INDI control library.
#   installer-test.sh WORK VERSION COPYRIGHT DESCRIPTION PLUGIN README LICENSE
#                     SIMULATOR PLUGHOST VERSION_PROBE [CONTROL_LIBRARY [ASCOM_LIBRARY]]
# CONTROL_LIBRARY, the INDI one the release ships, is checked for its version,
# and is the previous release's control library in the upgrade case (without
# it that case is skipped, and so it is outside a git checkout).
# ASCOM_LIBRARY, the ASCOM one the release ships, is the installer's ASCOM
# library (and checked for its version); without it, a stand-in.
set -euo pipefail
work=$1 version=$2 copyright=$3 description=$4 plugin=$5 readme=$6 license=$7
simulator=$8 plughost=$9 probe=${10} shipped_library=${11:-} ascom=${12:-}
here=$(cd "$(dirname "$0")" && pwd)
# The last commit whose installer did not record what it installed.
previous_commit=85b9a0b previous_version=0.9.0

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
same() { cmp -s "$1" "$2" || fail "$3"; }
absent() { [ ! -e "$1" ] || fail "$2"; }

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The sky chart of the in-use cases (a plughost) or a scanner (holder.exe),
# started in the background.
held_pid=""
stop_held() {
  [ -n "$held_pid" ] || return 0
  kill "$held_pid" 2>/dev/null || true
  wait "$held_pid" 2>/dev/null || true
  held_pid=""
}
# Every process of the test ends with it, pass or fail.
trap 'stop_held; timeout 30 wineserver -k 2>/dev/null || true' EXIT
# Runs a Windows program, bounded, and waits for it. The bounds catch a hung
# program; they grow by what starting a Wine process costs on this machine
# (measured once for the build tree).
cost=$(bash "$here/../../tools/wine-run.sh" --start-cost "$plughost")
slack=$(( 2 * (${cost%.*} + 1) ))
# Under the file size limit and the umask that a step before set, if any.
limit="" mask=""
win() { ( [ -z "$limit" ] || { ulimit -f "$limit"; trap '' XFSZ; }
          [ -z "$mask" ] || umask "$mask"
          exec timeout $((120 + slack)) wine "$@" ) }
timeout $((120 + 10 * slack)) wineboot -i >/dev/null 2>&1
timeout $((60 + slack)) wineserver -w
# One server for the whole test (a new one and Wine's system processes cost
# about 3 s here), booted with no output of ours: booted by a program whose
# output is read, they would hold its pipe open.
wine64=/usr/lib/wine/wine64  # the 64-bit loader: no emulation needed
[ -x "$wine64" ] || wine64=wine
wineserver -p
timeout $((60 + slack)) "$wine64" wineboot.exe </dev/null >/dev/null 2>&1 || true

# Installers: this release's, one that asks for a processor feature no
# processor has, and the previous release's (its installer from git, with the
# shipped control library, whose version resource tells that release's
# library, and a plug-in marked so that its replacement shows).
shipped_ascom=$ascom
if [ -z "$ascom" ]; then
  # STAND-IN for the ASCOM library while the build has none: the INDI library
  # (or the simulator) with bytes of its own, so that its place is told apart.
  # These rows check where the installer puts it, not what it does.
  ascom="$work/ascom-stand-in.dll"
  { cat "${shipped_library:-$simulator}"; printf 'stand-in for the ASCOM library'; } > "$ascom"
fi
bash "$here/../make-dist.sh" "$version" "$copyright" "$work/dist" "$work/stage" \
  "$plugin" "$readme" "$license" "$simulator" "$ascom" >/dev/null
MAKENSIS_FLAGS=-DSSE2_FEATURE=64 bash "$here/../make-dist.sh" "$version" "$copyright" \
  "$work/refusing" "$work/stage-refusing" "$plugin" "$readme" "$license" "$simulator" "$ascom" >/dev/null
setup="$work/dist/telescope-plug-$version-setup.exe"
refusing="$work/refusing/telescope-plug-$version-setup.exe"
old_setup="" old_plugin="$work/stage-old/telescope.plug"
if [ -n "$shipped_library" ] &&
   git -C "$here" show "$previous_commit:Release/installer.nsi" > "$work/old.nsi" 2>/dev/null; then
  mkdir -p "$work/stage-old"
  { cat "$plugin"; printf 'previous release'; } > "$old_plugin"
  cp "$license" "$work/stage-old/LICENSE.txt"
  makensis -V1 -NOCD -DVERSION="$previous_version" -DCOPYRIGHT="$copyright" \
    -DSTAGE="$work/stage-old" -DOUTFILE="$work/old-setup.exe" \
    -DCONTROL_LIBRARY="$shipped_library" "$work/old.nsi" >/dev/null
  old_setup="$work/old-setup.exe"
fi
makensis -V1 -DOUTFILE="$work/holder.exe" "$here/holder.nsi" >/dev/null
# A full disk: the installer unpacks its files in order through a file of its
# own, which this limit lets hold the plug-in but not all of the library.
full_kb=$(( ($(stat -c %s "$plugin") + $(stat -c %s "$simulator") / 2) / 1024 ))

drive="$WINEPREFIX/drive_c"
system="$drive/Program Files/Common Files/System"
library="$system/DRAV.dll"
kept="$library.kept-by-telescope.plug"
settings="$drive/ProgramData/DRAV-INDI.ini"
ascom_settings="$drive/ProgramData/DRAV-ASCOM.ini"
for n in 1 2; do printf 'vendor control library %s\r\n\0\1\2\3\377' "$n" > "$work/vendor-$n.dll"; done
# The settings files: as the installer writes them, and a user's own.
heading="# The INDI control library's settings, written by the telescope.plug installer.\r\n# Other keys (timeout, connect, epoch, unpark, log): see the INDI library's read-me.\r\n"
mkdir -p "$work/ini"
printf "${heading}host=127.0.0.1\r\nport=7624\r\ndevice=\r\n" > "$work/ini/default"
printf "${heading}host=pi.local\r\nport=7625\r\ndevice=EQMod Mount\r\n" > "$work/ini/pi"
{ cat "$work/ini/pi"; printf 'timeout=3000\r\n'; } > "$work/ini/edited"
# Byte-order mark, a comment, a key of ours twice (the last counts) and no
# line end at the end.
printf '\357\273\277# my mount\r\ntimeout=3000\r\nport=1234\r\nlog=C:\\trace.txt\r\nport=4321' > "$work/ini/hand"
printf '\357\273\277# my mount\r\ntimeout=3000\r\nport=4321\r\nlog=C:\\trace.txt\r\nhost=pi.local\r\ndevice=\r\n' > "$work/ini/merged"
# The ASCOM library's: discovery, a named server, and a user's own whose
# servers discovery takes away.
heading="# The ASCOM control library's settings, written by the telescope.plug installer.\r\n# Without alpaca=host:port/n it discovers Alpaca servers. Other keys (timeout, epoch, unpark, log): see the ASCOM library's read-me.\r\n"
printf "${heading}device=\r\n" > "$work/ini/discover"
printf "${heading}alpaca=127.0.0.1:11111/0\r\ndevice=Telescope Simulator\r\n" > "$work/ini/named"
printf "${heading}device=Telescope Simulator\r\n" > "$work/ini/discover-named"
printf "${heading}alpaca=pi.local:32323/1\r\ndevice=\r\n" > "$work/ini/pi-alpaca"
printf '# my mount\r\nalpaca=pi.local:11111/0\r\ntimeout=500\r\nalpaca=[::1]:11111/2\n' > "$work/ini/hand-ascom"
printf '# my mount\r\ntimeout=500\r\ndevice=\r\n' > "$work/ini/hand-discover"

# The installer is 32-bit: its registry entries are in the 32-bit view.
# Prints a key's values as "NAME    REG_SZ    VALUE" lines, nothing when the
# key is missing (reg of the 64-bit loader on the running server: 0.15 s).
registry() {
  local key=${1#HKLM\\}
  grep -q '^#arch=win64' "$WINEPREFIX/system.reg" && key="Software\\Wow6432Node\\${key#Software\\}"
  timeout $((30 + slack)) "$wine64" reg query "HKLM\\$key" 2>/dev/null </dev/null | tr -d '\r' |
    sed -n 's/^    //p' || true
}
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\telescope.plug'
state_key='HKLM\Software\telescope.plug'

expected_version="FixedFileVersion=$version.0
FixedProductVersion=$version.0
Translation=040904b0
ProductName=telescope.plug
ProductVersion=$version
FileVersion=$version
FileDescription=$description
LegalCopyright=$copyright
CompanyName=the telescope.plug authors
OriginalFilename=telescope.plug"

# The plug-in folders the cases use, by letter.
declare -A folders=([A]='C:\Plugins' [B]='C:\Sky Chart\Plug-ins' [C]='C:\Other Plug-ins')
unix() { printf '%s/%s' "$drive" "$(printf '%s' "${1#C:\\}" | tr '\\' /)"; }
# Every file the installer may touch (a telelog.txt aside) and its state
# key, with their bytes' sums: what "nothing changed" compares.
snapshot() {
  local letter
  {
    for letter in "${!folders[@]}"; do
      [ ! -d "$(unix "${folders[$letter]}")" ] || find "$(unix "${folders[$letter]}")" -type f ! -name telelog.txt
    done
    [ ! -d "$system" ] || find "$system" -type f
    [ ! -f "$settings" ] || echo "$settings"
    [ ! -f "$ascom_settings" ] || echo "$ascom_settings"
  } | LC_ALL=C sort | while read -r f; do sha256sum "$f"; done
}
state() { snapshot; registry "$uninstall_key"; registry "$state_key"; }
fingerprint() { printf '%s:%s' "$(stat -c %s "$1")" "$(md5sum < "$1" | cut -d' ' -f1)"; }

# Steps (';' between them), each with what must hold after it ('=>'):
#   vendor N              the vendor installs or updates its library (N: 1, 2)
#   hand | edit           the user writes a settings file of their own, or adds
#                         a line to ours
#   hand-ascom            the user writes an ASCOM settings file of their own
#   new|old|refusing ARGS this release's installer, the previous release's, or
#                         one refusing the processor, silently: /S ARGS, where
#                         @X stands for folder X
#   uninstall X           the uninstaller in folder X, /S, as its first process
#                         runs it: from a copy elsewhere with _?=X (which gives
#                         its exit code; the first process ends at once with 0)
#   hold X | release      plughost starts with the plug-in of folder X and its
#                         control library loaded / quits
#   session X             a session of the installed plug-in and library
#   probe X               the installed plug-in's version resource
#   full                  the next program can write no file past a size, as
#                         on a nearly full disk: the plug-in, not the library
#   undeletable X         the next program cannot delete the plug-in of X (on
#                         Windows a program mapping it does that, which Wine
#                         allows; here it is read-only, under an umask that
#                         keeps Wine from making it writable again)
#   scan | free           a scanner holds the settings' new copy open / stops
# Checks: exit=N (else 0); same: no file and no registry value changed;
#   plug=X the plug-in last installed and the uninstaller are in folder X;
#   gone=X neither is (nor the folder, unless a telelog.txt is left in it);
#   lib=ours|ascom|old|N|none  the control library: ours (INDI), our ASCOM
#   one, the previous release's, the vendor's N, none (nor the folder made for
#   it); kept=N|none the library kept aside; ini=none or a file of $work/ini,
#   the INDI settings, and no ASCOM settings unless ascom= (the same) says;
#   reg=X|none the uninstall entry and the remembered folder X, or neither
#   key. lib, kept, ini and ascom also check the state key's records, and lib
#   that the folder holds no other file.
cases=(
  'vendor 1; new /INDI @B => plug=B lib=ours kept=1 reg=B ini=default; probe B; session B; hold B;
   new /INDI @B => exit=4 same; uninstall B => exit=4 same; release => same;
   uninstall B => gone=B lib=1 kept=none reg=none ini=none'
  'new /INDI @A => plug=A lib=ours kept=none reg=A ini=default; uninstall A => gone=A lib=none kept=none reg=none ini=none'
  'vendor 1; new @A => plug=A lib=1 kept=none ini=none reg=A; uninstall A => gone=A lib=1 kept=none reg=none ini=none'
  'vendor 1; refusing /INDI @A => exit=3 same; new /INDI /PORT=70000 @A => exit=5 same;
   new /ASCOM /ALPACA=pi.local:11111 @A => exit=5 same; new /INDI /ASCOM @A => exit=5 same lib=1 kept=none reg=none ini=none'
  'vendor 1; new /ASCOM @A => plug=A lib=ascom kept=1 reg=A ini=none ascom=discover; new /VENDOR => plug=A lib=1 kept=none ini=none;
   uninstall A => gone=A lib=1 kept=none reg=none ini=none'
  'new /ASCOM /ALPACA=127.0.0.1:11111/0 /DEVICE=Telescope Simulator @A => plug=A lib=ascom kept=none reg=A ini=none ascom=named;
   new => lib=ascom ascom=named; new /DISCOVER => plug=A lib=ascom kept=none reg=A ini=none ascom=discover-named;
   uninstall A => gone=A lib=none kept=none reg=none ini=none'
  'vendor 1; new /INDI /HOST=pi.local /PORT=7625 /DEVICE=EQMod Mount @A => lib=ours kept=1 ini=pi;
   new /ASCOM /ALPACA=pi.local:32323/1 => plug=A lib=ascom kept=1 reg=A ini=pi ascom=pi-alpaca;
   new /INDI => plug=A lib=ours kept=1 reg=A ini=pi ascom=pi-alpaca; new /NOINDI => plug=A lib=1 kept=none ini=none;
   uninstall A => gone=A lib=1 kept=none reg=none ini=none'
  'vendor 1; old /INDI @B => lib=old kept=1; new /ASCOM => plug=B lib=ascom kept=1 reg=B ini=none ascom=discover;
   uninstall B => gone=B lib=1 kept=none reg=none ini=none'
  'hand-ascom; new /ASCOM /DISCOVER @A => plug=A lib=ascom kept=none reg=A ini=none ascom=hand-discover;
   uninstall A => gone=A lib=none kept=none reg=none ini=none ascom=hand-discover'
  'vendor 1; new /INDI /HOST=pi.local /PORT=7625 /DEVICE=EQMod Mount @A => plug=A lib=ours kept=1 ini=pi; edit;
   vendor 2; uninstall A => gone=A lib=2 kept=1 reg=none ini=edited'
  'vendor 1; new /INDI @A => lib=ours kept=1; vendor 2; new @A => plug=A lib=2 kept=1 reg=A ini=default;
   uninstall A => gone=A lib=2 kept=1 reg=none ini=none'
  'vendor 1; old /INDI @B => plug=B lib=old kept=1 reg=B; new => plug=B lib=ours kept=1 reg=B ini=default;
   uninstall B => gone=B lib=1 kept=none reg=none ini=none'
  'vendor 1; old /INDI @A => lib=old kept=1; vendor 2; new => plug=A lib=2 kept=1 reg=A ini=default;
   uninstall A => gone=A lib=2 kept=1 reg=none ini=none'
  'vendor 1; hand; new /INDI /HOST=pi.local @A => plug=A lib=ours kept=1 ini=merged; new => plug=A lib=ours kept=1 reg=A ini=merged;
   uninstall A => gone=A lib=1 kept=none reg=none ini=merged'
  'vendor 1; new /INDI @A => lib=ours kept=1; new @C => plug=C gone=A lib=ours kept=1 reg=C ini=default;
   new /NOINDI => plug=C lib=1 kept=none ini=none; uninstall C => gone=C lib=1 kept=none reg=none ini=none'
  'vendor 1; new /INDI @A => lib=ours kept=1; undeletable A; uninstall A => exit=4 plug=A lib=1 kept=none reg=A ini=none;
   uninstall A => gone=A lib=1 kept=none reg=none ini=none'
  'vendor 1; full; new /INDI @A => exit=2 lib=1 kept=none ini=none; new /INDI @A => plug=A lib=ours kept=1 ini=default;
   full; new /INDI @A => exit=2 plug=A lib=ours kept=1 reg=A ini=default; uninstall A => gone=A lib=1 kept=none reg=none ini=none'
  'hand; scan; new /INDI /HOST=pi.local @A => plug=A lib=ours kept=none reg=A ini=hand; free;
   uninstall A => gone=A lib=none kept=none reg=none ini=hand'
)

# The state key's value NAME is TYPE VALUE / is missing.
record() { grep -qxF "$1    $2" <<< "$records" || fail "$where no $1 $2 in the state key:
$records"; }
no_record() { ! grep -q "^$1 " <<< "$records" || fail "$where $1 left in the state key"; }

# Settings file $2 (its record $3) is none or the file $1 of $work/ini.
settings_are() {
  if [ "$1" = none ]; then absent "$2" "$where ${2##*/} is there"; no_record "$3"
  else same "$work/ini/$1" "$2" "$where ${2##*/} is not $1:
$(od -c "$2" 2>&1 | head -12)"
    ! grep -q "^$3 " <<< "$records" || record "$3" "REG_SZ    $(fingerprint "$2")"
  fi
}

# The checks after a step; $1 the step's exit status, $2 the state before it.
check() {
  local status=$1 before=$2 item key value dir entry installed=$plugin
  [ "$last_setup" = old ] && installed=$old_plugin
  local want_exit=0
  for item in $expect; do [ "${item%%=*}" != exit ] || want_exit=${item#exit=}; done
  [ "$status" -eq "$want_exit" ] || fail "$where exited with $status, not $want_exit"
  records=""
  [[ ! " $expect" =~ \ (lib|kept|ini|ascom|reg)= ]] || records=$(registry "$state_key")
  for item in $expect; do
    key=${item%%=*} value=${item#*=}
    case $key in
      exit) ;;
      same) [ "$(state)" = "$before" ] || fail "$where changed files or the registry:
$(diff <(printf '%s\n' "$before") <(state))" ;;
      plug)
        dir=$(unix "${folders[$value]}")
        same "$installed" "$dir/telescope.plug" "$where telescope.plug in $value is not the one installed"
        [ -f "$dir/uninstall-telescope.exe" ] || fail "$where no uninstaller in $value" ;;
      gone)
        dir=$(unix "${folders[$value]}")
        if [ -d "$dir" ] && [ "$(ls -A "$dir")" != telelog.txt ]; then
          fail "$where folder $value holds: $(ls -A "$dir" | tr '\n' ' ')"
        fi ;;
      lib)
        case $value in
          ours) same "$simulator" "$library" "$where the control library is not ours" ;;
          ascom) same "$ascom" "$library" "$where the control library is not our ASCOM one" ;;
          old) same "$shipped_library" "$library" "$where the control library is not the previous release's" ;;
          none) absent "$system" "$where a control library or the folder made for it is there" ;;
          *) same "$work/vendor-$value.dll" "$library" "$where the control library is not the vendor's $value" ;;
        esac
        [ -z "$(ls -A "$system" 2>/dev/null | grep -vxF -e DRAV.dll -e "${kept##*/}")" ] ||
          fail "$where the library's folder holds: $(ls -A "$system")"
        case $value in
          ours) record ControlLibraryKind "REG_SZ    INDI"
                record ControlLibraryFingerprint "REG_SZ    $(fingerprint "$simulator")" ;&
          old) record ControlLibrary "REG_DWORD    0x1" ;;
          ascom) record ControlLibraryKind "REG_SZ    ASCOM"
                 record ControlLibraryFingerprint "REG_SZ    $(fingerprint "$ascom")"
                 record ControlLibrary "REG_DWORD    0x1" ;;
          *) no_record ControlLibrary; no_record ControlLibraryKind ;;
        esac ;;
      kept)
        if [ "$value" = none ]; then absent "$kept" "$where a library is kept aside"; no_record VendorLibraryKept
        else same "$work/vendor-$value.dll" "$kept" "$where the vendor's $value is not kept aside"
          # After an uninstall the user has it, and is told so.
          [ -z "$records" ] || record VendorLibraryKept "REG_DWORD    0x1"; fi ;;
      ini)
        settings_are "$value" "$settings" SettingsFingerprint
        [[ " $expect" =~ \ ascom= ]] || settings_are none "$ascom_settings" AscomSettingsFingerprint ;;
      ascom) settings_are "$value" "$ascom_settings" AscomSettingsFingerprint ;;
      reg)
        if [ "$value" = none ]; then
          [ -z "$(registry "$uninstall_key")$records" ] || fail "$where registry left behind:
$(registry "$uninstall_key"; registry "$state_key")"
        else
          entry=$(registry "$uninstall_key"; echo "$records")
          for want in "DisplayVersion    REG_SZ    $last_version" \
                      "UninstallString    REG_SZ    \"${folders[$value]}\\uninstall-telescope.exe\"" \
                      "PluginFolder    REG_SZ    ${folders[$value]}"; do
            grep -qF "$want" <<< "$entry" || fail "$where registry lacks '$want':
$entry"
          done
        fi ;;
      *) fail "$where: unknown check $item" ;;
    esac
  done
}

hold() {
  local folder=$1
  rm -f "$work/hold.fifo" "$work/hold.out"
  mkfifo "$work/hold.fifo"
  (cd "$(unix "$folder")" && exec timeout $((120 + slack)) wine "$plughost" "$folder\\telescope.plug" - \
     < "$work/hold.fifo" > "$work/hold.out" 2>&1) &
  held_pid=$!
  exec 7> "$work/hold.fifo"
  echo init >&7
  # Loaded once the initialisation is answered.
  local waited=0
  until grep -q 'op_Initialize' "$work/hold.out" 2>/dev/null; do
    [ "$waited" -lt $((300 + 50 * slack)) ] && kill -0 "$held_pid" 2>/dev/null ||
      { fail "$where plughost did not start: $(cat "$work/hold.out")"; break; }
    sleep 0.2; waited=$((waited + 1))
  done
}
release() {
  echo quit >&7 || true
  exec 7>&-
  local waited=0
  while kill -0 "$held_pid" 2>/dev/null && [ "$waited" -lt $((150 + 25 * slack)) ]; do
    sleep 0.2; waited=$((waited + 1))
  done
  kill -0 "$held_pid" 2>/dev/null && fail "$where plughost did not quit"
  stop_held
}

ran=0
for row in "${cases[@]}"; do
  row=$(tr '\n' ' ' <<< "$row" | tr -s ' ')
  if [[ $row =~ (^|;)\ *old\  ]] && [ -z "$old_setup" ]; then
    echo "SKIP (no previous release to build): [$row]"; continue
  fi
  if [[ $row =~ (^|;)\ *undeletable\  ]] && [ "$(id -u)" != 0 ]; then
    echo "SKIP (only root opens a read-only file for writing, as the in-use check does): [$row]"; continue
  fi
  rm -rf "$system" "$settings" "$settings.new" "$ascom_settings" "$ascom_settings.new"
  for letter in "${!folders[@]}"; do rm -rf "$(unix "${folders[$letter]}")"; done
  last_setup="" last_version=""
  IFS=';' read -ra steps <<< "$row"
  for step in "${steps[@]}"; do
    action=$step expect=""
    if [[ $step == *'=>'* ]]; then action=${step%%=>*} expect=${step#*=>}; fi
    read -ra words <<< "$action"
    where="[$row] step '${action% }':"
    before=""
    [[ " $expect " != *' same '* ]] || before=$(state)
    status=0
    case ${words[0]} in
      vendor) mkdir -p "$system" && cp "$work/vendor-${words[1]}.dll" "$library" ;;
      hand) mkdir -p "${settings%/*}" && cp "$work/ini/hand" "$settings" ;;
      hand-ascom) mkdir -p "${ascom_settings%/*}" && cp "$work/ini/hand-ascom" "$ascom_settings" ;;
      edit) printf 'timeout=3000\r\n' >> "$settings" ;;
      new | old | refusing)
        case ${words[0]} in
          new) exe=$setup last_setup=new last_version=$version ;;
          old) exe=$old_setup last_setup=old last_version=$previous_version ;;
          refusing) exe=$refusing ;;
        esac
        args=()
        for word in "${words[@]:1}"; do
          # /D= unquoted, its words as separate arguments: Wine joins them
          # with spaces and no quotes, as the installer wants its folder.
          if [[ $word == @? ]]; then read -ra more <<< "/D=${folders[${word#@}]}"; args+=("${more[@]}")
          else args+=("$word"); fi
        done
        win "$exe" /S "${args[@]}" || status=$? ;;
      uninstall)
        rm -rf "$work/uninstall" && mkdir -p "$work/uninstall"
        if cp "$(unix "${folders[${words[1]}]}")/uninstall-telescope.exe" "$work/uninstall/Au_.exe"; then
          read -ra more <<< "_?=${folders[${words[1]}]}"
          win "$work/uninstall/Au_.exe" /S "${more[@]}" || status=$?
        else
          fail "$where no uninstaller"; status=-1
        fi ;;
      full) limit=$full_kb ;;
      undeletable) chmod a-w "$(unix "${folders[${words[1]}]}")/telescope.plug" && mask=0222 ;;
      scan)
        HOLD_FILE='C:\ProgramData\DRAV-INDI.ini.new' timeout $((120 + slack)) wine "$work/holder.exe" &
        held_pid=$! waited=0
        until [ -e "$settings.new" ] || [ $((waited++)) -ge $((300 + 50 * slack)) ]; do sleep 0.1; done ;;
      free) stop_held ;;
      hold) hold "${folders[${words[1]}]}" ;;
      release) release ;;
      probe)
        got=$(win "$probe" "${folders[${words[1]}]}\\telescope.plug" | tr -d '\r') || fail "$where version_probe failed"
        [ "$got" = "$expected_version" ] || fail "$where version resource reads:
$got" ;;
      session)
        # The installed plug-in against the installed control library; the
        # session leaves its telelog.txt in the plug-in folder.
        dir=$(unix "${folders[${words[1]}]}")
        transcript=$(cd "$dir" && DRAV_SIM_SCENARIO=align=celestial,rate=100 \
                     win "$plughost" "${folders[${words[1]}]}\\telescope.plug" "$here/installed-session.txt" 2>&1) ||
          fail "$where session failed:
$transcript"
        grep -q "DRAV Version Vantorel Mount Simulator" "$dir/telelog.txt" ||
          fail "$where the session did not use the installed control library:
$transcript" ;;
      *) fail "$where unknown step" ;;
    esac
    check "$status" "$before"
    [[ ${words[0]} == full || ${words[0]} == undeletable ]] || limit="" mask=""
  done
  # How a case ends is checked whole.
  for key in lib kept reg ini; do
    [[ " $expect " == *" $key="* ]] || fail "[$row] its last step does not check $key"
  done
  ran=$((ran + 1))
done

# The control libraries the release ships carry the same version.
for shipped in $shipped_library $shipped_ascom; do
  got=$(win "$probe" "$(winepath -w "$shipped")" | tr -d '\r') || fail "version_probe failed on $shipped"
  for line in "ProductName=telescope.plug" "FileVersion=$version" "OriginalFilename=DRAV.dll"; do
    grep -qxF "$line" <<< "$got" || fail "the shipped control library $shipped's version resource lacks $line:
$got"
  done
done

if [ "$failures" -ne 0 ]; then
  echo "installer: $failures failures (prefix kept in $WINEPREFIX)"
  exit 1
fi
timeout 30 wineserver -k 2>/dev/null || true
rm -rf "$work/prefix"
echo "installer: $ran cases passed"
