"""Plain comma-, semicolon- or tab-separated text: a header the column names
recognise, no header (frequency, Re Z, Im Z), or the columns named by
`columns=`."""

from __future__ import annotations

from korvex.io.common import Spectrum, is_number, rows, split_any, table


def read(lines, name, columns=None):
    spectrum = Spectrum()
    first = next((i for i, line in enumerate(lines) if line.strip()), None)
    if first is None:
        raise ValueError(f"{name}: empty file")
    fields = split_any(lines[first])
    headerless = all(is_number(f) for f in fields)
    if columns is None:
        if headerless:  # frequency, Re Z, Im Z
            spectrum.add_rows(rows(lines, first, len(lines), split_any), name, (0, 1, 2), 1.0)
            return spectrum
        table(lines, first, name, spectrum)
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
            positions.append(wanted)
        elif headerless or wanted not in fields:
            raise ValueError(
                f"{name}, line {first + 1}: no column {wanted!r} (for {key}) "
                f"among {', '.join(map(repr, fields))}"
            )
        else:
            positions.append(fields.index(wanted))
    start = first if headerless else first + 1
    spectrum.add_rows(rows(lines, start, len(lines), split_any), name, tuple(positions), sign)
    return spectrum
