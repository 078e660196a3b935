#!/usr/bin/env python3
"""Writes the fuzzer's seed inputs into corpus/, one file per scenario.

Input layout (see FuzzHarness.h): two bytes of script length, the script, then
the mount's answers in call order, whose first byte sets how the go-to
progress goes on once they run out. The answers are only a starting point:
the harness's own checks after each call (menu status, an idle probe that may
read the position) also take answers, and the fuzzer mutates from here.
"""
import os
import struct

SERVED = ["init", "terminate", "idle", "build", "context", "indicator", "menu",
          "configure", "time", "location", "open", "close", "track", "slew", "sync"]
CODES = [1, 2, 3, 200, 201, 210, 211, 212, 213, 0, 7, 202, 65535]
PERCENTS = [0, 1, 10, 40, 50, 99, 100, 101, 250, 65535]
ANGLES = ["0", "-0", "1.5", "-0.25", "0.3", "pi/2", "-pi/2", "pi", "2pi", "2pi-", "-2pi",
          "1e-300", "denormal", "1e9", "-1e9", "1e300", "-1e300", "hours-fit", "hours-over",
          "degrees-fit", "degrees-over", "max", "inf", "-inf", "nan", "-nan"]
CANARY = 0xA7


def op(name, *extra, upper=False):
    """A served operation by name (optionally with upper code bits), canary, extras."""
    return bytes([(0xA0 if upper else 0x80) | SERVED.index(name), CANARY, *extra])


def raw_op(code, upper_pattern=0):
    """Any operation code; upper_pattern 1-31 sets upper bits. Canary follows."""
    return bytes([upper_pattern & 0x1F, code, CANARY])


def angle(name):
    return ANGLES.index(name)


def clock(index):
    return bytes([0xC0 | index])


def idles(count, spacing):
    """count idle calls, spacing 0-3 (0, 250, 500, 1001 ms apart), a canary each."""
    return bytes([0xE0 | (spacing << 3) | (count - 1)] + [CANARY] * count)


def code(value):
    return CODES.index(value)


def progress(status, percent, duration=0, idle_now=False):
    return bytes([code(status), PERCENTS.index(percent), duration | (8 if idle_now else 0)])


def seed(script, answers, repeat=0):
    return struct.pack("<H", len(script)) + script + bytes([repeat]) + answers


OPEN_ALIGNED = bytes([code(200), code(212), code(200), code(212)])

SEEDS = {
    "open-track-slew-sync": seed(
        op("open") + op("track") + idles(3, 3) + op("slew", angle("1.5"), angle("0.3"))
        + op("sync", angle("1.5"), angle("0.3")) + op("indicator") + op("close"),
        OPEN_ALIGNED + bytes([code(1)]) + progress(1, 0) + progress(1, 40, idle_now=True)
        + progress(1, 100) + bytes([code(200), code(212), code(1)])),
    "go-to-stalls": seed(
        op("open") + op("slew", angle("pi"), angle("-0.25")),
        OPEN_ALIGNED + bytes([code(1)]) + progress(1, 10) + progress(1, 40), repeat=1),
    "go-to-never-moves": seed(
        op("open") + op("slew", angle("1.5"), angle("1.5")), OPEN_ALIGNED + bytes([code(1)]), repeat=3),
    "go-to-slow-calls": seed(
        op("open") + op("slew", angle("0"), angle("pi/2")),
        OPEN_ALIGNED + bytes([code(1)]) + progress(1, 50, duration=5) + progress(1, 50, duration=6)
        + progress(1, 99, duration=7), repeat=1),
    "go-to-refused-and-failing": seed(
        op("open") + op("slew", angle("0.3"), angle("0.3")) + op("slew", angle("0.3"), angle("0.3"))
        + op("slew", angle("0.3"), angle("0.3")),
        OPEN_ALIGNED + bytes([code(2)]) + bytes([code(1)]) + progress(3, 0)
        + bytes([code(7)])),
    "odd-positions": seed(
        op("open") + op("track") + idles(4, 3) + op("indicator") + op("indicator")
        + op("slew", angle("nan"), angle("inf")) + op("sync", angle("max"), angle("-nan")),
        OPEN_ALIGNED + bytes([code(1), angle("hours-over"), angle("degrees-over"),
                              code(1), angle("2pi-"), angle("-0"),
                              code(3), code(210),
                              code(0), angle("inf"), angle("nan"),
                              code(1), angle("1e300"), angle("denormal")])),
    "unaligned-mount": seed(
        op("configure") + op("open") + op("sync", angle("1.5"), angle("0.3")) + op("close"),
        bytes([code(200), code(210), code(200), code(210), code(213),
               code(200), code(210), code(213), code(3)])),
    "initialise-terminate": seed(
        op("init", 2) + op("init", 3) + op("terminate") + op("open") + op("slew", angle("0"), angle("0"))
        + op("track") + idles(2, 3) + op("init", 0) + op("menu", 5),
        bytes([code(1), 81]) + b"V" * 81),
    "codes-and-upper-bits": seed(
        raw_op(7) + raw_op(41) + raw_op(255, 5) + raw_op(22, 9) + bytes([11]) + raw_op(26, 3)
        + raw_op(8, 17) + raw_op(29, 30) + bytes([angle("1.5"), angle("-0.25")]) + raw_op(27, 1),
        OPEN_ALIGNED),
    "contextual-menu": seed(
        op("build", 3) + op("open") + op("build", 30) + op("build", 0xFF)
        + op("context", 0, angle("1.5"), angle("0.3")) + op("context", 1, angle("1.5"), angle("0.3"))
        + op("context", 2, angle("0"), angle("0")),
        OPEN_ALIGNED + bytes([code(1)]) + progress(1, 100) + bytes([code(200), code(211), code(1)])),
    "time-location-and-clock": seed(
        op("open") + op("time") + op("location") + op("track") + clock(5) + idles(8, 1)
        + clock(12) + idles(2, 0) + op("menu", 5) + op("menu", 8) + op("track") + op("track") + op("close")
        + op("menu", 5) + idles(2, 3) + op("indicator") + op("slew", angle("0"), angle("0")),
        OPEN_ALIGNED),
}


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
