"""
Guessing with a weight file of your own
=======================================

A fit starts from a guess read off the spectrum by a network trained for the
circuit's topology. ``weights=`` hands ``guess`` and ``fit`` a weight file
(``.eisnn``) instead of the built-in model: a model you trained with
``training/`` for the parameter ranges of your systems. Here the file is the
built-in model of two arcs with an inductance, as ``training/`` writes it.
"""

from pathlib import Path

import pandas as pd

import korvex

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

weights = ROOT / "src/models/builtin/two_rq_l.eisnn"
print(f"{weights.name}: {weights.stat().st_size} bytes")

table = pd.read_csv(ROOT / "bench/data/real/cell_550C_ifc5000_bias.csv")
f, z = table["f"].to_numpy(), table["re"].to_numpy() + 1j * table["im"].to_numpy()
circuit = korvex.Circuit("L0-R0-p(R1,CPE1)-p(R2,CPE2)")

# %%
# The guess from the file, and the fit that starts from it.
guess = circuit.guess(f, z, weights=str(weights))
for name, value in zip(circuit.param_names(), guess):
    print(f"{name:11s} {value:.4g}")
result = circuit.fit(f, z, weights=str(weights))
print(result.report())

# %%
# The same file as the built-in model gives the same guess; a file of another
# topology is refused with a ValueError.
print("same as the built-in guess:", guess == circuit.guess(f, z))
try:
    korvex.Circuit("R0-p(R1,CPE1)").guess(f, z, weights=str(weights))
except ValueError:
    print("another topology: refused with a ValueError")

# %%
fig = result.plot(f, z, title="cell_550C_ifc5000_bias: fit from the weight file's guess")
