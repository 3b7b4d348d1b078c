"""PowerSuite text exports (Princeton Applied Research): one tab-separated table."""

from __future__ import annotations

from korvex.io.common import Spectrum, Split, table


def read(lines, name):
    spectrum = Spectrum()
    table(lines, 0, name, spectrum, split=Split("\t"))
    return spectrum
