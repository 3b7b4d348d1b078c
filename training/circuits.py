"""The eleven built-in topologies and what the weight files say about their
parameters (names, logarithmic flags and the scaling records)."""

from __future__ import annotations

import re
from dataclasses import dataclass

import numpy as np

# Same table, same order as src/models/builtin_topologies.hpp.
MODELS: dict[str, str] = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}

# Fields of the element kinds these circuits use, in catalogue order.
FIELDS = {
    "R": ("r",),
    "C": ("c",),
    "L": ("l",),
    "CPE": ("q", "alpha"),
    "W": ("aw",),
    "Wo": ("z0", "tau"),
}

# (z_power, w_power, alpha_coefficient, logarithmic) per field: the physical
# dimension of each parameter as powers of the spectrum's impedance and
# angular-frequency scales, so that the network predicts scale-free numbers.
SCALING = {
    "r": (1.0, 0.0, 0.0, True),
    "z0": (1.0, 0.0, 0.0, True),
    "c": (-1.0, -1.0, 0.0, True),
    "l": (1.0, -1.0, 0.0, True),
    "q": (-1.0, 0.0, -1.0, True),
    "alpha": (0.0, 0.0, 0.0, False),
    "aw": (1.0, 0.5, 0.0, True),
    "tau": (0.0, -1.0, 0.0, True),
}

_ELEMENT = re.compile(r"(CPE|Wo|R|C|L|W)(\d+)")


@dataclass(frozen=True)
class Topology:
    name: str
    circuit: str
    param_names: tuple[str, ...]
    log_params: np.ndarray  # (P,) bool
    scaling: np.ndarray  # (P, 4): z_power, w_power, alpha_coefficient, alpha_index

    @property
    def n_params(self) -> int:
        return len(self.param_names)

    def index(self, name: str) -> int:
        return self.param_names.index(name)


def topology(name: str) -> Topology:
    circuit = MODELS[name]
    names = [
        f"{code}{label}.{field}"
        for code, label in _ELEMENT.findall(circuit)
        for field in FIELDS[code]
    ]
    log_params = np.array([SCALING[n.split(".")[1]][3] for n in names])
    scaling = np.zeros((len(names), 4))
    for k, n in enumerate(names):
        label, field = n.split(".")
        z, w, a, _ = SCALING[field]
        alpha_index = names.index(f"{label}.alpha") if a != 0.0 else -1
        scaling[k] = (z, w, a, alpha_index)
    return Topology(name, circuit, tuple(names), log_params, scaling)
