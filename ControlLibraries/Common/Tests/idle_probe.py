#!/usr/bin/env python3
"""What the host's idle path costs while a control library's server cannot be
reached.

  idle_probe.py --library DLL --variable NAME --settings TEMPLATE
                [--server SCRIPT --lost-says TEXT --looked-up-says TEXT]
                [--seconds S] [--pace P] [--timeout MS] [--check]
                [--tool IDLE_PROBE --emulator WRAPPER] [KIND...]

For each KIND (default all; dead and lookup need the library's misbehaving
server SCRIPT) a fresh process loads DRAV.dll, its settings in the variable
NAME from TEMPLATE ({host}, {port}, {timeout} and {trace} filled in),
pointed at a loopback port that does not serve, or not for long:
  full    a listener with listen(1) that never accepts, its queue filled, so a
          connect hangs as it does to a computer that is switched off
  closed  a port with nothing listening
  silent  a server that accepts and never says a word
  dead    SCRIPT's "dead": a mount that sends its place every
          0.5 s, falls silent 2 s after the connection without closing it (a
          computer that lost its power) and is back 11 s later
  lookup  a server whose name (slow.test) takes the resolver 10 s to look up
          (slow_resolver.c preloaded, into Wine too)
It makes the initialisation's version call and the open's control status
call (which may wait, at most the timeout), then for S seconds (default 60;
dead at least 16, lookup 12) the calls the plug-in makes on the host's idle
and drawing path, coordinates and go-to progress, every P seconds (default
0.1: an indicator drawn at each tick of a 100 ms timer, ten times the
tracking pace). It prints the longest idle call, the share of the time spent
inside the library and, where the mount answered, how long after the last new
place the first refusal (3) came and whether it answered again later. The
native library is loaded into python (ctypes); a Windows one by IDLE_PROBE
(IdleProbe.cpp) under WRAPPER. --check fails (exit status 1) when the
longest idle call reaches 0.1 s, the share 2 %, the version call the timeout
by 0.5 s (lookup: by 0.2 s, and the open's call too), when a dead mount is
not refused within 10 s of its last place or does not answer again once
back, or the trace does not say why (LOST, and LOOKED_UP for the lookup).
Under Wine IDLE_PROBE also runs a 10 ms timer of the thread through the
version and open calls, whose ticks call the coordinates again: --check
fails too when the open's wait of more than 0.2 s leaves a tick waiting
50 ms (in two runs of the kind, one after the other), a nested call takes
10 ms, or the library does not take the dispatch hooks and run the ticks in
the host's floating-point state through them. Everything listens on
loopback only and is closed when the probe ends."""
import argparse, ctypes, json, os, socket, subprocess, sys, tempfile, threading, time

HERE = os.path.dirname(os.path.abspath(__file__))


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


SERVER = []


def misbehaving(mode):
    """The library's misbehaving server in MODE, in a process of its own
    (killed with the listeners' sockets: held[0])."""
    port_file = tempfile.mktemp(prefix="idle-probe-port-")
    server = subprocess.Popen([sys.executable, SERVER[0], mode, port_file])
    for _ in range(200):
        if os.path.exists(port_file) and open(port_file).read():
            break
        time.sleep(0.05)
    port = int(open(port_file).read())
    os.remove(port_file)

    class Stopper:
        def close(self):
            server.kill()
            server.wait(timeout=10)
    return None, port, [Stopper()]


def slow_resolver():
    """The preload, built once per change of its source as indi-server.sh
    does, for this system's programs and (where the i386 C library is, as
    Wine's needs it) for i386 ones: LD_PRELOAD's $LIB picks each process's."""
    source = os.path.join(HERE, "slow_resolver.c")
    digest = subprocess.run(["cksum", source], capture_output=True, text=True, check=True).stdout.split()[0]
    root = os.path.join(tempfile.gettempdir(), f"indi-slow-resolver-{digest}")
    builds = {"x86_64-linux-gnu": ["cc", "-ldl"]}
    i386 = "/usr/lib/i386-linux-gnu/libc.so.6"
    if os.path.exists(i386):
        # No i386 headers of its own here: the multiarch ones serve both.
        stubs = os.path.join(root, "include", "gnu")
        os.makedirs(stubs, exist_ok=True)
        open(os.path.join(stubs, "stubs-32.h"), "a").close()
        builds["i386-linux-gnu"] = ["cc", "-m32", "-nostdlib", "-idirafter", "/usr/include/x86_64-linux-gnu",
                                    "-idirafter", os.path.dirname(stubs), i386]
    for arch, (compiler, *flags) in builds.items():
        shim = os.path.join(root, "lib", arch, "slow_resolver.so")
        if not os.path.exists(shim):
            os.makedirs(os.path.dirname(shim), exist_ok=True)
            subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", shim + ".part", source] + flags, check=True)
            os.replace(shim + ".part", shim)
    return os.path.join(root, "$LIB", "slow_resolver.so")


