#!/usr/bin/env python3
"""Self-check of alpaca_simulator.py: what the ASCOM library's tests rely on.

  alpaca_selfcheck.py [--work DIR]

Starts the simulator in a few manners and a few of its misbehaving kinds on
ports chosen at run time, drives them with http.client and sockets, and
checks go-tos in real time, the abort, the refusals and their numbers,
interface 3 against 4, the management API, discovery and the connection
manners. Every wait has a bound, the whole run one of 20 s; every server is
stopped by its process id."""
import argparse, http.client, json, os, socket, subprocess, sys, tempfile, threading, time

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "alpaca_simulator.py")
RATE, SETTLE = 60.0, 0.2  # the main server's degrees a second and settle
failures, passed, servers = [], [0], []
ids = {"client": 100, "server": {}}


def check(ok, what, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok else f"  (got {detail})"))
    passed[0] += bool(ok)
    if not ok:
        failures.append(what)


def start(work, name, *args):
    """Starts the simulator with ARGS; its port, once it has written it (5 s at most)."""
    port_file = os.path.join(work, name + ".port")
    for stale in (port_file, os.path.join(work, name + ".discovery")):
        if os.path.exists(stale):
            os.remove(stale)  # left by an earlier run in the same folder
    servers.append(subprocess.Popen([sys.executable, SIM, "--port-file", port_file, *args]))
    return port_file


def port_of(port_file):
    deadline = time.monotonic() + 5
    while not os.path.exists(port_file) and time.monotonic() < deadline:
        time.sleep(0.02)
    return int(open(port_file).read())


def api(conn, method, member, expect_json=True, **params):
    """One request; (status, the reply's JSON or text, the response). Checks
    on every JSON reply that the transaction number came back and that the
    server's grew."""
    ids["client"] += 1
    params.setdefault("ClientID", "7")
    params.setdefault("ClientTransactionID", str(ids["client"]))
    conn.sent = getattr(conn, "sent", []) + [params["ClientTransactionID"]]
    form = "&".join(f"{k}={v}" for k, v in params.items())
    path = member if member.startswith("/") else f"/api/v1/telescope/0/{member}"
    if method == "GET":
        conn.request("GET", f"{path}?{form}")
    else:
        conn.request("PUT", path, form, {"Content-Type": "application/x-www-form-urlencoded"})
    r = conn.getresponse()
    body = r.read()
    if r.status != 200 or not expect_json:
        return r.status, body.decode("utf-8", "replace"), r
    got = json.loads(body)
    last = ids["server"].get(conn.port, 0)
    if got.get("ClientTransactionID") != int(params["ClientTransactionID"]) or got["ServerTransactionID"] <= last:
        check(False, f"{member}: transaction numbers echoed and increasing", got)
    ids["server"][conn.port] = got["ServerTransactionID"]
    return r.status, got, r


def error(conn, method, member, **params):
    status, got, _ = api(conn, method, member, **params)
    return got["ErrorNumber"] if status == 200 else status


def value(conn, member):
    return api(conn, "GET", member)[1]["Value"]


def wait_until(conn, member, want, seconds=5):
    """Polls MEMBER until it reads WANT; the seconds it took, or None."""
    begin = time.monotonic()
    while time.monotonic() - begin < seconds:
        if value(conn, member) == want:
            return time.monotonic() - begin
        time.sleep(0.02)
    return None


def travel(ra0, dec0, ra1, dec1):
    return max(abs((ra1 - ra0 + 12) % 24 - 12) * 15, abs(dec1 - dec0)) / RATE


def refusals(conn, rows, label):
    for method, member, params, want in rows:
        got = error(conn, method, member, **params)
        check(got == want, f"{label}: {method} {member} {params} answers {number(want)}", number(got))


def number(n):
    return f"HTTP {n}" if 0 < n < 0x400 else f"{n:#x}"


