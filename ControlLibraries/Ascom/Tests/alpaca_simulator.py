#!/usr/bin/env python3
"""An Alpaca telescope of our own on loopback, for the ASCOM library's tests.

  alpaca_simulator.py [--port 0] [--port-file FILE] [--ipv6] [--interface 3|4]
                      [--misbehave KIND [--member NAME]] ... (--help lists all)

Serves one Telescope (device 0 unless told otherwise) over HTTP/1.1 with
keep-alive, written from the published Alpaca API: GET for properties with
ClientID and ClientTransactionID in the query, PUT with form bodies, replies
as JSON objects with Value, ErrorNumber, ErrorMessage, the client's
transaction number echoed and the server's own increasing. Go-tos and parks
move in real time at --slew-rate degrees a second; the mount refuses what the
definitions say a mount refuses (not connected, parked, not tracking) with
their numbers. The management API and a UDP discovery responder answer
beside it. --misbehave KIND turns the server into one of the misbehaving
servers of the table MISBEHAVIOURS (all members, or --member NAME alone).
Writes its port to --port-file (written, then renamed) once it answers, and
serves until killed. SIMULATOR.md says more."""
import argparse, datetime, json, os, re, select, socket, socketserver, sys, threading, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Error numbers of the Alpaca API.
NOT_IMPLEMENTED, INVALID_VALUE, VALUE_NOT_SET = 0x400, 0x401, 0x402
NOT_CONNECTED, PARKED, SLAVED, INVALID_OPERATION, ACTION_NOT_IMPLEMENTED = 0x407, 0x408, 0x409, 0x40B, 0x40C
KNOWN_ERRORS = (NOT_IMPLEMENTED, INVALID_VALUE, VALUE_NOT_SET, NOT_CONNECTED, PARKED, SLAVED,
                INVALID_OPERATION, ACTION_NOT_IMPLEMENTED)

lock = threading.Lock()          # guards every record below
opts = None                      # the parsed options
devices = {}                     # device number -> the mount's record
counters = {"transaction": 0, "connection": 0, "request": 0}
request_log = None


class BadRequest(Exception):
    """The request itself is bad: HTTP 400 with this text."""


# ---------------------------------------------------------------- the mount

def sidereal_hours(unix_time, longitude):
    """Local mean sidereal time in hours at a Unix time and east longitude."""
    days = unix_time / 86400.0 - 10957.5  # since 2000-01-01 12:00 UT
    return (18.697374558 + 24.06570982441908 * days + longitude / 15.0) % 24


def new_device(number):
    park = (0.0, 90.0 if opts.latitude >= 0 else -90.0)  # hour angle, declination: the pole
    ra, dec = opts.start
    if opts.start_parked:
        ra, dec = (sidereal_hours(time.time(), opts.longitude) - park[0]) % 24, park[1]
    return {"number": number, "connected": False, "connecting_until": None,
            "ra": ra, "dec": dec, "motion": None, "tracking": opts.tracking and not opts.start_parked,
            "tracking_rate": 0, "target_ra": None, "target_dec": None, "at_park": opts.start_parked,
            "park": park, "refraction": False,
            "latitude": opts.latitude, "longitude": opts.longitude, "elevation": opts.elevation}


def start_motion(dev, ra, dec, kind, now):
    """Sets the mount moving from where it is to (ra, dec): both axes at the
    slew rate, arriving together, then settling."""
    here_ra, here_dec = place(dev, now)
    dra = (ra - here_ra + 12) % 24 - 12
    travel = max(abs(dra) * 15, abs(dec - here_dec)) / opts.slew_rate
    dev["motion"] = {"from": (here_ra, here_dec), "to": (ra, dec), "dra": dra, "start": now,
                     "travel": travel, "settle": opts.settle, "kind": kind}
    dev["at_park"] = False


def motion_at(m, now):
    """Where a motion is at NOW and whether it is over (settle included)."""
    elapsed = now - m["start"]
    if elapsed >= m["travel"]:
        ra, dec = m["to"]
    else:
        f = elapsed / m["travel"]
        ra = (m["from"][0] + m["dra"] * f) % 24
        dec = m["from"][1] + (m["to"][1] - m["from"][1]) * f
    return ra, dec, elapsed >= m["travel"] + m["settle"]


def update(dev, now):
    """Ends a motion that is over and a connection attempt that is done."""
    m = dev["motion"]
    if m and motion_at(m, now)[2]:
        dev["ra"], dev["dec"] = m["to"]
        dev["motion"] = None
        if m["kind"] == "park":
            dev["at_park"], dev["tracking"] = True, False
    if dev["connecting_until"] is not None and now >= dev["connecting_until"]:
        dev["connected"], dev["connecting_until"] = True, None


