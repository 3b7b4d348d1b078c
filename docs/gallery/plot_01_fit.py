"""
Fit an instrument file: Nyquist and Bode plots
==============================================

Read a ZPlot file as the instrument wrote it, fit a circuit from the trained
model's guess, and draw the fit against the data: the Nyquist plot, the Bode
plots (magnitude and phase) and the relative residuals.
"""

from pathlib import Path

import korvex

# The spectra that ship with korvex, found from anywhere inside a clone.
ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

frame = korvex.read(ROOT / "examples/Circuit1_EIS_1.z")
print(frame.attrs["format"], len(frame), "points")
print(frame.head())

# %%
# A measured test circuit: the leads' inductance, a series resistance, and a
# resistor in parallel with a capacitor (a CPE lets the data say how ideal it
# is). This topology has a trained model, so the fit needs no start values.
result = korvex.Circuit("L0-R0-p(R1,CPE1)").fit(frame)
print(result.report())

# %%
# ``plot`` draws the measured points and the fitted circuit on a dense
# frequency grid. The residuals stay within a fraction of a percent and show
# no structure: the circuit describes the measurement.
fig = result.plot(frame, title="Circuit1_EIS_1.z: L0-R0-p(R1,CPE1)")

# %%
# Without the inductance the high-frequency points bend away from the model
# and chi-square grows by two orders of magnitude:
simpler = korvex.Circuit("R0-p(R1,CPE1)").fit(frame)
print(f"chi-square with L0: {result.chi_square:.3g}, without: {simpler.chi_square:.3g}")
fig = simpler.plot(frame, title="Circuit1_EIS_1.z: R0-p(R1,CPE1)")
