"""Metrohm Autolab text exports (Z60W style): a quoted header, then
comma-separated rows."""

from __future__ import annotations

import re

from korvex.io.common import Spectrum, Split, declared, line_index, table


def read(lines, name):
    spectrum = Spectrum()
    header = line_index(lines, lambda s: "Freq" in s, name, "header line with 'Freq'")
    # A quoted header of names that hold single spaces, then comma-separated rows.
    names = re.split(r"\s{2,}", lines[header].strip().strip('"').strip())
    rows = table(
        lines,
        header,
        name,
        spectrum,
        names=names,
        split=Split(","),
    )
    count = lines[header - 1].strip() if header else ""
    if re.fullmatch(r"[0-9]+", count):
        declared((header - 1, int(count)), rows, name)
    return spectrum
