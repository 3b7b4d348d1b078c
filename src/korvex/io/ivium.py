"""Ivium `.idf` files: the "primary_data" block."""

from __future__ import annotations

import re

from korvex.io.columns import Layout
from korvex.io.common import Spectrum, Split, count_rows, declared, line_index

# Ivium writes Z', Z'' (with its sign) and the frequency.
_LAYOUT = Layout((2, 0, 1), (1.0, 1.0, 1.0))


def read(lines, name):
    spectrum = Spectrum()
    # "primary_data\r\0" and the number of columns, a line with the number of
    # points, then the points.
    start = line_index(lines, lambda s: s.startswith("primary_data"), name, "'primary_data'")
    count = lines[start + 1].strip() if start + 1 < len(lines) else ""
    if not re.fullmatch(r"[0-9]+", count):
        raise ValueError(f"{name}, line {start + 2}: expected the number of points")
    stop = start + 2 + int(count)
    declared((start + 1, int(count)), count_rows(lines, start + 2, stop), name)
    spectrum.add_rows(lines, start + 2, stop, Split(None), name, _LAYOUT)
    return spectrum
