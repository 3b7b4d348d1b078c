"""korvex: electrochemical impedance spectroscopy with a C++ core.

Describe an equivalent circuit as text ("R0-p(R1,CPE1)-W2") or by joining
element objects with `Series` and `Parallel`, evaluate its impedance, and fit
its parameters to measured spectra, starting from a neural-network guess.
"""

from korvex._korvex import (  # noqa: F401
    Element,
    Circuit,
    Series,
    Parallel,
    R,
    C,
    L,
    La,
    Cpe,
    W,
    Wo,
    Ws,
    G,
    Gs,
    K,
    Zarc,
    Tlmq,
    T,
)

try:
    from korvex._korvex import FitResult  # noqa: F401
except ImportError:  # the fitting layer is not built yet
    pass

__all__ = [
    "Element", "Circuit", "FitResult", "Series", "Parallel",
    "R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T",
]
