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
(comma-, semicolon- or tab-separated text; `columns=` names the columns).
"""

from __future__ import annotations

import glob
import os
import re
import warnings
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas

PathLike = str | os.PathLike[str]

FREQUENCY = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAGINARY = "Imaginary Impedance / ohm"
CYCLE = "cycle"

FORMATS = (
    "zplot",
    "gamry",
    "biologic",
    "biologic_mpr",
    "autolab",
    "chinstruments",
    "parstat",
    "powersuite",
    "versastudio",
    "ivium",
    "csv",
)

_EXTENSIONS = {
    ".z": "zplot",
    ".dta": "gamry",
    ".mpt": "biologic",
    ".mpr": "biologic_mpr",
    ".idf": "ivium",
    ".par": "versastudio",
    ".csv": "csv",
    ".tsv": "csv",
    ".txt": "csv",
}

# Header names seen in instrument exports, compared without case, white space
# and quotes. A column of -Im Z is turned back into Im Z.
_FREQUENCY_NAMES = {
    "freq(hz)",
    "freq/hz",
    "freq",
    "frequency",
    "frequency(hz)",
    "frequency/hz",
    "frequency_hertz",
    "f/hz",
    "f(hz)",
}
_REAL_NAMES = {
    "z'(a)",
    "z'/ohm",
    "z'(ohm)",
    "z'(ω)",
    "z'",
    "zre",
    "zre(ohms)",
    "zre(ohm)",
    "zreal",
    "re(z)/ohm",
    "re(z)",
    "realimpedance/ohm",
    "real_impedance_ohm",
}
_IMAGINARY_NAMES = {
    "z''(b)",
    'z"/ohm',
    "z''/ohm",
    "z''(ohm)",
    "z''(ω)",
    "z''",
    "zim",
    "zim(ohms)",
    "zim(ohm)",
    "zimg",
    "zimag",
    "im(z)/ohm",
    "im(z)",
    "imaginaryimpedance/ohm",
    "imaginary_impedance_ohm",
}
_NEGATIVE_IMAGINARY_NAMES = {
    "-im(z)/ohm",
    "-im(z)",
    "-z''(ω)",
    "-z''(ohm)",
    "-z''/ohm",
    "-z''",
    '-z"/ohm',
    "-zim",
    "-zimag",
}
_CYCLE_NAMES = {"cyclenumber", "cycle"}


def read(
    path: PathLike,
    format: str | None = None,
    *,
    columns: Mapping[str, str | int] | None = None,
    encoding: str | None = None,
) -> pandas.DataFrame:
    """The impedance spectrum (or spectra) in an instrument file, as a DataFrame.

    `format` overrides the detection (one of `korvex.io.FORMATS`). `columns`
    (plain text only) maps `"frequency"`, `"real"` and `"imaginary"` (or
    `"negative_imaginary"` for a column of -Im Z) to column names or 0-based
    positions. `encoding` overrides the text decoding (UTF-8 with or without a
    byte-order mark, UTF-16 with one, else Latin-1). A file whose sweep was
    aborted or that holds several sweeps is read as far as it goes, with a
    warning; a file that cannot be read raises ValueError naming the file and
    line. `frame.attrs` holds the `"format"` and the `"path"`.
    """
    path = Path(os.fspath(path))
    name = path.name
    if format is None:
        format = detect_format(path)
    elif format not in FORMATS:
        raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
    if columns is not None and format != "csv":
        raise ValueError("columns= applies to the csv format only")
    if format == "biologic_mpr":
        spectrum = _read_mpr(path)
    else:
        lines = _text_lines(path, encoding)
        reader = _READERS[format]
        spectrum = reader(lines, name, columns) if format == "csv" else reader(lines, name)
    return _frame(spectrum, name, format, str(path))


def read_many(
    paths: PathLike | Iterable[PathLike],
    format: str | None = None,
    *,
    columns: Mapping[str, str | int] | None = None,
    encoding: str | None = None,
) -> pandas.DataFrame:
    """Many files in one long DataFrame with a leading `"file"` column.

    `paths` is a glob pattern (`"data/*.DTA"`, sorted), one path, or an
    iterable of paths. Every file goes through `read()` with the same
    arguments; select a spectrum with `frame.groupby(["file", "cycle"])`.
    """
    pd = _pandas()
    if isinstance(paths, (str, os.PathLike)):
        text = os.fspath(paths)
        paths = sorted(glob.glob(text)) if glob.has_magic(text) else [text]
        if not paths:
            raise ValueError(f"no files match {text!r}")
    frames = []
    for p in paths:
        frame = read(p, format, columns=columns, encoding=encoding)
        frame.insert(0, "file", os.fspath(p))
        frames.append(frame)
    if not frames:
        raise ValueError("no files to read")
    return pd.concat(frames, ignore_index=True)


def detect_format(path: PathLike) -> str:
    """The format of the file at `path`, from its first bytes, else its extension."""
    path = Path(os.fspath(path))
    with open(path, "rb") as file:
        head = file.read(4096)
    if head.startswith(b"BIO-LOGIC MODULAR FILE"):
        return "biologic_mpr"
    text = _decode(head, None, path.name, strict=False)
    first = text.lstrip().split("\n", 1)[0]
    for marker, format in (
        ("EC-Lab ASCII FILE", "biologic"),
        ("BT-Lab ASCII FILE", "biologic"),
        ("ZPLOT2 ASCII", "zplot"),
        ("Z60W Data File", "autolab"),
        ("EXPLAIN", "gamry"),
    ):
        if marker in first:
            return format
    if "<Application>" in text and "VersaStudio" in text:
        return "versastudio"
    if "primary_data" in text:
        return "ivium"
    if "A.C. Impedance" in text and "Freq/Hz" in text:
        return "chinstruments"
    if "Frequency (Hz)" in first and "Zre (ohms)" in first:
        return "parstat"
    if first.startswith("Frequency") and "Zimg" in first:
        return "powersuite"
    format = _EXTENSIONS.get(path.suffix.lower())
    if format is None:
        raise ValueError(
            f"{path.name}: unknown file format; pass format= (one of {', '.join(FORMATS)})"
        )
    return format


# ---------------------------------------------------------------- text and tables


def _decode(data, encoding, name, strict=True):
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


def _text_lines(path, encoding):
    text = _decode(path.read_bytes(), encoding, path.name)
    # A few NULs occur in Ivium files; text in a wrong encoding (UTF-16 without a
    # byte-order mark) is full of them.
    if text.count("\x00") > len(text) // 100:
        raise ValueError(
            f"{path.name}: not text in a known encoding (UTF-16 without a "
            "byte-order mark?); pass encoding="
        )
    # Lines end at "\n" only, as editors count them: some files hold lone "\r"s.
    return [line.rstrip("\r") for line in text.split("\n")]


def _norm(name):
    return re.sub(r"\s+", "", name.strip().strip('"')).lower()


def _find(names, wanted):
    for i, n in enumerate(names):
        if _norm(n) in wanted:
            return i
    return None


def _columns(names, where):
    """Positions of frequency, real and imaginary part, and the imaginary sign;
    `where` ("file, line n") starts the error message."""
    f = _find(names, _FREQUENCY_NAMES)
    re_ = _find(names, _REAL_NAMES)
    im = _find(names, _IMAGINARY_NAMES)
    sign = 1.0
    if im is None:
        im = _find(names, _NEGATIVE_IMAGINARY_NAMES)
        sign = -1.0
    for index, what in ((f, "frequency"), (re_, "real impedance"), (im, "imaginary impedance")):
        if index is None:
            shown = ", ".join(repr(n.strip()) for n in names if n.strip())
            raise ValueError(f"{where}: no {what} column among {shown}")
    return f, re_, im, sign


def _number(text, name, line, column):
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


class _Spectrum:
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
                _number(fields[i], name, line, label) for i, label in zip(positions, labels)
            )
            if skip_dc and f == 0.0:
                continue
            self.frequency.append(f)
            self.real.append(re_)
            self.imaginary.append(sign * im)
            if cycle_at is None:
                self.cycle.append(cycle)
            else:
                self.cycle.append(int(_number(fields[cycle_at], name, line, "cycle")))


def _rows(lines, start, stop, split):
    """(1-based line number, fields) of the non-blank lines in [start, stop)."""
    return [
        (i + 1, split(lines[i])) for i in range(start, min(stop, len(lines))) if lines[i].strip()
    ]


def _split_any(line):
    for delimiter in ("\t", ";", ","):
        if delimiter in line:
            return [field.strip() for field in line.split(delimiter)]
    return line.split()


def _table(
    lines,
    header,
    name,
    spectrum,
    split=_split_any,
    start=None,
    stop=None,
    cycle=1,
    skip_dc=False,
    names=None,
):
    """Reads the rows under the header line at index `header` into `spectrum`."""
    names = split(lines[header]) if names is None else names
    f, re_, im, sign = _columns(names, f"{name}, line {header + 1}")
    cycle_at = _find(names, _CYCLE_NAMES)
    rows = _rows(
        lines, header + 1 if start is None else start, len(lines) if stop is None else stop, split
    )
    if not rows:
        raise ValueError(f"{name}, line {header + 1}: no data rows after the header")
    spectrum.add_rows(rows, name, (f, re_, im), sign, cycle, cycle_at, skip_dc)
    return len(rows)


def _line_index(lines, test, name, what):
    for i, line in enumerate(lines):
        if test(line):
            return i
    raise ValueError(f"{name}: no {what} (wrong format or truncated file?)")


def _declared(count_line, rows, name):
    """Checks a point count the file declares against the rows it holds."""
    if rows < count_line[1]:
        raise ValueError(
            f"{name}, line {count_line[0] + 1}: {count_line[1]} points declared, "
            f"{rows} found (truncated file?)"
        )


# ---------------------------------------------------------------- formats


def _zplot(lines, name):
    spectrum = _Spectrum()
    end = _line_index(lines, lambda s: s.startswith("End Comments"), name, "'End Comments' line")
    rows = _table(lines, end - 1, name, spectrum, start=end + 1)
    # "Data Points" counts the points planned: a sweep stopped early holds fewer.
    for line in lines[:end]:
        planned = re.match(r"\s*Data Points:\s*(\d+)", line)
        if planned and rows < int(planned.group(1)):
            warnings.warn(
                f"{name}: the sweep stopped after {rows} of {planned.group(1)} planned points",
                stacklevel=3,
            )
    return spectrum


def _autolab(lines, name):
    spectrum = _Spectrum()
    header = _line_index(lines, lambda s: "Freq" in s, name, "header line with 'Freq'")
    # A quoted header of names that hold single spaces, then comma-separated rows.
    names = re.split(r"\s{2,}", lines[header].strip().strip('"').strip())
    rows = _table(
        lines,
        header,
        name,
        spectrum,
        names=names,
        split=lambda s: [f.strip() for f in s.split(",")],
    )
    count = lines[header - 1].strip() if header else ""
    if count.isdigit():
        _declared((header - 1, int(count)), rows, name)
    return spectrum


def _gamry(lines, name):
    spectrum = _Spectrum()
    starts = [i for i, line in enumerate(lines) if re.match(r"ZCURVE\d*\tTABLE", line)]
    if not starts:
        raise ValueError(f"{name}: no ZCURVE table (not an impedance file?)")
    for cycle, start in enumerate(starts, 1):
        stop = start + 3
        while stop < len(lines) and lines[stop].startswith(("\t", " ")) and lines[stop].strip():
            stop += 1
        if stop == start + 3:
            raise ValueError(f"{name}, line {start + 1}: ZCURVE table without data rows")
        _table(
            lines,
            start + 1,
            name,
            spectrum,
            split=lambda s: s.strip().split("\t"),
            start=start + 3,
            stop=stop,
            cycle=cycle,
        )
    if any(line.startswith("EXPERIMENTABORTED") for line in lines):
        warnings.warn(
            f"{name}: the experiment was aborted; read the {len(spectrum.frequency)} "
            "points measured",
            stacklevel=3,
        )
    return spectrum


def _biologic(lines, name):
    spectrum = _Spectrum()
    match = re.match(r"Nb header lines\s*:\s*(\d+)", lines[1] if len(lines) > 1 else "")
    if not match:
        raise ValueError(f"{name}, line 2: expected 'Nb header lines : N'")
    header = int(match.group(1)) - 1
    if header >= len(lines):
        raise ValueError(
            f"{name}: {header + 1} header lines declared, the file has "
            f"{len(lines)} lines (truncated file?)"
        )
    _table(lines, header, name, spectrum, split=lambda s: s.split("\t"))
    return spectrum


def _chinstruments(lines, name):
    spectrum = _Spectrum()
    header = _line_index(lines, lambda s: s.startswith("Freq/Hz"), name, "'Freq/Hz' header")
    _table(lines, header, name, spectrum, split=lambda s: [f.strip() for f in s.split(",")])
    return spectrum


def _parstat(lines, name):
    spectrum = _Spectrum()
    # Rows of frequency 0 are the DC record before the sweep.
    _table(lines, 0, name, spectrum, split=lambda s: s.split("\t"), skip_dc=True)
    return spectrum


def _powersuite(lines, name):
    spectrum = _Spectrum()
    _table(lines, 0, name, spectrum, split=lambda s: [f.strip() for f in s.split("\t")])
    return spectrum


def _versastudio(lines, name):
    spectrum = _Spectrum()
    cycle = 0
    for i, line in enumerate(lines):
        if not re.fullmatch(r"<Segment\d+>", line.strip()):
            continue
        definition = (
            _line_index(
                lines[i:],
                lambda s: s.startswith("Definition="),
                name,
                "'Definition=' line in a segment",
            )
            + i
        )
        stop = (
            _line_index(
                lines[i:], lambda s: s.startswith("</Segment"), name, "end of a data segment"
            )
            + i
        )
        cycle += 1
        _table(
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


def _ivium(lines, name):
    spectrum = _Spectrum()
    # "primary_data\r\0" and the number of columns, a line with the number of
    # points, then the points.
    start = _line_index(lines, lambda s: s.startswith("primary_data"), name, "'primary_data'")
    count = lines[start + 1].strip() if start + 1 < len(lines) else ""
    if not count.isdigit():
        raise ValueError(f"{name}, line {start + 2}: expected the number of points")
    rows = _rows(lines, start + 2, start + 2 + int(count), str.split)
    _declared((start + 1, int(count)), len(rows), name)
    # Ivium writes Z', Z'' (with its sign) and the frequency.
    spectrum.add_rows(rows, name, (2, 0, 1), 1.0)
    return spectrum


def _csv(lines, name, columns):
    spectrum = _Spectrum()
    first = next((i for i, line in enumerate(lines) if line.strip()), None)
    if first is None:
        raise ValueError(f"{name}: empty file")
    fields = _split_any(lines[first])
    headerless = all(_is_number(f) for f in fields)
    if columns is None:
        if headerless:  # frequency, Re Z, Im Z
            spectrum.add_rows(_rows(lines, first, len(lines), _split_any), name, (0, 1, 2), 1.0)
            return spectrum
        _table(lines, first, name, spectrum)
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
    spectrum.add_rows(_rows(lines, start, len(lines), _split_any), name, tuple(positions), sign)
    return spectrum


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def _read_mpr(path):
    try:
        from galvani import BioLogic
    except ImportError:
        raise ImportError(
            "reading BioLogic .mpr files needs the optional package galvani (GPL-3.0, not "
            "installed with korvex): pip install galvani, or export the file as .mpt text "
            "from EC-Lab"
        ) from None
    try:
        with open(path, "rb") as file:
            data = BioLogic.MPRfile(file).data
    except Exception as error:  # galvani raises many kinds on broken files
        reason = " ".join(str(error).split())
        raise ValueError(f"{path.name}: not a readable BioLogic .mpr file ({reason})") from error
    names = data.dtype.names
    f, re_, im, sign = _columns(list(names), path.name)
    spectrum = _Spectrum()
    spectrum.frequency = [float(v) for v in data[names[f]]]
    spectrum.real = [float(v) for v in data[names[re_]]]
    spectrum.imaginary = [sign * float(v) for v in data[names[im]]]
    cycle_at = _find(names, _CYCLE_NAMES)
    spectrum.cycle = (
        [int(v) for v in data[names[cycle_at]]]
        if cycle_at is not None
        else [1] * len(spectrum.frequency)
    )
    if not spectrum.frequency:
        raise ValueError(f"{path.name}: no data points")
    return spectrum


_READERS = {
    "zplot": _zplot,
    "gamry": _gamry,
    "biologic": _biologic,
    "autolab": _autolab,
    "chinstruments": _chinstruments,
    "parstat": _parstat,
    "powersuite": _powersuite,
    "versastudio": _versastudio,
    "ivium": _ivium,
    "csv": _csv,
}


def _pandas():
    try:
        import pandas
    except ImportError:
        raise ImportError("korvex.io needs pandas: pip install 'korvex-eis[io]'") from None
    return pandas


def _frame(spectrum, name, format, path):
    pd = _pandas()
    frame = pd.DataFrame(
        {
            FREQUENCY: pd.Series(spectrum.frequency, dtype="float64"),
            REAL: pd.Series(spectrum.real, dtype="float64"),
            IMAGINARY: pd.Series(spectrum.imaginary, dtype="float64"),
            CYCLE: pd.Series(spectrum.cycle, dtype="int64"),
        }
    )
    sweeps = frame[CYCLE].nunique()
    if sweeps > 1:
        warnings.warn(
            f"{name} holds {sweeps} sweeps (column 'cycle'): select one before fitting",
            stacklevel=3,
        )
    frame.attrs.update(format=format, path=path)
    return frame