# The longest a message may wait while the library waits, on Windows: a
# window unanswered for longer is seen to stall.
GAP_LIMIT_S = 0.05

KINDS = {"full": full_listener, "closed": closed_port, "silent": silent_listener,
         "dead": lambda: misbehaving("dead"), "lookup": lambda: misbehaving("mute")}


class Coords(ctypes.Structure):
    _fields_ = [("X", ctypes.c_double), ("Y", ctypes.c_double)]


def child(library, seconds, pace):
    """The calls, in a process of their own: the library's state starts fresh."""
    lib = ctypes.CDLL(library)
    for name in ("TCS_GetVersion", "TCS_GetControlStatus", "TCS_GetCelestialCoords", "TCS_GetGoToProgress"):
        getattr(lib, name).restype = ctypes.c_ushort
    text = ctypes.create_string_buffer(80)
    started = time.perf_counter()
    lib.TCS_GetVersion(text, 80)
    version_s = time.perf_counter() - started
    status = ctypes.c_ushort(0)
    started = time.perf_counter()
    lib.TCS_GetControlStatus(ctypes.byref(status))
    open_s = time.perf_counter() - started
    coords, percent = Coords(), ctypes.c_ushort(0)
    longest = inside = 0.0
    count = 0
    last_place, last_new, refused_after, recovered = None, None, None, False
    begin = time.perf_counter()
    tick = begin
    while time.perf_counter() - begin < seconds:
        t = time.perf_counter()
        code = lib.TCS_GetCelestialCoords(ctypes.byref(coords))
        took = time.perf_counter() - t
        if code == 1 and (coords.X, coords.Y) != last_place:
            last_place, last_new = (coords.X, coords.Y), t
            recovered = refused_after is not None
        elif code == 3 and last_new is not None and refused_after is None:
            refused_after = t - last_new
        t = time.perf_counter()
        lib.TCS_GetGoToProgress(ctypes.byref(percent))
        for took in (took, time.perf_counter() - t):
            longest = max(longest, took)
            inside += took
            count += 1
        tick = max(tick + pace, time.perf_counter())
        time.sleep(max(0.0, min(tick, begin + seconds) - time.perf_counter()))
    print(json.dumps({"version_s": version_s, "open_s": open_s, "longest_s": longest,
                      "share": inside / (time.perf_counter() - begin), "calls": count,
                      "refused_after_s": refused_after, "recovered": recovered,
                      "answered": last_new is not None}))


