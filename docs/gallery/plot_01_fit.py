"""
Fit an instrument file: Nyquist and Bode plots
==============================================

Read a ZPlot file as the instrument wrote it, fit a circuit from the trained
model's guess, and draw the fit.
"""

from pathlib import Path

import korvex

# The spectra that ship with korvex, found from anywhere inside a clone.
ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

frame = korvex.read(ROOT / "examples/Circuit1_EIS_1.z")
result = korvex.Circuit("L0-R0-p(R1,CPE1)").fit(frame)
print(result.report())

# %%
fig = result.plot(frame, title="Circuit1_EIS_1.z")
