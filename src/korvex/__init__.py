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
from korvex.analysis import DRTResult, KKResult, Ranked, drt, identify, kramers_kronig  # noqa: E402

__all__ = [
    "Element", "Circuit", "FitResult", "Series", "Parallel",
    "R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T",
    "kramers_kronig", "drt", "identify", "KKResult", "DRTResult", "Ranked",
]

# The classes are defined in the compiled module; users meet them here.
for _cls in (Element, Circuit, FitResult, R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T):
    _cls.__module__ = "korvex"
del _cls
