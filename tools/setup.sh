#!/usr/bin/env bash
# Installs what the two builds and their tests need, quietly; does nothing when all is present.
set -eu
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
for p in cmake make g++ clang googletest libbenchmark-dev libclang-rt-14-dev \
         g++-mingw-w64-i686 wine wine32:i386 wine64 binutils-mingw-w64-i686 locales nsis zip \
         xvfb xdotool x11-apps imagemagick indi-bin liberfa-dev libexpat1-dev python3; do
  have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${need[@]}" | grep -q ':i386'; then
  dpkg --print-foreign-architectures | grep -q i386 || $sudo dpkg --add-architecture i386
fi
echo "setup: installing ${need[*]}"
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
