#!/usr/bin/env bash
# The installer under Wine, in a prefix of its own made afresh in WORK:
# silent installs and uninstalls, with the mount simulator as the optional
# control library, a "vendor" DRAV.dll of known bytes at the fixed path, and
# a session of the stand-in host against the installed plug-in.
#   installer-test.sh WORK VERSION COPYRIGHT DESCRIPTION PLUGIN README LICENSE
#                     SIMULATOR PLUGHOST VERSION_PROBE [CONTROL_LIBRARY]
# CONTROL_LIBRARY, the one the release ships, is checked for its version only.
set -euo pipefail
work=$1 version=$2 copyright=$3 description=$4 plugin=$5 readme=$6 license=$7
simulator=$8 plughost=$9 probe=${10} shipped_library=${11:-}
here=$(cd "$(dirname "$0")" && pwd)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
same() { cmp -s "$1" "$2" || fail "$3"; }
absent() { [ ! -e "$1" ] || fail "$2"; }

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Every Wine process of this prefix ends with the test, pass or fail.
trap 'timeout 30 wineserver -k 2>/dev/null || true' EXIT
# Runs a Windows program, bounded. An install or uninstall is followed by a
# wait for every process of the prefix to end (the uninstaller goes on from a
# copy of itself), so that the files and the registry are complete.
# The bounds catch a hung program; they grow by what starting a Wine process
# costs on this machine (measured once for the build tree).
cost=$(bash "$here/../../tools/wine-run.sh" --start-cost "$plughost")
slack=$(( 2 * (${cost%.*} + 1) ))
win() { timeout $((120 + slack)) wine "$@"; }
run() { local status=0; win "$@" || status=$?; timeout $((60 + slack)) wineserver -w; return $status; }
timeout $((120 + 10 * slack)) wineboot -i >/dev/null 2>&1
timeout $((60 + slack)) wineserver -w

# Installers: the release's, with the simulator as the control library, and
# one that asks for a processor feature no processor has.
bash "$here/../make-dist.sh" "$version" "$copyright" "$work/dist" "$work/stage" \
  "$plugin" "$readme" "$license" "$simulator" >/dev/null
MAKENSIS_FLAGS=-DSSE2_FEATURE=64 bash "$here/../make-dist.sh" "$version" "$copyright" \
  "$work/refusing" "$work/stage-refusing" "$plugin" "$readme" "$license" "$simulator" >/dev/null
setup="$work/dist/telescope-plug-$version-setup.exe"
refusing="$work/refusing/telescope-plug-$version-setup.exe"

