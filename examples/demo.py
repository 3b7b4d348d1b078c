"""Read a measured spectrum from an instrument file, fit a circuit, plot the fit.

Reads the bundled ZPlot file with `korvex.read`, fits an equivalent circuit
from the built-in neural-network guess, prints the result with the standard
errors, and writes the Nyquist, Bode and residual plots beside this script.
"""

from pathlib import Path

import korvex

HERE = Path(__file__).resolve().parent
SPECTRUM = HERE / "Circuit1_EIS_1.z"
PLOT = HERE / "demo_fit.png"

frame = korvex.read(SPECTRUM)
f = frame["Frequency / Hz"]
print(
    f"{SPECTRUM.name} ({frame.attrs['format']}): {len(frame)} points, "
    f"{f.min():g} Hz to {f.max():g} Hz\n"
)

# A test circuit measured through its leads: their inductance, a series
# resistance and a resistor in parallel with a capacitor.
CIRCUIT = "L0-R0-p(R1,CPE1)"
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
    print(
        f"{name:<{width}}  {start:12.5g}  {result.params[name]:12.5g}  {err:12.3g}  {units[name]}"
    )
print(
    f"\ncost {result.cost:.6g}, chi-square {result.chi_square:.6g}, "
    f"{result.iterations} solver evaluations, {result.impedance_evals} spectrum evaluations"
)

try:
    import matplotlib
except ImportError:
    print("\nmatplotlib is not installed: no plot (pip install 'korvex-eis[plot]')")
else:
    matplotlib.use("Agg")
    figure = result.plot(frame, title=f"{SPECTRUM.name}: korvex fit of {CIRCUIT}")
    figure.savefig(PLOT, dpi=110)
    print(f"\nNyquist, Bode and residual plots written to {PLOT}")
