"""A typed user script, checked by mypy against the package and its stubs (make lint)."""

import numpy as np
import numpy.typing as npt

import korvex


def fit_rc(frequencies: list[float], impedances: list[complex]) -> dict[str, float]:
    circuit: korvex.Circuit = korvex.Circuit("R0-p(R1,C1)")
    result: korvex.FitResult = circuit.fit(frequencies, impedances, method="levenberg_marquardt")
    if not result.success:
        raise RuntimeError(f"fit failed after {result.iterations} iterations")
    return result.params


def model_spectrum() -> npt.NDArray[np.complex128]:
    circuit = korvex.Series([korvex.R(10.0), korvex.Parallel([korvex.R(100.0), korvex.C(1e-5)])])
    names: list[str] = circuit.param_names()
    bounds: list[tuple[float, float]] = circuit.param_bounds()
    assert len(names) == len(bounds)
    return circuit.impedance(np.logspace(-1, 5, 30))


z = model_spectrum()
print(fit_rc(list(np.logspace(-1, 5, 30)), list(z)))
