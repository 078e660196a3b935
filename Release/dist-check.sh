#!/usr/bin/env bash
# Builds the release twice from the same sources, in two folders of different
# names and depths under BUILD/dist-check, and fails unless the shipped
# libraries, the packed files and dist/ are byte for byte the same.
#   dist-check.sh BUILD
# The sources are the checkout's files as they are now (tracked and new ones).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
base=$(cd "$1" && pwd)/dist-check
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
jobs=$(nproc)

rm -rf "$base"
trees=("$base/one" "$base/second/build-of-the-same-sources")
for tree in "${trees[@]}"; do
  mkdir -p "$tree/src"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
     tar --null --ignore-failed-read -T - -cf -) 2>/dev/null | tar -xf - -C "$tree/src"
  cmake -S "$tree/src" -B "$tree/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$tree/src/cmake/mingw-i686.cmake" -DDIST_DIR="$tree/dist" >/dev/null
  cmake --build "$tree/build" --target dist drav_simulator -j "$jobs" >/dev/null
done

one=${trees[0]} two=${trees[1]}
failures=0 compared=0
while IFS= read -r file; do
  compared=$((compared + 1))
  if ! cmp -s "$one/$file" "$two/$file"; then
    echo "dist-check: $file differs between the two builds"
    failures=$((failures + 1))
  fi
done < <(cd "$one" && { find dist build/Release/stage -type f; echo build/Simulator/DRAV.dll; } | LC_ALL=C sort)
[ "$compared" -ge 6 ] || { echo "dist-check: only $compared files built"; exit 1; }
if [ "$failures" -ne 0 ]; then
  echo "dist-check: $failures of $compared files differ (builds kept in $base)"
  exit 1
fi
echo "dist-check: $compared files identical in both builds:"
(cd "$one" && sha256sum dist/* build/Simulator/DRAV.dll | sed 's/^/  /')
rm -rf "$base"
