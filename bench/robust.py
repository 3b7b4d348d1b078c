"""Robust search: fit(..., starts="auto") against the default fit, and the
data-driven estimate, in one run.

Run: python bench/robust.py [--quick] [--repeat N]

1. Measured spectra (bench/data/real: nine spectra from public EIS projects,
   each with its source's circuit and the best-known chi-square): the share of
   fits that reach the best-known chi-square within 5 %, and the median time
   per spectrum, for the default fit() (which warns and starts from the
   catalogue defaults where no trained model exists) and for starts="auto".
   Each time is the best of --repeat calls (the machine is shared).
2. Synthetic spectra of circuits without a trained model (1 % proportional
   complex noise, 60 points from 100 kHz to 10 mHz, fixed seed, random true
   values with arcs at least half a decade apart): the share of fits at the
   noise floor (modulus-weighted cost within 5 % of the cost at the true
   values) for a fit from the estimate alone (no search) and for
   starts="auto", with their median times, and the time of estimate() alone
   on one of the spectra (best of short batches).
"""

from __future__ import annotations

import argparse
import json
import statistics
import time
import warnings
from pathlib import Path

import numpy as np
from timing import best_seconds

import korvex

REAL_DIR = Path(__file__).resolve().parent / "data" / "real"
SEED = 20261208
NOISE = 0.01
FLOOR_MARGIN = 1.05
BEST_KNOWN_MARGIN = 1.05
FREQUENCIES = np.logspace(5, -2, 60)
SYNTHETIC_CIRCUITS = [
    "R0-p(R1,CPE1)-p(R2,CPE2)-CPE3",
    "L0-R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)",
    "L0-R0-p(R1,CPE1)-p(R2,CPE2)-Wo1",
    "R0-p(R1,CPE1)-CPE2",
]


def timed(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t)
    return result, best


def chi_square(circuit, f, z):
    r = np.asarray(circuit.residuals(circuit.param_values(), f, list(z)))
    return float(r @ r)


def real_set(repeat):
    rows = []
    for meta_path in sorted(REAL_DIR.glob("*.json")):
        meta = json.loads(meta_path.read_text())
        table = np.loadtxt(meta_path.with_suffix(".csv"), delimiter=",", skiprows=1)
        f, z = table[:, 0], table[:, 1] + 1j * table[:, 2]
        circuit = korvex.Circuit(meta["circuit"])
        best = meta["best_known_chi_square"]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # no-model warning of the default fit
            default, t_default = timed(lambda: circuit.fit(f, z), repeat)
        auto, t_auto = timed(lambda: circuit.fit(f, z, starts="auto"), repeat)
        rows.append(
            (
                meta["name"],
                meta["circuit"],
                default.chi_square / best,
                t_default,
                auto.chi_square / best,
                t_auto,
            )
        )
    print(
        f"Measured spectra ({len(rows)}), chi-square / best-known, time per fit (best of {repeat}):"
    )
    print(f"  {'spectrum':34s} {'default':>9s} {'ms':>8s} {'auto':>9s} {'ms':>8s}")
    for name, _, r_d, t_d, r_a, t_a in rows:
        print(f"  {name:34s} {r_d:9.4g} {t_d * 1e3:8.1f} {r_a:9.4g} {t_a * 1e3:8.1f}")
    for label, ratio, seconds in (("default fit()", 2, 3), ('starts="auto"', 4, 5)):
        hits = sum(row[ratio] <= BEST_KNOWN_MARGIN for row in rows)
        median = statistics.median(row[seconds] for row in rows) * 1e3
        print(
            f"  {label:14s}: best-known reached on {hits} of {len(rows)}, "
            f"median {median:.1f} ms per spectrum"
        )


def cpe_arc(rng, tau):
    r = 10 ** rng.uniform(-0.5, 1.5)
    alpha = rng.uniform(0.7, 1.0)
    return [r, tau**alpha / r, alpha]


def separated_taus(rng, count):
    while True:
        logs = np.sort(rng.uniform(-5.5, 0.5, count))
        if count < 2 or np.min(np.diff(logs)) >= 0.5:
            return 10**logs


def true_values(rng, text):
    """Random true values in parameter order; resistances around 1-30 ohm."""
    omega_min = 2 * np.pi * FREQUENCIES.min()
    r0 = 10 ** rng.uniform(-1, 1)
    arcs = text.count("p(")
    values = []
    if text.startswith("L0"):
        values.append(10 ** rng.uniform(-7, -5))
    values.append(r0)
    for tau in separated_taus(rng, arcs):
        values += cpe_arc(rng, tau)
    total = r0 + sum(values[len(values) - 3 * arcs :: 3])
    if text.endswith("CPE3") or text.endswith("CPE2"):
        alpha = rng.uniform(0.6, 0.95)
        magnitude = total * 10 ** rng.uniform(0, 1)
        values += [1 / (magnitude * omega_min**alpha), alpha]
    elif text.endswith("Wo1"):
        values += [total * 10 ** rng.uniform(-0.5, 0.5), 10 ** rng.uniform(0, 2)]
    return values


def synthetic(count, repeat):
    rng = np.random.default_rng(SEED)
    print(
        f"\nSynthetic spectra without a trained model ({count} each, {NOISE:.0%} noise), "
        "share at the noise floor and median time per fit:"
    )
    print(
        f"  {'circuit':40s} {'estimate':>9s} {'ms':>7s} {'auto':>9s} {'ms':>7s} "
        f"{'estimate() alone':>17s}"
    )
    for text in SYNTHETIC_CIRCUITS:
        circuit = korvex.Circuit(text)
        hits_e = hits_a = 0
        times_e, times_a = [], []
        for _ in range(count):
            truth = circuit.with_values(true_values(rng, text))
            z0 = truth.impedance(FREQUENCIES)
            noise = (
                NOISE
                * np.abs(z0)
                * (rng.standard_normal(z0.size) + 1j * rng.standard_normal(z0.size))
            )
            z = z0 + noise
            floor = chi_square(truth, FREQUENCIES, z) * FLOOR_MARGIN
            est, t_e = timed(
                lambda: circuit.estimate(FREQUENCIES, z).fit(FREQUENCIES, z, guess_init=False),
                repeat,
            )
            auto, t_a = timed(lambda: circuit.fit(FREQUENCIES, z, starts="auto"), repeat)
            hits_e += est.chi_square <= floor
            hits_a += auto.chi_square <= floor
            times_e.append(t_e)
            times_a.append(t_a)
        alone = best_seconds(lambda: circuit.estimate(FREQUENCIES, z), 0.2)
        print(
            f"  {text:40s} {hits_e / count:9.1%} {statistics.median(times_e) * 1e3:7.1f} "
            f"{hits_a / count:9.1%} {statistics.median(times_a) * 1e3:7.1f} "
            f"{alone * 1e6:14.0f} us"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="30 synthetic spectra per circuit")
    parser.add_argument("--repeat", type=int, default=3, help="calls per measured spectrum")
    args = parser.parse_args()
    real_set(args.repeat)
    synthetic(30 if args.quick else 200, 1)


if __name__ == "__main__":
    main()
