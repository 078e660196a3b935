#!/usr/bin/env bash
# Writes the release of the Windows build into OUT:
#   telescope-plug-VERSION.zip        telescope.plug, the INDI control library
#                                     as DRAV.dll and the ASCOM one as
#                                     ASCOM/DRAV.dll if any, README.txt and
#                                     LICENSE.txt (CR LF)
#   telescope-plug-VERSION-setup.exe  the installer
#   SHA256SUMS
#
#   make-dist.sh VERSION COPYRIGHT OUT STAGE PLUGIN README LICENSE [INDI_LIBRARY [ASCOM_LIBRARY]]
#
# INDI_LIBRARY may be "" when only the ASCOM library is shipped.
# STAGE is a scratch folder. Every file packed is dated SOURCE_DATE_EPOCH
# (default: the date of the last commit of the sources, or 2026-01-01 outside
# a git checkout), so two builds of the same sources give the same bytes.
# MAKENSIS_FLAGS adds defines to the installer's build (tests only).
set -eu
[ $# -ge 7 ] || { echo "usage: $0 VERSION COPYRIGHT OUT STAGE PLUGIN README LICENSE [INDI_LIBRARY [ASCOM_LIBRARY]]" >&2; exit 2; }
version=$1 copyright=$2 out=$3 stage=$4 plugin=$5 readme=$6 license=$7 library=${8:-} ascom=${9:-}
here=$(cd "$(dirname "$0")" && pwd)
name=telescope-plug-$version

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || true)}
epoch=${epoch:-1767225600}

# The files as they are packed: Windows line ends, fixed modes and dates.
rm -rf "$stage"
mkdir -p "$stage/$name" "$out"
cp "$plugin" "$stage/$name/telescope.plug"
[ -z "$library" ] || cp "$library" "$stage/$name/DRAV.dll"
if [ -n "$ascom" ]; then
  mkdir -p "$stage/$name/ASCOM"
  cp "$ascom" "$stage/$name/ASCOM/DRAV.dll"
fi
sed 's/\r$//; s/$/\r/' "$readme" > "$stage/$name/README.txt"
sed 's/\r$//; s/$/\r/' "$license" > "$stage/$name/LICENSE.txt"
find "$stage/$name" -type f -exec chmod 644 {} +
find "$stage/$name" -exec touch -d "@$epoch" {} +

out=$(cd "$out" && pwd)
rm -f "$out/$name.zip" "$out/$name-setup.exe" "$out/SHA256SUMS"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort |
   TZ=UTC zip -q -X -D -9 "$out/$name.zip" -@)

defines=(-DVERSION="$version" -DCOPYRIGHT="$copyright" -DSTAGE="$stage/$name"
         -DOUTFILE="$out/$name-setup.exe")
[ -z "$library" ] || defines+=(-DINDI_LIBRARY="$stage/$name/DRAV.dll")
[ -z "$ascom" ] || defines+=(-DASCOM_LIBRARY="$stage/$name/ASCOM/DRAV.dll")
# shellcheck disable=SC2086
makensis -V2 -NOCD "${defines[@]}" ${MAKENSIS_FLAGS:-} "$here/installer.nsi"

(cd "$out" && sha256sum "$name.zip" "$name-setup.exe" > SHA256SUMS)
echo "dist: $out/$name.zip, $name-setup.exe, SHA256SUMS"
