"""
Kramers-Kronig residuals: is the spectrum valid?
================================================

The linear Kramers-Kronig test fits a chain of RC elements that obeys the
Kramers-Kronig relations by construction; what it cannot follow violates them.
Here it runs on a lithium-ion cell spectrum with a capacitive low-frequency tail,
with M chosen where the residuals stop improving (the default) and as
impedance.py's linKK chooses it.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import pandas as pd

import korvex

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

data = pd.read_csv(ROOT / "examples/example_spectrum_bdf.csv")
kk = korvex.kramers_kronig(data)
print(kk)
print(kk.reason)

# %%
# The residuals are relative to \|Z\|. Within the band (four times the random
# scatter around each point, at least 0.5 %) lie the points that a causal,
# linear, stable system explains.
ax = kk.plot()
ax.set_title("Lin-KK residuals, example_spectrum_bdf.csv")

# %%
# linKK's choice stops at the first M whose fitted resistances change sign
# (mu < 0.85), without a series capacitance: it cannot follow the tail, and its
# residuals reach 10 % at the lowest frequencies. Dropping them shrinks the
# worst residual tenfold.
linkk = korvex.kramers_kronig(data, choose_m="linkk")
print(linkk.reason)
frequency = data["Frequency / Hz"]
for fmin in (0.0, 0.01, 0.1, 1.0):
    part = korvex.kramers_kronig(data[frequency > fmin], choose_m="linkk")
    worst = max(abs(part.residuals_real).max(), abs(part.residuals_imag).max())
    print(f"f > {fmin:<5} Hz: {len(part.frequencies):2d} points, worst residual {worst:.2%}")

# %%
# The test on the nine measured spectra of ``bench/data/real``: the worst
# residual against the random scatter tells drift (a large ratio) from noise.
rows = []
for path in sorted((ROOT / "bench/data/real").glob("*.csv")):
    table = pd.read_csv(path)
    result = korvex.kramers_kronig(table["f"], table["re"] + 1j * table["im"])
    worst = max(abs(result.residuals_real).max(), abs(result.residuals_imag).max())
    rows.append((path.stem, result.m, result.noise, worst, result.valid))
summary = pd.DataFrame(rows, columns=["spectrum", "M", "noise", "worst", "valid"])
print(summary.round(4).to_string(index=False))

fig, ax = plt.subplots(layout="constrained")
ax.barh(summary["spectrum"], summary["worst"] / summary["noise"])
ax.axvline(4, color="k", lw=0.8)
ax.set_xscale("log")
ax.set_xlabel("worst residual / noise")
