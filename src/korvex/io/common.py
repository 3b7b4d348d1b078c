"""What every reader shares: refusing what is not a regular file or too
large, decoding a file into lines, numbers in the ways instruments write them,
a table under a header line, and the DataFrame that `read` returns.

A table's columns are parsed by NumPy at once, with the parser of Python's
`float`; where that parse fails, the table is read again field by field, which
accepts decimal commas and names the line and column of a bad value. Both
keep float64 arrays, not Python objects per value."""

from __future__ import annotations

import itertools
import operator
import os
import stat
import warnings

import numpy as np

from korvex.io.columns import cycle_column, impedance_columns

PathLike = str | os.PathLike[str]

FREQUENCY = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAGINARY = "Imaginary Impedance / ohm"
CYCLE = "cycle"


# ---------------------------------------------------------------- files and text

# Text files larger than this are refused unless `max_bytes=` allows them.
MAX_BYTES = 10**9


def regular_file(path, max_bytes=None):
    """Refuses at once what is not a regular file (after symbolic links: a
    FIFO would block, a device never end) and, given `max_bytes`, a larger
    file; returns the size."""
    mode = os.stat(path)
    if not stat.S_ISREG(mode.st_mode):
        raise ValueError(f"{os.fspath(path)}: not a regular file (a FIFO, device or folder)")
    if max_bytes is not None and mode.st_size > max_bytes:
        raise ValueError(
            f"{os.fspath(path)}: {mode.st_size} bytes, above the limit of {max_bytes} "
            "bytes for a text file; pass max_bytes= to read it"
        )
    return mode.st_size


def check_max_bytes(max_bytes):
    if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or max_bytes < 1:
        raise ValueError(f"max_bytes must be a positive integer, not {max_bytes!r}")


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


def text_lines(path, encoding, max_bytes=MAX_BYTES):
    size = regular_file(path, max_bytes)
    with open(path, "rb") as file:
        data = file.read(size + 1)
    if len(data) > size:
        raise ValueError(f"{os.fspath(path)}: the file grew while it was read")
    text = decode(data, encoding, path.name)
    del data
    # A few NULs occur in Ivium files; text in a wrong encoding (UTF-16 without a
    # byte-order mark) is full of them.
    if text.count("\x00") > len(text) // 100:
        raise ValueError(
            f"{path.name}: not text in a known encoding (UTF-16 without a "
            "byte-order mark?); pass encoding="
        )
    # Lines end at "\n" only, as editors count them: some files hold lone "\r"s.
    if "\r" not in text:
        return text.split("\n")
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


def declared(count_line, found, name):
    """Checks a point count the file declares (line index, count) against the
    rows it holds."""
    if found < count_line[1]:
        raise ValueError(
            f"{name}, line {count_line[0] + 1}: {count_line[1]} points declared, "
            f"{found} found (truncated file?)"
        )


def count_rows(lines, start, stop):
    """The number of non-blank lines in [start, stop)."""
    return sum(map(bool, map(str.strip, lines[start:stop])))


def has_rows(lines, start, stop):
    return any(map(str.strip, lines[start:stop]))


def split_any(line):
    for delimiter in _ANY:
        if delimiter in line:
            return [field.strip() for field in line.split(delimiter)]
    return line.split()


_ANY = ("\t", ";", ",")
ANY = "any"


class Split:
    """How a table's lines split into fields: at `delimiter` (None: at runs of
    white space; ANY: at the first of tab, semicolon and comma that the line
    holds, else at white space), after stripping the line if `strip`."""

    def __init__(self, delimiter, strip=False):
        self.delimiter, self.strip = delimiter, strip

    def __call__(self, line):
        if self.strip:
            line = line.strip()
        if self.delimiter == ANY:
            return split_any(line)
        return line.split(self.delimiter)


SPLIT_ANY = Split(ANY)


def _columns_at_once(block, split, positions):
    """The fields at `positions` of the non-blank lines in `block`, as an
    (n, len(positions)) array parsed by NumPy; None where that parse could
    differ from the field-by-field one (which then names the bad value)."""
    delimiter = split.delimiter
    if delimiter == ANY:
        first = next((line for line in block if line.strip()), "")
        delimiter = next((d for d in _ANY if d in first), None)
        # A line holding a delimiter that comes first would split at it.
        earlier = _ANY[: _ANY.index(delimiter)] if delimiter else _ANY
        if any(any(map(operator.contains, block, itertools.repeat(d))) for d in earlier):
            return None
    elif split.strip and delimiter is not None:
        block = map(str.strip, block)
    try:
        return np.loadtxt(
            block, dtype=float, delimiter=delimiter, usecols=positions, comments=None, ndmin=2
        )
    except (ValueError, IndexError, TypeError, OverflowError):
        return None


