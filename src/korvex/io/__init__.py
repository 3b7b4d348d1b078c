"""Impedance files as instrument software writes them, read into pandas frames.

`read(path)` returns a `pandas.DataFrame` with the battery-data-format columns
that `Circuit.fit` reads (`"Frequency / Hz"`, `"Real Impedance / ohm"`,
`"Imaginary Impedance / ohm"`, imaginary parts with their measured sign:
negative for capacitive behaviour) and a `"cycle"` column numbering the
sweeps of files that hold several (1 otherwise). `read_many` stacks many files
into one frame with a `"file"` column. pandas is imported on first use.

Formats (`format=`; detected from the first lines, then the extension):
`zplot` (ZPlot/ZView `.z`), `gamry` (`.DTA`, every ZCURVE table), `biologic`
(EC-Lab `.mpt` text export, `-Im(Z)` turned back into Im Z), `biologic_mpr`
(EC-Lab binary `.mpr`, through the optional GPL-3 package galvani), `autolab`
(Z60W-style text export), `chinstruments` (CH Instruments text), `parstat`
(Parstat text export), `powersuite` (PowerSuite text), `versastudio`
(VersaStudio `.par`, one cycle per data segment), `ivium` (`.idf`) and `csv`
(comma-, semicolon- or tab-separated text: common column names such as
`f`, `Freq/Hz`, `Z'`, `-Z''`, `Re(Z)`, `Zimag`, `|Z|` and `phase` are
recognised with their units, see `korvex.io.columns`; no header means
frequency, Re Z, Im Z; `columns=` names other columns).

Limits: only regular files are read (after following symbolic links; a FIFO,
a device or a folder is refused at once with a ValueError naming the path),
and text files larger than `MAX_BYTES` (1 GB) are refused before reading;
`max_bytes=` raises the limit. The numeric tables are parsed column by column,
in time linear in the file's size and with memory a few times the file's.
Every malformed value is a ValueError naming the file, the line and the
column; the `cycle` column accepts whole numbers only.

Each format is read by the module of its name in this package (`biologic_mpr`
by `biologic`), from the lines that `common` decodes and with the table and
number helpers there; `columns` knows the header names, `detect` the formats.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING

from korvex.io import (
    autolab,
    biologic,
    chinstruments,
    csv,
    gamry,
    ivium,
    parstat,
    powersuite,
    versastudio,
    zplot,
)
from korvex.io.common import (
    CYCLE,
    FREQUENCY,
    IMAGINARY,
    MAX_BYTES,
    REAL,
    PathLike,
    build_frame,
    check_max_bytes,
    import_pandas,
    regular_file,
    text_lines,
)
from korvex.io.detect import FORMATS, detect_format

if TYPE_CHECKING:
    import pandas

__all__ = [
    "read",
    "read_many",
    "detect_format",
    "FORMATS",
    "FREQUENCY",
    "REAL",
    "IMAGINARY",
    "CYCLE",
    "MAX_BYTES",
    "PathLike",
]

# The text formats, each read from the file's lines (biologic_mpr is binary).
_READERS = {
    "zplot": zplot.read,
    "gamry": gamry.read,
    "biologic": biologic.read,
    "autolab": autolab.read,
    "chinstruments": chinstruments.read,
    "parstat": parstat.read,
    "powersuite": powersuite.read,
    "versastudio": versastudio.read,
    "ivium": ivium.read,
    "csv": csv.read,
}


def read(
    path: PathLike,
    format: str | None = None,
    *,
    columns: Mapping[str, str | int] | None = None,
    encoding: str | None = None,
    max_bytes: int = MAX_BYTES,
) -> pandas.DataFrame:
    """The impedance spectrum (or spectra) in an instrument file, as a DataFrame.

    `format` overrides the detection (one of `korvex.io.FORMATS`). Plain
    CSV/TSV headers are read by what their names say, with units (`f`,
    `Freq/Hz`, `Z' [kOhm]`, `-Z''`, `Re(Z)`, `Zimag`, `|Z|`, `phase`; see
    `korvex.io.columns`): a leading minus marks a column of -Im Z, and a
    column named Im Z or Z'' is taken as Im Z whatever the sign of its
    values; a file without a header holds frequency, Re Z and Im Z. `columns`
    (plain text only) maps `"frequency"`, `"real"` and `"imaginary"` (or
    `"negative_imaginary"` for a column of -Im Z) to column names or 0-based
    positions. `encoding` overrides the text decoding (UTF-8 with or without a
    byte-order mark, UTF-16 with one, else Latin-1). A file whose sweep was
    aborted or that holds several sweeps is read as far as it goes, with a
    warning; a file that cannot be read raises ValueError naming the file and
    line. `frame.attrs` holds the `"format"` and the `"path"`.

    Only regular files are read: anything else (a FIFO, a device, a folder,
    a link to one) is refused with a ValueError before it is opened. Text
    files larger than `max_bytes` (default `MAX_BYTES`, 1 GB) are refused
    before reading.
    """
    check_max_bytes(max_bytes)
    path = Path(os.fspath(path))
    name = path.name
    regular_file(path)
    if format is None:
        format = detect_format(path)
    elif format not in FORMATS:
        raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
    if columns is not None and format != "csv":
        raise ValueError("columns= applies to the csv format only")
    if format == "biologic_mpr":
        spectrum = biologic.read_mpr(path)
    else:
        lines = text_lines(path, encoding, max_bytes)
        reader = _READERS[format]
        spectrum = reader(lines, name, columns) if format == "csv" else reader(lines, name)
    return build_frame(spectrum, name, format, str(path))


def read_many(
    paths: PathLike | Iterable[PathLike],
    format: str | None = None,
    *,
    columns: Mapping[str, str | int] | None = None,
    encoding: str | None = None,
    max_bytes: int = MAX_BYTES,
) -> pandas.DataFrame:
    """Many files in one long DataFrame with a leading `"file"` column.

    `paths` is one path, a glob pattern (`"data/*.DTA"`, sorted), or an
    iterable of paths. A path that exists is read as it is, even where it
    looks like a pattern (`"cell[1].csv"`); only a name that is not an
    existing file is expanded as a pattern (`glob.escape` turns a name into a
    pattern that matches only itself). Every file goes through `read()` with
    the same arguments; select a spectrum with
    `frame.groupby(["file", "cycle"])`.
    """
    pd = import_pandas()
    if isinstance(paths, (str, os.PathLike)):
        text = os.fspath(paths)
        if glob.has_magic(text) and not os.path.lexists(text):
            paths = sorted(glob.glob(text))
            if not paths:
                raise ValueError(f"no files match {text!r}")
        else:
            paths = [text]
    frames = []
    for p in paths:
        frame = read(p, format, columns=columns, encoding=encoding, max_bytes=max_bytes)
        frame.insert(0, "file", os.fspath(p))
        frames.append(frame)
    if not frames:
        raise ValueError("no files to read")
    return pd.concat(frames, ignore_index=True)
