"""Plain comma-, semicolon- or tab-separated text: a header whose names say
what the columns hold (see `korvex.io.columns`; a row of units may follow
it), no header (frequency, Re Z, Im Z), or the columns named by `columns=`.
Lines starting with "#" before the table are comments."""

from __future__ import annotations

import itertools

from korvex.io.columns import Layout, is_unit
from korvex.io.common import SPLIT_ANY, Spectrum, has_rows, is_number, split_any, table

_HINT = "; pass columns= to name the frequency, real and imaginary columns"


def read(lines, name, columns=None):
    spectrum = Spectrum()
    first = next(
        (i for i, line in enumerate(lines) if line.strip() and not line.startswith("#")), None
    )
    if first is None:
        raise ValueError(f"{name}: empty file")
    fields = split_any(lines[first])
    headerless = all(is_number(f) for f in fields)
    if columns is None:
        if headerless:  # frequency, Re Z, Im Z
            layout = Layout((0, 1, 2), (1.0, 1.0, 1.0))
            spectrum.add_rows(lines, first, len(lines), SPLIT_ANY, name, layout)
            return spectrum
        units = next((i for i in range(first + 1, len(lines)) if lines[i].strip()), None)
        row = split_any(lines[units]) if units is not None else []
        if any(row) and all(is_unit(u) for u in row if u):
            # A row of units under the names: "Frequency,Z'" then "Hz,Ohm".
            names = [f"{n} ({u})" if u else n for n, u in itertools.zip_longest(fields, row)]
            table(lines, first, name, spectrum, start=units + 1, names=names, hint=_HINT)
        else:
            table(lines, first, name, spectrum, hint=_HINT)
        return spectrum
    unknown = set(columns) - {"frequency", "real", "imaginary", "negative_imaginary"}
    if (
        unknown
        or not {"frequency", "real"} <= set(columns)
        or ("imaginary" in columns) == ("negative_imaginary" in columns)
    ):
        raise ValueError(
            "columns= maps 'frequency', 'real' and one of 'imaginary' or "
            "'negative_imaginary' to column names or positions"
        )
    sign = -1.0 if "negative_imaginary" in columns else 1.0
    keys = ("frequency", "real", "negative_imaginary" if sign < 0 else "imaginary")
    positions = []
    for key in keys:
        wanted = columns[key]
        if isinstance(wanted, int):
            if wanted < 0:
                raise ValueError(f"columns=: position {wanted} (for {key}) is negative")
            positions.append(wanted)
        elif headerless or wanted not in fields:
            raise ValueError(
                f"{name}, line {first + 1}: no column {wanted!r} (for {key}) "
                f"among {', '.join(map(repr, fields))}"
            )
        else:
            positions.append(fields.index(wanted))
    start = first if headerless else first + 1
    if not has_rows(lines, start, len(lines)):
        raise ValueError(f"{name}, line {first + 1}: no data rows after the header")
    layout = Layout(tuple(positions), (1.0, 1.0, sign))
    spectrum.add_rows(lines, start, len(lines), SPLIT_ANY, name, layout)
    return spectrum
