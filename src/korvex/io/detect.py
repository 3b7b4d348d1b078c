"""The formats `read` knows, and how to tell them apart: markers in the first
lines, else the file's extension."""

from __future__ import annotations

import os
from pathlib import Path

from korvex.io.common import PathLike, decode, regular_file

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


def detect_format(path: PathLike) -> str:
    """The format of the file at `path`, from its first bytes, else its extension."""
    path = Path(os.fspath(path))
    regular_file(path)
    with open(path, "rb") as file:
        head = file.read(4096)
    if head.startswith(b"BIO-LOGIC MODULAR FILE"):
        return "biologic_mpr"
    text = decode(head, None, path.name, strict=False)
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
