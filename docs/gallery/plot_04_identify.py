"""
Which circuit? Ranking candidates with ``identify``
===================================================

``identify`` fits every candidate circuit (by default the eleven built-in
topologies) and ranks them by the Bayesian information criterion, which
weighs the fit against the number of parameters.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import korvex

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

table = pd.read_csv(ROOT / "bench/data/real/sofc_zplot_800C_co_co2.csv")
f, z = table["f"].to_numpy(), table["re"].to_numpy() + 1j * table["im"].to_numpy()
ranked = korvex.identify(f, z)
for r in ranked:
    chi = f"{r.fit.chi_square:.3g}" if r.fit is not None else "-"
    print(
        f"{r.text:32s} k={r.n_params}  BIC {r.criterion:9.2f}  weight {r.weight:.3g}  "
        f"chi-square {chi:>9s}  {', '.join(r.flags)}"
    )

# %%
# The criterion of each candidate relative to the best: a difference above
# about 10 is decisive. Flags mark what to distrust (``misfit``: residuals well
# above the Kramers-Kronig noise; ``unidentifiable``: a parameter the data do
# not determine).
delta = [r.criterion - ranked[0].criterion for r in ranked]
fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
colours = ["tab:green" if not r.flags else "tab:orange" for r in ranked]
ax.barh([r.text for r in ranked][::-1], delta[::-1], color=colours[::-1])
ax.set_xlabel("BIC - best BIC (orange: flagged)")

# %%
# The two best candidates are flagged ``unidentifiable``: the data do not pin
# down all eight of their parameters. The best candidate without flags ranks
# lower: the data hold more structure than it describes, but not enough to
# determine every parameter of the larger circuits. Holding the undetermined
# parameters with ``constants=``, or a circuit between the two, comes next.
plain = next(r for r in ranked if not r.flags)
print(f"best without flags: {plain.text}, BIC {plain.criterion - ranked[0].criterion:+.1f}")
print(plain.fit.report())

# %%
# The three best fits against the data, drawn on a dense frequency grid.
grid = np.logspace(np.log10(f.min()), np.log10(f.max()), 300)
fig, ax = plt.subplots(layout="constrained")
ax.plot(z.real, -z.imag, "o", ms=4, color="k", label="measured")
for r in ranked[:3]:
    model = r.circuit.impedance(grid)
    ax.plot(model.real, -model.imag, label=r.text)
ax.set_xlabel("Re Z / ohm")
ax.set_ylabel("-Im Z / ohm")
ax.set_aspect("equal", adjustable="datalim")
ax.legend()
