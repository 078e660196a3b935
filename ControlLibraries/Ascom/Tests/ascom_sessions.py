#!/usr/bin/env python3
"""Whole plug-in sessions through plughost with the ASCOM DRAV.dll installed,
against our Alpaca simulator (alpaca_simulator.py), checked at the simulator:
its own view of the mount over HTTP, and its request log.

  ascom_sessions.py --host PLUGHOST --plugin PLUG --library DLL --drive-c DIR
                    --work DIR [--emulator WRAPPER]

Go-tos (each EquatorialSystem, interface 3 and 4), a sync, an abort from
another client, a parked mount (unpark=goto and never), discovery on
loopback (plain and disc-multi), alpaca= without a management API, and a
table of misbehaving servers: each must answer in its bound as the mapping
says. Every server is started on a port chosen at run time, on loopback, and
stopped by its process id; every wait has a bound."""
import argparse, ctypes, http.client, json, math, os, re, shutil, subprocess, sys, threading, time, urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "Common", "Tests"))
from plughost_sessions import Coords, Host, check, failures, longest_call, precessed, separation, this_year  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SIMULATOR = os.path.join(HERE, "alpaca_simulator.py")
SLEW_DEGREES = 0.002


class Simulator:
    """alpaca_simulator.py on loopback, a port of its own; stopped by its pid."""

    def __init__(self, work, name, *options, discovery=False):
        self.folder = os.path.join(work, name + "-sim")
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.log = os.path.join(self.folder, "requests.jsonl")
        port_file = os.path.join(self.folder, "port")
        command = [sys.executable, SIMULATOR, "--port", "0", "--port-file", port_file, "--request-log", self.log]
        if discovery:
            command += ["--discovery-port", "0", "--discovery-port-file", os.path.join(self.folder, "discovery")]
        self.process = subprocess.Popen(command + list(options))
        end = time.monotonic() + 15
        while not os.path.exists(port_file) and time.monotonic() < end and self.process.poll() is None:
            time.sleep(0.05)
        if not os.path.exists(port_file):
            self.stop()
            raise RuntimeError(f"the simulator did not start: {options}")
        self.port = int(open(port_file).read())
        self.discovery_port = int(open(os.path.join(self.folder, "discovery")).read()) if discovery else None
        self.transaction = 0

    def stop(self):
        self.process.kill()
        self.process.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def request(self, method, member, **params):
        self.transaction += 1
        params.update(ClientID=77, ClientTransactionID=self.transaction)
        query = urllib.parse.urlencode(params)
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            path = f"/api/v1/telescope/0/{member}"
            if method == "GET":
                c.request("GET", f"{path}?{query}")
            else:
                c.request("PUT", path, query, {"Content-Type": "application/x-www-form-urlencoded"})
            return json.loads(c.getresponse().read())
        finally:
            c.close()

    def get(self, member):
        return self.request("GET", member).get("Value")

    def position(self):
        """Where the mount points, degrees, in its own frame."""
        return self.get("rightascension") * 15, self.get("declination")

    def requests(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.strip()]

    def wait(self, member, value, seconds=15):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if self.get(member) == value:
                return True
            time.sleep(0.1)
        return False


SESSION = ["init", "open"]
ACTIVE = "Control->TCS Provider is active"


def slew(ra, dec):
    return f"slew {math.radians(ra)} {math.radians(dec)}"


def config(sim, *more, timeout=3000):
    return ",".join([f"alpaca=127.0.0.1:{sim.port}/0", f"timeout={timeout}"] + list(more))