def place(dev, now):
    if dev["motion"]:
        return motion_at(dev["motion"], now)[:2]
    return dev["ra"], dev["dec"]


def stop(dev, now):
    """Stops any motion where the mount is."""
    dev["ra"], dev["dec"] = place(dev, now)
    dev["motion"] = None


def side_of_pier(dev, now):
    if opts.pier_unknown:
        return -1
    hour_angle = (sidereal_hours(time.time(), dev["longitude"]) - place(dev, now)[0]) % 24
    return 0 if hour_angle < 12 else 1  # east of the pier, looking west; west, looking east


def utc_text(unix_time=None):
    moment = datetime.datetime.fromtimestamp(time.time() if unix_time is None else unix_time, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%f") + "0Z"


# ---------------------------------------------------------------- the members
# Each member is (parse, act, flags): parse turns the request's parameters
# into arguments (or raises BadRequest), act answers (value, error, message)
# from the mount's record, under the lock, at the monotonic time NOW.

def ok(value=None):
    return value, 0, ""


def refuse(number, message):
    return None, number, message


def param(params, name):
    """The value of parameter NAME, matched as the reference servers match
    (case-insensitively), or exactly with --strict-names; None if absent."""
    for key, value in params:
        if key == name or (not opts.strict_names and key.lower() == name.lower()):
            return value
    return None


NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")


def number_param(params, name):
    text = param(params, name)
    if text is None:
        raise BadRequest(f"Missing parameter {name}")
    # Invariant-culture decimals only: no comma, no underscore, no "inf".
    if not NUMBER.fullmatch(text):
        raise BadRequest(f"Parameter {name}: '{text}' is not a number")
    return float(text)


def bool_param(params, name):
    text = param(params, name)
    if text is None:
        raise BadRequest(f"Missing parameter {name}")
    if text.lower() not in ("true", "false"):
        raise BadRequest(f"Parameter {name}: '{text}' is neither True nor False")
    return text.lower() == "true"


def int_param(params, name):
    text = param(params, name)
    if text is None:
        raise BadRequest(f"Missing parameter {name}")
    if not re.fullmatch(r"[+-]?\d+", text.strip()):
        raise BadRequest(f"Parameter {name}: '{text}' is not a whole number")
    return int(text)


def no_args(params):
    return ()


def coordinates(params):
    return number_param(params, "RightAscension"), number_param(params, "Declination")


def one(kind, name):
    return lambda params: (kind(params, name),)


OPEN, V4 = 1, 2  # answered while not connected; on interface 4 only


def put_connected(dev, now, want):
    if not want:
        dev["connected"], dev["connecting_until"] = False, None
    elif not dev["connected"]:
        if dev["connecting_until"] is None:
            dev["connecting_until"] = now + opts.connect_delay
        return ok("wait-connected")  # the handler waits, outside the lock
    return ok()


def connect(dev, now):
    if not dev["connected"] and dev["connecting_until"] is None:
        dev["connecting_until"] = now + opts.connect_delay
    return ok()


def device_state(dev, now):
    ra, dec = place(dev, now)
    pairs = [("RightAscension", ra), ("Declination", dec), ("Slewing", dev["motion"] is not None),
             ("Tracking", dev["tracking"]), ("AtPark", dev["at_park"]), ("SideOfPier", side_of_pier(dev, now)),
             ("UTCDate", utc_text()), ("TimeStamp", utc_text())]
    return ok([{"Name": name, "Value": value} for name, value in pairs])


def movable(dev, ra, dec, can, what):
    """The refusals of a go-to or sync to (ra, dec), in the order the
    checks run: none if it may go ahead."""
    if not can:
        return refuse(NOT_IMPLEMENTED, f"{what} is not implemented by this mount")
    if not (0 <= ra < 24) or not (-90 <= dec <= 90):
        return refuse(INVALID_VALUE, f"{what}: RightAscension {ra} or Declination {dec} out of range")
    if dev["at_park"]:
        return refuse(PARKED, f"{what} is not allowed while the mount is parked")
    if not dev["tracking"] and not opts.lenient:
        return refuse(INVALID_OPERATION, f"{what} is not allowed while tracking is off")
    return None


def slew(dev, now, ra, dec, blocking):
    refusal = movable(dev, ra, dec, blocking or opts.can_async, "SlewToCoordinates" + ("" if blocking else "Async"))
    if refusal:
        return refusal
    dev["target_ra"], dev["target_dec"] = ra, dec
    start_motion(dev, ra, dec, "slew", now)
    return ok("wait-motion" if blocking else None)


def sync(dev, now, ra, dec):
    refusal = movable(dev, ra, dec, opts.can_sync, "SyncToCoordinates")
    if refusal:
        return refusal
    if dev["motion"]:
        return refuse(INVALID_OPERATION, "SyncToCoordinates is not allowed while the mount is slewing")
    dev["ra"], dev["dec"], dev["target_ra"], dev["target_dec"] = ra, dec, ra, dec
    return ok()


def abort(dev, now):
    if dev["at_park"]:
        return refuse(PARKED, "AbortSlew is not allowed while the mount is parked")
    stop(dev, now)
    return ok()


def put_tracking(dev, now, on):
    if not opts.can_set_tracking:
        return refuse(NOT_IMPLEMENTED, "Tracking cannot be set on this mount")
    if on and dev["at_park"]:
        return refuse(PARKED, "Tracking cannot be turned on while the mount is parked")
    dev["tracking"] = on
    return ok()


def put_tracking_rate(dev, now, rate):
    if rate not in opts.tracking_rates:
        return refuse(INVALID_VALUE, f"TrackingRate {rate} is not one of {opts.tracking_rates}")
    dev["tracking_rate"] = rate
    return ok()


def park(dev, now):
    if not opts.can_park:
        return refuse(NOT_IMPLEMENTED, "Park is not implemented by this mount")
    if not dev["at_park"] and not (dev["motion"] and dev["motion"]["kind"] == "park"):
        ha, dec = dev["park"]
        start_motion(dev, (sidereal_hours(time.time(), dev["longitude"]) - ha) % 24, dec, "park", now)
    return ok()


def unpark(dev, now):
    if not opts.can_park:
        return refuse(NOT_IMPLEMENTED, "Unpark is not implemented by this mount")
    if dev["motion"] and dev["motion"]["kind"] == "park":
        stop(dev, now)
    dev["at_park"] = False
    return ok()


def set_park(dev, now):
    if not opts.can_park:
        return refuse(NOT_IMPLEMENTED, "SetPark is not implemented by this mount")
    ra, dec = place(dev, now)
    dev["park"] = ((sidereal_hours(time.time(), dev["longitude"]) - ra) % 24, dec)
    return ok()


def put_in_range(key, low, high, label):
    def act(dev, now, value):
        if not low <= value <= high:
            return refuse(INVALID_VALUE, f"{label} {value} is outside {low} to {high}")
        dev[key] = value
        return ok()
    return act


def put_refraction(dev, now, on):
    dev["refraction"] = on  # a flag only: no correction is applied
    return ok()


def target(key, label):
    def act(dev, now):
        return ok(dev[key]) if dev[key] is not None else refuse(VALUE_NOT_SET, f"{label} has not been set")
    return act


def value(get):
    return lambda dev, now: ok(get(dev, now))


MEMBERS = {
    ("GET", "name"): (no_args, value(lambda d, n: opts.name), OPEN),
    ("GET", "description"): (no_args, value(lambda d, n: opts.description), OPEN),
    ("GET", "driverinfo"): (no_args, value(lambda d, n: "Alpaca telescope simulator for loopback tests"), OPEN),
    ("GET", "driverversion"): (no_args, value(lambda d, n: "1.0"), OPEN),
    ("GET", "interfaceversion"): (no_args, value(lambda d, n: opts.interface), OPEN),
    ("GET", "supportedactions"): (no_args, value(lambda d, n: []), OPEN),
    ("GET", "connected"): (no_args, value(lambda d, n: d["connected"]), OPEN),
    ("PUT", "connected"): (one(bool_param, "Connected"), put_connected, OPEN),
    ("PUT", "connect"): (no_args, connect, OPEN | V4),
    ("PUT", "disconnect"): (no_args, lambda d, n: put_connected(d, n, False), OPEN | V4),
    ("GET", "connecting"): (no_args, value(lambda d, n: d["connecting_until"] is not None), OPEN | V4),
    ("GET", "devicestate"): (no_args, device_state, V4),
    ("GET", "rightascension"): (no_args, value(lambda d, n: place(d, n)[0]), 0),
    ("GET", "declination"): (no_args, value(lambda d, n: place(d, n)[1]), 0),
    ("GET", "equatorialsystem"): (no_args, value(lambda d, n: opts.equatorial_system), 0),
    ("GET", "alignmentmode"): (no_args, value(lambda d, n: 2), 0),  # German equatorial
    ("GET", "slewing"): (no_args, value(lambda d, n: d["motion"] is not None), 0),
    ("GET", "canslew"): (no_args, value(lambda d, n: True), 0),
    ("GET", "canslewasync"): (no_args, value(lambda d, n: opts.can_async), 0),
    ("PUT", "slewtocoordinates"): (coordinates, lambda d, n, ra, dec: slew(d, n, ra, dec, True), 0),
    ("PUT", "slewtocoordinatesasync"): (coordinates, lambda d, n, ra, dec: slew(d, n, ra, dec, False), 0),
    ("PUT", "abortslew"): (no_args, abort, 0),
    ("GET", "targetrightascension"): (no_args, target("target_ra", "TargetRightAscension"), 0),
    ("GET", "targetdeclination"): (no_args, target("target_dec", "TargetDeclination"), 0),
    ("PUT", "targetrightascension"): (one(number_param, "TargetRightAscension"),
                                      put_in_range("target_ra", 0, 23.999999999, "TargetRightAscension"), 0),
    ("PUT", "targetdeclination"): (one(number_param, "TargetDeclination"),
                                   put_in_range("target_dec", -90, 90, "TargetDeclination"), 0),
    ("GET", "cansync"): (no_args, value(lambda d, n: opts.can_sync), 0),
    ("PUT", "synctocoordinates"): (coordinates, sync, 0),
    ("GET", "tracking"): (no_args, value(lambda d, n: d["tracking"]), 0),
    ("PUT", "tracking"): (one(bool_param, "Tracking"), put_tracking, 0),
    ("GET", "cansettracking"): (no_args, value(lambda d, n: opts.can_set_tracking), 0),
    ("GET", "trackingrate"): (no_args, value(lambda d, n: d["tracking_rate"]), 0),
    ("PUT", "trackingrate"): (one(int_param, "TrackingRate"), put_tracking_rate, 0),
    ("GET", "trackingrates"): (no_args, value(lambda d, n: list(opts.tracking_rates)), 0),
    ("GET", "atpark"): (no_args, value(lambda d, n: d["at_park"]), 0),
    ("GET", "canpark"): (no_args, value(lambda d, n: opts.can_park), 0),
    ("GET", "canunpark"): (no_args, value(lambda d, n: opts.can_park), 0),
    ("GET", "cansetpark"): (no_args, value(lambda d, n: opts.can_park), 0),
    ("PUT", "park"): (no_args, park, 0),
    ("PUT", "unpark"): (no_args, unpark, 0),
    ("PUT", "setpark"): (no_args, set_park, 0),
    ("GET", "sideofpier"): (no_args, value(side_of_pier), 0),
    ("GET", "doesrefraction"): (no_args, value(lambda d, n: d["refraction"]), 0),
    ("PUT", "doesrefraction"): (one(bool_param, "DoesRefraction"), put_refraction, 0),
    ("GET", "sitelatitude"): (no_args, value(lambda d, n: d["latitude"]), 0),
    ("PUT", "sitelatitude"): (one(number_param, "SiteLatitude"), put_in_range("latitude", -90, 90, "SiteLatitude"), 0),
    ("GET", "sitelongitude"): (no_args, value(lambda d, n: d["longitude"]), 0),
    ("PUT", "sitelongitude"): (one(number_param, "SiteLongitude"),
                               put_in_range("longitude", -180, 180, "SiteLongitude"), 0),
    ("GET", "siteelevation"): (no_args, value(lambda d, n: d["elevation"]), 0),
    ("PUT", "siteelevation"): (one(number_param, "SiteElevation"),
                               put_in_range("elevation", -300, 10000, "SiteElevation"), 0),
    ("GET", "utcdate"): (no_args, value(lambda d, n: utc_text()), 0),
    ("PUT", "action"): (no_args, lambda d, n: refuse(ACTION_NOT_IMPLEMENTED, "No actions are implemented"), 0),
}
# Capabilities this mount does not have, and the members behind them.
for _name in ("canfindhome", "canpulseguide", "cansetdeclinationrate", "cansetguiderates", "cansetpierside",
              "cansetrightascensionrate", "canslewaltaz", "canslewaltazasync", "cansyncaltaz", "athome"):
    MEMBERS[("GET", _name)] = (no_args, value(lambda d, n: False), 0)
for _name in ("findhome", "pulseguide", "moveaxis", "slewtoaltaz", "slewtoaltazasync", "slewtotarget",
              "slewtotargetasync", "synctoaltaz", "synctotarget", "commandblind", "commandbool", "commandstring"):
    MEMBERS[("PUT", _name)] = (no_args, lambda d, n, _m=_name: refuse(NOT_IMPLEMENTED, f"{_m} is not implemented"), 0)


def device_request(method, member, number, params):
    """Answers one device request: (HTTP status, body, content type)."""
    entry = MEMBERS.get((method, member))
    if entry is None or (entry[2] & V4 and opts.interface < 4):
        return unknown_member(f"Unknown member {method} {member}")
    parse, act, flags = entry
    try:
        args = parse(params)
    except BadRequest as e:
        return 400, str(e).encode(), "text/plain; charset=utf-8"
    with lock:
        dev = devices[number]
        now = time.monotonic()
        update(dev, now)
        if not dev["connected"] and not flags & OPEN and not opts.lenient:
            result = refuse(NOT_CONNECTED, f"{member}: the mount is not connected")
        else:
            result = act(dev, now, *args)
    if result[0] in ("wait-connected", "wait-motion"):
        result = wait_for(dev, result[0])
    return reply(params, result, "Value" if method == "GET" else None)


def wait_for(dev, what):
    """Holds a blocking call (a Connected put, SlewToCoordinates) until the
    mount is connected or no longer moves, whoever ends the motion."""
    while True:
        with lock:
            update(dev, time.monotonic())
            if (dev["connected"] or dev["connecting_until"] is None) if what == "wait-connected" else not dev["motion"]:
                return ok()
        time.sleep(0.01)


def transaction_id(params):
    """The client's transaction number, 0 when absent or not one."""
    text = param(params, "ClientTransactionID")
    return int(text) if text and text.isdigit() and int(text) < 2 ** 32 else 0


def reply(params, result, value_key="Value"):
    value, error, message = result
    with lock:
        counters["transaction"] += 1
        server_id = counters["transaction"]
    body = {}
    if value_key and error == 0:
        body[value_key] = value
    body.update({"ClientTransactionID": transaction_id(params), "ServerTransactionID": server_id,
                 "ErrorNumber": error, "ErrorMessage": message})
    return 200, json.dumps(body).encode(), "application/json; charset=utf-8"


def unknown_member(text):
    return opts.unknown_member, text.encode(), "text/plain; charset=utf-8"


# ---------------------------------------------------------------- management

def management_request(path, params):
    with lock:
        numbers = sorted(devices)
    answers = {
        "/management/apiversions": [1],
        "/management/v1/description": {"ServerName": "Loopback Alpaca simulator", "Manufacturer": "telescope.plug tests",
                                       "ManufacturerVersion": "1.0", "Location": "127.0.0.1"},
        "/management/v1/configureddevices": [
            {"DeviceName": opts.name if len(numbers) == 1 else f"{opts.name} {n}", "DeviceType": "Telescope",
             "DeviceNumber": n, "UniqueID": f"5c1e0a3b-7d2f-4e11-9a6c-{n:012d}"} for n in numbers],
    }
    if opts.no_management or path not in answers:
        return 404, b"Not found", "text/plain; charset=utf-8"
    return reply(params, ok(answers[path]))


# ---------------------------------------------------------------- misbehaviours
# Each kind: (carried out on the mount first?, how its reply goes out). A
# kind named with "-N" takes the number after it (error-0x40B, slow-1500).

BAD_JSON = [  # one after the other, request by request
    b'{"Value": 1.5, "ErrorNumber": 0, "ErrorMessage": "cut sh',
    b'{"Value": 1.5, "ErrorNumber": 0, "ErrorMessage": ""} trailing',
    b'[1.5, 0, ""]',
    b'{"Value": NaN, "ErrorNumber": 0, "ErrorMessage": ""}',
    b'{"Value": "abc", "ErrorNumber": "zero", "ErrorMessage": 7}',
    b'{"Value": 1.5, "ErrorNumber": 0, "ErrorMessage": "\\uZZZZ"}',
    b"",
    b'\xff\xfe{"Value"}',
]
FRAMEWORK_422 = {"detail": [{"loc": ["body", "RightAscension"], "msg": "field required",
                             "type": "value_error.missing"}]}


def reply_never(handler, normal, arg):
    """Reads on (ignoring everything) until the client closes."""
    conn = handler.connection
    while True:
        readable = select.select([conn], [], [], 1.0)[0]
        if readable and not conn.recv(65536):
            break
    handler.close_connection = True


def reply_cut(handler, normal, arg):
    status, body, kind = normal
    send(handler, status, body, kind, cut=len(body) // 2)


def reply_chunked_oddly(handler, normal, arg):
    send(handler, *normal, chunking="odd")


def reply_huge(handler, normal, arg):
    status, body, kind = normal
    padding = b"x" * (10 << 20)
    padded = body[:-1] + b', "Padding": "' + padding + b'"}' if body.endswith(b"}") else body + padding
    send(handler, status, padded, kind)


def reply_bad_json(handler, normal, arg):
    with lock:
        counters["bad"] = counters.get("bad", -1) + 1
        body = BAD_JSON[counters["bad"] % len(BAD_JSON)]
    send(handler, 200, body, "application/json; charset=utf-8")


def reply_error(handler, normal, arg):
    message = f"Ger\u00e4t refuses \u2013 error 0x{arg:X}"  # written as \u escapes
    send(handler, *reply(handler.params, refuse(arg, message)))


def reply_status(handler, normal, arg):
    if arg == 422:
        send(handler, 422, json.dumps(FRAMEWORK_422).encode(), "application/json")
    else:
        texts = {400: "Bad request: parameter not understood", 404: "Not found", 500: "Internal server error"}
        send(handler, arg, texts[arg].encode(), "text/plain; charset=utf-8")


def reply_late(handler, normal, arg):
    time.sleep(arg / 1000.0)
    send(handler, *normal)


def valid_error(n):
    return n in KNOWN_ERRORS or 0x500 <= n <= 0xFFF


MISBEHAVIOURS = {
    "silent": (False, reply_never, None),
    "close-mid": (True, reply_cut, None),
    "chunked": (True, reply_chunked_oddly, None),
    "huge": (True, reply_huge, None),
    "bad-json": (True, reply_bad_json, None),
    "error": (False, reply_error, valid_error),
    "http": (False, reply_status, lambda n: n in (400, 404, 422, 500)),
    "slow": (True, reply_late, lambda n: 0 <= n <= 600000),
    "disc-multi": (True, None, None),  # discovery only: the HTTP side is the simulator's
}


def misbehaviour(kind):
    """(entry, number) for a kind's name, or None if there is no such kind."""
    base, _, arg = kind.partition("-")
    if kind in MISBEHAVIOURS:
        return MISBEHAVIOURS[kind], None
    entry = MISBEHAVIOURS.get(base)
    try:
        number = int(arg, 0)
    except ValueError:
        return None
    return (entry, number) if entry and entry[2] and entry[2](number) else None


# ---------------------------------------------------------------- HTTP

ODD_CHUNKS = (1, 7, 3, 13, 2, 5, 11)


def send(handler, status, body, content_type, chunking=None, cut=None):
    """Writes one reply in the server's manner (keep-alive, close after
    reply, HTTP/1.0, chunked), or its first CUT bytes and closes."""
    chunking = chunking or ("plain" if opts.chunked and not opts.http10 else None)
    closing = opts.close_after_reply or opts.http10 or handler.close_connection or cut is not None
    version = "HTTP/1.0" if opts.http10 else "HTTP/1.1"
    reason = {200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed", 422: "Unprocessable Entity",
              500: "Internal Server Error"}.get(status, "Status")
    head = [f"{version} {status} {reason}", f"Content-Type: {content_type}", "Server: alpaca_simulator"]
    if chunking:
        head.append("Transfer-Encoding: chunked")
    else:
        head.append(f"Content-Length: {len(body)}")
    if closing and not opts.http10:
        head.append("Connection: close")
    if chunking == "odd":
        head.append("Trailer: X-Checked")
    out = handler.wfile
    if cut is not None:
        out.write(("\r\n".join(head) + "\r\n\r\n").encode() + body[:cut])
    elif not chunking:
        out.write(("\r\n".join(head) + "\r\n\r\n").encode() + body)
    else:
        out.write(("\r\n".join(head) + "\r\n\r\n").encode())
        i, n = 0, 0
        while i < len(body):
            piece = body[i:i + ODD_CHUNKS[n % len(ODD_CHUNKS)]]
            size = f"{len(piece):x}" if chunking == "plain" else f"{len(piece):X}" + (";step=%d" % n if n % 3 == 0 else "")
            out.write(size.encode() + b"\r\n" + piece + b"\r\n")
            i, n = i + len(piece), n + 1
        out.write(b"0\r\n" + (b"X-Checked: yes\r\n" if chunking == "odd" else b"") + b"\r\n")
    out.flush()
    if closing:
        handler.close_connection = True
        if cut is not None:
            handler.connection.shutdown(socket.SHUT_RDWR)


def log_request(handler, params):
    if not request_log:
        return
    entry = {"time": round(time.time(), 6), "connection": handler.connection_number, "method": handler.command,
             "path": urllib.parse.urlsplit(handler.path).path, "params": dict(params),
             "http": handler.request_version}
    if handler.command == "PUT":
        entry["content_type"] = handler.headers.get("Content-Type", "")
    with lock:
        request_log.write(json.dumps(entry) + "\n")
        request_log.flush()


API_PATH = re.compile(r"/api/v1/([^/]+)/([^/]+)/([^/]+)")


def route(handler, method, path, params):
    """The normal answer to a request: (status, body, content type), and the
    member's name (None outside the device API)."""
    if path.startswith("/management/"):
        return (management_request(path, params) if method == "GET" else (404, b"Not found", "text/plain")), \
            path.rsplit("/", 1)[1]
    found = API_PATH.fullmatch(path)
    if not found:
        if path.startswith("/api/"):
            return (400, b"Bad request: not a device path", "text/plain; charset=utf-8"), None
        return (404, b"Not found", "text/plain; charset=utf-8"), None
    kind, number, member = found.groups()
    if not opts.strict_names:
        kind, member = kind.lower(), member.lower()
    if kind != "telescope" or not number.isdigit() or int(number) not in devices:
        return (400, f"Bad request: no telescope device {kind}/{number}".encode(), "text/plain; charset=utf-8"), member
    return None, member


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with lock:
            counters["connection"] += 1
            self.connection_number = counters["connection"]

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.answer("GET")

    def do_PUT(self):
        self.answer("PUT")

    def do_POST(self):
        self.answer("POST")

    def read_body(self):
        """The request's body, by its length or in chunks."""
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while size := int(self.rfile.readline().split(b";")[0].strip() or b"0", 16):
                body += self.rfile.read(size)
                self.rfile.readline()
            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                pass  # trailers
            return body
        length = self.headers.get("Content-Length", "0")
        return self.rfile.read(int(length)) if length.isdigit() else b""

    def answer(self, method):
        split = urllib.parse.urlsplit(self.path)
        body = self.read_body()
        source = body.decode("utf-8", "replace") if method == "PUT" else split.query
        self.params = urllib.parse.parse_qsl(source, keep_blank_values=True)
        log_request(self, self.params)
        if method not in ("GET", "PUT"):
            return send(self, 405, b"Method not allowed", "text/plain; charset=utf-8")
        normal, member = route(self, method, split.path, self.params)
        if normal is None:
            device = int(API_PATH.fullmatch(split.path).group(2))
        kind = opts.misbehaving
        applies = kind and kind[0][1] and (member == opts.member if opts.member else normal is None)
        if applies and not kind[0][0]:
            return kind[0][1](self, None, kind[1])
        if normal is None:
            normal = device_request(method, member, device, self.params)
        if applies:
            return kind[0][1](self, normal, kind[1])
        send(self, *normal)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def server_bind(self):
        # No name lookup of the address (the stock server asks the resolver).
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], OSError):  # a client gone is no fault of ours
            super().handle_error(request, client_address)


