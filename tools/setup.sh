#!/usr/bin/env bash
# Installs what the two builds and their tests need, quietly; does nothing when all is present.
# TELESCOPE_I386=emulate runs 32-bit programs through the user-mode emulator
# even where the kernel runs them itself (see i386_programs below).
set -eu
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
for p in cmake make g++ clang googletest libbenchmark-dev libclang-rt-14-dev \
         g++-mingw-w64-i686 wine wine32:i386 wine64 binutils-mingw-w64-i686 locales nsis zip \
         xvfb xdotool x11-apps x11-utils imagemagick openbox indi-bin indi-eqmod liberfa-dev libexpat1-dev rapidjson-dev \
         python3; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -ne 0 ]; then
  if printf '%s\n' "${need[@]}" | grep -q ':i386'; then
    dpkg --print-foreign-architectures | grep -q i386 || $sudo dpkg --add-architecture i386
  fi
  echo "setup: installing ${need[*]}"
  $sudo apt-get update -qq >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Wine runs a 32-bit Windows program through its 32-bit Linux loader. Some
# kernels refuse every 32-bit Linux program (IA-32 emulation switched off);
# there the emulator qemu-i386 is registered for them with binfmt_misc, and
# Wine then works unchanged. Debian 12's QEMU 7.2 does not honour Wine's
# address-space reservations (MAP_FIXED_NOREPLACE): each Wine process makes
# about 65,000 failing ones, every one a page-by-page search inside the
# emulator, and takes about 55 s to start. QEMU 10.0, in Debian 12's
# backports and in Debian 13, starts one in about 1 s.
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/telescope-i386
runs_i386() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
reason=/run/telescope-i386  # why the entry was made; both go at the next boot
i386_programs() {
  local mode=${TELESCOPE_I386:-auto}
  if [ -e "$entry" ]; then
    # Ours, from an earlier run. Made because the kernel refuses them: needed
    # until the next boot. Made on request: kept on request, else removed
    # where the kernel runs them itself (switched off a moment to ask it).
    [ "$(cat "$reason" 2>/dev/null)" = emulate ] || return 0
    [ "$mode" = emulate ] && return 0
    echo 0 | $sudo tee "$entry" >/dev/null
    if runs_i386; then
      echo -1 | $sudo tee "$entry" >/dev/null
      $sudo rm -f "$reason"
      echo "setup: 32-bit programs run natively here; the emulator's registration is removed"
      return 0
    fi
    echo 1 | $sudo tee "$entry" >/dev/null
    echo needed | $sudo tee "$reason" >/dev/null
    return 0
  fi
  [ "$mode" != emulate ] && runs_i386 && return 0
  local qemu=/usr/bin/qemu-i386 why="this kernel does not run 32-bit programs" reasons=needed
  [ "$mode" = emulate ] && why="TELESCOPE_I386=emulate" reasons=emulate
  if ! "$qemu" --version 2>/dev/null | grep -qE 'version [1-9][0-9]\.'; then
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    local from=()
    if [ "$codename" = bookworm ]; then
      echo "deb http://deb.debian.org/debian bookworm-backports main" |
        $sudo tee /etc/apt/sources.list.d/telescope-backports.list >/dev/null
      from=(-t bookworm-backports)
    fi
    $sudo apt-get update -qq >/dev/null
    $sudo apt-get install -y -qq --no-install-recommends "${from[@]}" qemu-user >/dev/null
  fi
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
  # 32-bit little-endian x86 executables and shared objects; F: the
  # emulator is opened now, so it runs inside any mount namespace.
  printf '%s' ':telescope-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' |
    $sudo tee "$binfmt/register" >/dev/null
  echo "$reasons" | $sudo tee "$reason" >/dev/null
  runs_i386 || { echo "setup: 32-bit programs do not run, even through $qemu" >&2; exit 1; }
  echo "setup: $why: 32-bit programs (Wine's loader) now run through $($qemu --version | head -1)"
}
i386_programs
