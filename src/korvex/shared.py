"""Shared-parameter fits: `fit_shared` and its `SharedFitResult`."""

from __future__ import annotations

import time
from collections.abc import Sequence
from typing import Any

from korvex import _korvex
from korvex.batch import BatchResult, _normalise, fit_many


class SharedFitResult:
    """The joint fit of several spectra.

    `shared` maps each shared parameter to its one value (and `shared_stderr`
    to its standard error); `params`, `stderr` and `chi_square` hold one entry
    per spectrum in input order (`keys` names them); `total_chi_square` is their
    sum; `separate` is the BatchResult of the per-spectrum fits that supplied
    the starting values.
    """

    def __init__(self, names, shared_names, raw, keys, separate: BatchResult, elapsed, key_name):
        self.keys = list(keys)
        self.params = [dict(zip(names, p)) for p in raw["params"]]
        errors = raw["stderr"]
        self.stderr = None if errors is None else [dict(zip(names, e)) for e in errors]
        self.chi_square = list(raw["chi_square"])
        self.total_chi_square = raw["total_chi_square"]
        self.iterations = raw["iterations"]
        self.success = raw["success"]
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

    def frame(self):
        """One row per spectrum: parameters, `<name>_stderr`, chi_square. Needs pandas."""
        import pandas as pd

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
        return pd.DataFrame(rows, index=pd.Index(self.keys, name=self.key_name))


def fit_shared(
    circuit,
    spectra,
    shared: Sequence[str],
    *,
    by=None,
    threads: int | None = None,
    **options,
) -> SharedFitResult:
    """Fit `circuit` to several spectra at once, the parameters named in
    `shared` taking one value for all of them (one CPE exponent for a whole
    temperature series, say), every other parameter one value per spectrum.

    The spectra take the forms `fit_many` accepts. Each is first fitted on its
    own (`fit_many` with `options`); those values start one joint
    least-squares problem under the same keywords (weighting, iteration limit,
    constants), whose standard errors come from the joint Jacobian.
    `constants` hold parameters fixed in every spectrum. Raises ValueError for
    unknown names or when a per-spectrum fit fails.
    """
    started = time.perf_counter()
    names = circuit.param_names()
    shared = list(shared)
    for name in shared:
        if name not in names:
            raise ValueError(f"unknown parameter {name!r}; parameters are {names}")
    held = _korvex._constant_mask(circuit, options)
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
        options,
    )
    return SharedFitResult(
        names, shared, raw, keys, separate, time.perf_counter() - started, key_name
    )