class Server6(Server):
    address_family = socket.AF_INET6


# ---------------------------------------------------------------- discovery

def discovery_answers(port):
    """What a responder sends back to one question: (source address or
    None for its own socket, bytes)."""
    good = json.dumps({"AlpacaPort": port}).encode()
    if opts.misbehaving and opts.misbehaving[0] is MISBEHAVIOURS["disc-multi"]:
        return [(None, b'{"AlpacaPort": '), (None, b'{"AlpacaPort": 0}'), (None, b'{"AlpacaPort": 70000}'),
                (None, b'{"AlpacaPort": "' + str(port).encode() + b'"}'), (None, good), (None, good),
                ("127.0.0.2", good)]
    return [(None, good)]


def serve_discovery(sock, port):
    while True:
        data, peer = sock.recvfrom(1024)
        if data != b"alpacadiscovery1":
            continue
        for source, answer in discovery_answers(port):
            if source is None:
                sock.sendto(answer, peer)
            elif sock.family == socket.AF_INET:
                # A second responder: the same server seen at another loopback address.
                other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                try:
                    other.bind((source, 0))
                    other.sendto(answer, peer)
                except OSError:
                    pass
                other.close()


def start_thread(target, *args):
    threading.Thread(target=target, args=args, daemon=True).start()


