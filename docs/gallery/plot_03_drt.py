"""
Distribution of relaxation times and its peaks
==============================================

The DRT shows how many processes a spectrum holds, and at which time
constants, before any circuit is chosen. Here: an 18650 lithium-ion cell.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import pandas as pd

import korvex

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

table = pd.read_csv(ROOT / "bench/data/real/lib_18650_drttools_2.csv")
f, z = table["f"].to_numpy(), table["re"].to_numpy() + 1j * table["im"].to_numpy()
d = korvex.drt(f, z)
print(d)
for p in d.peaks():
    print(f"tau = {p.tau:.3g} s, R = {p.r * 1e3:.2f} mOhm, width = {p.width:.2f} decades")

# %%
# ``plot`` draws gamma(tau) and marks the peaks. The narrow peak near 16 s is
# the slow diffusion (the finite Warburg ``Wo1`` of the circuit this spectrum's
# source suggests, ``L0-R0-p(R1,CPE1)-p(R2,CPE2)-Wo1``); the two arcs below 1 s
# overlap into one peak with a shoulder, which ``peaks()`` counts as one.
ax = d.plot()
ax.set_title("DRT of lib_18650_drttools_2")

# %%
# The regularisation strength ``lam`` is chosen by cross-validation. A much
# smaller one splits processes into spurious peaks; a much larger one merges
# them.
fig, ax = plt.subplots(layout="constrained")
for lam in (1e-5, d.lam, 1e-1):
    other = korvex.drt(f, z, lam=lam)
    ax.semilogx(other.tau, other.gamma, label=f"lam = {lam:g} ({len(other.peaks())} peaks)")
ax.set_xlabel("tau / s")
ax.set_ylabel("gamma / ohm")
ax.legend()
