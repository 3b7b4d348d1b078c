"""What every reader shares: decoding a file into lines, numbers in the ways
instruments write them, a table under a header line, and the DataFrame that
`read` returns."""

from __future__ import annotations

import os
import warnings

from korvex.io.columns import CYCLE_NAMES, find, impedance_columns

PathLike = str | os.PathLike[str]

FREQUENCY = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAGINARY = "Imaginary Impedance / ohm"
CYCLE = "cycle"


# ---------------------------------------------------------------- text


def decode(data, encoding, name, strict=True):
    if encoding is not None:
        try:
            return data.decode(encoding)
        except UnicodeDecodeError as error:
            raise ValueError(
                f"{name}: not {encoding} text ({error.reason} at byte {error.start})"
            ) from None
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError:
            if strict:
                raise ValueError(f"{name}: broken UTF-16 text") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("latin-1")  # instrument software on Windows: Latin-1/cp1252


def text_lines(path, encoding):
    text = decode(path.read_bytes(), encoding, path.name)
    # A few NULs occur in Ivium files; text in a wrong encoding (UTF-16 without a
    # byte-order mark) is full of them.
    if text.count("\x00") > len(text) // 100:
        raise ValueError(
            f"{path.name}: not text in a known encoding (UTF-16 without a "
            "byte-order mark?); pass encoding="
        )
    # Lines end at "\n" only, as editors count them: some files hold lone "\r"s.
    return [line.rstrip("\r") for line in text.split("\n")]


def line_index(lines, test, name, what):
    for i, line in enumerate(lines):
        if test(line):
            return i
    raise ValueError(f"{name}: no {what} (wrong format or truncated file?)")


# ---------------------------------------------------------------- numbers and rows


def number(text, name, line, column):
    try:
        return float(text)
    except ValueError:
        pass
    try:
        return float(text.replace(",", "."))  # a decimal comma
    except ValueError:
        shown = text.strip() or "an empty field"
        raise ValueError(
            f"{name}, line {line}: {shown!r} in column {column} is not a number"
        ) from None


def is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def rows(lines, start, stop, split):
    """(1-based line number, fields) of the non-blank lines in [start, stop)."""
    return [
        (i + 1, split(lines[i])) for i in range(start, min(stop, len(lines))) if lines[i].strip()
    ]


def split_any(line):
    for delimiter in ("\t", ";", ","):
        if delimiter in line:
            return [field.strip() for field in line.split(delimiter)]
    return line.split()


def declared(count_line, found, name):
    """Checks a point count the file declares (line index, count) against the
    rows it holds."""
    if found < count_line[1]:
        raise ValueError(
            f"{name}, line {count_line[0] + 1}: {count_line[1]} points declared, "
            f"{found} found (truncated file?)"
        )


class Spectrum:
    """Columns being collected, with the sweep each point belongs to."""

    def __init__(self):
        self.frequency, self.real, self.imaginary, self.cycle = [], [], [], []

    def add_rows(self, rows, name, positions, sign, cycle=1, cycle_at=None, skip_dc=False):
        """rows: (line number, fields); positions: frequency, real, imaginary."""
        need = max(positions + ((cycle_at,) if cycle_at is not None else ())) + 1
        labels = ("frequency", "real impedance", "imaginary impedance")
        for line, fields in rows:
            if len(fields) < need:
                raise ValueError(
                    f"{name}, line {line}: expected at least {need} values, "
                    f"found {len(fields)} (truncated file?)"
                )
            f, re_, im = (
                number(fields[i], name, line, label) for i, label in zip(positions, labels)
            )
            if skip_dc and f == 0.0:
                continue
            self.frequency.append(f)
            self.real.append(re_)
            self.imaginary.append(sign * im)
            if cycle_at is None:
                self.cycle.append(cycle)
            else:
                self.cycle.append(int(number(fields[cycle_at], name, line, "cycle")))


def table(
    lines,
    header,
    name,
    spectrum,
    split=split_any,
    start=None,
    stop=None,
    cycle=1,
    skip_dc=False,
    names=None,
):
    """Reads the rows under the header line at index `header` into `spectrum`;
    returns their number."""
    names = split(lines[header]) if names is None else names
    f, re_, im, sign = impedance_columns(names, f"{name}, line {header + 1}")
    cycle_at = find(names, CYCLE_NAMES)
    found = rows(
        lines, header + 1 if start is None else start, len(lines) if stop is None else stop, split
    )
    if not found:
        raise ValueError(f"{name}, line {header + 1}: no data rows after the header")
    spectrum.add_rows(found, name, (f, re_, im), sign, cycle, cycle_at, skip_dc)
    return len(found)


# ---------------------------------------------------------------- the frame


def import_pandas():
    try:
        import pandas
    except ImportError:
        raise ImportError("korvex.io needs pandas: pip install 'korvex-eis[io]'") from None
    return pandas


def build_frame(spectrum, name, format, path):
    """The DataFrame of `spectrum`, warning when it holds several sweeps."""
    pd = import_pandas()
    out = pd.DataFrame(
        {
            FREQUENCY: pd.Series(spectrum.frequency, dtype="float64"),
            REAL: pd.Series(spectrum.real, dtype="float64"),
            IMAGINARY: pd.Series(spectrum.imaginary, dtype="float64"),
            CYCLE: pd.Series(spectrum.cycle, dtype="int64"),
        }
    )
    sweeps = out[CYCLE].nunique()
    if sweeps > 1:
        warnings.warn(
            f"{name} holds {sweeps} sweeps (column 'cycle'): select one before fitting",
            stacklevel=3,
        )
    out.attrs.update(format=format, path=path)
    return out
