# A user's script as a type checker sees it: NumPy arrays and plain lists go
# wherever the package takes spectra or parameter vectors.
import numpy as np
import numpy.typing as npt

import korvex


def summary(result: korvex.FitResult) -> str:
    covariance: npt.NDArray[np.float64] | None = result.covariance
    shape = None if covariance is None else covariance.shape
    return f"{result.status} {result.chi_square} {shape} {result.at_bounds} {result.report()}"


f = np.logspace(-1, 5, 30)
c = korvex.Circuit("R0-p(R1,C1)").with_values(np.array([10.0, 100.0, 1e-4]))
z = c.impedance(f)
r = c.fit(f, z, constants={"R0.r": 10.0}, bounds={"R1.r": (1.0, None)})
residuals: npt.NDArray[np.float64] = r.residuals
print(summary(r), residuals.shape, r.initial["R1.r"], r.warnings, r.message)
print(c.residuals(np.array([10.0, 100.0, 1e-4]), f, z))
print(c.jacobian([10.0, 100.0, 1e-4], list(f), list(z)))
print(c.with_bounds({"R0.r": (0.0, 1e3)}).param_bounds())
