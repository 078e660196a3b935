#!/usr/bin/env python3
"""A misbehaving INDI server on loopback, for the INDI library's tests.

  misbehaving_server.py garbage|flood|alert|refused|mute|stopped|dead|late-busy|untracked|
                        vanish-coords|vanish-device|dropped PORTFILE

Serves one mount, "Bad Mount", connected, at RA 3 h DEC +40, that answers a
go-to with Busy and then Ok at the target. garbage: after the definitions it
sends (once the client has asked again for the mount's properties)
malformed and truncated XML, unknown elements, numbers out of range and
a 10 MB element, then puts the mount at RA 7.5 h DEC +50. flood: it sends
position updates without pause (each one RA 6 h DEC +45) for as long as the
client reads. alert: answers a new position (a go-to or a sync) with Alert;
refused: with Alert and Ok at once, where it was (as EQMod refuses a go-to
under its horizon or a sync while it does not track); mute: does not answer
it; stopped: shows it Busy, then ends it Idle half-way and Ok just after, as
drivers end a slew that was stopped; dead: sends the mount's place every
0.5 s (its right ascension a little further each time) and, 2 s after the
first client connected, falls silent as a computer that lost its power:
nothing more is sent or read on any connection, none is closed, and new ones
are refused; 11 s later it serves again on the same port (the old connections
stay silent). late-busy: echoes a new position at
once Ok where the mount is, shows it Busy only 1.5 s later, then Ok at the
target, as a driver that shows a go-to at its next poll. The next three do
not track: untracked never shows tracking on and answers a sync Ok at the new
place; vanish-coords and vanish-device answer the switch to tracking by
deleting the coordinates, or the whole device. dropped: shows a go-to Busy,
then closes the connection; a new one finds the mount where it was. Writes
its port to PORTFILE and serves until killed."""
import os, re, select, sys, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "Common", "Tests"))
from probe_server import dead, live_then_dead, published  # noqa: E402

DEV = "Bad Mount"


def vector(kind, name, state, elements, definition=False):
    tag = ("def" if definition else "set") + kind
    one = ("def" if definition else "one") + kind.replace("Vector", "")
    perm = ' perm="rw"' if definition else ""
    body = "".join(f'<{one} name="{n}">\n{v}\n</{one}>' for n, v in elements)
    return f'<{tag} device="{DEV}" name="{name}" state="{state}"{perm}>{body}</{tag}>\n'


DEFINITIONS = (vector("SwitchVector", "CONNECTION", "Ok", [("CONNECT", "On"), ("DISCONNECT", "Off")], True)
               + vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", [("RA", "3"), ("DEC", "40")], True)
               + vector("SwitchVector", "ON_COORD_SET", "Ok", [("TRACK", "On"), ("SLEW", "Off"), ("SYNC", "Off")], True))

GARBAGE = [
    "<<>><a b=c>&bogus;</x>\n",
    '<setNumberVector device="Bad Mount" name="EQUATORIAL_EOD_COORD" state="Ok"><oneNumber name="RA">',
    '<pingRequest uid="1"/><newTelescope><x y="1"/></newTelescope><!-- a comment -->\n',
    vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", [("RA", "1e999"), ("DEC", "nan")]),
    vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", [("RA", "x" * (10 << 20)), ("DEC", "-7")]),
    '<setTextVector device="Bad Mount" name="' + "N" * 100000 + '"/>\n',
    vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", [("RA", "7:30:00"), ("DEC", "50")]),
]
GOOD = vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", [("RA", "6"), ("DEC", "45")])


UNTRACKED = DEFINITIONS + vector("SwitchVector", "TELESCOPE_TRACK_STATE", "Ok",
                                 [("TRACK_ON", "Off"), ("TRACK_OFF", "On")], True)
AT, WAY = [("RA", "3"), ("DEC", "40")], [("RA", "4"), ("DEC", "42")]
# What these modes send when tracking is asked for, and the steps (pause,
# state, place: None the one asked; no state: the connection closed) that
# answer a new position.
ANSWERS = {"late-busy": ("", [(0, "Ok", AT), (1.5, "Busy", WAY), (0.3, "Ok", None)]),
           "untracked": ("", [(0, "Ok", None)]),
           "vanish-coords": (f'<delProperty device="{DEV}" name="EQUATORIAL_EOD_COORD"/>\n', []),
           "vanish-device": (f'<delProperty device="{DEV}"/>\n', []),
           "dropped": ("", [(0, "Busy", WAY), (0.3, None, None)])}


