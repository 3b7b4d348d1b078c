"""Validation and analysis of a measured spectrum: the linear Kramers-Kronig
test, the distribution of relaxation times, and a ranking of candidate
circuits. The mathematics runs in the compiled core; this module holds the
result classes (see `korvex._results` for the protocol they share; matplotlib
and pandas are imported only when plotting or tabulating).
"""

from __future__ import annotations

import html
from dataclasses import dataclass, fields
from typing import NamedTuple

import numpy as np

from korvex import _korvex
from korvex._results import ResultTable, array, axes, check_keys, plain, text_table

__all__ = [
    "KKResult",
    "DRTResult",
    "Peak",
    "Ranked",
    "Ranking",
    "kramers_kronig",
    "drt",
    "identify",
]


def _state(result) -> dict:
    """The dataclass fields of `result` in plain JSON types."""
    return {f.name: plain(getattr(result, f.name)) for f in fields(result)}


def _from_state(cls, d: dict, derived=("status", "message")):
    """`cls` from a `_state()` dict; `derived` keys are read back from the fields."""
    check_keys(d, cls.__name__, {f.name for f in fields(cls)})
    extra = set(d) - {f.name for f in fields(cls)} - set(derived)
    if extra:
        raise ValueError(f"{cls.__name__} state: unknown key {sorted(extra)[0]!r}")
    values = {}
    for f in fields(cls):
        v = d[f.name]
        values[f.name] = array(v) if "ndarray" in str(f.type) else v
    return cls(**values)


def _residual_rows(result) -> list[dict]:
    z, z_fit = result.impedances, result.z_fit
    return [
        {
            "real": z[i].real,
            "imag": z[i].imag,
            "fit_real": z_fit[i].real,
            "fit_imag": z_fit[i].imag,
            "residual_real": float(result.residuals_real[i]),
            "residual_imag": float(result.residuals_imag[i]),
        }
        for i in range(len(z))
    ]


