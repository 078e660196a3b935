#!/usr/bin/env python3
"""What the host's idle path costs while the INDI server cannot be reached.

  idle_probe.py --library DLL [--seconds S] [--pace P] [--timeout MS] [--check] [KIND...]

For each KIND (default all three) a fresh process loads the native DRAV.dll
pointed at a loopback port that does not serve:
  full    a listener with listen(1) that never accepts, its queue filled, so a
          connect hangs as it does to a computer that is switched off
  closed  a port with nothing listening
  silent  a server that accepts and never says a word
It makes the initialisation's version call (which may wait, at most the
timeout), then for S seconds (default 60) the calls the plug-in makes on the
host's idle and drawing path, coordinates and go-to progress, every P seconds
(default 0.1: an indicator drawn at each tick of a 100 ms timer, ten times the
tracking pace). It prints the longest idle call and the share of the time
spent inside the library. --check fails (exit status 1) when the longest idle
call reaches 0.1 s, the share 2 %, or the version call the timeout by 0.5 s.
Everything listens on loopback only and is closed when the probe ends."""
import argparse, ctypes, json, os, socket, subprocess, sys, threading, time


def full_listener():
    """A loopback listener whose queue is full: further connects hang."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    held = []
    for _ in range(64):
        client = socket.socket()
        client.setblocking(False)
        client.connect_ex(("127.0.0.1", port))
        held.append(client)
        # A connect the queue takes completes at once; the first that does
        # not within 0.2 s shows the queue full.
        import select
        if not select.select([], [client], [], 0.2)[1]:
            return listener, port, held
    raise SystemExit("idle_probe: the listen queue never filled")


def silent_listener():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    held = []

    def accept():
        while True:
            try:
                held.append(listener.accept()[0])
            except OSError:
                return
    threading.Thread(target=accept, daemon=True).start()
    return listener, listener.getsockname()[1], held


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return None, port, []


KINDS = {"full": full_listener, "closed": closed_port, "silent": silent_listener}


class Coords(ctypes.Structure):
    _fields_ = [("X", ctypes.c_double), ("Y", ctypes.c_double)]


def child(library, seconds, pace):
    """The calls, in a process of their own: the library's state starts fresh."""
    lib = ctypes.CDLL(library)
    for name in ("TCS_GetVersion", "TCS_GetCelestialCoords", "TCS_GetGoToProgress"):
        getattr(lib, name).restype = ctypes.c_ushort
    text = ctypes.create_string_buffer(80)
    started = time.perf_counter()
    lib.TCS_GetVersion(text, 80)
    version_s = time.perf_counter() - started
    coords, percent = Coords(), ctypes.c_ushort(0)
    calls = [lambda: lib.TCS_GetCelestialCoords(ctypes.byref(coords)),
             lambda: lib.TCS_GetGoToProgress(ctypes.byref(percent))]
    longest = inside = 0.0
    count = 0
    begin = time.perf_counter()
    tick = begin
    while time.perf_counter() - begin < seconds:
        for call in calls:
            t = time.perf_counter()
            call()
            took = time.perf_counter() - t
            longest = max(longest, took)
            inside += took
            count += 1
        tick = max(tick + pace, time.perf_counter())
        time.sleep(max(0.0, min(tick, begin + seconds) - time.perf_counter()))
    print(json.dumps({"version_s": version_s, "longest_s": longest, "share": inside / (time.perf_counter() - begin),
                      "calls": count}))


def main():
    a = argparse.ArgumentParser()
    a.add_argument("kinds", nargs="*", default=list(KINDS))
    a.add_argument("--library", required=True)
    a.add_argument("--seconds", type=float, default=60)
    a.add_argument("--pace", type=float, default=0.1)
    a.add_argument("--timeout", type=int, default=1000)
    a.add_argument("--check", action="store_true")
    a.add_argument("--child", action="store_true")
    args = a.parse_args()
    if args.child:
        child(args.library, args.seconds, args.pace)
        return
    failed = False
    for kind in args.kinds:
        listener, port, held = KINDS[kind]()
        try:
            env = dict(os.environ, DRAV_INDI=f"host=127.0.0.1,port={port},timeout={args.timeout}")
            run = subprocess.run([sys.executable, __file__, "--child", "--library", args.library, "--seconds",
                                  str(args.seconds), "--pace", str(args.pace)], env=env, capture_output=True,
                                 text=True, timeout=args.seconds + 60)
        finally:
            for s in held + ([listener] if listener else []):
                s.close()
        if run.returncode != 0:
            print(f"{kind}: the probe failed\n{run.stdout}{run.stderr}")
            failed = True
            continue
        r = json.loads(run.stdout.strip().splitlines()[-1])
        good = r["longest_s"] < 0.1 and r["share"] < 0.02 and r["version_s"] < args.timeout / 1000 + 0.5
        print(f"{'ok    ' if good or not args.check else 'FAIL  '}{kind:6}: {r['calls']} idle calls in "
              f"{args.seconds:g} s, longest {r['longest_s'] * 1000:.3f} ms, {r['share'] * 100:.3f} % of the time "
              f"inside the library; the version call took {r['version_s']:.3f} s (timeout {args.timeout} ms)")
        failed |= not good
    sys.exit(1 if failed and args.check else 0)


main()
