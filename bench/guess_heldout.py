"""The two-arc and SEI models on spectra from a held-out generator.

Run: python bench/guess_heldout.py [--n 500] [--only NAME]

The generator here is written apart from training/synth.py and shares no
code or seed with it. Its ranges exceed the "standard" spread most models
were trained on: characteristic frequencies up to a decade outside the
measured window (partial arcs at both ends), arcs at any distance from each
other (overlapping ones included), arc resistances from 1/100 to 100 times
the spectrum's scale, CPE exponents from 0.45, Warburg coefficients up to ten
times the arc's own (diffusion-dominated low frequencies) and finite-Warburg
Z0 and tau over 3.5 and 4.5 decades. Each spectrum has 20 to 100 log-spaced
points over 3 to 8 decades within 1 mHz .. 1 MHz and 1 % proportional
complex noise.

For every model it prints the share of default fits (`fit(f, z)`, which
starts from the built-in guess) at the noise floor (chi-square within 5 %
of the chi-square at the true values), and the median |log10(guess/true)|
of the resistances and of the capacitances and CPE coefficients (the worst
parameter of each kind, named; its median over the spectra), over all
spectra and over those whose two arcs both peak inside the window (an arc
that peaks outside shows too little of itself to be read off). A model
whose earlier network is kept as training/runs/<model>/broad/parent.eisnn
is measured with that network as well, in the same run.
Goals: at the noise floor in at least 98 % for every model; median error at
most 0.1 (resistances) and 0.2 (capacitances, CPE coefficients).
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

import korvex

ROOT = Path(__file__).resolve().parent.parent
SEED = 4_2026_1208
NOISE = 0.01
FLOOR_MARGIN = 1.05
MODELS = {
    "two_rc": "R0-p(R1,C1)-p(R2,C2)",
    "two_rc_l": "L0-R0-p(R1,C1)-p(R2,C2)",
    "two_rq": "R0-p(R1,CPE1)-p(R2,CPE2)",
    "two_rq_l": "L0-R0-p(R1,CPE1)-p(R2,CPE2)",
    "sei_randles": "R0-p(R1,CPE1)-p(R2-W2,CPE2)",
    "sei_randles_wo": "R0-p(R1,CPE1)-p(R2-Wo2,CPE2)",
}


def spectrum_frequencies(rng):
    decades = rng.uniform(3.0, 8.0)
    lo = rng.uniform(-3.0, 6.0 - decades)
    return np.logspace(lo + decades, lo, int(rng.integers(20, 101)))


def arc(rng, r, tau, cpe):
    if not cpe:
        return [r, tau / r], None
    alpha = rng.uniform(0.45, 1.0)
    return [r, tau**alpha / r, alpha], alpha


def true_values(rng, name, f):
    """Values in the circuit's parameter order, two arcs fastest first, and
    whether both arcs peak inside the measured window."""
    log_f = np.log10(f)
    scale = 10 ** rng.uniform(-2.0, 4.0)
    r0 = scale * 10 ** rng.uniform(-3.0, 1.0)
    fc = np.sort(10 ** rng.uniform(log_f.min() - 1.0, log_f.max() + 1.0, 2))[::-1]
    taus = 1.0 / (2 * np.pi * fc)
    rs = scale * 10 ** rng.uniform(-2.0, 2.0, 2)
    cpe = "rq" in name or "sei" in name
    first, _ = arc(rng, rs[0], taus[0], cpe)
    second, _ = arc(rng, rs[1], taus[1], cpe)
    if name == "sei_randles":
        aw = rs[1] / np.sqrt(taus[1]) * 10 ** rng.uniform(-2.5, 1.0)
        second = [second[0], aw, *second[1:]]
    elif name == "sei_randles_wo":
        z0 = rs[1] * 10 ** rng.uniform(-2.0, 1.5)
        tau_d = taus[1] * 10 ** rng.uniform(-1.0, 3.5)
        second = [second[0], z0, tau_d, *second[1:]]
    values = [r0, *first, *second]
    if name.endswith("_l"):
        omega_max = 2 * np.pi * f.max()
        circuit = korvex.Circuit(MODELS[name].split("-", 1)[1])
        z_top = abs(circuit.with_values(values).impedance([f.max()])[0])
        values = [10 ** rng.uniform(-2.0, 0.5) * z_top / omega_max, *values]
    return values, bool(f.min() <= fc.min() and fc.max() <= f.max())


def chi_square(circuit, values, f, z):
    r = np.asarray(circuit.residuals(list(values), f, z))
    return float(r @ r)


def measure(name, n, weights):
    """Share at the noise floor and median guess errors (R, C/Q) per network."""
    circuit = korvex.Circuit(MODELS[name])
    names = circuit.param_names()
    resistances = [k for k, p in enumerate(names) if p.endswith((".r",))]
    capacitances = [k for k, p in enumerate(names) if p.endswith((".c", ".q"))]
    rng = np.random.default_rng([SEED, list(MODELS).index(name)])
    hits = {label: 0 for label in weights}
    errors = {label: [] for label in weights}
    visible = []
    for _ in range(n):
        f = spectrum_frequencies(rng)
        truth, inside = true_values(rng, name, f)
        z0 = circuit.with_values(truth).impedance(f)
        z = z0 + NOISE * np.abs(z0) * (
            rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)
        )
        floor = FLOOR_MARGIN * chi_square(circuit, truth, f, z)
        for label, path in weights.items():
            extra = {} if path is None else {"weights": str(path)}
            guess = np.asarray(circuit.guess(f, z, **extra))
            fitted = circuit.fit(f, z, **extra)
            hits[label] += fitted.chi_square <= floor
            errors[label].append(np.abs(np.log10(guess / np.asarray(truth))))
        visible.append(inside)

    def worst(medians, kind):
        k = max(kind, key=lambda k: medians[k])
        return medians[k], names[k]

    out = {}
    for label in weights:
        row = [hits[label] / n]
        for subset in (slice(None), np.asarray(visible)):
            medians = np.median(np.asarray(errors[label])[subset], axis=0)
            row += [*worst(medians, resistances), *worst(medians, capacitances)]
        out[label] = row
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=500, help="spectra per model")
    parser.add_argument("--only", choices=list(MODELS), action="append")
    args = parser.parse_args()
    print(f"Held-out spectra, {args.n} per model, {NOISE:.0%} noise")
    print(f"  {'':36s} {'median |log10(guess/true)|, worst parameter':>60s}")
    print(
        f"  {'model':16s} {'network':9s} {'at floor':>9s} {'R, all':>14s} {'C/Q, all':>15s}"
        f" {'R, arcs inside':>15s} {'C/Q, inside':>15s}"
    )
    for name in args.only or list(MODELS):
        weights = {"shipped": None}
        parent = ROOT / "training" / "runs" / name / "broad" / "parent.eisnn"
        if parent.exists():
            weights = {"previous": parent, "shipped": None}
        for label, (rate, *errs) in measure(name, args.n, weights).items():
            cells = " ".join(
                f"{errs[k]:6.3f} {errs[k + 1]:>{8 if k % 4 else 7}s}" for k in range(0, 8, 2)
            )
            print(f"  {name:16s} {label:9s} {rate:9.1%} {cells}", flush=True)
    print("  goals: at floor >= 98.0 %, R err <= 0.100, C/Q err <= 0.200")


if __name__ == "__main__":
    main()