drive="$WINEPREFIX/drive_c"
system="$drive/Program Files/Common Files/System"
library="$system/DRAV.dll"
kept="$library.kept-by-telescope.plug"
printf 'vendor control library\r\n\0\1\2\3\377' > "$work/vendor.dll"
# The installer is 32-bit: its registry entries are in the 32-bit view.
# Prints a key's values as "NAME    REG_SZ    VALUE" lines, nothing when the
# key is missing. Read from the prefix's own file, which the server has
# written when it ended (every install and uninstall waits for that): one
# Wine process fewer for each look.
registry() {
  local key=${1#HKLM\\}
  grep -q '^#arch=win64' "$WINEPREFIX/system.reg" && key="Software\\Wow6432Node\\${key#Software\\}"
  want="[$(printf '%s' "$key" | sed 's/\\/\\\\/g')] " awk '
    BEGIN { want = ENVIRON["want"] }
    /^\[/ { on = tolower(substr($0, 1, length(want))) == tolower(want); next }
    on && /^"[^"]*"="/ {
      name = $0; sub(/^"/, "", name); sub(/"=.*/, "", name)
      value = $0; sub(/^"[^"]*"="/, "", value); sub(/"$/, "", value)
      gsub(/\\\\/, "\001", value); gsub(/\\"/, "\"", value); gsub(/\001/, "\\", value)
      print name "    REG_SZ    " value
    }' "$WINEPREFIX/system.reg"
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

# A processor without SSE2: refused with a non-zero exit, nothing touched.
mkdir -p "$system"
cp "$work/vendor.dll" "$library"
status=0; run "$refusing" /S /INDI '/D=C:\Plugins' || status=$?
[ "$status" -eq 3 ] || fail "the installer on a processor without SSE2 exited with $status, not 3"
absent "$drive/Plugins" "the refused installer made the plug-in folder"
[ -z "$(registry "$uninstall_key")" ] || fail "the refused installer wrote the registry"
same "$work/vendor.dll" "$library" "the refused installer touched the vendor library"

# Each case: a vendor library at the fixed path before (vendor; none: not
# even its folder), the installer's options, the plug-in folder, a session
# there (session/none).
cases=(
  'vendor|/INDI|C:\Sky Chart\Plug-ins|session'
  'none|/INDI|C:\Plugins|none'
  'vendor||C:\Plugins|none'
)
for row in "${cases[@]}"; do
  IFS='|' read -r before options folder session <<< "$row"
  case="[$row]"
  unix_folder="$drive/$(printf '%s' "${folder#C:\\}" | tr '\\' /)"
  rm -rf "$system"
  if [ "$before" = vendor ]; then mkdir -p "$system" && cp "$work/vendor.dll" "$library"; fi

  # /D= unquoted, its words as separate arguments: Wine joins them with
  # spaces and no quotes, as the installer wants its folder.
  # shellcheck disable=SC2086
  status=0; run "$setup" /S $options /D=$folder || status=$?
  [ "$status" -eq 0 ] || fail "$case install exited with $status"
  same "$plugin" "$unix_folder/telescope.plug" "$case telescope.plug not installed as built"
  [ -f "$unix_folder/uninstall-telescope.exe" ] || fail "$case no uninstaller"
  if [ -n "$options" ]; then
    same "$simulator" "$library" "$case control library not installed"
    if [ "$before" = vendor ]; then same "$work/vendor.dll" "$kept" "$case vendor library not kept aside"; fi
  elif [ "$before" = vendor ]; then
    same "$work/vendor.dll" "$library" "$case vendor library touched without the component"
  fi
  if [ "$before" != vendor ] && [ -z "$options" ]; then absent "$library" "$case a control library appeared"; fi
  got=$(win "$probe" "$folder\\telescope.plug" | tr -d '\r') || fail "$case version_probe failed"
  [ "$got" = "$expected_version" ] || fail "$case version resource reads:
$got"
  entry=$(registry "$uninstall_key")
  for value in "DisplayVersion    REG_SZ    $version" \
               "UninstallString    REG_SZ    \"$folder\\uninstall-telescope.exe\""; do
    grep -qF "$value" <<< "$entry" || fail "$case uninstall entry lacks '$value':
$entry"
  done
  grep -qF "PluginFolder    REG_SZ    $folder" <<< "$(registry "$state_key")" ||
    fail "$case the plug-in folder is not remembered"

  if [ "$session" = session ]; then
    # The installed plug-in against the installed control library; the
    # session leaves its telelog.txt in the plug-in folder.
    transcript=$(cd "$unix_folder" && DRAV_SIM_SCENARIO=align=celestial,rate=100 \
                 win "$plughost" "$folder\\telescope.plug" "$here/installed-session.txt" 2>&1) ||
      fail "$case session failed:
$transcript"
    grep -q "DRAV Version Vantorel Mount Simulator" "$unix_folder/telelog.txt" ||
      fail "$case the session did not use the installed control library:
$transcript"
    cp "$unix_folder/telelog.txt" "$work/telelog.txt"
  fi

  status=0; run "$unix_folder/uninstall-telescope.exe" /S || status=$?
  [ "$status" -eq 0 ] || fail "$case uninstall exited with $status"
  absent "$unix_folder/telescope.plug" "$case telescope.plug left behind"
  absent "$unix_folder/uninstall-telescope.exe" "$case uninstaller left behind"
  absent "$kept" "$case kept library left behind"
  if [ "$before" = vendor ]; then
    same "$work/vendor.dll" "$library" "$case vendor library not put back as it was"
  else
    absent "$system" "$case control library or the folder made for it left behind"
  fi
  if [ "$session" = session ]; then
    same "$work/telelog.txt" "$unix_folder/telelog.txt" "$case telelog.txt not left as it was"
  else
    absent "$unix_folder" "$case the plug-in folder the installer made is left behind"
  fi
  [ -z "$(registry "$uninstall_key")" ] || fail "$case uninstall entry left behind"
  [ -z "$(registry "$state_key")" ] || fail "$case installer state left behind"
done

# The control library the release ships carries the same version.
if [ -n "$shipped_library" ]; then
  got=$(win "$probe" "$(winepath -w "$shipped_library")" | tr -d '\r') || fail "version_probe failed on $shipped_library"
  for line in "ProductName=telescope.plug" "FileVersion=$version" "OriginalFilename=DRAV.dll"; do
    grep -qxF "$line" <<< "$got" || fail "the shipped control library's version resource lacks $line:
$got"
  done
fi

if [ "$failures" -ne 0 ]; then
  echo "installer: $failures failures (prefix kept in $WINEPREFIX)"
  exit 1
fi
timeout 30 wineserver -k 2>/dev/null || true
rm -rf "$work/prefix"
echo "installer: ${#cases[@]} cases passed"
