"""Nyquist, Bode and residual plots of measured spectra and fitted circuits.

Every function takes the spectrum first: the frequencies and impedances as two
sequences, or one dataframe (the columns `Circuit.fit` reads), and/or a model:
a `Circuit` or a `FitResult`, whose impedance is drawn on a dense log-spaced
grid over the measured frequency range. With a dataframe the model may come
second (`nyquist(frame, result)`). Each draws into the axes given as `ax=` (a
new figure when `None`) and returns them. matplotlib is imported on first use
(`pip install 'korvex-eis[plot]'`).
"""

from __future__ import annotations

import functools
import sys
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from korvex import Circuit, FitResult

    Model = Circuit | FitResult

_P = ParamSpec("_P")
_R = TypeVar("_R")

GRID_POINTS = 400  # model points per curve, log-spaced over the measured range

_FREQUENCY = ("Frequency / Hz", "frequency_hertz")
_REAL = ("Real Impedance / ohm", "real_impedance_ohm")
_IMAGINARY = ("Imaginary Impedance / ohm", "imaginary_impedance_ohm")


def _data_first(function: Callable[_P, _R]) -> Callable[_P, _R]:
    """Also takes the earlier order, axes first (`nyquist(ax, f, z, model)`,
    the axes possibly None), with a DeprecationWarning: a spectrum is never
    None nor matplotlib axes, so that order is told apart."""

    @functools.wraps(function)
    def data_first(*args: Any, **kwargs: Any) -> Any:
        if len(args) > 1 and (args[0] is None or _are_axes(args[0])):
            if "ax" in kwargs:
                raise TypeError(f"{function.__name__}() got the axes twice: pass ax= only")
            warnings.warn(
                f"{function.__name__}(ax, f, ...) is deprecated: pass the data first "
                f"and the axes as ax=, {function.__name__}(f, z, ..., ax=ax)",
                DeprecationWarning,
                stacklevel=2,
            )
            args, kwargs = args[1:], {**kwargs, "ax": args[0]}
        return function(*args, **kwargs)

    return data_first


@_data_first
def nyquist(
    f: Any,
    z: Any = None,
    model: Model | None = None,
    *,
    ax: Axes | None = None,
    label: str = "measured",
    model_label: str | None = None,
) -> Axes:
    """-Im Z against Re Z with equal scales on both axes, in the ohm multiple
    (mΩ, Ω, kΩ, MΩ, ...) that keeps the numbers between 1 and 1000; later
    curves drawn into the same axes keep the first one's unit."""
    f, z, model = _drawable(f, z, model)
    ax = ax if ax is not None else _new_axes()
    z_model = _model_curve(model, f)[1] if model is not None else None
    scale, unit = _ohm_scale(ax, z, z_model)
    if z is not None:
        ax.plot(z.real / scale, -z.imag / scale, "o", ms=4, label=label)
    if z_model is not None:
        label = model_label or _model_name(model)
        ax.plot(z_model.real / scale, -z_model.imag / scale, "-", label=label)
    ax.set_xlabel(f"Re Z / {unit}")
    ax.set_ylabel(f"−Im Z / {unit}")
    ax.set_aspect("equal", adjustable="datalim")
    ax.grid(True, alpha=0.3)
    ax.legend()
    return ax


@_data_first
def bode(
    f: Any,
    z: Any = None,
    model: Model | None = None,
    *,
    ax: tuple[Axes, Axes] | None = None,
    label: str = "measured",
    model_label: str | None = None,
) -> tuple[Axes, Axes]:
    """|Z| (log-log) and -phase against frequency on two axes sharing x;
    `ax` is the pair (magnitude, phase)."""
    f, z, model = _drawable(f, z, model)
    axes = ax
    if axes is None:
        _, axes = _pyplot().subplots(2, 1, sharex=True, figsize=(6, 5), layout="constrained")
    magnitude, phase = axes
    curves = []
    if z is not None:
        curves.append((f, z, "o", {"ms": 4}, label))
    if model is not None:
        f_model, z_model = _model_curve(model, f)
        curves.append((f_model, z_model, "-", {}, model_label or _model_name(model)))
    for x, y, style, extra, name in curves:
        magnitude.loglog(x, np.abs(y), style, label=name, **extra)
        phase.semilogx(x, -np.degrees(np.angle(y)), style, label=name, **extra)
    magnitude.set_ylabel("|Z| / Ω")
    phase.set_ylabel("−phase / °")
    phase.set_xlabel("frequency / Hz")
    for one in axes:
        one.grid(True, which="both", alpha=0.3)
    magnitude.legend()
    return axes


@_data_first
def residuals(f: Any, z: Any = None, fitted: Model | Any = None, *, ax: Axes | None = None) -> Axes:
    """(Z - Z_fit) / |Z| in percent, real and imaginary parts, against frequency.

    `fitted` is a `Circuit`, a `FitResult` or the fitted impedances at `f`.
    """
    f, z, fitted = _with_model(f, z, fitted)
    f, z = _spectrum(f, z)
    if z is None or fitted is None:
        raise ValueError("residuals need measured impedances and a fitted model")
    if _is_array(fitted):
        z_fit = np.asarray(fitted, dtype=complex)
    else:
        z_fit = _circuit(fitted).impedance(f)
    relative = (z - z_fit) / np.abs(z) * 100.0
    ax = ax if ax is not None else _new_axes()
    ax.semilogx(f, relative.real, "o-", ms=3, label="Δ Re Z")
    ax.semilogx(f, relative.imag, "s-", ms=3, label="Δ Im Z")
    ax.axhline(0.0, color="0.5", lw=0.8)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("residual / % of |Z|")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    return ax