def main_server(port, log, discovery_port):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=3)
    to = {"RightAscension": "2", "Declination": "20"}
    refusals(c, [("PUT", "slewtocoordinatesasync", to, 0x407), ("GET", "rightascension", {}, 0x407),
                 ("GET", "name", {}, 0)], "not connected")
    api(c, "PUT", "connect")
    check(value(c, "connecting") is True, "Connect: Connecting true at first")
    took = wait_until(c, "connected", True)
    check(took is not None and took >= 0.25 and value(c, "connecting") is False,
          "Connect: connected after the connect delay, Connecting false then", took)
    refusals(c, [("PUT", "slewtocoordinatesasync", to, 0x40B), ("PUT", "synctocoordinates", to, 0x40B),
                 ("GET", "targetrightascension", {}, 0x402), ("PUT", "tracking", {"Tracking": "True"}, 0),
                 ("PUT", "slewtocoordinatesasync", {"RightAscension": "24", "Declination": "0"}, 0x401),
                 ("PUT", "slewtocoordinatesasync", {"RightAscension": "1", "Declination": "91"}, 0x401),
                 ("PUT", "trackingrate", {"TrackingRate": "9"}, 0x401),
                 ("PUT", "slewtocoordinatesasync", {"RightAscension": "5,5", "Declination": "0"}, 400),
                 ("PUT", "slewtocoordinatesasync", {"Declination": "0"}, 400),
                 ("GET", "/api/v1/telescope/5/slewing", {}, 400), ("GET", "nosuchmember", {}, 400)], "connected")

    # A go-to in real time: slewing until arrival and settle, then exactly there.
    begin = time.monotonic()
    api(c, "PUT", "slewtocoordinatesasync", **to)
    mid = value(c, "rightascension"), value(c, "slewing")
    took = wait_until(c, "slewing", False)
    want = travel(0, 0, 2, 20) + SETTLE
    check(took is not None and want - 0.05 <= time.monotonic() - begin <= want + 1.0,
          f"go-to: Slewing for its {want:.2f} s", took)
    check(mid[1] is True and 0 <= mid[0] < 2, "go-to: on its way just after the start", mid)
    check((value(c, "rightascension"), value(c, "declination"), value(c, "targetrightascension")) == (2, 20, 2),
          "go-to: ends exactly at its target")

    # Another client aborts half-way: the mount stops short and stays there.
    api(c, "PUT", "slewtocoordinatesasync", RightAscension="8", Declination="60")
    time.sleep(0.3)  # of its 1.5 s
    other = http.client.HTTPConnection("127.0.0.1", port, timeout=3)
    api(other, "PUT", "abortslew")
    stopped = value(c, "slewing"), value(c, "rightascension"), value(c, "declination")
    time.sleep(0.2)
    check(stopped[0] is False and 2 < stopped[1] < 8 and 20 < stopped[2] < 60
          and stopped[1:] == (value(c, "rightascension"), value(c, "declination")), "abort: stops short", stopped)

    # The blocking form answers after the arrival.
    begin = time.monotonic()
    api(c, "PUT", "slewtocoordinates", RightAscension="3", Declination="30")
    took = time.monotonic() - begin
    check(took >= travel(stopped[1], stopped[2], 3, 30) + SETTLE - 0.05 and value(c, "slewing") is False,
          "SlewToCoordinates answers once arrived", took)

    # Parked: moves there in real time, then refuses what moves.
    api(c, "PUT", "park")
    check(value(c, "atpark") is False and wait_until(c, "atpark", True) is not None, "park: AtPark after moving")
    refusals(c, [("PUT", "slewtocoordinatesasync", to, 0x408), ("PUT", "synctocoordinates", to, 0x408),
                 ("PUT", "tracking", {"Tracking": "True"}, 0x408), ("PUT", "unpark", {}, 0),
                 ("PUT", "tracking", {"Tracking": "True"}, 0), ("PUT", "synctocoordinates", to, 0)], "parked")
    state = {p["Name"]: p["Value"] for p in value(c, "devicestate")}
    check(set(state) == {"RightAscension", "Declination", "Slewing", "Tracking", "AtPark", "SideOfPier", "UTCDate",
                         "TimeStamp"} and (state["RightAscension"], state["Tracking"]) == (2, True),
          "interface 4: DeviceState", state)

    # The management API, and all of it on one kept-alive connection.
    check(value(c, "/management/apiversions") == [1], "management: apiversions")
    devices = value(c, "/management/v1/configureddevices")
    check([(d["DeviceType"], d["DeviceNumber"]) for d in devices] == [("Telescope", 0)], "management: devices", devices)
    check("ServerName" in value(c, "/management/v1/description"), "management: description")
    seen = [json.loads(line) for line in open(log)]
    used = [e["connection"] for e in seen if e["params"].get("ClientTransactionID") in c.sent]
    check(len(used) == len(c.sent) > 50 and len(set(used)) == 1, "keep-alive: one connection for many requests",
          f"{len(set(used))} connections")
    check(any(e["method"] == "PUT" and e["params"].get("Tracking") == "True" for e in seen),
          "request log: a PUT's form parameters")

    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(2)
    u.sendto(b"alpacadiscovery1", ("127.0.0.1", discovery_port))
    answer, source = u.recvfrom(256)
    check(json.loads(answer) == {"AlpacaPort": port} and source[0] == "127.0.0.1", "discovery: AlpacaPort", answer)


