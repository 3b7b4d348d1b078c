"""Uploaded files turned into spectra, one per sweep, kept in memory."""

from __future__ import annotations

import math
import secrets
import tempfile
import threading
import warnings
from pathlib import Path

import numpy as np

import korvex

MAX_UPLOAD = 50 * 1024 * 1024


def _safe_name(name: str) -> str:
    # Only the last component, so that a name cannot point outside the folder.
    base = Path(name.replace("\\", "/")).name.strip()
    return base if base not in ("", ".", "..") else "upload.txt"


def read_bytes(name: str, data: bytes) -> tuple[list[dict], list[str]]:
    """The sweeps of one file's bytes (a private temporary folder holds the
    file while `korvex.read` reads it) and the reader's warnings."""
    if len(data) > MAX_UPLOAD:
        raise ValueError(f"{name}: larger than {MAX_UPLOAD // 2**20} MB")
    name = _safe_name(name)
    with tempfile.TemporaryDirectory(prefix="korvex-app-") as folder:
        path = Path(folder) / name
        path.write_bytes(data)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frame = korvex.read(path)
    notes = [str(w.message).replace(folder + "/", "") for w in caught]
    groups = frame.groupby("cycle", sort=False) if frame["cycle"].nunique() > 1 else [(None, frame)]
    sweeps = []
    for cycle, group in groups:
        sweep = {
            "name": name if cycle is None else f"{name} #{cycle}",
            "file": name,
            "f": group["Frequency / Hz"].to_numpy(float),
            "re": group["Real Impedance / ohm"].to_numpy(float),
            "im": group["Imaginary Impedance / ohm"].to_numpy(float),
            "meta": _constant_columns(group),
        }
        sweeps.append(sweep)
    return sweeps, notes


def _constant_columns(group) -> dict:
    """Numeric columns that hold one value over the sweep (cycle, temperature)."""
    meta = {}
    for column in group.columns:
        if column.startswith(("Frequency", "Real Impedance", "Imaginary Impedance")):
            continue
        values = group[column]
        if values.dtype.kind in "iuf" and values.nunique() == 1:
            value = float(values.iloc[0])
            if math.isfinite(value):
                meta[column] = value
    return meta


def from_arrays(name: str, f, re, im) -> dict:
    """A spectrum posted as numbers; ValueError when they do not make one."""
    try:
        arrays = [np.asarray(a, dtype=float) for a in (f, re, im)]
    except (TypeError, ValueError):
        raise ValueError("f, re and im must be lists of numbers") from None
    if any(a.ndim != 1 for a in arrays) or len({len(a) for a in arrays}) != 1 or not len(arrays[0]):
        raise ValueError("f, re and im must be lists of numbers of one length")
    if not all(np.isfinite(a).all() for a in arrays) or (arrays[0] <= 0).any():
        raise ValueError("frequencies must be positive and every value finite")
    return {
        "name": str(name),
        "file": str(name),
        "f": arrays[0],
        "re": arrays[1],
        "im": arrays[2],
        "meta": {},
    }


def public(spectrum_id: str, spectrum: dict) -> dict:
    """What the page gets: the numbers as lists."""
    return {
        "id": spectrum_id,
        "name": spectrum["name"],
        "file": spectrum["file"],
        "meta": spectrum["meta"],
        "f": spectrum["f"].tolist(),
        "re": spectrum["re"].tolist(),
        "im": spectrum["im"].tolist(),
    }


class Store:
    """Spectra by random id; ids are not guessable, so tabs do not meet."""

    def __init__(self):
        self._spectra: dict[str, dict] = {}
        self._lock = threading.Lock()

    def add(self, spectrum: dict) -> str:
        spectrum_id = secrets.token_hex(8)
        with self._lock:
            self._spectra[spectrum_id] = spectrum
        return spectrum_id

    def get(self, spectrum_id) -> dict:
        with self._lock:
            spectrum = self._spectra.get(str(spectrum_id))
        if spectrum is None:
            raise KeyError(f"no spectrum {spectrum_id!r}: upload it first")
        return spectrum

    def remove(self, spectrum_id) -> bool:
        with self._lock:
            return self._spectra.pop(str(spectrum_id), None) is not None


def cropped(spectrum: dict, fmin=None, fmax=None) -> dict:
    """The spectrum within [fmin, fmax] Hz, as lists for a worker."""
    f = spectrum["f"]
    keep = np.ones(len(f), dtype=bool)
    if fmin is not None:
        keep &= f >= float(fmin)
    if fmax is not None:
        keep &= f <= float(fmax)
    if keep.sum() < 3:
        raise ValueError("fewer than 3 points left in the frequency range")
    return {key: spectrum[key][keep].tolist() for key in ("f", "re", "im")}
