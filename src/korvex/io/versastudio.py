"""VersaStudio `.par` files (Princeton Applied Research): one cycle per
`<Segment>` of data, its columns named on the "Definition=" line."""

from __future__ import annotations

import re

from korvex.io.common import Spectrum, line_index, table


def read(lines, name):
    spectrum = Spectrum()
    cycle = 0
    for i, line in enumerate(lines):
        if not re.fullmatch(r"<Segment\d+>", line.strip()):
            continue
        definition = (
            line_index(
                lines[i:],
                lambda s: s.startswith("Definition="),
                name,
                "'Definition=' line in a segment",
            )
            + i
        )
        stop = (
            line_index(
                lines[i:], lambda s: s.startswith("</Segment"), name, "end of a data segment"
            )
            + i
        )
        cycle += 1
        table(
            lines,
            definition,
            name,
            spectrum,
            split=lambda s: s.split(","),
            stop=stop,
            cycle=cycle,
            names=lines[definition][len("Definition=") :].split(","),
        )
    if not cycle:
        raise ValueError(f"{name}: no <Segment> with data")
    return spectrum
