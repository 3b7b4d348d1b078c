"""
An ageing series: chained fits and parameter trends
===================================================

64 consecutive cycles of one lithium-ion coin cell. A chained batch fits them
in order, each fit starting from the previous one, so that each arc keeps its
identity and the parameters make trends.
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
print(series.groupby("cycle").size().describe()[["count", "mean"]])

# %%
# The spectra drift as the cell ages.
fig, ax = plt.subplots(layout="constrained")
cmap = plt.get_cmap("viridis")
for cycle, spectrum in series.groupby("cycle"):
    if cycle % 9 == 0:
        ax.plot(
            spectrum["Real Impedance / ohm"],
            -spectrum["Imaginary Impedance / ohm"],
            ".-",
            color=cmap(cycle / 63),
            label=f"cycle {cycle}",
        )
ax.set_xlabel("Re Z / ohm")
ax.set_ylabel("-Im Z / ohm")
ax.set_aspect("equal", adjustable="datalim")
ax.legend()

# %%
# Two arcs and a low-frequency tail. This circuit has no trained model, so the
# first cycle gets the multi-start search; its fitted circuit starts the chain.
circuit = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-CPE3")
first = circuit.fit(series[series.cycle == 0], starts="auto")
batch = korvex.fit_many(first.circuit, series, by="cycle", chain=True)
print(batch)
table = batch.frame()
print(table[["R0.r", "R1.r", "CPE1.alpha", "R2.r", "CPE3.alpha", "chi_square"]].iloc[::8].round(4))

# %%
# Trends with their standard errors. The depressed arc (CPE1, exponent near
# 0.5) keeps its identity throughout; the second arc's exponent sits at its
# bound of 1 (an ideal capacitor) and its resistance is less well determined.
fig, axes = plt.subplots(2, 2, figsize=(9, 6), sharex=True, layout="constrained")
for ax, name in zip(axes.flat, ["R0.r", "R1.r", "CPE1.alpha", "CPE3.alpha"]):
    ax.errorbar(table.index, table[name], yerr=table[f"{name}_stderr"], fmt=".", capsize=2)
    ax.set_title(name)
for ax in axes[1]:
    ax.set_xlabel("cycle")
