#!/usr/bin/env python3
"""A model of the log's angle text, by another method than the plug-in's.

The plug-in rounds in double arithmetic (its own ceiling, a comparison with
one half) and splits the count with C's truncating division. Here the only
double arithmetic is the product that the log's rule starts from (the angle
times the units per radian, as doubles); the rounding of that product to a
whole count (halves up) and every field are exact rational arithmetic
(Python's fractions): the count as a sign and a magnitude, each field the
whole part of what is left over its unit, carrying the count's sign.

Prints the FNV-1a 64-bit digest of the boundary sweep that AngleTextTest.cpp
formats (the same angles, in the same order), so the committed digest comes
from this model and not from either build. With --rows it also prints the
strings of chosen angles, for the test's tables; with --write FILE it writes
the sweep, one string a line, to compare with the file a failing test writes.
"""
import math
import sys
from fractions import Fraction

SEC_PER_RAD = 13750.987083139727      # tenths of a second of time come from 10 x this
ARCSEC_PER_RAD = 206264.8062470952
HALF = Fraction(1, 2)
LIMIT = 2 ** 31                       # a count must fit 32 signed bits


def rounded_count(product):
    """The whole number nearest the product, halves up; None when it does not fit."""
    if not math.isfinite(product):
        return None
    count = math.floor(Fraction(product) + HALF)
    return count if -LIMIT <= count < LIMIT else None


def split(count, units):
    """The count's fields, largest unit first, each with the count's sign."""
    sign = -1 if count < 0 else 1
    left = Fraction(abs(count))
    fields = []
    for unit in units:
        whole = math.floor(left / unit)
        fields.append(sign * whole)
        left -= whole * unit
    fields.append(sign * int(left))
    return fields


def hour_text(x):
    count = rounded_count(x * 10 * SEC_PER_RAD)
    if count is None:
        return "--:--:--.-"
    if count == 864000:  # 24 h reads as 0 h
        count = 0
    h, m, s, tenths = split(count, (36000, 600, 10))
    return "%.2d:%.2d:%.2d.%d" % (h, m, s, tenths)


def degree_text(x, form):
    if form < 1 or form > 3:
        return ""
    negative = x < 0.0
    count = rounded_count(ARCSEC_PER_RAD * abs(x))
    if count is None:
        return "--:--:--"
    sign = '-' if negative and count != 0 else '+'
    d, m, s = split(count, (3600, 60))
    if form == 1:
        return "%c%.2d:%.2d:%.2d" % (sign, d, m, s)
    if form == 2:
        return "%c%.3d:%.2d:%.2d" % (sign, d, m, s)
    return "%.3d:%.2d:%.2d" % (d, m, s)


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
