"""Which header column holds the frequency and the impedance, in what unit and
with what sign.

Instrument exports are matched against the names each instrument writes.
Other headers are matched by the quantity the name says, in any case and with
or without a unit: `f`, `freq`, `frequency`; `re`, `real`, `Z'`, `Zreal`,
`Re(Z)`; `im`, `imag`, `Z''`, `Zimag`, `Im(Z)`; `|Z|`, `Zmod`; `phase`,
`Zphz`. The unit follows the name in parentheses, brackets, after a slash or
an underscore (`Freq/Hz`, `Frequency (Hz)`, `Z' [kOhm]`, `z_real_ohm`); Hz and
ohm take the prefixes m, k, M and G, phases are in degrees unless the unit
says rad. A leading minus means the column holds the negated quantity
(`-Z''`, `-Im(Z)`: -Im Z). Otherwise the name is trusted: a column named Im Z
or Z'' is taken as Im Z, whatever the sign of its values (an inductive
spectrum is positive there, and no rule on the values tells the two apart).
"""

from __future__ import annotations

import functools
import math
import re
from typing import NamedTuple

# Header names seen in instrument exports, compared without case, white space
# and quotes. A column of -Im Z is turned back into Im Z.
FREQUENCY_NAMES = {
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
REAL_NAMES = {
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
IMAGINARY_NAMES = {
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
NEGATIVE_IMAGINARY_NAMES = {
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
CYCLE_NAMES = {"cyclenumber", "cycle"}

# The quantities by what a name says, once unit, case, white space, "_" and
# "." are gone and a leading minus is taken off.
_QUANTITIES = {
    "frequency": {"f", "freq", "frequency", "frequencies"},
    "real": {
        *("re", "real", "z'", "zre", "zreal", "re(z)", "real(z)", "rez", "realz"),
        *("realimpedance", "impedancereal"),
    },
    "imaginary": {
        *("im", "imag", "imaginary", "z''", "zim", "zimag", "zimg", "zimaginary"),
        *("im(z)", "imag(z)", "imz", "imagz", "imaginaryimpedance", "impedanceimaginary"),
    },
    "modulus": {
        *("|z|", "z", "zmod", "mod(z)", "modz", "abs(z)", "absz", "zabs", "zmag"),
        *("magnitude", "modulus", "impedance", "|impedance|"),
    },
    "phase": {
        *("phase", "phase(z)", "phasez", "zphase", "zphz", "phz", "phi", "φ", "theta"),
        *("θ", "arg(z)", "argz", "phaseangle"),
    },
    "cycle": {"cycle", "cyclenumber", "cycleindex"},
}
_UNITS = {
    "frequency": {"hz": 1.0, "hertz": 1.0},
    "impedance": {"ohm": 1.0, "ohms": 1.0, "ω": 1.0},
    "phase": {
        **dict.fromkeys(("deg", "degree", "degrees", "°"), math.pi / 180),
        **dict.fromkeys(("rad", "radian", "radians"), 1.0),
    },
}
_PREFIXES = {"m": 1e-3, "k": 1e3, "K": 1e3, "M": 1e6, "G": 1e9}
_UNIT_AT_END = [
    re.compile(r"(.+?)\s*[(\[]\s*([^()\[\]\s]+)\s*[)\]]$"),
    re.compile(r"(.+?)\s*/\s*([^/\s]+)$"),
    re.compile(r"(.+?)_([^_\s]+)$"),
    re.compile(r"(.+?)\s+([^\s]+)$"),
]


class Layout(NamedTuple):
    """Where a table's columns are and what they hold: positions of frequency
    and the two impedance columns (Re Z and Im Z, or |Z| and phase when
    `polar`), a factor for each (unit, sign; radians for a phase)."""

    positions: tuple[int, int, int]
    scales: tuple[float, float, float]
    polar: bool = False


@functools.lru_cache(maxsize=4096)
def norm(name):
    return re.sub(r"\s+", "", name.strip().strip('"')).lower()


def find(names, wanted):
    """Position of the first of `names` that is one of `wanted`, else None."""
    for i, n in enumerate(names):
        if norm(n) in wanted:
            return i
    return None


def _key(base):
    """The name without case, white space, "_", "." and a leading minus, and
    -1.0 where that minus was."""
    text = base
    for old, new in (("″", "''"), ('"', "''"), ("’", "'"), ("′", "'"), ("−", "-")):
        text = text.replace(old, new)
    text = re.sub(r"[\s_.]+", "", text).lower()
    if text.startswith("-") and len(text) > 1:
        return text[1:], -1.0
    return text, 1.0


def _unit_scale(unit, kind):
    units = _UNITS[kind]
    unit = unit.rstrip(".")  # "deg."
    if unit.lower() in units:
        return units[unit.lower()]
    if kind != "phase" and len(unit) > 1 and unit[0] in _PREFIXES and unit[1:].lower() in units:
        return _PREFIXES[unit[0]] * units[unit[1:].lower()]
    return None


def is_unit(text):
    """Whether `text` is a unit these names know (Hz, ohm, degrees, with prefixes)."""
    return any(_unit_scale(text.strip(), kind) is not None for kind in _UNITS)


@functools.lru_cache(maxsize=4096)  # files of many segments repeat their header
def quantity(name, what):
    """The factor that turns column `name` into `what` ("frequency", "real",
    "imaginary", "modulus", "phase", "cycle"), else None."""
    kind = {"frequency": "frequency", "phase": "phase", "cycle": None}.get(what, "impedance")
    name = name.strip()
    if len(name) > 1 and name[0] == name[-1] == '"':
        name = name[1:-1].strip()
    candidates = [(name, 1.0)]
    for pattern in _UNIT_AT_END:
        match = pattern.match(name)
        if match and kind is not None:
            scale = _unit_scale(match.group(2), kind)
            if scale is not None:
                candidates.append((match.group(1), scale))
    for base, scale in candidates:
        key, sign = _key(base)
        if key in _QUANTITIES[what]:
            if what == "phase" and scale == 1.0 and base is name:
                scale = math.pi / 180  # phases without a unit are in degrees
            return sign * scale
    return None


def _first(names, what):
    for i, name in enumerate(names):
        scale = quantity(name, what)
        if scale is not None:
            return i, scale
    return None, None


def cycle_column(names):
    """Position of the column that numbers the sweeps, else None."""
    at = find(names, CYCLE_NAMES)
    if at is None:
        at = next((i for i, n in enumerate(names) if quantity(n, "cycle") == 1.0), None)
    return at


def impedance_columns(names, where, hint=""):
    """The Layout of a table with these column names; `where` ("file, line
    n") starts the error message and `hint` ends it."""
    at = [find(names, s) for s in (FREQUENCY_NAMES, REAL_NAMES, IMAGINARY_NAMES)]
    scales = [1.0, 1.0, 1.0]
    if at[2] is None:
        at[2] = find(names, NEGATIVE_IMAGINARY_NAMES)
        scales[2] = -1.0
    for slot, what in enumerate(("frequency", "real", "imaginary")):
        if at[slot] is None:
            at[slot], scales[slot] = _first(names, what)
    f, re_, im = at
    if f is not None and re_ is None and im is None:
        (mod, mod_scale), (phase, phase_scale) = _first(names, "modulus"), _first(names, "phase")
        if mod is not None and phase is not None:
            return Layout((f, mod, phase), (scales[0], mod_scale, phase_scale), polar=True)
    for index, what in ((f, "frequency"), (re_, "real impedance"), (im, "imaginary impedance")):
        if index is None:
            shown = ", ".join(repr(n.strip()) for n in names if n.strip())
            raise ValueError(f"{where}: no {what} column among {shown}{hint}")
    return Layout((f, re_, im), tuple(scales))
