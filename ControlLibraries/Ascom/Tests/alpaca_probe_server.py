#!/usr/bin/env python3
"""The Alpaca server the kit's probes run the ASCOM library against: an
adapter over alpaca_simulator.py.

  alpaca_probe_server.py dead|mute PORTFILE

dead: a working mount whose right ascension moves on a little at every
reading (a slow go-to under way) that, 2 s after the first client
connected, falls silent as a computer that lost its power: nothing more is
read or sent on any connection, none is closed, new ones are refused; 11 s
later it serves again on the same port (the old connections stay silent).
mute: a mount already connected whose readings are answered and whose
commands (every PUT) never are: the connection is held, nothing said.
Imported, serve(connection, "good")
serves one Alpaca connection of a working mount. Writes its port to
PORTFILE and serves until killed."""
import os, sys, threading, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "Common", "Tests")]
import alpaca_simulator as sim  # noqa: E402
from probe_server import dead, live_then_dead, published  # noqa: E402


def mount():
    """The simulator's state: one telescope, on a slow go-to from 3 h +40."""
    if sim.opts is None:
        sim.opts = sim.parse_options(["--start", "3,40", "--slew-rate", "0.01", "--tracking"])
        sim.devices[0] = sim.new_device(0)
        sim.start_motion(sim.devices[0], 15.0, 40.0, "slew", time.time())


class SilentWhenDead(sim.Handler):
    revived = False

    def handle_one_request(self):
        while dead.is_set() and not self.revived:
            time.sleep(1)  # neither reads nor writes, nor closes
        super().handle_one_request()


class Revived(SilentWhenDead):
    revived = True


class Mute(sim.Handler):
    def do_PUT(self):
        while True:
            time.sleep(1)  # read, never answered


def serve(conn, mode, handler=sim.Handler):
    """One connection, until the client closes it."""
    mount()
    try:
        handler(conn, ("127.0.0.1", 0), None)
    except OSError:
        pass


def start(conn, handler):
    threading.Thread(target=serve, args=(conn, "good", handler), daemon=True).start()


def main():
    mode, port_file = sys.argv[1], sys.argv[2]
    mount()
    listener = published(port_file)
    if mode == "mute":
        sim.devices[0]["connected"] = True
        while True:
            start(listener.accept()[0], Mute)
    start(listener.accept()[0], SilentWhenDead)
    # Accepts until it dies, then refuses (no listener) until it is back.
    listener = live_then_dead(listener, lambda conn: start(conn, SilentWhenDead))
    while True:
        start(listener.accept()[0], Revived)


if __name__ == "__main__":
    main()