def fit(f: Any, z: Any = None, model: Model | None = None, *, title: str | None = None) -> Figure:
    """One figure: Nyquist, Bode (|Z| and phase) and residuals of `model`
    (a `FitResult` or `Circuit`) against the spectrum, titled with the circuit
    unless `title` says otherwise (`""` for none). Returns the figure."""
    f, z, model = _with_model(f, z, model)
    if model is None:
        raise ValueError("fit() plots a spectrum against a FitResult or Circuit: pass model=")
    f, z = _spectrum(f, z)
    fig = _pyplot().figure(figsize=(11, 7.5), layout="constrained")
    grid = fig.add_gridspec(3, 2, height_ratios=[1, 1, 0.9])
    nyquist(f, z, model, ax=fig.add_subplot(grid[0:2, 0]))
    magnitude = fig.add_subplot(grid[0, 1])
    bode(f, z, model, ax=(magnitude, fig.add_subplot(grid[1, 1], sharex=magnitude)))
    if z is not None:
        residuals(f, z, model, ax=fig.add_subplot(grid[2, :]))
    fig.suptitle(title if title is not None else _model_name(model))
    return fig


_OHM_MULTIPLES = ((1e9, "GΩ"), (1e6, "MΩ"), (1e3, "kΩ"), (1.0, "Ω"), (1e-3, "mΩ"), (1e-6, "µΩ"))


def _ohm_scale(ax, *impedances):
    """(divisor, unit) of the impedance axes: the multiple of the ohm that
    puts the largest component between 1 and 1000, remembered on the axes so
    that every curve drawn into them shares it."""
    remembered = getattr(ax, "_korvex_ohm_scale", None)
    if remembered is not None:
        return remembered
    parts = [np.abs(np.r_[z.real, z.imag]) for z in impedances if z is not None and z.size]
    peak = max((np.nanmax(p) for p in parts if np.isfinite(p).any()), default=0.0)
    chosen = (1.0, "Ω")
    if np.isfinite(peak) and peak > 0:
        chosen = next((m for m in _OHM_MULTIPLES if peak >= m[0]), _OHM_MULTIPLES[-1])
    ax._korvex_ohm_scale = chosen
    return chosen


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("korvex.plot needs matplotlib: pip install 'korvex-eis[plot]'") from None
    return plt


def _new_axes():
    return _pyplot().subplots(figsize=(6, 5), layout="constrained")[1]


def _column(frame, names):
    for name in names:
        try:
            return np.asarray(frame[name], dtype=float)
        except (KeyError, IndexError, TypeError):
            continue
    raise ValueError(f"no {names[0]!r} column in the dataframe")


def _spectrum(f, z):
    """Frequencies and impedances (None when not given) as NumPy arrays."""
    if f is None:
        raise ValueError("pass the frequencies (or a dataframe) to plot")
    if z is None and not _is_array(f):
        frame = f
        f = _column(frame, _FREQUENCY)
        z = _column(frame, _REAL) + 1j * _column(frame, _IMAGINARY)
    f = np.asarray(f, dtype=float)
    if z is not None:
        z = np.asarray(z, dtype=complex)
        if z.shape != f.shape:
            raise ValueError(f"{len(f)} frequencies but {len(z)} impedances")
    return f, z


def _with_model(f, z, model):
    """A model passed second, after a dataframe, moves to its own place."""
    if model is None and not _is_array(z) and hasattr(getattr(z, "circuit", z), "impedance"):
        return f, None, z
    return f, z, model


def _drawable(f, z, model):
    f, z, model = _with_model(f, z, model)
    f, z = _spectrum(f, z)
    if z is None and model is None:
        raise ValueError("nothing to plot: pass impedances, a model, or both")
    return f, z, model


def _are_axes(obj):
    """Matplotlib axes, or a pair of them (bode's): only possible once
    matplotlib is imported, so it is not imported here."""
    axes = sys.modules.get("matplotlib.axes")
    if axes is None:
        return False
    if isinstance(obj, (tuple, list)):
        return len(obj) == 2 and all(isinstance(a, axes.Axes) for a in obj)
    return isinstance(obj, axes.Axes)


def _is_array(obj):
    return isinstance(obj, (list, tuple, np.ndarray))


def _circuit(model):
    circuit = getattr(model, "circuit", model)  # a FitResult holds its fitted circuit
    if not hasattr(circuit, "impedance"):
        raise TypeError(f"expected a Circuit or FitResult, got {type(model).__name__!r}")
    return circuit


def _model_curve(model, f):
    positive = f[f > 0]
    if positive.size == 0:
        raise ValueError("no positive frequencies to span the model curve")
    grid = np.logspace(np.log10(positive.min()), np.log10(positive.max()), GRID_POINTS)
    return grid, _circuit(model).impedance(grid)


def _model_name(model):
    circuit = _circuit(model)
    try:
        return "fit " + circuit.text if hasattr(model, "circuit") else circuit.text
    except ValueError:
        return "model"