def goto_rows(host):
    """A go-to under each EquatorialSystem (and interface 3 against 4): the
    target, given J2000 by the host, reaches the mount in the device's frame."""
    now = this_year()
    rows = [  # (name, simulator options, epoch, the frame the mount must get: a year, or None as given)
        ("goto-es0-j2000", ["--equatorial-system", "0"], "j2000", None),
        ("goto-es0-date", ["--equatorial-system", "0"], "date", None),
        ("goto-es1", ["--equatorial-system", "1"], "j2000", now),
        ("goto-es2", ["--equatorial-system", "2"], "j2000", None),
        ("goto-es3", ["--equatorial-system", "3"], "j2000", 2050.0),
        ("goto-es4", ["--equatorial-system", "4"], "j2000", 1949.99979),
        ("goto-interface3", ["--equatorial-system", "2", "--interface", "3"], "j2000", None),
    ]
    rows = [r for r in rows if host.args.only_row in r[0]]
    for name, options, epoch, year in rows:
        with Simulator(host.args.work, name, "--slew-rate", "30", "--tracking", *options) as sim:
            ra, dec = 80.0, 40.0
            out, _ = host.run(name, SESSION + [slew(ra, dec), "close", "terminate"], config(sim, f"epoch={epoch}"))
            want = precessed(ra, dec, year) if year else (ra, dec)
            got = sim.position()
            check("GoTo 100%" in out and separation(got, want) < SLEW_DEGREES,
                  f"{name}: the mount is at {got[0]:.4f} {got[1]:.4f}, want {want[0]:.4f} {want[1]:.4f}",
                  out[-2000:])
            log = [r for r in sim.requests() if r["params"].get("ClientID") != "77"]
            members = [r["path"].rsplit("/", 1)[1] for r in log]
            launch = members.index("slewtocoordinatesasync") if "slewtocoordinatesasync" in members else 0
            polled = set(members[launch + 1:])
            connections = {r["connection"] for r in log}
            four = "--interface" not in options
            gets = {"slewing", "rightascension", "declination", "tracking", "atpark", "sideofpier"}
            check(polled == ({"devicestate"} if four else gets) and len(connections) == 1,
                  f"{name}: polled with {'DeviceState' if four else 'GETs'} on one kept-alive connection "
                  f"({len(connections)} connections)", str(sorted(polled)))
            ids = [int(r["params"].get("ClientTransactionID", 0)) for r in log]
            check(ids == sorted(ids) and len(set(ids)) == len(ids) and len({r["params"].get("ClientID") for r in log}) == 1,
                  f"{name}: one ClientID, transaction numbers increasing")


def sync_abort_park(host):
    work = host.args.work
    with Simulator(work, "sync", "--tracking", "--equatorial-system", "2") as sim:
        out, _ = host.run("sync", SESSION + [f"sync {math.radians(45.0)} {math.radians(60.0)}", "close", "terminate"],
                       config(sim))
        got = sim.position()
        check(separation(got, (45.0, 60.0)) < SLEW_DEGREES and "Calibration sucessfull" in out,
              f"sync: the mount reads {got[0]:.4f} {got[1]:.4f}", out[-2000:])

    # Another client's abort during a long go-to: the wait ends, not as an arrival.
    with Simulator(work, "abort", "--tracking", "--slew-rate", "3", "--equatorial-system", "2") as sim:
        def abort():
            sim.wait("slewing", True, 20)
            time.sleep(1.0)
            sim.request("PUT", "abortslew")
        out, _ = host.run("abort", SESSION + [slew(170.0, -30.0), "close", "terminate"], config(sim), during=abort)
        check("GoTo 100%" not in out and "GoTo launched" in out and not sim.get("slewing")
              and separation(sim.position(), (170.0, -30.0)) > 1,
              "abort: the go-to stopped by another client is not reported as arrived", out[-2000:])

    # A parked mount: unparked first (unpark=goto), or the go-to refused.
    for unpark in ("never", "goto"):
        name = f"parked-{unpark}"
        with Simulator(work, name, "--start-parked", "--slew-rate", "30", "--equatorial-system", "2") as sim:
            out, _ = host.run(name, SESSION + [slew(30.0, 50.0), "close", "terminate"], config(sim, f"unpark={unpark}"))
            if unpark == "never":
                check("GoTo not launched" in out and sim.get("atpark") is True,
                      "parked, unpark=never: the go-to is refused, the mount stays parked", out[-2000:])
            else:
                check("GoTo 100%" in out and sim.get("atpark") is False
                      and separation(sim.position(), (30.0, 50.0)) < SLEW_DEGREES,
                      "parked, unpark=goto: unparked, then the go-to arrives", out[-2000:])


