# Sourced by the demos that run under Wine: wine_session PREFIX WHAT DLL
# installs DLL as the control library at the fixed path in the Windows build
# tree's Wine prefix ($tree), then runs plughost.exe with the plug-in's
# session $demo/session.txt from $demo, and sets status to its exit status.
# PREFIX and WHAT name the demo and the library in the line it prints.
wine_session() {
  local host="$tree/Host/plughost.exe" drive="$tree/wineprefix/drive_c"
  local system_dir="Program Files/Common Files/System"
  "$root/tools/wine-run.sh" --prepare "$host"
  [ -d "$drive" ] || { echo "$1: no Wine prefix at $tree/wineprefix" >&2; exit 1; }
  mkdir -p "$drive/$system_dir"
  cp "$3" "$drive/$system_dir/DRAV.dll"
  echo "$1: $2 installed at c:\\Program Files\\Common Files\\System\\DRAV.dll ($drive/$system_dir)"
  cd "$demo"
  set +e
  "$root/tools/wine-run.sh" "$host" ../telescope.plug session.txt
  status=$?
  set -e
}