def main():
    a = argparse.ArgumentParser()
    a.add_argument("kinds", nargs="*", default=list(KINDS))
    a.add_argument("--library", required=True)
    a.add_argument("--variable", default="")
    a.add_argument("--settings", default="")
    a.add_argument("--server", default="")
    a.add_argument("--lost-says", default="")
    a.add_argument("--looked-up-says", default="")
    a.add_argument("--seconds", type=float, default=60)
    a.add_argument("--pace", type=float, default=0.1)
    a.add_argument("--timeout", type=int, default=1000)
    a.add_argument("--check", action="store_true")
    a.add_argument("--child", action="store_true")
    a.add_argument("--tool", default="")
    a.add_argument("--emulator", default="")
    args = a.parse_args()
    if args.child:
        child(args.library, args.seconds, args.pace)
        return
    failed = False
    SERVER.append(args.server)
    kinds = [k for k in args.kinds if args.server or k not in ("dead", "lookup")]
    # A kind whose one fault is the host's timer waiting too long is run
    # once more: the emulator's scheduling can hold the whole process for a
    # moment, while a wait of the library's that does not dispatch holds it
    # at every run.
    runs = [(kind, 1) for kind in kinds]
    while runs:
        kind, attempt = runs.pop(0)
        seconds = max(args.seconds, {"dead": 16, "lookup": 12}.get(kind, 0))
        if args.tool:
            command = ([args.emulator] if args.emulator else []) + [args.tool, args.library, str(seconds), str(args.pace)]
        else:
            command = [sys.executable, __file__, "--child", "--library", args.library, "--seconds", str(seconds),
                       "--pace", str(args.pace)]
        listener, port, held = KINDS[kind]()
        trace = tempfile.mktemp(prefix="idle-probe-trace-")
        host = "127.0.0.1"
        env = dict(os.environ)
        if kind == "lookup":
            host = "slow.test"
            env["LD_PRELOAD"] = slow_resolver()
        try:
            env[args.variable] = args.settings.format(host=host, port=port, timeout=args.timeout, trace=trace)
            # Its errors go to a file: under Wine the desktop's process, when
            # the probe starts it, inherits the probe's standard error and
            # keeps it open until the last window of the prefix has gone.
            with tempfile.TemporaryFile() as errors:
                run = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=errors, text=True,
                                     timeout=seconds + 60)
                errors.seek(0)
                run.stderr = errors.read().decode(errors="replace")
        finally:
            for s in held + ([listener] if listener else []):
                s.close()
        said = open(trace, errors="replace").read() if os.path.exists(trace) else ""
        if os.path.exists(trace):
            os.remove(trace)
        if run.returncode != 0:
            print(f"{kind}: the probe failed\n{run.stdout}{run.stderr}")
            failed = True
            continue
        r = json.loads(run.stdout.strip().splitlines()[-1])
        bound = args.timeout / 1000 + (0.2 if kind == "lookup" else 0.5)
        good = r["longest_s"] < 0.1 and r["share"] < 0.02 and r["version_s"] < bound
        if kind == "lookup":
            good = good and r["open_s"] < bound and r["answered"] and args.looked_up_says in said
        refusal = ""
        if "open_gap_s" in r:
            # The host's timer, under the open's waits: each wait that lasts
            # dispatches it, and its nested calls do not wait. The version
            # call waits for nothing (its time has its own bound above):
            # what it takes is the lookup's start, which under Wine on an
            # emulator includes the process's first window, up to a quarter
            # of a second.
            waits = [c for c in ("open",) if r[f"{c}_s"] > 0.2]
            gap = max([r[f"{c}_gap_s"] for c in waits] or [0])
            nested = max(r["version_nested_s"], r["open_nested_s"])
            # Its code runs in its own floating-point state, the library's
            # in the plug-in's (the dispatch hooks).
            foreign = r["version_foreign_ticks"] + r["open_foreign_ticks"]
            floats = foreign == 0 and not r["left_in_host_state"]
            gap_alone = good and nested < 0.01 and floats and gap >= GAP_LIMIT_S
            good = good and gap < GAP_LIMIT_S and nested < 0.01 and floats
            if gap_alone and attempt == 1 and args.check:
                print(f"again {kind:6}: the host's timer waited {gap * 1000:.1f} ms during the open's wait, "
                      f"all else as it should be; run once more")
                runs.insert(0, (kind, 2))
                continue
            refusal += (f"; the host's timer waited at most {gap * 1000:.1f} ms during the waits "
                        f"({', '.join(c + ' ' + str(r[c + '_ticks']) + ' ticks' for c in waits) or 'none'}), "
                        f"its nested calls {nested * 1000:.2f} ms at most; "
                        + ("the floating-point states kept" if floats else
                           f"the floating-point states not kept ({foreign} ticks outside the host's state, "
                           f"the library's code "
                           f"{'left' if r['left_in_host_state'] else 'not left'} in it)"))
        if kind == "dead":
            after = r["refused_after_s"]
            good = good and after is not None and after < 10 and r["recovered"] and args.lost_says in said
            refusal += (f"; the first 3 came {after:.2f} s after the last new place" if after is not None
                       else "; never refused") + (", and it answered again once back" if r["recovered"] else
                                                  ", and it never answered again")
        print(f"{'ok    ' if good or not args.check else 'FAIL  '}{kind:6}: {r['calls']} idle calls in "
              f"{seconds:g} s, longest {r['longest_s'] * 1000:.3f} ms, {r['share'] * 100:.3f} % of the time "
              f"inside the library; the version call took {r['version_s']:.3f} s, the open's "
              f"{r['open_s']:.3f} s (timeout {args.timeout} ms){refusal}"
              + (f"; the mount {'answered' if r['answered'] else 'never answered'} once looked up"
                 if kind == "lookup" else ""))
        if not good and args.check:
            print("  the library's trace:\n" + said[-3000:])
        failed |= not good
    sys.exit(1 if failed and args.check else 0)


main()
