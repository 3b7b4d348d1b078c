"""VersaStudio `.par` files (Princeton Applied Research): one cycle per
`<Segment>` of data, its columns named on the "Definition=" line."""

from __future__ import annotations

import re

from korvex.io.common import Spectrum, Split, table


def read(lines, name):
    spectrum = Spectrum()
    cycle = 0
    segment = definition = None  # the open segment's lines, in one pass
    for i, line in enumerate(lines):
        if re.fullmatch(r"<Segment\d+>", line.strip()):
            segment, definition = i, None
        elif segment is None:
            continue
        elif definition is None and line.startswith("Definition="):
            definition = i
        elif line.startswith("</Segment"):
            if definition is None:
                raise ValueError(f"{name}, line {segment + 1}: a segment without 'Definition='")
            cycle += 1
            table(
                lines,
                definition,
                name,
                spectrum,
                split=Split(","),
                stop=i,
                cycle=cycle,
                names=lines[definition][len("Definition=") :].split(","),
            )
            segment = None
    if segment is not None:
        raise ValueError(
            f"{name}, line {segment + 1}: no end of the data segment (truncated file?)"
        )
    if not cycle:
        raise ValueError(f"{name}: no <Segment> with data")
    return spectrum
