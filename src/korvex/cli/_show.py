"""What the commands print: aligned tables for people, JSON for programs,
and warnings as one `korvex: warning:` line each on stderr."""

from __future__ import annotations

import json
import math
import sys
import warnings
from collections.abc import Iterator
from contextlib import contextmanager

import numpy as np


def cell(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, (bool, np.bool_)):
        return "yes" if value else "no"
    if isinstance(value, (int, np.integer)):
        return str(value)
    if isinstance(value, (float, np.floating)):
        return "nan" if math.isnan(value) else f"{value:.4g}"
    return str(value)


def table(headers: list[str], rows: list[list]) -> str:
    """Columns padded to their widest cell; numbers right-aligned."""
    cells = [[cell(v) for v in row] for row in rows]
    numeric = [
        all(
            isinstance(row[j], (int, float, np.number)) and not isinstance(row[j], bool)
            for row in rows
            if row[j] is not None
        )
        for j in range(len(headers))
    ]
    widths = [max([len(h)] + [len(r[j]) for r in cells]) for j, h in enumerate(headers)]

    def line(items):
        padded = [
            s.rjust(w) if right else s.ljust(w) for s, w, right in zip(items, widths, numeric)
        ]
        return "  ".join(padded).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths]), *map(line, cells)])


def plain(value):
    """`value` with NumPy scalars and arrays as Python values, non-finite floats as None."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, complex):
        return [plain(value.real), plain(value.imag)]
    return value if value is None or isinstance(value, str) else str(value)


def print_json(value) -> None:
    print(json.dumps(plain(value), indent=1, allow_nan=False))


def note(text: str) -> None:
    print(f"korvex: {text}", file=sys.stderr)


@contextmanager
def clean_warnings() -> Iterator[None]:
    """Show each distinct warning once, as `korvex: warning: <message>`."""
    shown: set[str] = set()

    def show(message, category, filename, lineno, file=None, line=None):
        text = " ".join(str(message).split())
        if text not in shown:
            shown.add(text)
            print(f"korvex: warning: {text}", file=sys.stderr)

    with warnings.catch_warnings():
        warnings.simplefilter("default")
        warnings.showwarning = show
        yield
