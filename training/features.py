"""The network's input features, batched in NumPy.

The same computation as the module's guesser runs at inference time (scale
estimate, sort, unwrapped phase, resampling onto a fixed log grid); the
parity test holds the two to each other. All spectra of one batch have the
same number of points.
"""

from __future__ import annotations

import numpy as np

TWO_PI = 6.283185307179586


def scales(frequencies: np.ndarray, impedances: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Impedance scale Z_s and angular-frequency scale w_s ("reactive_centroid").

    The centroid of ln|Z| and ln(w) weighted by how capacitive each point is;
    spectra without a capacitive point fall back to the geometric mean
    frequency and the upper median modulus.
    """
    f = np.atleast_2d(frequencies)
    z = np.atleast_2d(impedances)
    modulus = np.abs(z)
    valid = (f > 0) & (modulus > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        w = -z.imag / modulus
        w = np.where(valid & (w > 0), w, 0.0)
        w = np.nan_to_num(w, nan=0.0)
        log_w = np.where(valid, np.log(TWO_PI * np.where(valid, f, 1.0)), 0.0)
        log_z = np.where(valid, np.log(np.where(valid, modulus, 1.0)), 0.0)
    total = w.sum(axis=1)
    a = (w * log_w).sum(axis=1)
    b = (w * log_z).sum(axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        omega_s = np.exp(a / total)
        z_s = np.exp(b / total)
        fallback = total < 1e-9
        if fallback.any():
            mean_log_w = np.log(TWO_PI * f[fallback]).mean(axis=1)
            omega_s[fallback] = np.exp(mean_log_w)
            z_s[fallback] = np.sort(modulus[fallback], axis=1)[:, modulus.shape[1] // 2]
    return z_s, omega_s


def _unwrap(raw: np.ndarray) -> np.ndarray:
    ph = np.empty_like(raw)
    ph[:, 0] = raw[:, 0]
    for k in range(1, raw.shape[1]):
        prev = ph[:, k - 1]
        a = raw[:, k]
        d = (a - prev) - TWO_PI * np.floor((a - prev + np.pi) / TWO_PI)
        d = np.where((d == -np.pi) & (a > prev), np.pi, d)
        ph[:, k] = prev + d
    return ph


def _interpolate(xs: np.ndarray, ys: np.ndarray, x: np.ndarray) -> np.ndarray:
    """Row-wise piecewise-linear interpolation; xs (B, N) ascending, x (B, L)."""
    n = xs.shape[1]
    count = (xs[:, None, :] <= x[:, :, None]).sum(axis=2)
    i = np.clip(count, 1, n - 1)
    x0 = np.take_along_axis(xs, i - 1, axis=1)
    x1 = np.take_along_axis(xs, i, axis=1)
    y0 = np.take_along_axis(ys, i - 1, axis=1)
    y1 = np.take_along_axis(ys, i, axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        inner = np.where(x1 == x0, y0, y0 + (x - x0) * (y1 - y0) / (x1 - x0))
    out = np.where(x <= xs[:, :1], ys[:, :1], inner)
    return np.where(x >= xs[:, -1:], ys[:, -1:], out)


def features(frequencies: np.ndarray, impedances: np.ndarray, n_grid: int = 64):
    """Features of B spectra of N points each.

    Returns (inputs (B, 3, n_grid), extras (B, 2), z_s (B,), omega_s (B,)).
    """
    f = np.atleast_2d(np.asarray(frequencies, dtype=np.float64))
    z = np.atleast_2d(np.asarray(impedances, dtype=np.complex128))
    z_s, omega_s = scales(f, z)
    order = np.argsort(f, axis=1, kind="stable")
    f = np.take_along_axis(f, order, axis=1)
    z = np.take_along_axis(z, order, axis=1)
    lf = np.log10(f)
    lz = np.log10(np.abs(z))
    ph = _unwrap(np.arctan2(z.imag, z.real))
    first, last = lf[:, :1], lf[:, -1:]
    step = (last - first) / (n_grid - 1) if n_grid >= 2 else np.zeros_like(first)
    grid = first + np.arange(n_grid)[None, :] * step
    inputs = np.empty((f.shape[0], 3, n_grid))
    inputs[:, 0] = _interpolate(lf, lz, grid) - np.log10(z_s)[:, None]
    inputs[:, 1] = _interpolate(lf, ph, grid) / (np.pi / 2)
    inputs[:, 2] = (grid - np.log10(omega_s / TWO_PI)[:, None]) * 0.25
    extras = np.empty((f.shape[0], 2))
    extras[:, 0] = (last - first)[:, 0] * 0.125
    extras[:, 1] = np.log10(f.shape[1]) * 0.5
    return inputs, extras, z_s, omega_s