def _columns_one_by_one(lines, start, stop, split, positions, labels, name):
    need = max(positions) + 1
    out = np.empty((count_rows(lines, start, stop), len(positions)))
    row = 0
    for i in range(start, min(stop, len(lines))):
        if not lines[i].strip():
            continue
        fields = split(lines[i])
        if len(fields) < need:
            raise ValueError(
                f"{name}, line {i + 1}: expected at least {need} values, "
                f"found {len(fields)} (truncated file?)"
            )
        out[row] = [number(fields[p], name, i + 1, label) for p, label in zip(positions, labels)]
        row += 1
    return out


def row_line(lines, start, row):
    """The 0-based index of the `row`-th non-blank line from `start`."""
    for i in range(start, len(lines)):
        if lines[i].strip():
            if row == 0:
                return i
            row -= 1
    raise IndexError(row)


def not_whole(values):
    """Where `values` are not whole numbers that int64 holds."""
    return ~(np.isfinite(values) & (np.abs(values) < 2.0**63) & (values == np.floor(values)))


def integers(values, lines, start, split, position, label, name):
    """`values` as int64, or a ValueError naming the first that is not a
    whole number."""
    bad = not_whole(values)
    if bad.any():
        i = row_line(lines, start, int(np.argmax(bad)))
        shown = split(lines[i])[position].strip()
        raise ValueError(f"{name}, line {i + 1}: {shown!r} in column {label} is not an integer")
    return values.astype(np.int64)


class Spectrum:
    """Columns being collected, in blocks, with the sweep each point belongs to."""

    def __init__(self):
        self.frequency, self.real, self.imaginary, self.cycle = [], [], [], []

    def __len__(self):
        return sum(len(block) for block in self.frequency)

    def add(self, frequency, real, imaginary, cycle):
        self.frequency.append(frequency)
        self.real.append(real)
        self.imaginary.append(imaginary)
        self.cycle.append(cycle)

    def add_rows(
        self, lines, start, stop, split, name, layout, cycle=1, cycle_at=None, skip_dc=False
    ):
        """Reads the non-blank lines in [start, stop) with the columns that
        `layout` places; returns their number."""
        positions = layout.positions + ((cycle_at,) if cycle_at is not None else ())
        labels = ("frequency",) + (
            ("impedance modulus", "phase")
            if layout.polar
            else ("real impedance", "imaginary impedance")
        )
        if not has_rows(lines, start, stop):
            values = np.empty((0, len(positions)))
        else:
            values = _columns_at_once(lines[start:stop], split, positions)
        if values is None:
            values = _columns_one_by_one(
                lines, start, stop, split, positions, labels + ("cycle",), name
            )
        f, a, b = (values[:, j] * s for j, s in enumerate(layout.scales))
        if layout.polar:
            a, b = a * np.cos(b), a * np.sin(b)
        if cycle_at is None:
            cycles = np.full(len(f), cycle, dtype=np.int64)
        else:
            cycles = integers(values[:, 3], lines, start, split, cycle_at, "cycle", name)
        if skip_dc:
            keep = f != 0.0
            f, a, b, cycles = f[keep], a[keep], b[keep], cycles[keep]
        self.add(f, a, b, cycles)
        return len(values)


def table(
    lines,
    header,
    name,
    spectrum,
    split=SPLIT_ANY,
    start=None,
    stop=None,
    cycle=1,
    skip_dc=False,
    names=None,
    hint="",
):
    """Reads the rows under the header line at index `header` into `spectrum`;
    returns their number."""
    names = split(lines[header]) if names is None else names
    layout = impedance_columns(names, f"{name}, line {header + 1}", hint)
    start = header + 1 if start is None else start
    stop = len(lines) if stop is None else stop
    if not has_rows(lines, start, stop):
        raise ValueError(f"{name}, line {header + 1}: no data rows after the header")
    return spectrum.add_rows(
        lines, start, stop, split, name, layout, cycle, cycle_column(names), skip_dc
    )


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
            FREQUENCY: np.concatenate(spectrum.frequency or [[]]).astype(np.float64, copy=False),
            REAL: np.concatenate(spectrum.real or [[]]).astype(np.float64, copy=False),
            IMAGINARY: np.concatenate(spectrum.imaginary or [[]]).astype(np.float64, copy=False),
            CYCLE: np.concatenate(spectrum.cycle or [[]]).astype(np.int64, copy=False),
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
