"""Tables of circuits and fit results: pandas frames and notebook HTML."""

from __future__ import annotations

import html
import math
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas

    from korvex import Circuit, FitResult


def results_frame(
    results: Iterable[FitResult] | Mapping[object, FitResult],
    names: Sequence[object] | None = None,
    *,
    units_in_names: bool = False,
) -> pandas.DataFrame:
    """One row per fit: the circuit text, success, chi-square, cost, every
    parameter and its standard error (column `"<name>_stderr"`; NaN where a
    fit has none or its circuit lacks the parameter).

    `frame.attrs["units"]` maps each parameter and standard-error column to
    its unit (`"ohm"`, `"F"`, `"F s^(alpha-1)"`, ...). `units_in_names=True`
    writes them into the column names instead (`"R0.r [ohm]"`,
    `"R0.r_stderr [ohm]"`), for a CSV file that carries its units.

    `results` is a sequence of `FitResult`s or a mapping from name to result;
    `names` (as many as results) labels the rows otherwise, and the index is
    named `"name"`. Needs pandas.
    """
    try:
        import pandas as pd
    except ImportError:
        raise ImportError(
            "korvex.results_frame needs pandas: pip install 'korvex-eis[io]'"
        ) from None
    if isinstance(results, Mapping):
        if names is not None:
            raise ValueError("names= is for a sequence of results: a mapping names its own")
        names, results = list(results.keys()), list(results.values())
    else:
        results = list(results)
        names = list(range(len(results))) if names is None else list(names)
    if len(names) != len(results):
        raise ValueError(f"{len(names)} names for {len(results)} results")
    rows = []
    units: dict[str, str] = {}
    for result in results:
        if not hasattr(result, "params") or not hasattr(result, "chi_square"):
            raise TypeError(f"expected FitResult objects, got {type(result).__name__!r}")
        for name, unit in zip(result.circuit.param_names(), result.circuit.param_units()):
            units.setdefault(name, unit)
            units.setdefault(f"{name}_stderr", unit)
        row = {
            "circuit": result.circuit.text,
            "success": result.success,
            "chi_square": result.chi_square,
            "cost": result.cost,
        }
        row.update(result.params)
        stderr = result.stderr or {}
        row.update({f"{n}_stderr": stderr.get(n, math.nan) for n in result.params})
        rows.append(row)
    frame = pd.DataFrame(rows, index=pd.Index(names, name="name"))
    value_columns = [
        c
        for c in frame.columns
        if c not in ("circuit", "success", "chi_square", "cost") and not c.endswith("_stderr")
    ]
    stderr_columns = [f"{c}_stderr" for c in value_columns]
    frame[stderr_columns] = frame.reindex(columns=stderr_columns).astype(float)
    frame = frame[["circuit", "success", "chi_square", "cost", *value_columns, *stderr_columns]]
    if units_in_names:
        return frame.rename(columns={c: f"{c} [{u}]" for c, u in units.items()})
    frame.attrs["units"] = {c: units[c] for c in frame.columns if c in units}
    return frame


def circuit_html(circuit: Circuit) -> str:
    """The circuit's parameter table for notebooks (`Circuit._repr_html_`)."""
    try:
        title = html.escape(circuit.text)
    except ValueError:  # an empty group has no text
        title = "circuit"
    rows = "".join(
        f"<tr><td>{html.escape(name)}</td><td>{value:.6g}</td><td>{html.escape(unit)}</td>"
        f"<td>{lo:.6g}</td><td>{hi:.6g}</td></tr>"
        for name, value, unit, (lo, hi) in zip(
            circuit.param_names(),
            circuit.param_values(),
            circuit.param_units(),
            circuit.param_bounds(),
        )
    )
    n = len(circuit.param_names())
    return (
        f"<table><caption>Circuit <code>{title}</code> ({n} parameter"
        f"{'' if n == 1 else 's'})</caption><thead><tr><th>parameter</th><th>value</th>"
        f"<th>unit</th><th>lower bound</th><th>upper bound</th></tr></thead>"
        f"<tbody>{rows}</tbody></table>"
    )
