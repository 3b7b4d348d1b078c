"""Results as plain JSON types for the page and the API.

FitResult has `to_dict()`; the analysis results are converted here until
they grow their own, so that this one module is what changes then.
"""

from __future__ import annotations

import math

import numpy as np


def _floats(values) -> list:
    return [v if math.isfinite(v) else None for v in np.asarray(values, dtype=float).tolist()]


def _number(value):
    value = float(value)
    return value if math.isfinite(value) else None


def kk(result) -> dict:
    return {
        "valid": bool(result.valid),
        "m": int(result.m),
        "m_choice": result.m_choice,
        "reason": result.reason,
        "mu": _number(result.mu),
        "pseudo_chi_square": _number(result.pseudo_chi_square),
        "noise": _number(result.noise),
        "threshold": _number(result.threshold),
        "local_threshold": _floats(result.local_threshold),
        "frequencies": _floats(result.frequencies),
        "residuals_real": _floats(result.residuals_real),
        "residuals_imag": _floats(result.residuals_imag),
        "z_fit_real": _floats(result.z_fit.real),
        "z_fit_imag": _floats(result.z_fit.imag),
    }


def drt(result) -> dict:
    return {
        "tau": _floats(result.tau),
        "gamma": _floats(result.gamma),
        "r_inf": _number(result.r_inf),
        "l": _number(result.l),
        "lam": _number(result.lam),
        "peaks": [{"tau": p.tau, "r": p.r, "width": p.width} for p in result.peaks()],
    }


def ranked(row) -> dict:
    return {
        "text": row.text,
        "criterion": _number(row.criterion),
        "weight": _number(row.weight),
        "aic": _number(row.aic),
        "bic": _number(row.bic),
        "n_params": int(row.n_params),
        "flags": list(row.flags),
        "error": row.error,
        "params": None if row.fit is None else row.fit.params,
    }


def fit(result, frequencies) -> dict:
    """`to_dict()` of the fit with what the page draws: units, and the model
    on a dense frequency grid and at the measured points."""
    state = result.to_dict()
    circuit = result.circuit
    f = np.asarray(frequencies, dtype=float)
    dense = np.logspace(np.log10(f.min()), np.log10(f.max()), 200)
    model = circuit.impedance(dense)
    at_points = circuit.impedance(f)
    return {
        "result": state,
        "circuit": circuit.text,
        "names": circuit.param_names(),
        "units": circuit.param_units(),
        "params": result.params,
        "stderr": result.stderr,
        "success": bool(result.success),
        "chi_square": _number(result.chi_square),
        "warnings": list(result.warnings),
        "at_bounds": list(result.at_bounds),
        "model": curve(dense, model),
        "at_points": curve(f, at_points),
    }


def curve(frequencies, impedances) -> dict:
    z = np.asarray(impedances)
    return {"f": _floats(frequencies), "re": _floats(z.real), "im": _floats(z.imag)}


def strict(value):
    """`value` with every non-finite float as None: strict JSON, which is what
    browsers parse, has no NaN or infinity (an open bound comes out as null)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [strict(v) for v in value]
    return value
