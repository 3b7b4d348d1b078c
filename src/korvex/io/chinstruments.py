"""CH Instruments text exports: a "Freq/Hz" header, then comma-separated rows."""

from __future__ import annotations

from korvex.io.common import Spectrum, Split, line_index, table


def read(lines, name):
    spectrum = Spectrum()
    header = line_index(lines, lambda s: s.startswith("Freq/Hz"), name, "'Freq/Hz' header")
    table(lines, header, name, spectrum, split=Split(","))
    return spectrum
