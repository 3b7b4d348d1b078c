"""Ivium `.idf` files: the "primary_data" block."""

from __future__ import annotations

from korvex.io.common import Spectrum, declared, line_index, rows


def read(lines, name):
    spectrum = Spectrum()
    # "primary_data\r\0" and the number of columns, a line with the number of
    # points, then the points.
    start = line_index(lines, lambda s: s.startswith("primary_data"), name, "'primary_data'")
    count = lines[start + 1].strip() if start + 1 < len(lines) else ""
    if not count.isdigit():
        raise ValueError(f"{name}, line {start + 2}: expected the number of points")
    found = rows(lines, start + 2, start + 2 + int(count), str.split)
    declared((start + 1, int(count)), len(found), name)
    # Ivium writes Z', Z'' (with its sign) and the frequency.
    spectrum.add_rows(found, name, (2, 0, 1), 1.0)
    return spectrum
