"""Shared-parameter fits: `fit_shared` and its `SharedFitResult`."""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Any

from korvex import _korvex
from korvex._results import (
    ResultTable,
    axes,
    check_keys,
    plain_key,
    restore_key,
    text_table,
    values_against_keys,
)
from korvex.batch import BatchResult, _as_circuit, _normalise, fit_many

_STATE = (
    "names",
    "shared_names",
    "keys",
    "key_name",
    "params",
    "stderr",
    "chi_square",
    "total_chi_square",
    "iterations",
    "success",
    "status",
    "message",
    "elapsed",
    "separate",
)


class SharedFitResult(ResultTable):
    """The joint fit of several spectra.

    `shared` maps each shared parameter to its one value (and `shared_stderr`
    to its standard error); `params`, `stderr` and `chi_square` hold one entry
    per spectrum in input order (`keys` names them); `total_chi_square` is their
    sum; `separate` is the BatchResult of the per-spectrum fits that supplied
    the starting values. A standard error is NaN for a parameter on a bound or
    one the others determine (the rest are read without it), and `stderr` is
    None when there are no more residuals than parameters or the Jacobian is
    not finite. `status` and `message` say why the joint
    fit ended, in the words of `FitResult.status`.
    """

    def __init__(self, names, shared_names, raw, keys, separate: BatchResult, elapsed, key_name):
        self.names = list(names)
        self.shared_names = list(shared_names)
        self.keys = list(keys)
        self.params = [dict(zip(names, p)) for p in raw["params"]]
        errors = raw["stderr"]
        self.stderr = None if errors is None else [dict(zip(names, e)) for e in errors]
        self.chi_square = list(raw["chi_square"])
        self.total_chi_square = raw["total_chi_square"]
        self.iterations = raw["iterations"]
        self.success = raw["success"]
        self.status = raw["status"]
        self.message = raw["message"]
        self.shared = {n: self.params[0][n] for n in shared_names} if self.params else {}
        self.shared_stderr = (
            None
            if self.stderr is None or not self.params
            else {n: self.stderr[0][n] for n in shared_names}
        )
        self.separate = separate
        self.elapsed = elapsed
        self.key_name = key_name

    def __repr__(self) -> str:
        shared = ", ".join(f"{k}={v:.6g}" for k, v in self.shared.items())
        return (
            f"SharedFitResult(success={self.success}, {len(self.params)} spectra, "
            f"{shared}, total_chi_square={self.total_chi_square:.6g})"
        )

    def to_dict(self) -> dict:
        """The joint fit in plain JSON types (parameters as lists in `names`
        order, the separate fits as `BatchResult.to_dict`);
        `SharedFitResult.from_dict` reverses it."""
        d = {name: getattr(self, name) for name in _STATE}
        d["keys"] = [plain_key(k) for k in self.keys]
        d["params"] = [[p[n] for n in self.names] for p in self.params]
        if self.stderr is not None:
            d["stderr"] = [[e[n] for n in self.names] for e in self.stderr]
        d["separate"] = self.separate.to_dict()
        return d

    @classmethod
    def from_dict(cls, d: dict) -> SharedFitResult:
        check_keys(d, cls.__name__, set(_STATE))
        raw = {name: d[name] for name in _STATE}
        return cls(
            d["names"],
            d["shared_names"],
            raw,
            [restore_key(k) for k in d["keys"]],
            BatchResult.from_dict(d["separate"]),
            d["elapsed"],
            d["key_name"],
        )

    def _table(self):
        rows = []
        for k, params in enumerate(self.params):
            row: dict[str, Any] = {}
            for name, value in params.items():
                row[name] = value
                row[f"{name}_stderr"] = (
                    self.stderr[k][name] if self.stderr is not None else float("nan")
                )
            row["chi_square"] = self.chi_square[k]
            rows.append(row)
        return self.key_name, list(self.keys), rows

    def to_frame(self):
        """One row per spectrum: parameters, `<name>_stderr`, chi_square. Needs pandas."""
        return super().to_frame()

    frame = to_frame  # the table's first name

    def report(self) -> str:
        """The joint fit's outcome, the shared values and each spectrum's chi-square."""
        lines = [
            f"Shared fit: {self.status} ({self.message})",
            f"  spectra {len(self.params)}, iterations {self.iterations}, "
            f"total chi-square {self.total_chi_square:.6g}",
        ]
        if self.shared:
            errors = self.shared_stderr or {}
            rows = [{"value": v, "stderr": errors.get(n)} for n, v in self.shared.items()]
            lines += ["", text_table("shared", list(self.shared), rows)]
        rows = [{"chi_square": c} for c in self.chi_square]
        lines += ["", text_table(self.key_name, self.keys, rows)]
        return "\n".join(lines)

    def plot(self, names=None, *, ax=None):
        """The fitted values of the parameters `names` (default: those not
        shared) against the spectrum keys, with their standard errors."""
        if names is None:
            names = [n for n in dict.fromkeys(self.names) if n not in self.shared]
        elif isinstance(names, str):
            names = [names]
        return values_against_keys(
            axes(ax), self.keys, self.key_name, self.params, self.stderr, names
        )


def fit_shared(
    circuit,
    spectra,
    shared: Sequence[str],
    *,
    by=None,
    threads: int | None = None,
    **options,
) -> SharedFitResult:
    """Fit `circuit` (a Circuit or circuit text) to several spectra at once,
    the parameters named in `shared` taking one value for all of them (one CPE
    exponent for a whole temperature series, say), every other parameter one
    value per spectrum.

    The spectra take the forms `fit_many` accepts. Each is first fitted on its
    own (`fit_many` with `options`); those values start one joint
    least-squares problem under the same keywords (weighting, iteration limit,
    constants and `bounds`, which hold in the separate fits and the joint one),
    whose standard errors come from the joint Jacobian. `constants` hold
    parameters fixed in every spectrum. Raises ValueError for unknown names or
    when a per-spectrum fit fails.
    """
    started = time.perf_counter()
    circuit = _as_circuit(circuit)
    names = circuit.param_names()
    shared = list(shared)
    for name in shared:
        if name not in names:
            raise ValueError(f"unknown parameter {name!r}; parameters are {names}")
    # fit_many's own keywords (chain=, engine=, progress=, ...) shape only
    # the separate fits; the fit keywords reach the joint one too.
    fit_keywords = {o[0] for o in _korvex._fit_options()}
    joint_options = {k: v for k, v in options.items() if k in fit_keywords}
    held = _korvex._constant_mask(circuit, joint_options)
    overlap = {n for n, h in zip(names, held) if h} & set(shared)
    if overlap:
        raise ValueError(f"parameters cannot be both shared and constant: {sorted(overlap)}")
    keys, pairs, key_name = _normalise(spectra, by)
    if not pairs:
        raise ValueError("fit_shared needs at least one spectrum")
    separate = fit_many(circuit, dict(enumerate(pairs)), threads=threads, **options)
    if separate.failed:
        index, error = next(iter(separate.failed.items()))
        raise ValueError(f"the separate fit of spectrum {keys[index]!r} failed: {error}")
    separate.keys = keys
    separate.key_name = key_name
    starts = [list(r.params.values()) for r in separate]
    raw = _korvex._fit_shared(
        circuit,
        pairs,
        starts,
        [n in shared for n in names],
        joint_options,
    )
    return SharedFitResult(
        names, shared, raw, keys, separate, time.perf_counter() - started, key_name
    )