@dataclass(frozen=True, repr=False, eq=False)
class KKResult(ResultTable):
    """Outcome of the linear Kramers-Kronig test (Lin-KK).

    Residuals are relative to |Z|: ``(Z - Z_fit) / |Z|``. ``noise`` is the
    random scatter of the residuals (a robust standard deviation of their
    point-to-point differences, which a smooth systematic misfit such as drift
    does not enter) and ``threshold`` is ``max(4 * noise, floor)``.
    ``local_threshold`` is, at each frequency, the larger of ``threshold`` and
    four times the scatter of the residuals around that point (noise often
    grows towards one end of a spectrum), the latter at most 2 %. The spectrum is ``valid`` when every
    real and imaginary residual lies within its local threshold; ``status`` is
    then "valid", otherwise "invalid".

    ``m_choice`` says how the number of RC elements ``m`` was chosen:
    "residuals" (where the residuals stop improving, above the lower limit
    ``m_lower``), "linkk" (the first M whose ``mu`` falls below ``c``, as
    impedance.py's linKK) or "max_m" (``c=None``: M fixed). ``reason`` says
    why M was chosen and why the spectrum passed or failed.
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
    local_threshold: np.ndarray
    m_choice: str = "linkk"
    m_lower: int = 0
    c: float | None = None

    def _worst(self) -> tuple[float, int, str]:
        """The largest residual relative to its local threshold: (residual, index, part)."""
        t = self.local_threshold
        part, values = max(
            ("real", self.residuals_real),
            ("imaginary", self.residuals_imag),
            key=lambda pv: np.max(np.abs(pv[1]) / t),
        )
        i = int(np.argmax(np.abs(values) / t))
        return float(values[i]), i, part

    def __repr__(self) -> str:
        worst = max(np.abs(self.residuals_real).max(), np.abs(self.residuals_imag).max())
        return (
            f"KKResult(valid={self.valid}, m={self.m}, m_choice={self.m_choice!r}, "
            f"mu={self.mu:.4g}, pseudo_chi_square={self.pseudo_chi_square:.4g}, "
            f"max_residual={worst:.3g}, threshold={self.threshold:.3g})"
        )

    @property
    def status(self) -> str:
        return "valid" if self.valid else "invalid"

    @property
    def m_reason(self) -> str:
        """Why the test used `m` RC elements."""
        if self.m_choice == "residuals":
            return (
                f"M = {self.m}, where the residuals stop improving "
                "(no larger M lowers the pseudo chi-square by more than noise would; "
                f"lower limit {self.m_lower})"
            )
        if self.m_choice == "max_m":
            return f"M = {self.m}, fixed (c=None)"
        if self.c is not None and not self.mu < self.c:
            return f"M = {self.m}, the largest tried: mu = {self.mu:.3g} never fell below c = {self.c:g}"
        c = "c" if self.c is None else f"c = {self.c:g}"
        return f"M = {self.m}, the first M whose mu = {self.mu:.3g} fell below {c} (linKK)"

    @property
    def message(self) -> str:
        t = self.local_threshold
        outside = int(
            np.sum(np.abs(self.residuals_real) > t) + np.sum(np.abs(self.residuals_imag) > t)
        )
        value, i, part = self._worst()
        worst = (
            f"{100 * abs(value):.3g} % ({part} part at {self.frequencies[i]:.4g} Hz, "
            f"threshold {100 * t[i]:.3g} %)"
        )
        if self.valid:
            return f"every residual lies within its threshold; the nearest to it {worst}"
        return (
            f"{outside} of {2 * len(self.frequencies)} residuals lie beyond their threshold, "
            f"the worst {worst}: drift, non-linearity or a non-causal response"
        )

    @property
    def reason(self) -> str:
        """How M was chosen and why the spectrum passed or failed, in one sentence."""
        return f"{self.m_reason}; {self.message}"

    def to_dict(self) -> dict:
        """The result in plain JSON types; `KKResult.from_dict` reverses it."""
        return {
            **_state(self),
            "status": self.status,
            "message": self.message,
            "reason": self.reason,
        }

    @classmethod
    def from_dict(cls, d: dict) -> KKResult:
        # Results saved before the choice of M was recorded were linKK's,
        # judged on the one threshold.
        added = {"m_choice": "linkk", "m_lower": 0, "c": None}
        if isinstance(d, dict) and "frequencies" in d and "threshold" in d:
            added["local_threshold"] = [d["threshold"]] * len(d["frequencies"])
        return _from_state(cls, {**added, **d}, derived=("status", "message", "reason"))

    def _repr_html_(self) -> str:
        return f"<p>{html.escape(self.m_reason)}</p>" + super()._repr_html_()

    def _table(self):
        rows = _residual_rows(self)
        for row, t in zip(rows, self.local_threshold):
            row["threshold"] = float(t)
        return "frequency", [float(f) for f in self.frequencies], rows

    def report(self) -> str:
        """The test's outcome and its numbers as text."""
        worst = max(np.abs(self.residuals_real).max(), np.abs(self.residuals_imag).max())
        return "\n".join(
            [
                f"Lin-KK test: {self.status} ({self.message})",
                f"  RC elements M        {self.m} ({self.m_reason})",
                f"  mu                   {self.mu:.4g}",
                f"  pseudo chi-square    {self.pseudo_chi_square:.4g}",
                f"  noise                {self.noise:.4g}",
                f"  threshold            {self.threshold:.4g}",
                f"  largest residual     {worst:.4g}",
                f"  series resistance    {self.series_resistance:.6g} ohm",
                f"  inductance           {self.inductance:.6g} H",
                f"  capacitance          {self.capacitance:.6g} F",
            ]
        )

    def plot(self, ax=None):
        """Relative residuals (in percent) against frequency, with the threshold band."""
        ax = axes(ax)
        ax.semilogx(self.frequencies, 100 * self.residuals_real, "o-", ms=3, label="real")
        ax.semilogx(self.frequencies, 100 * self.residuals_imag, "s-", ms=3, label="imaginary")
        band = 100 * self.local_threshold
        ax.fill_between(self.frequencies, -band, band, color="0.9", zorder=0, label="threshold")
        ax.set_xlabel("frequency / Hz")
        ax.set_ylabel("residual / %")
        ax.set_title(f"Lin-KK: M = {self.m} ({self.m_choice}), {self.status}")
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
class DRTResult(ResultTable):
    """Distribution of relaxation times: ``gamma`` (ohm per unit ln tau) on
    the grid ``tau`` (s), the ``series_resistance`` (R_inf) and
    ``inductance``, the regularisation weight ``lam`` that was used, the
    reconstructed impedance and the relative residuals. ``r_inf`` and ``l``
    are older names of the series resistance and inductance."""

    frequencies: np.ndarray
    impedances: np.ndarray
    tau: np.ndarray
    gamma: np.ndarray
    series_resistance: float
    inductance: float
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

    @property
    def r_inf(self) -> float:
        """The series resistance (older name of `series_resistance`)."""
        return self.series_resistance

    @property
    def l(self) -> float:  # noqa: E743 (the field's symbol for inductance)
        """The series inductance (older name of `inductance`)."""
        return self.inductance

    status = "ok"  # a DRT that cannot be computed raises instead

    @property
    def message(self) -> str:
        return (
            f"gamma on {len(self.tau)} time constants with lam = {self.lam:.3g}, "
            f"{len(self._peaks)} peak{'' if len(self._peaks) == 1 else 's'}"
        )

    def __repr__(self) -> str:
        return (
            f"DRTResult(series_resistance={self.series_resistance:.4g}, "
            f"inductance={self.inductance:.4g}, lam={self.lam:.3g}, peaks={len(self._peaks)})"
        )

    def to_dict(self) -> dict:
        """The result in plain JSON types; `DRTResult.from_dict` reverses it."""
        d = _state(self)
        del d["_peaks"]
        d["peaks"] = [p._asdict() for p in self._peaks]
        return {**d, "status": self.status, "message": self.message}

    @classmethod
    def from_dict(cls, d: dict) -> DRTResult:
        check_keys(d, cls.__name__, {"peaks"})
        peaks = tuple(Peak(**p) for p in d["peaks"])
        state = {k: v for k, v in d.items() if k != "peaks"}
        return _from_state(cls, {**state, "_peaks": peaks})

    def _table(self):
        return "tau", [float(t) for t in self.tau], [{"gamma": float(g)} for g in self.gamma]

    def report(self) -> str:
        """The distribution's numbers and peaks as text."""
        lines = [
            f"DRT: {self.status} ({self.message})",
            f"  series resistance  {self.series_resistance:.6g} ohm",
            f"  inductance         {self.inductance:.6g} H",
            f"  lam                {self.lam:.4g}",
        ]
        if self._peaks:
            rows = [{"r / ohm": p.r, "width / decades": p.width} for p in self._peaks]
            lines += ["", text_table("tau / s", [p.tau for p in self._peaks], rows)]
        return "\n".join(lines)

    def plot(self, ax=None):
        """gamma against tau with the peaks marked."""
        ax = axes(ax)
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
        ax.margins(y=0.15)  # headroom for the labels of the highest peaks
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
    the Kramers-Kronig noise level), "unguessed" (no trained model: started
    from the data-driven estimate and the other candidates' fits only),
    "indistinguishable" (within 2 of the best criterion, with at least one
    other candidate: this spectrum does not tell them apart) and "failed"
    (see ``error``).
    ``status`` and ``message`` are the fit's, or "failed" and ``error``."""

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

    @property
    def status(self) -> str:
        return "failed" if self.fit is None else self.fit.status

    @property
    def message(self) -> str:
        return self.error if self.fit is None else self.fit.message

    def to_dict(self) -> dict:
        """The candidate in plain JSON types (the fit as `FitResult.to_dict`)."""
        d = {f.name: plain(getattr(self, f.name)) for f in fields(self) if f.name != "circuit"}
        d["fit"] = None if self.fit is None else self.fit.to_dict()
        return {**d, "status": self.status, "message": self.message}

    @classmethod
    def from_dict(cls, d: dict) -> Ranked:
        from korvex import Circuit, FitResult

        check_keys(d, cls.__name__, {f.name for f in fields(cls)} - {"circuit"})
        fit = None if d["fit"] is None else FitResult.from_dict(d["fit"])
        return cls(
            d["text"],
            Circuit(d["text"]) if fit is None else fit.circuit,
            fit,
            d["criterion"],
            d["weight"],
            d["aic"],
            d["bic"],
            d["n_params"],
            tuple(d["flags"]),
            d["error"],
        )


class Ranking(ResultTable, list):
    """What `identify` returns: the candidates (`Ranked`), best first, as a
    list that also tabulates, plots and reports them. ``status`` is "ok" when
    at least one candidate was fitted, "failed" when none was."""

    @property
    def status(self) -> str:
        return "ok" if any(r.fit is not None for r in self) else "failed"

    @property
    def message(self) -> str:
        if not self:
            return "no candidates"
        failed = sum(r.fit is None for r in self)
        if failed == len(self):
            return f"every candidate failed; the first: {self[0].error}"
        note = f", {failed} failed" if failed else ""
        return f"{len(self)} candidates{note}; best {self[0].text}"

    def to_dict(self) -> dict:
        """The ranking in plain JSON types; `Ranking.from_dict` reverses it."""
        return {
            "candidates": [r.to_dict() for r in self],
            "status": self.status,
            "message": self.message,
        }

    @classmethod
    def from_dict(cls, d: dict) -> Ranking:
        check_keys(d, cls.__name__, {"candidates"})
        return cls(Ranked.from_dict(r) for r in d["candidates"])

    def _table(self):
        rows = [
            {
                "circuit": r.text,
                "criterion": r.criterion,
                "weight": r.weight,
                "aic": r.aic,
                "bic": r.bic,
                "n_params": r.n_params,
                "chi_square": r.fit.chi_square if r.fit is not None else float("nan"),
                "flags": ", ".join(r.flags),
                "status": r.status,
            }
            for r in self
        ]
        return "rank", list(range(1, len(self) + 1)), rows

    def report(self) -> str:
        """The candidates, best first, as a text table."""
        return f"identify: {self.status} ({self.message})\n\n" + text_table(*self._table())

    def plot(self, *, ax=None):
        """Each candidate's weight, best at the top."""
        ax = axes(ax)
        labels = [r.text for r in self][::-1]
        ax.barh(range(len(labels)), [r.weight for r in self][::-1])
        ax.set_yticks(range(len(labels)), labels, fontsize=8)
        ax.set_xlabel("weight")
        return ax


def kramers_kronig(
    frequencies,
    impedances=None,
    *,
    c=0.85,
    max_m=None,
    add_capacitance=None,
    add_inductance=True,
    fit="complex",
    floor=0.005,
    choose_m="residuals",
) -> KKResult:
    """Linear Kramers-Kronig test (Schönleber et al. 2014).

    Fits a series resistance, M RC elements with time constants log-spaced
    over the measured range, and optionally a series inductance and
    capacitance, by linear least squares weighted by 1/|Z|.

    ``choose_m`` chooses M. "residuals" (the default) fits every M up to
    ``max_m`` (default min(50, number of points)) and takes, from a lower
    limit where the pseudo chi-square stops falling fast, the first M that
    no larger M betters by more than the noise would (after Plank et al.
    2022; an F test on the pseudo chi-square): on
    real spectra mu often falls below ``c`` while the fit is still far from
    the data, and the verdict would then be wrong. "linkk" is exactly
    impedance.py's ``linKK``: M grows from 1 until mu, one minus the ratio of
    negative to positive resistance mass, falls below ``c``. ``c=None`` uses
    ``max_m`` elements under either choice; a ``max_m`` above the number of
    points is capped at it, as ``linKK`` takes it.

    ``add_capacitance`` fits a series capacitance (blocking electrodes,
    diffusion tails); None fits one under "residuals" and none under "linkk",
    as ``linKK``. ``fit`` chooses the parts fitted: "complex" (both), "real"
    or "imag" (the other part is then a prediction, as in ``linKK``).

    The spectrum is ``valid`` when every residual lies within four times
    the noise around it (and ``floor``); a spectrum that fails the test is
    still returned, with ``valid`` false and the ``reason``.

    Accepts two sequences, or a dataframe as ``Circuit.fit()`` does.
    """
    if add_capacitance is None:
        add_capacitance = choose_m == "residuals" and c is not None
    d = _korvex._kramers_kronig(
        frequencies, impedances, c, max_m, add_capacitance, add_inductance, fit, floor, choose_m
    )
    inverse = d.pop("inverse_capacitance")
    d["capacitance"] = 1.0 / inverse if inverse != 0.0 else float("inf")
    d["m_choice"] = "max_m" if c is None else choose_m
    d["c"] = None if c is None else float(c)
    return KKResult(**d)


def drt(
    frequencies,
    impedances=None,
    *,
    lam=None,
    basis="gaussian",
    nonneg=True,
    add_inductance=True,
    fwhm=2.0,
    inductance=None,
) -> DRTResult:
    """Distribution of relaxation times by Tikhonov regularisation.

    gamma is a sum of radial basis functions ("gaussian" or
    "inverse_quadratic", ``fwhm`` basis spacings wide) centred on time
    constants log-spaced over 1/(2 pi f), one per point up to 100. Real and
    imaginary parts are fitted together, weighted by 1/|Z|, with a penalty
    ``lam`` on the first derivative of gamma, chosen by robust generalised
    cross-validation (searched over 1e-4 .. 10) when None. ``nonneg`` keeps
    gamma, R_inf and L non-negative (non-negative least squares).
    ``add_inductance`` fits a series inductance, as in `kramers_kronig`
    (``inductance=`` is its older name).
    """
    if inductance is not None:
        if add_inductance is not True:
            raise TypeError("pass add_inductance= or its older name inductance=, not both")
        add_inductance = inductance
    d = _korvex._drt(frequencies, impedances, lam, basis, nonneg, add_inductance, fwhm)
    d["series_resistance"] = d.pop("r_inf")
    d["inductance"] = d.pop("l")
    peaks = tuple(
        Peak(float(t), float(r), float(w))
        for t, r, w in zip(d.pop("peak_tau"), d.pop("peak_r"), d.pop("peak_width"))
    )
    return DRTResult(**d, _peaks=peaks)


def identify(
    frequencies, impedances=None, candidates=None, *, criterion="bic", misfit_ratio=2.0
) -> Ranking:
    """Which circuit? Fits every candidate and ranks the fits, best first.

    ``candidates`` are circuit texts (default: the eleven built-in
    topologies), fitted on modulus-weighted residuals in parallel with the
    interpreter lock released: every candidate is screened by one
    Levenberg-Marquardt run from each plausible start (its trained guess, the
    data-driven estimate in each order of its arcs, the fits of the
    candidates nested in it or holding it), and the robust search
    (``starts="auto"``) runs on the few whose screen decides the ranking,
    which are then polished by the default engine. Spectra over 120 points
    are screened on a log-spaced subset and polished on every point. Ranking
    is by the Bayesian information
    criterion by default, ``n ln(chi2/n) + k ln n`` with n = 2N residuals and
    k parameters: its penalty grows with the number of points, so unlike AIC
    it does not keep preferring a nested, larger circuit whose extra elements
    only follow the noise. ``criterion="aic"`` ranks by ``n ln(chi2/n) + 2k``.
    Ties go to the circuit with fewer parameters; candidates within 2 of the
    best criterion are flagged "indistinguishable". The result is a
    `Ranking`, a list of `Ranked` candidates.
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
    out = Ranking()
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
