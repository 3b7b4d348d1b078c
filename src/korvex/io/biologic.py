"""BioLogic EC-Lab files: the `.mpt` text export (its header states its own
length) and the binary `.mpr`, read through the optional GPL-3 package galvani."""

from __future__ import annotations

import re

from korvex.io.columns import CYCLE_NAMES, find, impedance_columns
from korvex.io.common import Spectrum, table


def read(lines, name):
    spectrum = Spectrum()
    match = re.match(r"Nb header lines\s*:\s*(\d+)", lines[1] if len(lines) > 1 else "")
    if not match:
        raise ValueError(f"{name}, line 2: expected 'Nb header lines : N'")
    header = int(match.group(1)) - 1
    if header >= len(lines):
        raise ValueError(
            f"{name}: {header + 1} header lines declared, the file has "
            f"{len(lines)} lines (truncated file?)"
        )
    table(lines, header, name, spectrum, split=lambda s: s.split("\t"))
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
    f, re_, im, sign = impedance_columns(list(names), path.name)
    spectrum = Spectrum()
    spectrum.frequency = [float(v) for v in data[names[f]]]
    spectrum.real = [float(v) for v in data[names[re_]]]
    spectrum.imaginary = [sign * float(v) for v in data[names[im]]]
    cycle_at = find(names, CYCLE_NAMES)
    spectrum.cycle = (
        [int(v) for v in data[names[cycle_at]]]
        if cycle_at is not None
        else [1] * len(spectrum.frequency)
    )
    if not spectrum.frequency:
        raise ValueError(f"{path.name}: no data points")
    return spectrum
