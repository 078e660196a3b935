"""What the libraries' misbehaving servers share, whatever they speak: a
listener on loopback whose port is written to a file, and the life of a
mount whose computer loses its power: connections taken for DEAD_AFTER
seconds, then `dead` set (the servers' connections fall silent) and none
taken for DEAD_FOR seconds, then the same port again."""
import socket, threading, time

DEAD_AFTER, DEAD_FOR = 2.0, 11.0
dead = threading.Event()


def listen(port):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(8)
    return listener


def published(port_file):
    """A listener on a free port, its number written to port_file."""
    listener = listen(0)
    with open(port_file, "w") as f:
        f.write(str(listener.getsockname()[1]))
    return listener


def live_then_dead(listener, start):
    """start(connection) for each connection for DEAD_AFTER seconds; then
    dead, and no listener for DEAD_FOR seconds; the new listener on the same
    port."""
    port = listener.getsockname()[1]
    listener.settimeout(0.1)
    end = time.monotonic() + DEAD_AFTER
    while time.monotonic() < end:
        try:
            start(listener.accept()[0])
        except socket.timeout:
            pass
    dead.set()
    listener.close()
    time.sleep(DEAD_FOR)
    return listen(port)
