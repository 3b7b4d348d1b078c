"""Scribner ZPlot/ZView `.z` files: a header ending in "End Comments", the
column names on the line before it."""

from __future__ import annotations

import re
import warnings

from korvex.io.common import Spectrum, line_index, table


def read(lines, name):
    spectrum = Spectrum()
    end = line_index(lines, lambda s: s.startswith("End Comments"), name, "'End Comments' line")
    rows = table(lines, end - 1, name, spectrum, start=end + 1)
    # "Data Points" counts the points planned: a sweep stopped early holds fewer.
    for line in lines[:end]:
        planned = re.match(r"\s*Data Points:\s*(\d+)", line)
        if planned and rows < int(planned.group(1)):
            warnings.warn(
                f"{name}: the sweep stopped after {rows} of {planned.group(1)} planned points",
                stacklevel=3,
            )
    return spectrum
