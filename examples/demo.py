"""Fit a measured lithium-ion cell spectrum and plot data and fit.

Reads the bundled battery-data-format CSV with pandas, fits an equivalent
circuit from the built-in neural-network guess, prints the result with the
standard errors, and saves a Nyquist plot beside this script.
"""

from pathlib import Path

import numpy as np
import pandas as pd

import korvex

HERE = Path(__file__).resolve().parent
SPECTRUM = HERE / "example_spectrum_bdf.csv"
PLOT = HERE / "demo_nyquist.png"

frame = pd.read_csv(SPECTRUM)
print(f"{SPECTRUM.name}: {len(frame)} points, "
      f"{frame['Frequency / Hz'].min():g} Hz to {frame['Frequency / Hz'].max():g} Hz\n")

# An inductive lead, the electrolyte resistance and two depressed arcs.
CIRCUIT = "L0-R0-p(R1,CPE1)-p(R2,CPE2)"
circuit = korvex.Circuit(CIRCUIT)
guess = circuit.guess(frame)
result = circuit.fit(frame)  # starts from the trained model's guess of this topology

print(result)
print()
names = circuit.param_names()
units = dict(zip(names, circuit.param_units()))
width = max(len(n) for n in names)
print(f"{'parameter':<{width}}  {'start':>12}  {'fitted':>12}  {'std. error':>12}  unit")
for name, start in zip(names, guess):
    err = result.stderr[name] if result.stderr else float("nan")
    print(f"{name:<{width}}  {start:12.5g}  {result.params[name]:12.5g}  {err:12.3g}  {units[name]}")
print(f"\ncost {result.cost:.6g}, chi-square {result.chi_square:.6g}, "
      f"{result.iterations} solver evaluations, {result.impedance_evals} spectrum evaluations")

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("\nmatplotlib is not installed: no plot (pip install 'korvex-eis[plot]')")
else:
    f = frame["Frequency / Hz"].to_numpy()
    z = frame["Real Impedance / ohm"].to_numpy() + 1j * frame["Imaginary Impedance / ohm"].to_numpy()
    dense = np.logspace(np.log10(f.min()), np.log10(f.max()), 400)
    z_fit = result.circuit.impedance(dense)
    fig, ax = plt.subplots(figsize=(6, 4.5))
    ax.plot(z.real * 1e3, -z.imag * 1e3, "o", ms=4, label="measured")
    ax.plot(z_fit.real * 1e3, -z_fit.imag * 1e3, "-", label=f"fit {CIRCUIT}")
    ax.set_xlabel("Re Z / mΩ")
    ax.set_ylabel("−Im Z / mΩ")
    ax.set_aspect("equal", adjustable="datalim")
    ax.legend()
    ax.set_title("Lithium-ion cell, korvex fit")
    fig.tight_layout()
    fig.savefig(PLOT, dpi=120)
    print(f"\nNyquist plot written to {PLOT}")
