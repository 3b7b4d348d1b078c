"""What every result type has in common.

Each result (`FitResult`, `BatchResult`, `SharedFitResult`, `KKResult`,
`DRTResult` and identify's `Ranking`) speaks one protocol:

- ``to_dict()`` gives plain JSON values (dicts, lists, str, float, int, bool,
  None; arrays become lists, complex arrays ``{"real": [...], "imag": [...]}``)
  and the class's ``from_dict()`` turns them back into an equal result;
- ``to_frame()`` is its table as a pandas DataFrame;
- ``_repr_html_()`` shows that table in a notebook, headed by the status;
- ``plot(..., ax=None)`` draws it with matplotlib (data first, the axes as a
  keyword; a new figure when none is given) and returns the axes;
- ``report()`` is a readable text;
- ``status`` (a short snake_case name) and ``message`` (one sentence) say how
  the computation ended, a failure included.

`ResultTable` gives a class the table, HTML and JSON helpers from one method,
``_table()``. pandas and matplotlib are imported on first use.
"""

from __future__ import annotations

import builtins
import html
import math
from typing import Any

import numpy as np

_HTML_ROWS = 30  # rows shown in a notebook before the table is cut


def plain(value: Any) -> Any:
    """`value` in plain JSON types: arrays and tuples become lists, a complex
    array a dict of its real and imaginary parts, NumPy scalars Python ones."""
    if isinstance(value, np.ndarray):
        if np.iscomplexobj(value):
            return {"real": value.real.tolist(), "imag": value.imag.tolist()}
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    return value


def array(value: Any) -> np.ndarray:
    """The NumPy array `plain()` turned into `value`."""
    if isinstance(value, dict):
        return np.asarray(value["real"], dtype=float) + 1j * np.asarray(value["imag"], dtype=float)
    return np.asarray(value, dtype=float)


def plain_key(key: Any) -> Any:
    """A spectrum key in JSON types: a tuple (several grouping columns) becomes
    a list, a NumPy scalar a Python one, anything else not JSON its str()."""
    if isinstance(key, tuple):
        return [plain_key(k) for k in key]
    if isinstance(key, np.generic):
        key = key.item()
    if key is None or isinstance(key, (str, int, float, bool)):
        return key
    return str(key)


def restore_key(key: Any) -> Any:
    return tuple(restore_key(k) for k in key) if isinstance(key, list) else key


def error_dict(error: BaseException) -> dict:
    return {"error": type(error).__name__, "message": str(error)}


def error_from_dict(d: dict) -> BaseException:
    """The exception an `error_dict` describes (RuntimeError for a type that
    is not a Python built-in)."""
    kind = getattr(builtins, d["error"], None)
    if not (isinstance(kind, type) and issubclass(kind, BaseException)):
        kind = RuntimeError
    return kind(d["message"])


def check_keys(d: Any, kind: str, required: set) -> None:
    if not isinstance(d, dict):
        raise ValueError(f"{kind} state: expected a dict, got {type(d).__name__!r}")
    missing = sorted(required - set(d))
    if missing:
        raise ValueError(f"{kind} state: {missing[0]!r} is missing")


def axes(ax):
    """`ax`, or the axes of a new matplotlib figure."""
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'korvex-eis[plot]'") from None
    return plt.subplots(layout="constrained")[1]


def values_against_keys(ax, keys, key_name, params, stderr, names):
    """Each named parameter against the spectrum keys, with its standard error
    as error bars; a log scale when every value is positive."""
    numeric = all(isinstance(k, (int, float)) and not isinstance(k, bool) for k in keys)
    x = list(keys) if numeric else list(range(len(keys)))
    positive = True
    for name in names:
        y = np.array([p.get(name, math.nan) if p else math.nan for p in params], dtype=float)
        err = None
        if stderr is not None:
            err = np.array([e.get(name, math.nan) if e else math.nan for e in stderr], dtype=float)
        ax.errorbar(x, y, yerr=err, fmt="o-", ms=3, capsize=2, label=name)
        positive = positive and bool(np.all(y[np.isfinite(y)] > 0))
    if positive:
        ax.set_yscale("log")
    if not numeric:
        ax.set_xticks(x, [str(k) for k in keys], rotation=45, ha="right")
    ax.set_xlabel(key_name)
    ax.set_ylabel("fitted value")
    ax.legend(fontsize=8)
    return ax


def text_table(index_name: str, index: list, rows: list[dict]) -> str:
    """The table as aligned text columns (numbers to six significant digits)."""
    columns = _columns(rows)
    cells = [[str(index_name), *columns]]
    for key, row in zip(index, rows):
        cells.append([_cell(key), *(_cell(row.get(c)) for c in columns)])
    widths = [max(len(r[i]) for r in cells) for i in range(len(cells[0]))]
    return "\n".join("  ".join(c.rjust(w) for c, w in zip(r, widths)).rstrip() for r in cells)


def _columns(rows: list[dict]) -> list[str]:
    seen: dict[str, None] = {}
    for row in rows:
        seen.update(dict.fromkeys(row))
    return list(seen)


def _cell(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    return "" if value is None else str(value)


class ResultTable:
    """The table a result shows: `_table()` returns (index name, index values,
    one dict of column -> value per row); `to_frame()` and `_repr_html_()`
    are read from it."""

    status: str
    message: str

    def _table(self) -> tuple[str, list, list[dict]]:
        raise NotImplementedError

    def to_frame(self):
        """The result's table as a pandas DataFrame. Needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_frame() needs pandas: pip install 'korvex-eis[io]'") from None
        index_name, index, rows = self._table()
        return pd.DataFrame(rows, index=pd.Index(index, name=index_name), columns=_columns(rows))

    def _repr_html_(self) -> str:
        index_name, index, rows = self._table()
        columns = _columns(rows)
        head = "".join(f"<th>{html.escape(str(c))}</th>" for c in [index_name, *columns])
        body = "".join(
            "<tr>"
            + "".join(
                f"<td>{html.escape(_cell(v))}</td>" for v in [k, *(r.get(c) for c in columns)]
            )
            + "</tr>"
            for k, r in list(zip(index, rows))[:_HTML_ROWS]
        )
        more = len(rows) - _HTML_ROWS
        tail = f"<p>… {more} more rows (to_frame() has them all)</p>" if more > 0 else ""
        caption = (
            f"{type(self).__name__}: <b>{html.escape(self.status)}</b> — "
            f"{html.escape(self.message)}"
        )
        return (
            f"<table><caption>{caption}</caption><thead><tr>{head}</tr></thead>"
            f"<tbody>{body}</tbody></table>{tail}"
        )


def fit_table(result) -> tuple[str, list, list[dict]]:
    """`FitResult`'s table: one row per parameter with its value, standard
    error (NaN where there is none), unit, and whether it was held or ended
    on a bound."""
    state = result.to_dict()
    circuit = result.circuit
    names = state["param_names"]
    stderr = state["stderr"] or {}
    rows = [
        {
            "value": value,
            "stderr": stderr.get(name, math.nan),
            "unit": unit,
            "held": held,
            "at_bound": at_bound,
        }
        for name, value, unit, held, at_bound in zip(
            names, circuit.param_values(), circuit.param_units(), state["held"], state["at_bound"]
        )
    ]
    return "parameter", names, rows
