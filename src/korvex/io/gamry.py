"""Gamry `.DTA` files: every ZCURVE table, one cycle each."""

from __future__ import annotations

import re
import warnings

from korvex.io.common import Spectrum, Split, table


def read(lines, name):
    spectrum = Spectrum()
    starts = [i for i, line in enumerate(lines) if re.match(r"ZCURVE\d*\tTABLE", line)]
    if not starts:
        raise ValueError(f"{name}: no ZCURVE table (not an impedance file?)")
    for cycle, start in enumerate(starts, 1):
        # The table's name, its column names, their units, then indented rows.
        stop = start + 3
        while stop < len(lines) and lines[stop].startswith(("\t", " ")) and lines[stop].strip():
            stop += 1
        if stop == start + 3:
            raise ValueError(f"{name}, line {start + 1}: ZCURVE table without data rows")
        table(
            lines,
            start + 1,
            name,
            spectrum,
            split=Split("\t", strip=True),
            start=start + 3,
            stop=stop,
            cycle=cycle,
        )
    if any(line.startswith("EXPERIMENTABORTED") for line in lines):
        warnings.warn(
            f"{name}: the experiment was aborted; read the {len(spectrum)} points measured",
            stacklevel=3,
        )
    return spectrum