# A client's request for one device's properties, and its switch to
# tracking: each taken out of what it sent alone, since the library's other
# requests (a check of life beside a go-to, say) may come in the same read.
ASK_AGAIN = re.compile(rb'<getProperties[^>]*device="[^"]*"[^>]*/>\n?')
TRACK_SWITCH = re.compile(rb'<newSwitchVector[^>]*"TELESCOPE_TRACK_STATE".*?</newSwitchVector>\n?', re.S)


def serve_answering(conn, mode):
    track, steps = ANSWERS[mode]
    conn.recv(65536)  # getProperties
    conn.sendall(UNTRACKED.encode())
    pending = b""
    while data := conn.recv(65536):
        pending += data
        pending, asks = ASK_AGAIN.subn(b"", pending)
        if asks:
            conn.sendall(UNTRACKED.encode())
        pending, switches = TRACK_SWITCH.subn(b"", pending)
        if switches:
            conn.sendall(track.encode())
        asked = (re.findall(r'<oneNumber name="(\w+)">([^<]*)<', pending.decode())
                 if b"</newNumberVector>" in pending else [])
        if asked:
            pending = b""
        for pause, state, place in steps if asked else []:
            time.sleep(pause)
            if state is None:
                return conn.close()
            conn.sendall(vector("NumberVector", "EQUATORIAL_EOD_COORD", state, place or asked).encode())


def serve(conn, mode, revived=False):
    if mode in ANSWERS:
        try:
            serve_answering(conn, mode)
        except OSError:
            pass
        return
    try:
        conn.recv(65536)  # getProperties
        conn.sendall(DEFINITIONS.encode())
        flood = (GOOD * 200).encode()
        pending = b""
        updates = 0
        while True:
            if mode == "flood":
                conn.sendall(flood)
            if mode == "dead":
                while dead.is_set() and not revived:
                    time.sleep(1)  # neither reads nor writes, nor closes
                updates += 1
                place = [("RA", f"{3 + updates * 0.001:.3f}"), ("DEC", "40")]
                conn.sendall(vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", place).encode())
                if select.select([conn], [], [], 0.5)[0]:
                    data = conn.recv(65536)
                    if not data:
                        return
                    if b"getProperties" in data and b"device=" in data:
                        conn.sendall(DEFINITIONS.encode())
                continue
            if not select.select([conn], [], [], 0.2)[0]:
                continue
            data = conn.recv(65536)
            if not data:
                return
            pending += data
            pending, asks = ASK_AGAIN.subn(b"", pending)
            if asks:
                # Asked again for the mount's properties, as a client does
                # that recognises it late (or that checks it still hears).
                conn.sendall(DEFINITIONS.encode())
                if mode == "garbage":
                    for piece in GARBAGE:
                        conn.sendall(piece.encode())
            if b"newNumberVector" in pending and b"EQUATORIAL_EOD_COORD" in pending:
                pending = b""
                if mode == "stopped":
                    conn.sendall(vector("NumberVector", "EQUATORIAL_EOD_COORD", "Busy", [("RA", "4"), ("DEC", "42")]).encode())
                    time.sleep(0.3)
                    conn.sendall((vector("NumberVector", "EQUATORIAL_EOD_COORD", "Idle", [("RA", "5"), ("DEC", "44")])
                                  + vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", [("RA", "5"), ("DEC", "44")])).encode())
                elif mode in ("alert", "refused"):
                    here = [("RA", "3"), ("DEC", "40")]
                    conn.sendall((vector("NumberVector", "EQUATORIAL_EOD_COORD", "Alert", here)
                                  + (vector("NumberVector", "EQUATORIAL_EOD_COORD", "Ok", here) if mode == "refused"
                                     else "")).encode())
                elif mode != "mute":
                    conn.sendall(vector("NumberVector", "EQUATORIAL_EOD_COORD", "Busy", [("RA", "6"), ("DEC", "45")]).encode())
                    time.sleep(0.3)
                    conn.sendall(GOOD.encode())
    except OSError:
        return


def main():
    mode, port_file = sys.argv[1], sys.argv[2]
    listener = published(port_file)

    def start(conn):
        threading.Thread(target=serve, args=(conn, mode), daemon=True).start()
    start(listener.accept()[0])
    if mode == "dead":  # accepts until it dies, then refuses (no listener) until it is back
        listener = live_then_dead(listener, start)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, mode, mode == "dead"), daemon=True).start()


if __name__ == "__main__":
    main()