# ---------------------------------------------------------------- start

def parse_options(argv):
    a = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    a.add_argument("--port", type=int, default=0, help="TCP port (0: chosen at run time)")
    a.add_argument("--port-file", help="file the port is written to once the server answers")
    a.add_argument("--ipv6", action="store_true", help="also serve on ::1 (the same port)")
    a.add_argument("--devices", type=int, default=1, help="how many telescopes")
    a.add_argument("--device-number", type=int, default=0, help="the first telescope's number")
    a.add_argument("--interface", type=int, choices=(3, 4), default=4)
    a.add_argument("--unknown-member", type=int, choices=(400, 404), default=400)
    a.add_argument("--strict-names", action="store_true", help="parameter and member names matched exactly")
    a.add_argument("--connect-delay", type=float, default=0.0, help="seconds a connection takes")
    a.add_argument("--equatorial-system", type=int, choices=range(5), default=1)
    a.add_argument("--slew-rate", type=float, default=4.0, help="degrees a second on each axis")
    a.add_argument("--settle", type=float, default=0.0, help="seconds of settling after a go-to")
    a.add_argument("--no-async", dest="can_async", action="store_false")
    a.add_argument("--no-sync", dest="can_sync", action="store_false")
    a.add_argument("--no-park", dest="can_park", action="store_false")
    a.add_argument("--no-set-tracking", dest="can_set_tracking", action="store_false")
    a.add_argument("--lenient", action="store_true", help="accept commands while not connected or not tracking")
    a.add_argument("--tracking", action="store_true", help="tracking on at start")
    a.add_argument("--start-parked", action="store_true")
    a.add_argument("--start", default="0,0", help="RA (hours),Dec (degrees) at start")
    a.add_argument("--pier-unknown", action="store_true", help="SideOfPier answers -1")
    a.add_argument("--latitude", type=float, default=48.0)
    a.add_argument("--longitude", type=float, default=2.0)
    a.add_argument("--elevation", type=float, default=100.0)
    a.add_argument("--tracking-rates", default="0,1,2,3")
    a.add_argument("--name", default="Loopback Telescope")
    a.add_argument("--description", default="Alpaca telescope simulator on loopback")
    a.add_argument("--no-management", action="store_true", help="the management API answers 404")
    a.add_argument("--discovery-port", type=int, help="UDP discovery responder's port (0: chosen at run time)")
    a.add_argument("--discovery-port-file", help="file the discovery port is written to")
    a.add_argument("--close-after-reply", action="store_true")
    a.add_argument("--http10", action="store_true")
    a.add_argument("--chunked", action="store_true")
    a.add_argument("--request-log", help="every request received, one JSON object a line")
    a.add_argument("--misbehave", metavar="KIND", help="one of: " + ", ".join(
        k + ("-N" if v[2] else "") for k, v in MISBEHAVIOURS.items()))
    a.add_argument("--member", help="the misbehaviour for this member alone")
    o = a.parse_args(argv)
    o.start = tuple(float(x) for x in o.start.split(","))
    o.tracking_rates = [int(x) for x in o.tracking_rates.split(",")]
    o.misbehaving = None
    if o.misbehave:
        o.misbehaving = misbehaviour(o.misbehave)
        if o.misbehaving is None:
            a.error(f"no misbehaviour {o.misbehave}")
    if o.member:
        o.member = o.member.lower()
    return o


