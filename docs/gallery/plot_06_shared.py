"""
Shared parameters across a series
=================================

A parameter that belongs to the material, not to one measurement, is better
determined by all spectra together. ``fit_shared`` fits eight cycles of the
ageing coin cell at once with one exponent for the depressed arc, the other
parameters free per cycle.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import pandas as pd

import korvex

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

series = pd.read_csv(ROOT / "bench/data/series/coincell_autoeis_cycles000-063.csv")
series = series.rename(
    columns={
        "frequency_hz": "Frequency / Hz",
        "z_real_ohm": "Real Impedance / ohm",
        "z_imag_ohm": "Imaginary Impedance / ohm",
    }
)
eight = series[series.cycle < 8]

# %%
# The start: the multi-start fit of the first cycle. The second arc's exponent
# sits at its bound of 1 in every cycle; holding it there keeps the joint
# problem well posed.
circuit = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-CPE3")
start = circuit.fit(series[series.cycle == 0], starts="auto").circuit
joint = korvex.fit_shared(
    start, eight, ["CPE1.alpha"], by="cycle", chain=True, constants={"CPE2.alpha": 1.0}
)
print(joint)
print(
    f"shared CPE1.alpha = {joint.shared['CPE1.alpha']:.4f} ± {joint.shared_stderr['CPE1.alpha']:.4f}"
)
print(joint.frame()[["R1.r", "R1.r_stderr", "R2.r", "chi_square"]].round(4))

# %%
# The separate fits drift slowly upwards as the cell ages (the ageing example
# follows it over all 64 cycles), each with an error three times that of the
# shared value. Over eight cycles one shared exponent costs 3 % of chi-square:
# whether that is acceptable is a judgement about the physics.
separate = joint.separate.frame()
print(
    f"chi-square: separate {separate['chi_square'].sum():.4f}, joint {joint.total_chi_square:.4f}"
)
fig, ax = plt.subplots(layout="constrained")
ax.errorbar(
    separate.index,
    separate["CPE1.alpha"],
    yerr=separate["CPE1.alpha_stderr"],
    fmt="o",
    capsize=3,
    label="separate fits",
)
value, error = joint.shared["CPE1.alpha"], joint.shared_stderr["CPE1.alpha"]
ax.axhspan(value - error, value + error, color="tab:orange", alpha=0.3)
ax.axhline(value, color="tab:orange", label="shared fit")
ax.set_xlabel("cycle")
ax.set_ylabel("CPE1.alpha")
ax.legend()
