"""Parstat text exports (Princeton Applied Research): a tab-separated table
whose first rows may be the DC record before the sweep."""

from __future__ import annotations

from korvex.io.common import Spectrum, Split, table


def read(lines, name):
    spectrum = Spectrum()
    # Rows of frequency 0 are the DC record before the sweep.
    table(lines, 0, name, spectrum, split=Split("\t"), skip_dc=True)
    return spectrum