def direct_calls(host):
    """What the plug-in never calls, straight into the native library: park."""
    with Simulator(host.args.work, "direct", "--tracking", "--slew-rate", "30") as sim:
        os.environ["DRAV_ASCOM"] = config(sim)
        lib = ctypes.CDLL(host.args.library)
        for name in ("TCS_GetControlStatus", "TCS_GoToPark", "TCS_GoToCelestialCoords", "TCS_SetParkMark"):
            getattr(lib, name).restype = ctypes.c_ushort
        code = ctypes.c_ushort(0)
        check(lib.TCS_GetControlStatus(ctypes.byref(code)) == 1 and code.value == 200, "direct: open")
        check(lib.TCS_SetParkMark() == 1 and lib.TCS_GoToPark() == 1 and sim.wait("atpark", True, 20)
              and lib.TCS_GoToCelestialCoords(Coords(0.5, 0.5)) in (1, 2), "direct: park mark, park")


def discovery_rows(host):
    work = host.args.work
    # The responder on loopback; the probe goes there and nowhere else.
    rows = [("discovery", [], "", True), ("discovery-multi", ["--misbehave", "disc-multi"], "", True),
            ("discovery-device-named", [], "device=Loopback Telescope", True),
            ("discovery-no-such-device", [], "device=Nobody", False)]
    for name, options, more, found in rows:
        with Simulator(work, name, *options, discovery=True) as sim:
            trace = host.trace(name)
            settings = [f"discovery=127.0.0.1:{sim.discovery_port}", "timeout=3000", f"log={trace}"]
            out, _ = host.run(name, SESSION + ["close", "terminate"], ",".join(settings + ([more] if more else [])))
            said = open(trace, errors="replace").read() if os.path.exists(trace) else ""
            if found:
                check(ACTIVE in out and f"Alpaca server at 127.0.0.1:{sim.port} answered" in said
                      and f"on 127.0.0.1:{sim.port} taken" in said,
                      f"{name}: the server answered and its telescope was taken", out[-1500:] + said[-1500:])
            else:
                check(ACTIVE not in out and "has no telescope called \"Nobody\"" in said
                      and "no telescope on the servers that answered" in said,
                      f"{name}: nothing taken, and the trace says why", out[-1500:] + said[-1500:])
            if options:
                answered = re.findall(r"Alpaca server at (\S+) answered", said)
                check(sorted(answered) == sorted([f"127.0.0.1:{sim.port}", f"127.0.0.2:{sim.port}"]),
                      f"{name}: the two good answers kept, the bad ones dropped: {answered}")

    with Simulator(work, "no-management", "--no-management", "--tracking", "--equatorial-system", "2") as sim:
        out, _ = host.run("no-management", SESSION + [slew(20.0, 10.0), "close", "terminate"], config(sim))
        check(ACTIVE in out and "GoTo 100%" in out, "alpaca= on a server without a management API", out[-2000:])


