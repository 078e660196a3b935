#!/usr/bin/env python3
"""Independent model of the log's angle text, in Python's IEEE doubles.

Prints the FNV-1a 64-bit digest of the boundary sweep that AngleTextTest.cpp
formats (the same angles, in the same order), so the committed digest comes
from this model and not from either build. With --rows it also prints the
strings of chosen angles, for the test's tables; with --write FILE it writes
the sweep, one string a line, to compare with the file a failing test writes.
"""
import math
import sys

SEC_PER_RAD = 13750.987083139727
ARCSEC_PER_RAD = 206264.8062470952


def ceil_(x):
    if not (-4503599627370496.0 < x < 4503599627370496.0):
        return x
    whole = float(int(x))
    return whole + 1.0 if whole < x else whole


def round_(num):
    c = ceil_(num)
    return c - 1.0 if c - num > 0.5 else c


def cdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def fits(count):
    return -2147483648.0 <= count <= 2147483647.0


def hour_text(x):
    count = round_(x * 10 * SEC_PER_RAD)
    if not fits(count):
        return "--:--:--.-"
    v = int(count)
    if v == 864000:
        v = 0
    big = cdiv(v, 36000); v -= big * 36000
    medium = cdiv(v, 600); v -= medium * 600
    little = cdiv(v, 10); v -= little * 10
    return "%.2d:%.2d:%.2d.%d" % (big, medium, little, v)


def degree_text(x, form):
    sign = '+'
    if x < 0.0:
        sign = '-'
        x = -x
    count = round_(ARCSEC_PER_RAD * x)
    ok = fits(count)
    little = int(count) if ok else 0
    if ok and little == 0:
        sign = '+'
    big = cdiv(little, 3600); little -= big * 3600
    medium = cdiv(little, 60); little -= medium * 60
    if form < 1 or form > 3:
        return ""
    if not ok:
        return "--:--:--"
    if form == 1:
        return "%c%.2d:%.2d:%.2d" % (sign, big, medium, little)
    if form == 2:
        return "%c%.3d:%.2d:%.2d" % (sign, big, medium, little)
    return "%.3d:%.2d:%.2d" % (big, medium, little)


def neighbours(x):
    """x and the two doubles on each side of it, in increasing order."""
    below = [math.nextafter(x, -math.inf)]
    below.append(math.nextafter(below[0], -math.inf))
    above = [math.nextafter(x, math.inf)]
    above.append(math.nextafter(above[0], math.inf))
    return [below[1], below[0], x, above[0], above[1]]


def sweep():
    """The strings of the sweep, in the order AngleTextTest.cpp makes them."""
    out = []
    for k in list(range(-20, 864021, 97)) + list(range(863990, 864011)):
        for x in neighbours((k + 0.5) / (10 * SEC_PER_RAD)):
            out.append(hour_text(x))
    for k in list(range(0, 1296001, 131)) + list(range(647990, 648011)):
        for x in neighbours((k + 0.5) / ARCSEC_PER_RAD):
            for v in (x, -x):
                out.append(degree_text(v, 1))
                out.append(degree_text(v, 2))
    return out


def fnv1a64(lines):
    h = 0xcbf29ce484222325
    for line in lines:
        for b in (line + "\n").encode():
            h ^= b
            h = (h * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


if __name__ == "__main__":
    lines = sweep()
    print("%d strings, digest 0x%016x" % (len(lines), fnv1a64(lines)))
    if "--write" in sys.argv:
        with open(sys.argv[sys.argv.index("--write") + 1], "w", newline="\n") as f:
            f.writelines(line + "\n" for line in lines)
    if "--rows" in sys.argv:
        for a in sys.argv[sys.argv.index("--rows") + 1:]:
            x = float(a)
            print(repr(x), hour_text(x), degree_text(x, 1), degree_text(x, 2), degree_text(x, 3))