def closes_after_reply(port, request):
    """Whether the server closed the connection after its reply (2 s at most)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=2)
    s.sendall(request)
    data = b""
    try:
        while chunk := s.recv(4096):
            data += chunk
    except socket.timeout:
        return False, data
    return True, data


def interface3_server(port):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=3)
    refusals(c, [("GET", "devicestate", {}, 404), ("PUT", "connect", {}, 404),
                 ("PUT", "connected", {"connected": "True"}, 400), ("PUT", "connected", {"Connected": "True"}, 0),
                 ("PUT", "slewtocoordinatesasync", {"RightAscension": "1", "Declination": "2"}, 0x408),
                 ("GET", "/management/apiversions", {}, 404)], "interface 3, strict names, parked")
    check(value(c, "interfaceversion") == 3, "interface 3: InterfaceVersion")
    c.request("GET", "/api/v1/telescope/0/name?clienttransactionid=9")
    got = json.loads(c.getresponse().read())
    check(got["ClientTransactionID"] == 0, "strict names: a lower-cased ClientTransactionID not read", got)
    closed, data = closes_after_reply(port, b"GET /api/v1/telescope/0/name HTTP/1.1\r\nHost: x\r\n\r\n")
    check(closed and b"Connection: close" in data, "close after reply", data[:80])


def chunked_servers(plain, member_only):
    c = http.client.HTTPConnection("127.0.0.1", plain, timeout=3)
    status, got, r = api(c, "GET", "name")
    check(r.getheader("Transfer-Encoding") == "chunked" and got["Value"] == "Loopback Telescope",
          "--chunked: http.client reads the chunked reply", got)
    check(error(c, "PUT", "slewtocoordinatesasync", RightAscension="1", Declination="2") == 0,
          "--lenient: a go-to accepted while not connected nor tracking")
    m = http.client.HTTPConnection("127.0.0.1", member_only, timeout=3)
    rows = [(api(m, "GET", member), member) for member in ("rightascension", "connected")]
    check([(r.getheader("Transfer-Encoding"), got["ErrorNumber"]) for (_, got, r), _ in rows]
          == [("chunked", 0x407), (None, 0)], "misbehaving chunked, one member: extensions and trailers read")


def cut_and_discovery(cut_port, multi_port, multi_discovery):
    c = http.client.HTTPConnection("127.0.0.1", cut_port, timeout=3)
    try:
        api(c, "GET", "name")
        check(False, "close-mid: the reply is cut", "a whole reply")
    except http.client.IncompleteRead:
        check(True, "close-mid: the reply is cut")
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(0.3)
    u.sendto(b"alpacadiscovery1", ("127.0.0.1", multi_discovery))
    answers = []
    try:
        while True:
            answers.append(u.recvfrom(256))
    except socket.timeout:
        pass
    good = {source[0] for data, source in answers if data == json.dumps({"AlpacaPort": multi_port}).encode()}
    check(len(answers) > 3 and good == {"127.0.0.1", "127.0.0.2"} and any(d.endswith(b": ") for d, _ in answers),
          "disc-multi: good answers from two addresses and a bad one", answers)


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--work", default=None)
    work = a.parse_args().work or tempfile.mkdtemp(prefix="alpaca-selfcheck-")
    os.makedirs(work, exist_ok=True)
    log = os.path.join(work, "requests.log")
    if os.path.exists(log):
        os.remove(log)
    watchdog = threading.Timer(20, lambda: (print("FAIL  the self-check took over 20 s"), stop_all(), os._exit(1)))
    watchdog.start()
    try:
        files = [start(work, "main", "--slew-rate", str(RATE), "--settle", str(SETTLE), "--connect-delay", "0.3",
                       "--request-log", log, "--discovery-port", "0",
                       "--discovery-port-file", os.path.join(work, "main.discovery")),
                 start(work, "v3", "--interface", "3", "--strict-names", "--close-after-reply",
                       "--unknown-member", "404", "--no-management", "--start-parked", "--tracking"),
                 start(work, "chunked", "--chunked", "--lenient"),
                 start(work, "odd", "--misbehave", "chunked", "--member", "rightascension"),
                 start(work, "cut", "--misbehave", "close-mid"),
                 start(work, "multi", "--misbehave", "disc-multi", "--discovery-port", "0",
                       "--discovery-port-file", os.path.join(work, "multi.discovery"))]
        ports = [port_of(f) for f in files]
        main_server(ports[0], log, int(open(os.path.join(work, "main.discovery")).read()))
        interface3_server(ports[1])
        chunked_servers(ports[2], ports[3])
        cut_and_discovery(ports[4], ports[5], int(open(os.path.join(work, "multi.discovery")).read()))
    finally:
        stop_all()
        watchdog.cancel()
    print(f"alpaca_selfcheck: {passed[0]} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)


def stop_all():
    for p in servers:
        p.kill()
        p.wait(timeout=5)


main()
