__doc__ = ""  # the package is described in the README and in help() of its classes

from korvex import _korvex

_korvex._expose_text_signatures()

from korvex._korvex import (  # noqa: E402 (after the text signatures are in place)
    Circuit,
    Element,
    FitResult,
    Parallel,
    Series,
)

R = Element.R
C = Element.C
L = Element.L
La = Element.La
Cpe = Element.Cpe
W = Element.W
Wo = Element.Wo
Ws = Element.Ws
G = Element.G
Gs = Element.Gs
K = Element.K
Zarc = Element.Zarc
Tlmq = Element.Tlmq
T = Element.T

# Validation and analysis of spectra.
from korvex._results import ResultTable as _ResultTable  # noqa: E402
from korvex._results import fit_table as _fit_table  # noqa: E402
from korvex.analysis import (  # noqa: E402
    DRTResult,
    KKResult,
    Ranked,
    Ranking,
    drt,
    identify,
    kramers_kronig,
)

# Files in, figures and tables out. These modules, and pandas, matplotlib and
# NumPy behind them, load on first use, so that `import korvex` stays fast.
_LAZY = {
    "io": ("korvex.io", None),
    "plot": ("korvex.plot", None),
    "read": ("korvex.io", "read"),
    "read_many": ("korvex.io", "read_many"),
    "results_frame": ("korvex.tables", "results_frame"),
}


TYPE_CHECKING = False  # type checkers take it as true; importing typing costs 10 ms
if TYPE_CHECKING:
    from korvex import io as io
    from korvex import plot as plot
    from korvex.io import read, read_many
    from korvex.tables import results_frame


def __getattr__(name):
    if name not in _LAZY:
        raise AttributeError(f"module 'korvex' has no attribute {name!r}")
    import importlib

    module, attribute = _LAZY[name]
    value = importlib.import_module(module)
    return value if attribute is None else getattr(value, attribute)


def __dir__():
    return sorted([*globals(), *_LAZY])


def _circuit_html(self):
    from korvex.tables import circuit_html

    return circuit_html(self)


def _plot_fit(self, f, z=None, *, title=None, ax=None):
    """Nyquist, Bode and residual plots of this fit against the spectrum, in
    one new matplotlib figure (see `korvex.plot.fit`), which is returned; with
    `ax=`, only the Nyquist plot, drawn into those axes, which are returned."""
    if ax is None:
        from korvex.plot import fit

        return fit(f, z, self, title=title)
    from korvex.plot import nyquist

    ax = nyquist(f=f, z=z, model=self, ax=ax)  # by keyword: the same under either order
    if title:
        ax.set_title(title)
    return ax


Circuit._repr_html_ = _circuit_html
FitResult.plot = _plot_fit
FitResult._table = _fit_table
FitResult.to_frame = _ResultTable.to_frame

__all__ = [
    "Element",
    "Circuit",
    "FitResult",
    "Series",
    "Parallel",
    "R",
    "C",
    "L",
    "La",
    "Cpe",
    "W",
    "Wo",
    "Ws",
    "G",
    "Gs",
    "K",
    "Zarc",
    "Tlmq",
    "T",
    "kramers_kronig",
    "drt",
    "identify",
    "KKResult",
    "DRTResult",
    "Ranked",
    "Ranking",
    "read",
    "read_many",
    "results_frame",
]

# The classes are defined in the compiled module; users meet them here.
for _cls in (Element, Circuit, FitResult, R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T):
    _cls.__module__ = "korvex"
del _cls

# Many spectra: batch and shared-parameter fits (nothing beyond the core).
from korvex.batch import BatchResult, fit_many  # noqa: E402
from korvex.shared import SharedFitResult, fit_shared  # noqa: E402

__all__ += ["fit_many", "BatchResult", "fit_shared", "SharedFitResult"]
