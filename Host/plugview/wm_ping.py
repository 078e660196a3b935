#!/usr/bin/env python3
"""Asks an X window whether its program is answering, as a window manager
does: a _NET_WM_PING every 5 ms, each sent once the last was answered.

  wm_ping.py WINDOW SECONDS
  wm_ping.py --limit

Prints each ping that waited 5 ms or more for its answer, stamped with the
system's wall clock (as plugview --stamps is), the longest wait and the
number of pings; a ping still unanswered at the end (SECONDS, the window
gone, or SIGTERM) is given as at least that long. --limit measures the window
manager's own patience instead: a window of its own that asks for pings and
never answers one is asked to close as its close button would, and the time
until the manager's title for it says it is not responding is printed (at
most 20 s). Needs libX11 and xprop."""
import ctypes, ctypes.util, select, signal, subprocess, sys, time

x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]


CLIENT_MESSAGE, SUBSTRUCTURE_NOTIFY = 33, 1 << 19
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
for name, args in (("XDefaultRootWindow", [ctypes.c_void_p]), ("XInternAtom", [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int])):
    getattr(x, name).restype = ctypes.c_ulong
    getattr(x, name).argtypes = args
x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(Event)]
x.XFlush.argtypes = x.XPending.argtypes = x.XConnectionNumber.argtypes = [ctypes.c_void_p]
x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(Event)]
x.XCreateSimpleWindow.restype = ctypes.c_ulong
x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
x.XSetWMProtocols.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.c_int]
x.XStoreName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p]
x.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]

# A window that goes makes the next ping a BadWindow error: the end, not a crash.
gone = []
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: gone.append(1) or 0)
x.XSetErrorHandler(ERROR_HANDLER)


def open_display():
    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("wm_ping: cannot open the display")
    return display


def visible_name(window):
    return subprocess.run(["xprop", "-id", str(window), "_NET_WM_VISIBLE_NAME", "WM_NAME"], capture_output=True,
                          text=True, timeout=10).stdout


def limit():
    display = open_display()
    root = x.XDefaultRootWindow(display)
    window = x.XCreateSimpleWindow(display, root, 10, 10, 200, 100, 1, 0, 0xFFFFFF)
    x.XStoreName(display, window, b"wm_ping deaf window")
    atoms = (ctypes.c_ulong * 2)(x.XInternAtom(display, b"WM_DELETE_WINDOW", 0),
                                 x.XInternAtom(display, b"_NET_WM_PING", 0))
    x.XSetWMProtocols(display, window, atoms, 2)
    x.XMapWindow(display, window)
    x.XFlush(display)
    end = time.monotonic() + 10
    while "_NET_WM_VISIBLE_NAME(" not in visible_name(window) and time.monotonic() < end:
        time.sleep(0.1)  # until the manager has taken it
    # Its close button, as the manager is asked for it (_NET_CLOSE_WINDOW).
    e = Event()
    e.xclient.type, e.xclient.window, e.xclient.format = CLIENT_MESSAGE, window, 32
    e.xclient.message_type = x.XInternAtom(display, b"_NET_CLOSE_WINDOW", 0)
    e.xclient.l[1] = 2  # from a pager or a button: the user
    asked = time.monotonic()
    x.XSendEvent(display, root, 0, SUBSTRUCTURE_NOTIFY | SUBSTRUCTURE_NOTIFY << 1, ctypes.byref(e))
    x.XFlush(display)
    while time.monotonic() < asked + 20:
        if "Not Responding" in visible_name(window):
            print(f"ping: the window manager calls a window not responding {time.monotonic() - asked:.1f} s "
                  f"after it was asked to close it", flush=True)
            return
        time.sleep(0.1)
    print("ping: the window manager did not call a window that never answers not responding within 20 s", flush=True)


def main():
    if sys.argv[1] == "--limit":
        return limit()
    window, seconds = int(sys.argv[1], 0), float(sys.argv[2])
    display = open_display()
    root = x.XDefaultRootWindow(display)
    protocols, ping = x.XInternAtom(display, b"WM_PROTOCOLS", 0), x.XInternAtom(display, b"_NET_WM_PING", 0)
    # The answer goes to the root window, to whoever listens there.
    x.XSelectInput(display, root, SUBSTRUCTURE_NOTIFY)
    fd = x.XConnectionNumber(display)
    stopped = []
    signal.signal(signal.SIGTERM, lambda *_: stopped.append(1))
    end = time.monotonic() + seconds
    longest, pings, stamp = 0.0, 0, 0x20000000
    outstanding = None
    while not stopped and not gone and time.monotonic() < end:
        stamp += 1
        e = Event()
        e.xclient.type, e.xclient.window, e.xclient.message_type, e.xclient.format = CLIENT_MESSAGE, window, protocols, 32
        e.xclient.l[0], e.xclient.l[1], e.xclient.l[2] = ping, stamp, window
        sent, wall = time.monotonic(), time.time()
        x.XSendEvent(display, window, 0, 0, ctypes.byref(e))
        x.XFlush(display)
        outstanding = (sent, wall)
        while outstanding and not stopped and not gone and time.monotonic() < end:
            while outstanding and x.XPending(display):
                got = Event()
                x.XNextEvent(display, ctypes.byref(got))
                c = got.xclient
                if got.type == CLIENT_MESSAGE and c.message_type == protocols and c.l[0] == ping and c.l[1] == stamp:
                    outstanding = None
            if outstanding:
                try:
                    select.select([fd], [], [], 0.05)
                except InterruptedError:
                    pass
        if outstanding:
            break
        waited = time.monotonic() - sent
        pings += 1
        longest = max(longest, waited)
        if waited >= 0.005:
            print(f"ping: unanswered {waited:.3f} s from {wall:.3f} to {time.time():.3f}", flush=True)
        time.sleep(0.005)
    if outstanding:
        waited = time.monotonic() - outstanding[0]
        longest = max(longest, waited)
        print(f"ping: unanswered at least {waited:.3f} s from {outstanding[1]:.3f} to {time.time():.3f}, "
              f"still waiting{' (the window went)' if gone else ''}", flush=True)
    print(f"ping: {pings} pings answered, longest wait {longest:.3f} s", flush=True)


main()
