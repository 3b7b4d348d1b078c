"""Validation and analysis of a measured spectrum: the linear Kramers-Kronig
test, the distribution of relaxation times, and a ranking of candidate
circuits. The mathematics runs in the compiled core; this module holds the
result classes and their plots (matplotlib is imported only when plotting).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from korvex import _korvex

__all__ = ["KKResult", "DRTResult", "Peak", "Ranked", "kramers_kronig", "drt", "identify"]


def _axes(ax):
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots()
    return ax


@dataclass(frozen=True, repr=False, eq=False)
class KKResult:
    """Outcome of the linear Kramers-Kronig test (Lin-KK).

    Residuals are relative to |Z|: ``(Z - Z_fit) / |Z|``. ``noise`` is the
    random scatter of the residuals (a robust standard deviation of their
    point-to-point differences, which a smooth systematic misfit such as drift
    does not enter), ``threshold`` is ``max(4 * noise, floor)``, and the
    spectrum is ``valid`` when every real and imaginary residual lies within
    ``threshold``.
    """

    frequencies: np.ndarray
    impedances: np.ndarray
    m: int
    mu: float
    tau: np.ndarray
    r: np.ndarray
    series_resistance: float
    inductance: float
    capacitance: float
    z_fit: np.ndarray
    residuals_real: np.ndarray
    residuals_imag: np.ndarray
    pseudo_chi_square: float
    noise: float
    threshold: float
    valid: bool

    def __repr__(self) -> str:
        worst = max(np.abs(self.residuals_real).max(), np.abs(self.residuals_imag).max())
        return (
            f"KKResult(valid={self.valid}, m={self.m}, mu={self.mu:.4g}, "
            f"pseudo_chi_square={self.pseudo_chi_square:.4g}, max_residual={worst:.3g}, "
            f"threshold={self.threshold:.3g})"
        )

    def plot(self, ax=None):
        """Relative residuals (in percent) against frequency, with the threshold band."""
        ax = _axes(ax)
        ax.semilogx(self.frequencies, 100 * self.residuals_real, "o-", ms=3, label="real")
        ax.semilogx(self.frequencies, 100 * self.residuals_imag, "s-", ms=3, label="imaginary")
        band = 100 * self.threshold
        ax.axhspan(-band, band, color="0.9", zorder=0, label="threshold")
        ax.set_xlabel("frequency / Hz")
        ax.set_ylabel("residual / %")
        ax.set_title(f"Lin-KK: M = {self.m}, {'valid' if self.valid else 'invalid'}")
        ax.legend()
        return ax


class Peak(NamedTuple):
    """One process of a DRT: its time constant (s), resistance (ohm, the area
    under gamma between the neighbouring minima) and full width at half
    maximum (decades)."""

    tau: float
    r: float
    width: float


@dataclass(frozen=True, repr=False, eq=False)
class DRTResult:
    """Distribution of relaxation times: ``gamma`` (ohm per unit ln tau) on
    the grid ``tau`` (s), the series resistance ``r_inf`` and inductance ``l``,
    the regularisation weight ``lam`` that was used, the reconstructed
    impedance and the relative residuals."""

    frequencies: np.ndarray
    impedances: np.ndarray
    tau: np.ndarray
    gamma: np.ndarray
    r_inf: float
    l: float  # noqa: E741 (the field's symbol for inductance)
    lam: float
    centres: np.ndarray
    coefficients: np.ndarray
    z_fit: np.ndarray
    residuals_real: np.ndarray
    residuals_imag: np.ndarray
    _peaks: tuple

    def peaks(self) -> list[Peak]:
        """Maxima of gamma rising at least 5 % of the largest value above their
        bases, by increasing tau. Each owns the area of gamma up to the lowest
        point between it and its neighbours, so the resistances add up to the
        whole distribution."""
        return list(self._peaks)

    def __repr__(self) -> str:
        return (
            f"DRTResult(r_inf={self.r_inf:.4g}, l={self.l:.4g}, lam={self.lam:.3g}, "
            f"peaks={len(self._peaks)})"
        )

    def plot(self, ax=None):
        """gamma against tau with the peaks marked."""
        ax = _axes(ax)
        ax.semilogx(self.tau, self.gamma, "-", label="DRT")
        for p in self._peaks:
            g = np.interp(np.log(p.tau), np.log(self.tau), self.gamma)
            ax.plot(p.tau, g, "v", color="C3")
            ax.annotate(
                f"{p.r:.3g} Ω",
                (p.tau, g),
                textcoords="offset points",
                xytext=(0, 6),
                ha="center",
                fontsize=8,
            )
        ax.set_xlabel("τ / s")
        ax.set_ylabel("γ / Ω")
        return ax


@dataclass(frozen=True, repr=False, eq=False)
class Ranked:
    """One candidate of `identify`: the fitted ``circuit`` (ready to use),
    its ``fit`` (None when the fit failed), the ``criterion`` it was ranked
    by, its ``weight`` (exp(-delta/2) normalised over the candidates: Akaike
    weights for AIC, approximate posterior probabilities for BIC), both
    criteria, and ``flags``: "unidentifiable" (a standard error larger than
    its value, or none), "misfit" (rms residual above ``misfit_ratio`` times
    the Kramers-Kronig noise level), "unguessed" (no trained model: searched
    from the data-driven estimate and several starts, as ``starts="auto"``) and "failed" (see ``error``)."""

    text: str
    circuit: object
    fit: object
    criterion: float
    weight: float
    aic: float
    bic: float
    n_params: int
    flags: tuple
    error: str

    def __repr__(self) -> str:
        flags = f", flags={list(self.flags)}" if self.flags else ""
        return (
            f"Ranked({self.text!r}, criterion={self.criterion:.2f}, "
            f"weight={self.weight:.3g}{flags})"
        )


def kramers_kronig(
    frequencies,
    impedances=None,
    *,
    c=0.85,
    max_m=None,
    add_capacitance=False,
    add_inductance=True,
    fit="complex",
    floor=0.005,
) -> KKResult:
    """Linear Kramers-Kronig test (Schönleber et al. 2014).

    Fits a series resistance, M RC elements with time constants log-spaced
    over the measured range, and optionally a series inductance and
    capacitance, by linear least squares weighted by 1/|Z|. M grows from 1
    until mu, one minus the ratio of negative to positive resistance mass,
    falls below ``c`` (``c=None`` uses ``max_m`` elements, default
    min(50, number of points)). ``fit`` chooses the parts fitted: "complex"
    (both), "real" or "imag" (the other part is then a prediction, as in
    impedance.py's ``linKK``). A spectrum that fails the test is still
    returned, with ``valid`` false.

    Accepts two sequences, or a dataframe as ``Circuit.fit()`` does.
    """
    d = _korvex._kramers_kronig(
        frequencies, impedances, c, max_m, add_capacitance, add_inductance, fit, floor
    )
    inverse = d.pop("inverse_capacitance")
    d["capacitance"] = 1.0 / inverse if inverse != 0.0 else float("inf")
    return KKResult(**d)


def drt(
    frequencies,
    impedances=None,
    *,
    lam=None,
    basis="gaussian",
    nonneg=True,
    inductance=True,
    fwhm=2.0,
) -> DRTResult:
    """Distribution of relaxation times by Tikhonov regularisation.

    gamma is a sum of radial basis functions ("gaussian" or
    "inverse_quadratic", ``fwhm`` basis spacings wide) centred on time
    constants log-spaced over 1/(2 pi f), one per point up to 100. Real and
    imaginary parts are fitted together, weighted by 1/|Z|, with a penalty
    ``lam`` on the first derivative of gamma, chosen by robust generalised
    cross-validation (searched over 1e-4 .. 10) when None. ``nonneg`` keeps
    gamma, R_inf and L non-negative (non-negative least squares).
    """
    d = _korvex._drt(frequencies, impedances, lam, basis, nonneg, inductance, fwhm)
    peaks = tuple(
        Peak(float(t), float(r), float(w))
        for t, r, w in zip(d.pop("peak_tau"), d.pop("peak_r"), d.pop("peak_width"))
    )
    return DRTResult(**d, _peaks=peaks)


def identify(
    frequencies, impedances=None, candidates=None, *, criterion="bic", misfit_ratio=2.0
) -> list[Ranked]:
    """Which circuit? Fits every candidate and ranks the fits, best first.

    ``candidates`` are circuit texts (default: the eleven built-in
    topologies); each gets the default fit (trained guess, then
    Levenberg-Marquardt on modulus-weighted residuals), in parallel with the
    interpreter lock released. Ranking is by the Bayesian information
    criterion by default, ``n ln(chi2/n) + k ln n`` with n = 2N residuals and
    k parameters: its penalty grows with the number of points, so unlike AIC
    it does not keep preferring a nested, larger circuit whose extra elements
    only follow the noise. ``criterion="aic"`` ranks by ``n ln(chi2/n) + 2k``.
    Ties go to the circuit with fewer parameters.
    """
    from korvex import Circuit

    if candidates is None:
        texts = []
    elif isinstance(candidates, str):
        raise TypeError("candidates must be a sequence of circuit texts, not a single str")
    else:
        texts = list(candidates)
        for t in texts:
            if not isinstance(t, str):
                raise TypeError(f"candidates must be circuit texts, got {type(t).__name__}")
        if not texts:
            raise ValueError("candidates must not be empty")
        # The built-in model names stand for their circuits, as in Circuit().
        models = set(Circuit.ml_circuits())
        texts = [Circuit(t).text if t in models else t for t in texts]
    rows = _korvex._identify(frequencies, impedances, texts, criterion, misfit_ratio)
    out = []
    for row in rows:
        fit = row["fit"]
        circuit = fit.circuit if fit is not None else Circuit(row["circuit"])
        out.append(
            Ranked(
                row["circuit"],
                circuit,
                fit,
                row["criterion"],
                row["weight"],
                row["aic"],
                row["bic"],
                row["n_params"],
                tuple(row["flags"]),
                row["error"],
            )
        )
    return out
