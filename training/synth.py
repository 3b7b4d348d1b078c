"""Synthetic spectra that look like real measurements, for each topology.

A spectrum is a frequency window of 2 to 9 decades anywhere in 1 mHz .. 1 MHz
with 10 to 150 points (log-spaced, sometimes jittered or irregular, sometimes
with dropped points), a circuit whose time constants fall in or near the
window (arcs and diffusion tails are often only partly visible), and
proportional noise of 0.1 % to 3 %. Impedances come from korvex itself.

Two spreads of circuit values: "standard", what most models were trained on,
and "broad", mixed half and half with the standard one for the models whose
spectra vary most (two arcs with diffusion):
arcs up to 1.5 decades outside the window (partial arcs at both ends), a
third of the two-arc spectra with their arcs less than a decade apart
(overlapping), wider resistance ratios, flatter CPEs, and Warburg and
finite-Warburg values that let diffusion dominate the low frequencies.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from training.circuits import MODELS, Topology, topology
from training.features import TWO_PI, features

LOG_F_MIN, LOG_F_MAX = -3.0, 6.0


class Spread(NamedTuple):
    """Ranges of the circuit values, in decades unless said otherwise."""

    tau_margin: float  # characteristic frequencies this far outside the window
    r0: tuple[float, float]  # R0 relative to the spectrum's scale
    r: tuple[float, float]  # arc resistances relative to the scale
    alpha: tuple[float, float]  # CPE exponents (linear)
    overlap: float  # share of two-arc spectra with arcs under a decade apart
    warburg: tuple[float, float]  # Aw relative to R * sqrt(1 / tau)
    wo_z0: tuple[float, float]  # finite-Warburg Z0 relative to its arc's R
    wo_tau: tuple[float, float]  # finite-Warburg tau relative to its arc's tau


SPREADS = {
    "standard": Spread(
        0.5, (-2.5, 0.5), (-1.5, 1.5), (0.5, 1.0), 0.0, (-2.0, 0.3), (-1.5, 1.0), (0.0, 3.0)
    ),
    "broad": Spread(
        1.5, (-3.0, 1.0), (-2.0, 2.0), (0.45, 1.0), 1 / 3, (-2.5, 1.0), (-2.0, 1.5), (-1.0, 3.5)
    ),
}


def _log_u(rng, lo, hi, size=None):
    return 10.0 ** rng.uniform(lo, hi, size)


def window(rng, n):
    """Lower and upper log10 frequency of n measurement windows."""
    decades = rng.uniform(2.0, LOG_F_MAX - LOG_F_MIN, n)
    lo = rng.uniform(LOG_F_MIN, LOG_F_MAX - decades)
    return lo, lo + decades


def frequencies(rng, lo: float, hi: float, n_points: int) -> np.ndarray:
    """One frequency list: mostly log-spaced, sometimes uneven, usually descending."""
    mode = rng.random()
    u = np.linspace(0.0, 1.0, n_points)
    if mode < 0.25:
        u = np.sort(np.clip(u + rng.uniform(-0.4, 0.4, n_points) / (n_points - 1), 0.0, 1.0))
    elif mode < 0.35:
        u = np.sort(np.concatenate([[0.0, 1.0], rng.random(n_points - 2)]))
    elif mode < 0.45:
        # Two sweeps of different density, as instruments switching range do.
        split = rng.uniform(0.2, 0.8)
        n_low = int(rng.integers(2, n_points - 1))
        u = np.concatenate(
            [
                np.linspace(0.0, split, n_low, endpoint=False),
                np.linspace(split, 1.0, n_points - n_low),
            ]
        )
    f = 10.0 ** (lo + u * (hi - lo))
    return f[::-1].copy() if rng.random() < 0.7 else f


def _group_tau(rng, lo, hi, n, margin=0.5):
    """Time constants whose characteristic frequency lies in or just outside the window."""
    log_fc = rng.uniform(lo - margin, hi + margin, n)
    return 1.0 / (TWO_PI * 10.0**log_fc)


def _rc(r, tau):
    return tau / r


def _rq(rng, r, tau, alpha_range=(0.5, 1.0)):
    alpha = rng.uniform(*alpha_range, r.shape)
    return tau**alpha / r, alpha


def _group_impedance(omega, r, cap, alpha=None):
    """|Z| of R parallel to C (alpha None) or CPE, used only to size inductances."""
    admittance = cap * (1j * omega) ** (1.0 if alpha is None else alpha)
    return r / (1.0 + r * admittance)


def sample_params(
    name: str, rng, lo: np.ndarray, hi: np.ndarray, spread: str = "standard"
) -> np.ndarray:
    """Physical parameter values (n, P) in the topology's parameter order.

    Two identical groups are ordered by time constant, fastest first, so the
    targets have one canonical form; in the SEI models the film arc is the
    faster one by construction.
    """
    s = SPREADS[spread]
    n = lo.shape[0]
    scale = _log_u(rng, -2.0, 4.0, n)
    r0 = scale * _log_u(rng, *s.r0, n)
    cpe = "rq" in name or "sei" in name or name == "randles"
    n_groups = 2 if ("two" in name or "sei" in name) else 1
    rs = [scale * _log_u(rng, *s.r, n) for _ in range(n_groups)]
    taus = [_group_tau(rng, lo, hi, n, s.tau_margin) for _ in range(n_groups)]
    if n_groups == 2 and s.overlap > 0:
        # The draws above leave most arcs well apart; overlapping ones are
        # the hardest to read and need their own share.
        close = rng.random(n) < s.overlap
        taus[1] = np.where(close, taus[0] * _log_u(rng, -1.0, 1.0, n), taus[1])
    if n_groups == 2:
        swap = taus[0] > taus[1]
        taus = [np.where(swap, taus[1], taus[0]), np.where(swap, taus[0], taus[1])]
    caps, alphas = [], []
    for r, tau in zip(rs, taus):
        if cpe:
            q, a = _rq(rng, r, tau, s.alpha)
            caps.append(q)
            alphas.append(a)
        else:
            caps.append(_rc(r, tau))
            alphas.append(None)
    cols = [r0]
    if name.endswith("_l"):
        omega_max = TWO_PI * 10.0**hi
        z_top = r0 + sum(_group_impedance(omega_max, r, c, a) for r, c, a in zip(rs, caps, alphas))
        cols.insert(0, _log_u(rng, -1.5, 0.5, n) * np.abs(z_top) / omega_max)
    if name == "randles":
        aw = rs[0] * np.sqrt(1.0 / taus[0]) * _log_u(rng, *s.warburg, n)
        cols += [rs[0], aw, caps[0], alphas[0]]
    elif name == "sei_randles":
        aw = rs[1] * np.sqrt(1.0 / taus[1]) * _log_u(rng, *s.warburg, n)
        cols += [rs[0], caps[0], alphas[0], rs[1], aw, caps[1], alphas[1]]
    elif name == "sei_randles_wo":
        z0 = rs[1] * _log_u(rng, *s.wo_z0, n)
        tau_d = taus[1] * _log_u(rng, *s.wo_tau, n)
        cols += [rs[0], caps[0], alphas[0], rs[1], z0, tau_d, caps[1], alphas[1]]
    else:
        for r, c, a in zip(rs, caps, alphas):
            cols += [r, c] + ([a] if a is not None else [])
    return np.stack(cols, axis=1)


def add_noise(rng, z: np.ndarray, sigma: float) -> np.ndarray:
    m = np.abs(z)
    return z + sigma * m * (rng.standard_normal(z.shape) + 1j * rng.standard_normal(z.shape))


def targets(topo: Topology, params: np.ndarray, z_s: np.ndarray, omega_s: np.ndarray):
    """Scale-free values the network learns: log10 of each value divided by
    Z_s^z_power * w_s^(w_power + alpha_coefficient * alpha), raw alphas."""
    out = np.empty_like(params)
    s = topo.scaling
    for k in range(topo.n_params):
        if not topo.log_params[k]:
            out[:, k] = params[:, k]
            continue
        e = s[k, 1] + (s[k, 2] * params[:, int(s[k, 3])] if s[k, 3] >= 0 else 0.0)
        out[:, k] = np.log10(params[:, k]) - s[k, 0] * np.log10(z_s) - e * np.log10(omega_s)
    return out


@dataclass
class Dataset:
    name: str
    inputs: np.ndarray  # (n, 3, L) float32
    extras: np.ndarray  # (n, 2) float32
    targets: np.ndarray  # (n, P) float64
    params: np.ndarray  # (n, P) physical values
    z_s: np.ndarray
    omega_s: np.ndarray
    spectra: list = field(default_factory=list)  # (f, Z) pairs, when kept


def generate(
    name: str,
    n: int,
    seed: int,
    noise: float | None = None,
    keep_spectra: bool = False,
    n_grid: int = 64,
    spread: str = "standard",
) -> Dataset:
    """n synthetic spectra of one topology with their features and targets.

    `noise` fixes the proportional noise level; by default each spectrum
    draws its own between 0.1 % and 3 %. `spread` names the ranges of the
    circuit values (SPREADS), or is "mixed": half standard, half broad.
    """
    import korvex

    if spread == "mixed":
        parts = [
            generate(name, n - n // 2, seed, noise, keep_spectra, n_grid, "standard"),
            generate(name, n // 2, seed, noise, keep_spectra, n_grid, "broad"),
        ]
        arrays = ("inputs", "extras", "targets", "params", "z_s", "omega_s")
        return Dataset(
            name,
            *(np.concatenate([getattr(part, a) for part in parts]) for a in arrays),
            parts[0].spectra + parts[1].spectra,
        )
    topo = topology(name)
    model_index = list(MODELS).index(name)
    # Each spread draws from its own stream, so that the halves of a mixed
    # set are independent.
    stream = [] if spread == "standard" else [list(SPREADS).index(spread)]
    rng = np.random.default_rng([seed, model_index, *stream])
    lo, hi = window(rng, n)
    params = sample_params(name, rng, lo, hi, spread)
    sizes = rng.integers(10, 151, n)
    drops = np.where(rng.random(n) < 0.1, rng.integers(1, 4, n), 0)
    sigmas = _log_u(rng, -3.0, np.log10(0.03), n) if noise is None else np.full(n, noise)
    circuit = korvex.Circuit(topo.circuit)
    spectra = []
    for i in range(n):
        f = frequencies(rng, lo[i], hi[i], int(sizes[i] + drops[i]))
        if drops[i]:
            f = np.delete(f, rng.choice(np.arange(1, f.size - 1), drops[i], replace=False))
        z = circuit.with_values(params[i].tolist()).impedance(f)
        spectra.append((f, add_noise(rng, z, sigmas[i])))
    inputs = np.empty((n, 3, n_grid), np.float32)
    extras = np.empty((n, 2), np.float32)
    z_s = np.empty(n)
    omega_s = np.empty(n)
    for size in np.unique(sizes):
        rows = np.flatnonzero(sizes == size)
        for start in range(0, rows.size, 4096):
            chunk = rows[start : start + 4096]
            f = np.stack([spectra[i][0] for i in chunk])
            z = np.stack([spectra[i][1] for i in chunk])
            x, e, zs, ws = features(f, z, n_grid)
            inputs[chunk], extras[chunk], z_s[chunk], omega_s[chunk] = x, e, zs, ws
    t = targets(topo, params, z_s, omega_s)
    return Dataset(name, inputs, extras, t, params, z_s, omega_s, spectra if keep_spectra else [])
