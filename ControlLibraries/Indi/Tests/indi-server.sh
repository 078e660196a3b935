#!/usr/bin/env bash
# Starts or stops an indiserver with a mount driver for the tests.
#   indi-server.sh start DIR [PORT [DRIVER]]  DRIVER (the telescope simulator
#                              by default) on a free loopback port (PORT
#                              empty or 0) or PORT, a fresh HOME in DIR, its
#                              own process group; DIR/port and DIR/pid written
#   indi-server.sh start-empty DIR  the same with no driver, and a FIFO
#                              DIR/fifo that takes "start DRIVER" lines later
#   indi-server.sh stop DIR    stops that process group by its id
#   indi-server.sh kill DIR    the same at once, with SIGKILL
set -u
action=$1 dir=$2
case "$action" in
start|start-empty)
  [ -f "$dir/pid" ] && "$0" stop "$dir"
  rm -rf "$dir"; mkdir -p "$dir/home"
  port=${3:-0}
  [ "$port" != 0 ] || port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  drivers=("${4:-indi_simulator_telescope}")
  if [ "$action" = start-empty ]; then mkfifo "$dir/fifo"; drivers=(-f "$dir/fifo"); fi
  # indiserver listens on every address and cannot be told otherwise: a
  # preloaded bind keeps it on loopback (built here once per change).
  here=$(cd "$(dirname "$0")" && pwd)
  shim="${TMPDIR:-/tmp}/indi-loopback-only-$(cksum < "$here/loopback_only.c" | cut -d' ' -f1).so"
  if [ ! -f "$shim" ]; then
    cc -shared -fPIC -O2 -o "$shim.$$" "$here/loopback_only.c" -ldl && mv -f "$shim.$$" "$shim" ||
      { echo "indi-server: cannot build $here/loopback_only.c" >&2; exit 1; }
  fi
  # setsid: a process group of its own, stopped as one.
  # -u: a local socket of its own (the default /tmp/indiserver is one per machine).
  LD_PRELOAD=$shim HOME="$dir/home" setsid indiserver -v -p "$port" -u "$dir/local.sock" "${drivers[@]}" >"$dir/server.log" 2>&1 </dev/null &
  echo $! >"$dir/pid"
  echo "$port" >"$dir/port"
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then exit 0; fi
    sleep 0.1
  done
  echo "indi-server: no server on port $port after 10 s" >&2
  "$0" stop "$dir"; exit 1 ;;
stop|kill)
  [ -f "$dir/pid" ] || exit 0
  pid=$(cat "$dir/pid")
  if [ "$action" = kill ]; then kill -KILL -- "-$pid" 2>/dev/null; else kill -TERM -- "-$pid" 2>/dev/null; fi
  for _ in $(seq 50); do kill -0 -- "-$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL -- "-$pid" 2>/dev/null
  rm -f "$dir/pid"; exit 0 ;;
*)
  echo "usage: indi-server.sh start|start-empty|stop|kill DIR" >&2; exit 2 ;;
esac