def write_atomically(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def main():
    global opts, request_log
    opts = parse_options(sys.argv[1:])
    for n in range(opts.device_number, opts.device_number + opts.devices):
        devices[n] = new_device(n)
    if opts.request_log:
        request_log = open(opts.request_log, "a")
    servers = [Server(("127.0.0.1", opts.port), Handler)]
    port = servers[0].server_address[1]
    extra = [("::1", Server6)] if opts.ipv6 else []
    if opts.misbehaving and opts.misbehaving[0] is MISBEHAVIOURS["disc-multi"]:
        extra.append(("127.0.0.2", Server))  # where the second responder says the server is
    for host, kind in extra:
        servers.append(kind((host, port), Handler))
    for server in servers:
        start_thread(server.serve_forever)
    if opts.discovery_port is not None:
        responders = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM)]
        responders[0].bind(("127.0.0.1", opts.discovery_port))
        if opts.ipv6:
            responders.append(socket.socket(socket.AF_INET6, socket.SOCK_DGRAM))
            responders[1].bind(("::1", responders[0].getsockname()[1]))
        for sock in responders:
            start_thread(serve_discovery, sock, port)
        if opts.discovery_port_file:
            write_atomically(opts.discovery_port_file, str(responders[0].getsockname()[1]))
    if opts.port_file:
        write_atomically(opts.port_file, str(port))
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
