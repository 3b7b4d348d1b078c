"""Many spectra at once: `fit_many` and its `BatchResult`."""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from korvex import _korvex
from korvex._results import (
    ResultTable,
    axes,
    check_keys,
    error_dict,
    error_from_dict,
    plain_key,
    restore_key,
    text_table,
    values_against_keys,
)

_ON_ERROR = ("record", "raise")
_ENGINES = ("fast", "exact")


class BatchResult(ResultTable, Sequence):
    """The fits of a batch, one entry per spectrum, in input order.

    Each entry is a `FitResult`, or the exception that stopped that spectrum's
    fit (bad data, a failed guess, a solver error), or None for a fit that never
    started because the batch was interrupted. `keys` names the spectra (their
    positions, group keys or mapping keys); `elapsed` is the batch's wall time
    in seconds. `status` is "ok" when every spectrum has a successful fit,
    "partial" when some have, "failed" when none has, "interrupted" when the
    batch stopped early; `message` counts them and names the first failure.
    """

    def __init__(
        self,
        results: Sequence[Any],
        keys: Sequence[Any],
        elapsed: float,
        key_name: str = "spectrum",
    ):
        self.results = list(results)
        self.keys = list(keys)
        self.elapsed = float(elapsed)
        self.key_name = key_name

    def __len__(self) -> int:
        return len(self.results)

    def __getitem__(self, index):
        return self.results[index]

    def __repr__(self) -> str:
        return f"BatchResult({len(self)} spectra, {len(self.failed)} failed, {self.elapsed:.3g} s)"

    @property
    def failed(self) -> dict:
        """Key -> exception (or None when never started) of every spectrum without a fit."""
        return {k: r for k, r in zip(self.keys, self.results) if not _is_fit(r)}

    @property
    def rate(self) -> float:
        """Spectra per second over the whole batch."""
        return len(self) / self.elapsed if self.elapsed > 0 else float("inf")

    @property
    def status(self) -> str:
        if any(r is None for r in self.results):
            return "interrupted"
        good = sum(_is_fit(r) and r.success for r in self.results)
        if good == len(self):
            return "ok"
        return "partial" if good else "failed"

    @property
    def message(self) -> str:
        fits = [r for r in self.results if _is_fit(r)]
        unconverged = sum(not r.success for r in fits)
        errors = [(k, r) for k, r in zip(self.keys, self.results) if isinstance(r, BaseException)]
        unstarted = sum(r is None for r in self.results)
        parts = [f"{len(fits) - unconverged} fitted"]
        if unconverged:
            parts.append(f"{unconverged} not converged")
        if errors:
            key, error = errors[0]
            parts.append(
                f"{len(errors)} failed (spectrum {key!r}: {type(error).__name__}: {error})"
            )
        if unstarted:
            parts.append(f"{unstarted} not run")
        return f"{len(self)} spectra: " + ", ".join(parts)

    def to_dict(self) -> dict:
        """The batch in plain JSON types: each fit as `FitResult.to_dict`, a
        failure as {"error": type name, "message": text}, an unstarted fit as
        None; keys that are not JSON values are kept as their str().
        `BatchResult.from_dict` reverses it."""
        return {
            "keys": [plain_key(k) for k in self.keys],
            "key_name": self.key_name,
            "elapsed": self.elapsed,
            "results": [
                None
                if r is None
                else error_dict(r)
                if isinstance(r, BaseException)
                else r.to_dict()
                for r in self.results
            ],
            "status": self.status,
            "message": self.message,
        }

    @classmethod
    def from_dict(cls, d: dict) -> BatchResult:
        from korvex import FitResult

        check_keys(d, cls.__name__, {"keys", "key_name", "elapsed", "results"})
        results = [
            None if r is None else error_from_dict(r) if "error" in r else FitResult.from_dict(r)
            for r in d["results"]
        ]
        keys = [restore_key(k) for k in d["keys"]]
        return cls(results, keys, d["elapsed"], d["key_name"])

    def _table(self):
        rows = []
        for result in self.results:
            row: dict[str, Any] = {}
            if _is_fit(result):
                stderr = result.stderr or {}
                for name, value in result.params.items():
                    row[name] = value
                    row[f"{name}_stderr"] = stderr.get(name, float("nan"))
                for name in ("chi_square", "cost", "success", "status", "impedance_evals"):
                    if hasattr(result, name):
                        row[name] = getattr(result, name)
                row["message"] = result.message
                row["error"] = None
            else:
                row["success"] = False
                row["status"] = "not_run" if result is None else "failed"
                row["message"] = row["error"] = "not run" if result is None else str(result)
            rows.append(row)
        return self.key_name, list(self.keys), rows

    def to_frame(self):
        """One row per spectrum (indexed by its key): each parameter, its
        standard error (`<name>_stderr`), chi_square, cost, success, status,
        impedance_evals, message, and `error` (the message of a failed
        spectrum). Needs pandas."""
        return super().to_frame()

    frame = to_frame  # the table's first name

    def report(self) -> str:
        """The batch's outcome, and the median and range of each fitted
        parameter over the spectra whose fit succeeded."""
        fits = [r for r in self.results if _is_fit(r) and r.success]
        lines = [f"Batch: {self.status} ({self.message})", f"  {self.rate:.4g} spectra/s"]
        if fits:
            names = list(fits[0].params)
            rows = []
            for name in names:
                values = sorted(r.params[name] for r in fits if name in r.params)
                rows.append(
                    {"median": values[len(values) // 2], "min": values[0], "max": values[-1]}
                )
            lines += ["", text_table("parameter", names, rows)]
        return "\n".join(lines)

    def plot(self, names=None, *, ax=None):
        """The fitted values of the parameters `names` (default: all) against
        the spectrum keys, with their standard errors as error bars."""
        params = [r.params if _is_fit(r) else None for r in self.results]
        stderr = [(r.stderr or {}) if _is_fit(r) else None for r in self.results]
        if names is None:
            names = next((list(p) for p in params if p), [])
        elif isinstance(names, str):
            names = [names]
        return values_against_keys(axes(ax), self.keys, self.key_name, params, stderr, names)


def _as_circuit(circuit):
    """A Circuit, or circuit text (or a built-in model's name) made into one."""
    from korvex import Circuit

    if isinstance(circuit, Circuit):
        return circuit
    if isinstance(circuit, str):
        return Circuit(circuit)
    raise TypeError(
        f"circuit must be a korvex.Circuit or circuit text, got {type(circuit).__name__}"
    )


def _is_fit(result) -> bool:
    return result is not None and not isinstance(result, BaseException)


def _split_frame(frame, by):
    groups = frame.groupby(by, sort=False)
    keys, spectra = [], []
    for key, group in groups:
        keys.append(key[0] if isinstance(key, tuple) and len(key) == 1 else key)
        spectra.append((group, None))
    return keys, spectra


def _normalise(spectra, by):
    """(keys, [(frequencies, impedances) or (frame, None)], key name)."""
    if by is not None:
        if not hasattr(spectra, "groupby"):
            raise TypeError("by= needs one dataframe holding every spectrum")
        keys, pairs = _split_frame(spectra, by)
        return keys, pairs, by if isinstance(by, str) else "spectrum"
    if isinstance(spectra, Mapping):
        keys = list(spectra)
        return keys, [_pair(spectra[k]) for k in keys], "spectrum"
    if hasattr(spectra, "groupby"):
        raise TypeError("a single dataframe needs by= naming its grouping column")
    pairs = [_pair(s) for s in spectra]
    return list(range(len(pairs))), pairs, "spectrum"


def _pair(item):
    if hasattr(item, "columns"):  # a dataframe in the battery data format
        return (item, None)
    if isinstance(item, tuple) and len(item) == 2:
        return item
    try:
        f, z = item
    except (TypeError, ValueError):
        # Left for the core to report in this spectrum's place.
        return (item, None)
    return (f, z)


def _chains(chain, keys, spectra, by) -> list[list[int]] | None:
    if chain is False or chain is None:
        return None
    if chain is True:
        return [list(range(len(keys)))]
    if isinstance(chain, str):
        if by is None:
            raise TypeError("chain='<column>' needs by= and one dataframe")
        labels = [pair[0][chain].iloc[0] for pair in spectra]
    else:
        labels = list(chain)
        if len(labels) != len(keys):
            raise ValueError(f"chain has {len(labels)} labels for {len(keys)} spectra")
    groups: dict[Any, list[int]] = {}
    for i, label in enumerate(labels):
        groups.setdefault(label, []).append(i)
    return list(groups.values())


def _progress_callback(progress, total):
    """(callable or None, closer) for progress=True, a callable, or None."""
    if progress is None or progress is False:
        return None, lambda: None
    if callable(progress):
        return progress, lambda: None
    if progress is not True:
        raise TypeError("progress must be True, False, None or a callable (done, total)")
    try:
        from tqdm.auto import tqdm
    except ImportError:
        import sys

        def counter(done, total_):
            sys.stderr.write(f"\rfitted {done}/{total_}")
            sys.stderr.flush()

        return counter, lambda: (sys.stderr.write("\n"), sys.stderr.flush())
    bar = tqdm(total=total, unit="spectrum")

    def update(done, total_):
        bar.update(done - bar.n)

    return update, bar.close


def fit_many(
    circuit,
    spectra,
    *,
    chain=False,
    threads: int | None = None,
    progress: bool | Callable[[int, int], Any] | None = None,
    on_error: str = "record",
    engine: str = "fast",
    by=None,
    **options,
) -> BatchResult:
    """Fit `circuit` (a Circuit or circuit text) to many spectra on the worker pool.

    `spectra` is a sequence of (frequencies, impedances) pairs or of dataframes,
    a mapping of keys to either, or one long dataframe split by the column(s)
    `by=` ("cycle"). Every spectrum is fitted as `circuit.fit(...)` would fit it,
    with the `fit()` keywords in `options`, one fit per
    worker task with the interpreter lock released; `threads` caps the fits
    running at once (default: the whole pool).

    `chain=True` fits the spectra in their order, each starting from the
    previous spectrum's fitted values (a guess starts the chain, and restarts
    it after a failed fit), so that arcs keep their identity along a series.
    With Levenberg-Marquardt a step is one local fit from the previous result
    (no multi-start search) unless that fit looks off the track: it failed or
    ran off, its chi-square per point rose more than twofold (over the
    previous step's or the last searched step's), or a parameter jumped (half
    a decade, or 0.15 of an exponent's range). Above the noise level
    (residuals that are not white) a step is also checked against a local fit
    from the spectrum's own data-driven estimate, and searched again at least
    every eight steps. Off the track, or undercut by more than 1 % by the
    estimate's fit, the step also fits the spectrum from a fresh start with a
    search (`starts=` of the batch, else "auto") and keeps that result when it
    costs more than 1 % less. Interchangeable arcs (parallel groups of the
    same shape) take the order of the previous step's time constants.
    A chained series is sequential; to run several series in parallel, pass one
    chain label per spectrum (spectra sharing a label form a chain, in order),
    or a column name with `by=`.

    A circuit without a trained model, fitted from its placeholder values,
    is searched from several starts (`starts="auto"`, see `fit()`) unless
    `starts=` is given; this needs `method="levenberg_marquardt"`.

    `engine="fast"` (default) runs Levenberg-Marquardt with the analytic
    Jacobian and stops when the cost fell less than 1e-5 relative over five
    iterations; `engine="exact"` gives what a loop of `fit()` gives.

    `progress=True` shows a bar (tqdm if installed, else a counter on stderr);
    a callable receives (done, total) about every 0.1 s. `on_error="record"`
    keeps the exception in a failed spectrum's place; `"raise"` starts no new
    fit after the first error and raises it. Ctrl-C stops the batch within a
    fraction of a second: KeyboardInterrupt is raised with the finished part as
    its `partial` attribute (a BatchResult; unstarted entries are None).
    """
    circuit = _as_circuit(circuit)
    if on_error not in _ON_ERROR:
        raise ValueError(f"on_error must be one of {_ON_ERROR}, got {on_error!r}")
    if engine not in _ENGINES:
        raise ValueError(f"engine must be one of {_ENGINES}, got {engine!r}")
    if threads is not None and (
        isinstance(threads, bool) or int(threads) != threads or threads < 1
    ):
        raise ValueError(f"threads must be a positive integer or None, got {threads!r}")
    keys, pairs, key_name = _normalise(spectra, by)
    chains = _chains(chain, keys, pairs, by)
    callback, close = _progress_callback(progress, len(pairs))
    started = time.perf_counter()
    try:
        results, interruption = _korvex._fit_batch(
            circuit,
            pairs,
            options,
            chains,
            int(threads or 0),
            on_error == "raise",
            engine == "fast",
            callback,
        )
        if callback is not None and interruption is None:
            callback(len(pairs), len(pairs))
    finally:
        close()
    batch = BatchResult(results, keys, time.perf_counter() - started, key_name)
    if interruption is not None:
        interruption.partial = batch
        raise interruption
    if on_error == "raise":
        for key, result in zip(keys, results):
            if isinstance(result, BaseException):
                if hasattr(result, "add_note"):  # Python 3.11+
                    result.add_note(f"while fitting spectrum {key!r}")
                raise result
    return batch
