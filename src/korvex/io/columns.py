"""Which header column holds the frequency, the real and the imaginary part."""

from __future__ import annotations

import re

# Header names seen in instrument exports, compared without case, white space
# and quotes. A column of -Im Z is turned back into Im Z.
FREQUENCY_NAMES = {
    "freq(hz)",
    "freq/hz",
    "freq",
    "frequency",
    "frequency(hz)",
    "frequency/hz",
    "frequency_hertz",
    "f/hz",
    "f(hz)",
}
REAL_NAMES = {
    "z'(a)",
    "z'/ohm",
    "z'(ohm)",
    "z'(ω)",
    "z'",
    "zre",
    "zre(ohms)",
    "zre(ohm)",
    "zreal",
    "re(z)/ohm",
    "re(z)",
    "realimpedance/ohm",
    "real_impedance_ohm",
}
IMAGINARY_NAMES = {
    "z''(b)",
    'z"/ohm',
    "z''/ohm",
    "z''(ohm)",
    "z''(ω)",
    "z''",
    "zim",
    "zim(ohms)",
    "zim(ohm)",
    "zimg",
    "zimag",
    "im(z)/ohm",
    "im(z)",
    "imaginaryimpedance/ohm",
    "imaginary_impedance_ohm",
}
NEGATIVE_IMAGINARY_NAMES = {
    "-im(z)/ohm",
    "-im(z)",
    "-z''(ω)",
    "-z''(ohm)",
    "-z''/ohm",
    "-z''",
    '-z"/ohm',
    "-zim",
    "-zimag",
}
CYCLE_NAMES = {"cyclenumber", "cycle"}


def norm(name):
    return re.sub(r"\s+", "", name.strip().strip('"')).lower()


def find(names, wanted):
    """Position of the first of `names` that is one of `wanted`, else None."""
    for i, n in enumerate(names):
        if norm(n) in wanted:
            return i
    return None


def impedance_columns(names, where):
    """Positions of frequency, real and imaginary part, and the imaginary sign;
    `where` ("file, line n") starts the error message."""
    f = find(names, FREQUENCY_NAMES)
    re_ = find(names, REAL_NAMES)
    im = find(names, IMAGINARY_NAMES)
    sign = 1.0
    if im is None:
        im = find(names, NEGATIVE_IMAGINARY_NAMES)
        sign = -1.0
    for index, what in ((f, "frequency"), (re_, "real impedance"), (im, "imaginary impedance")):
        if index is None:
            shown = ", ".join(repr(n.strip()) for n in names if n.strip())
            raise ValueError(f"{where}: no {what} column among {shown}")
    return f, re_, im, sign