def settings_rows(host):
    """A bad setting answers 3 and is named in the version text; an IPv6
    server in brackets; a server that closes after every reply."""
    for name, bad, key in (("bad-alpaca", "alpaca=127.0.0.1:99999/0", "alpaca"), ("bad-timeout", "timeout=9000", "timeout"),
                           ("bad-word", "unpark=always", "unpark"), ("bad-ipv6", "alpaca=::1:80/0", "alpaca")):
        out, _ = host.run(name, SESSION + ["close", "terminate"], bad)
        check(f'bad configuration at "{key}"' in out and ACTIVE not in out
              and "Control->TCS Provider is not registered" in out, f"{name}: answers 3, the version names {key}",
              out[-1500:])
    rows = (("ipv6", ["--ipv6"], "[::1]"), ("close-after-reply", ["--close-after-reply"], "127.0.0.1"),
            ("http10", ["--http10"], "127.0.0.1"))
    for name, options, address in rows:
        with Simulator(host.args.work, name, "--tracking", "--slew-rate", "30", "--equatorial-system", "2",
                       *options) as sim:
            out, _ = host.run(name, SESSION + [slew(60.0, 30.0), "close", "terminate"],
                           f"alpaca={address}:{sim.port}/0,timeout=3000")
            log = [r for r in sim.requests() if r["params"].get("ClientID") != "77"]
            connections = len({r["connection"] for r in log})
            kept = name == "ipv6"
            check(ACTIVE in out and "GoTo 100%" in out and (connections == 1) == kept,
                  f"{name}: the go-to arrives, over {connections} connection(s)", out[-2000:])


# The misbehaving servers: (kind, member or None for every request, what the
# session must show). A server that never answers, or too late, answers 3;
# one that answers something unreadable, or refuses, answers not carried out.
MISBEHAVING = [
    ("silent", None, "not registered"),
    ("slow-4000", None, "not registered"),
    ("close-mid", None, "inactive"),
    ("huge", None, "inactive"),
    ("bad-json", None, "inactive"),
    ("http-400", None, "inactive"),
    ("http-404", None, "inactive"),
    ("http-500", None, "inactive"),
    ("chunked", None, "arrived"),
    ("error-0x40B", "slewtocoordinatesasync", "refused"),
    ("http-500", "slewtocoordinatesasync", "refused"),
    ("huge", "slewtocoordinatesasync", "refused"),
    ("close-mid", "slewtocoordinatesasync", "refused"),
    ("silent", "slewtocoordinatesasync", "refused"),
    ("slow-4000", "slewtocoordinatesasync", "refused"),
]
SHOWS = {"not registered": r"Control->TCS Provider is not registered",
         "inactive": r"Control->TCS Provider is (registered but )?inactive",
         "arrived": r"GoTo 100%",
         "refused": r"GoTo not launched"}


def misbehaving_rows(host):
    for kind, member, shows in MISBEHAVING:
        name = f"bad-{kind}" + (f"-{member}" if member else "")
        options = ["--misbehave", kind] + (["--member", member] if member else [])
        with Simulator(host.args.work, name, "--tracking", "--slew-rate", "30", *options) as sim:
            out, _ = host.run(name, SESSION + [slew(15.0, 20.0), "close", "terminate"], config(sim, timeout=2000))
            took = longest_call(out)
            check(re.search(SHOWS[shows], out) is not None and took < 2.0 + 1.5 + host.start_cost,
                  f"{name}: {shows}, the longest call {took:.1f} s", out[-2500:])


def main():
    a = argparse.ArgumentParser()
    for option in ("--host", "--plugin", "--library", "--drive-c", "--work"):
        a.add_argument(option, required=True)
    a.add_argument("--emulator", default="")
    a.add_argument("--only", default="", help="run the groups whose names hold this text")
    a.add_argument("--only-row", default="", help="of the go-tos, the rows whose names hold this text")
    args = a.parse_args()
    os.makedirs(args.work, exist_ok=True)
    host = Host(args, "DRAV_ASCOM")
    groups = [goto_rows, sync_abort_park, discovery_rows, settings_rows, misbehaving_rows]
    if not args.emulator:
        groups.append(direct_calls)
    for group in groups:
        if args.only in group.__name__:
            group(host)
    print(f"{len(failures)} failed" if failures else "all passed")
    sys.exit(1 if failures else 0)


main()
