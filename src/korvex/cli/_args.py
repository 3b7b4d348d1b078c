"""Argument types and the options every file command shares.

Each type refuses a bad value while the command line is parsed, so that a typo
ends in a one-line usage error before any file is read.
"""

from __future__ import annotations

import argparse
import math

TABLE_SUFFIXES = (".csv", ".parquet", ".json")
_COLUMN_KEYS = ("frequency", "real", "imaginary", "negative_imaginary")


class UsageError(Exception):
    """A user error found after parsing: reported in one line, exit status 2."""


def finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def positive(text: str) -> float:
    value = finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not above 0")
    return value


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not 1 or more")
    return value


def starts(text: str) -> int | str:
    return "auto" if text == "auto" else count(text)


def constant(text: str) -> tuple[str, float]:
    """NAME=VALUE, a parameter held at a finite value."""
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {text!r}")
    try:
        return name, finite(value)
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{error} (in {text!r})") from None


def bound(text: str) -> tuple[str, tuple[float | None, float | None]]:
    """NAME=LO:HI, either side empty for no limit."""
    name, sep, limits = text.partition("=")
    lo, colon, hi = limits.partition(":")
    if not sep or not name or not colon:
        raise argparse.ArgumentTypeError(f"expected NAME=LO:HI, got {text!r}")
    try:
        low = finite(lo) if lo else None
        high = finite(hi) if hi else None
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{error} (in {text!r})") from None
    if low is not None and high is not None and low >= high:
        raise argparse.ArgumentTypeError(f"the lower bound is not below the upper (in {text!r})")
    return name, (low, high)


def columns(text: str) -> dict[str, str | int]:
    """FREQ,REAL,IMAG (names or 0-based positions), or KEY=COLUMN pairs."""
    items = [item.strip() for item in text.split(",")]
    if all("=" in item for item in items):
        pairs = [item.split("=", 1) for item in items]
    elif len(items) == 3 and not any("=" in item for item in items):
        pairs = list(zip(_COLUMN_KEYS, items))
    else:
        raise argparse.ArgumentTypeError(
            f"expected FREQ,REAL,IMAG or KEY=COLUMN,... (keys {', '.join(_COLUMN_KEYS)}), "
            f"got {text!r}"
        )
    mapping: dict[str, str | int] = {}
    for key, column in pairs:
        if key not in _COLUMN_KEYS:
            raise argparse.ArgumentTypeError(
                f"unknown column key {key!r}: use {', '.join(_COLUMN_KEYS)}"
            )
        if not column:
            raise argparse.ArgumentTypeError(f"no column given for {key!r}")
        mapping[key] = int(column) if column.isdigit() else column
    return mapping


def add_file_options(command: argparse.ArgumentParser, *, plots: bool = True) -> None:
    """The input, window and output options of every command that reads files."""
    from korvex.io import FORMATS

    command.add_argument(
        "files",
        nargs="+",
        metavar="FILE",
        help="spectra in any format korvex.read reads; a file of several sweeps "
        'gives one entry per sweep, named "FILE#<cycle>"; a file given twice is read once',
    )
    read = command.add_argument_group("reading")
    read.add_argument(
        "--format",
        choices=FORMATS,
        metavar="NAME",
        help=f"file format instead of detecting it: {', '.join(FORMATS)}",
    )
    read.add_argument(
        "--columns",
        type=columns,
        metavar="SPEC",
        help="columns of plain-text tables: FREQ,REAL,IMAG by name or 0-based position "
        '(e.g. "f,re,im" or "0,1,2"), or KEY=COLUMN pairs with the keys frequency, real, '
        'imaginary and negative_imaginary (e.g. "frequency=f,real=re,negative_imaginary=-im")',
    )
    read.add_argument(
        "--fmin", type=positive, metavar="HZ", help="drop points below this frequency"
    )
    read.add_argument(
        "--fmax", type=positive, metavar="HZ", help="drop points above this frequency"
    )
    out = command.add_argument_group("output")
    out.add_argument(
        "--json",
        action="store_true",
        help="print one JSON document on stdout instead of tables (NaN and infinity as null)",
    )
    out.add_argument(
        "-o",
        "--output",
        metavar="PATH",
        help="also write the results table: .csv, .parquet (needs pyarrow or fastparquet) "
        "or .json; the folder must exist",
    )
    if plots:
        out.add_argument(
            "--plots",
            metavar="DIR",
            help="write one PNG per spectrum into DIR (created if missing), named after the "
            "file, with parent folders added where two files share a name",
        )
    out.add_argument(
        "--force", action="store_true", help="overwrite existing outputs (never an input file)"
    )
