"""BioLogic EC-Lab files: the `.mpt` text export (its header states its own
length) and the binary `.mpr`, read through the optional GPL-3 package galvani."""

from __future__ import annotations

import re

import numpy as np

from korvex.io.columns import cycle_column, impedance_columns
from korvex.io.common import Spectrum, Split, not_whole, table


def read(lines, name):
    spectrum = Spectrum()
    match = re.match(r"Nb header lines\s*:\s*(\d+)", lines[1] if len(lines) > 1 else "")
    if not match:
        raise ValueError(f"{name}, line 2: expected 'Nb header lines : N'")
    header = int(match.group(1)) - 1
    if header < 2:
        raise ValueError(f"{name}, line 2: {header + 1} header lines declared")
    if header >= len(lines):
        raise ValueError(
            f"{name}: {header + 1} header lines declared, the file has "
            f"{len(lines)} lines (truncated file?)"
        )
    table(lines, header, name, spectrum, split=Split("\t"))
    return spectrum


def read_mpr(path):
    try:
        from galvani import BioLogic
    except ImportError:
        raise ImportError(
            "reading BioLogic .mpr files needs the optional package galvani (GPL-3.0, not "
            "installed with korvex): pip install galvani, or export the file as .mpt text "
            "from EC-Lab"
        ) from None
    try:
        with open(path, "rb") as file:
            data = BioLogic.MPRfile(file).data
    except Exception as error:  # galvani raises many kinds on broken files
        reason = " ".join(str(error).split())
        raise ValueError(f"{path.name}: not a readable BioLogic .mpr file ({reason})") from error
    names = data.dtype.names
    layout = impedance_columns(list(names), path.name)
    if not len(data):
        raise ValueError(f"{path.name}: no data points")
    f, a, b = (
        np.asarray(data[names[p]], dtype=np.float64) * s
        for p, s in zip(layout.positions, layout.scales)
    )
    if layout.polar:
        a, b = a * np.cos(b), a * np.sin(b)
    cycle_at = cycle_column(names)
    if cycle_at is None:
        cycles = np.ones(len(f), dtype=np.int64)
    else:
        values = np.asarray(data[names[cycle_at]], dtype=np.float64)
        bad = not_whole(values)
        if bad.any():
            point = int(np.argmax(bad))
            raise ValueError(
                f"{path.name}, point {point + 1}: {values[point]!r} in column cycle "
                "is not an integer"
            )
        cycles = values.astype(np.int64)
    spectrum = Spectrum()
    spectrum.add(f, a, b, cycles)
    return spectrum
