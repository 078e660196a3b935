#!/bin/sh
# Runs a test program with TELESCOPE_READONLY_DIR naming an empty directory
# that the program cannot write to. Run as root, the program is started
# without the capabilities that let root write anywhere, so the directory's
# mode holds for it too.
set -eu
dir=$(mktemp -d "${TMPDIR:-/tmp}/telescope-readonly-XXXXXX")
chmod 555 "$dir"
trap 'chmod 755 "$dir"; rm -rf "$dir"' EXIT
export TELESCOPE_READONLY_DIR="$dir"
if [ "$(id -u)" = 0 ]; then
  setpriv --inh-caps=-dac_override,-dac_read_search \
          --bounding-set=-dac_override,-dac_read_search -- "$@"
else
  "$@"
fi
