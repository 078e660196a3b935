#!/usr/bin/env python3
"""Asks an X window whether its program is answering, as a window manager
does: a _NET_WM_PING every 5 ms, each sent once the last was answered.

  wm_ping.py WINDOW SECONDS

Prints each ping that waited 5 ms or more for its answer, stamped with the
system's wall clock (as plugview --stamps is), the longest wait and the
number of pings; a ping still unanswered at the end (SECONDS, the window
gone, or SIGTERM) is given as at least that long. Needs only libX11."""
import ctypes, ctypes.util, select, signal, sys, time

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

# A window that goes makes the next ping a BadWindow error: the end, not a crash.
gone = []
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: gone.append(1) or 0)
x.XSetErrorHandler(ERROR_HANDLER)


def main():
    window, seconds = int(sys.argv[1], 0), float(sys.argv[2])
    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("wm_ping: cannot open the display")
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
