"""Chained fits along a real ageing series against independent searches.

Run: python bench/chain.py [--series CSV] [--threads N]

The series (default: bench/data/series, 64 cycles of one lithium-ion coin cell,
long format `cycle, frequency_hz, z_real_ohm, z_imag_ohm`) is fitted with each
circuit twice in the same run: independently with `starts="auto"` (a
multi-start search per spectrum) and with `fit_many(..., chain=True)`. For the
chained fits it prints the cycles whose chi-square is more than 5 % above the
independent fit's, the largest ratio, the runaways (a resistance over 1000
times the spectrum's largest |Z|, or an exponent at 0: the same rule as
status "runaway", checked on the values), the changes of arc order (the rank
of the two arcs' time constants (R Q)^(1/alpha) between consecutive cycles),
and the impedance evaluations per fit, chained against independent. The
independent fits' own runaways and order changes are printed beside them.
"""

from __future__ import annotations

import argparse
import os
import time
from pathlib import Path

import numpy as np
import pandas as pd

import korvex

SERIES = Path(__file__).parent / "data/series/coincell_autoeis_cycles000-063.csv"
CIRCUITS = ("R0-p(R1,CPE1)-p(R2,CPE2)", "R0-p(R1,CPE1)-p(R2,CPE2)-CPE3")
WORSE = 1.05
RUNAWAY_FACTOR = 1000.0
RUNAWAY_EXPONENT = 1e-3


def read_series(path):
    frame = pd.read_csv(path)
    return [
        (g["frequency_hz"].to_numpy(), g["z_real_ohm"].to_numpy() + 1j * g["z_imag_ohm"].to_numpy())
        for _, g in frame.groupby("cycle", sort=True)
    ]


def ran_off(result, z) -> bool:
    limit = RUNAWAY_FACTOR * np.abs(z).max()
    for name, value in result.params.items():
        field = name.split(".")[1]
        if field == "r" and value > limit:
            return True
        if field == "alpha" and value <= RUNAWAY_EXPONENT:
            return True
    return False


def arc_order(result) -> bool:
    """Whether the first arc is the faster one."""
    p = result.params
    with np.errstate(all="ignore"):
        taus = [(p[f"R{k}.r"] * p[f"CPE{k}.q"]) ** (1 / p[f"CPE{k}.alpha"]) for k in (1, 2)]
    return bool(taus[0] < taus[1])


def order_changes(results) -> int:
    orders = [arc_order(r) for r in results]
    return sum(a != b for a, b in zip(orders, orders[1:]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=Path, default=SERIES)
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args()
    spectra = read_series(args.series)
    print(f"{len(spectra)} cycles from {args.series.name}; load average {os.getloadavg()[0]:.1f}")
    for text in CIRCUITS:
        circuit = korvex.Circuit(text)
        started = time.perf_counter()
        independent = korvex.fit_many(circuit, spectra, starts="auto", threads=args.threads)
        middle = time.perf_counter()
        chained = korvex.fit_many(circuit, spectra, chain=True, threads=args.threads)
        ended = time.perf_counter()
        ratios = np.array([c.chi_square / i.chi_square for c, i in zip(chained, independent)])
        evals_ind = np.mean([r.impedance_evals for r in independent])
        evals_chain = np.mean([r.impedance_evals for r in chained])
        runaways = [
            sum(ran_off(r, z) for r, (_, z) in zip(b, spectra)) for b in (chained, independent)
        ]
        print(f"\n{text}")
        print(
            f"  chained cycles > {WORSE:.2f} x independent chi-square: {int(np.sum(ratios > WORSE))}"
            f" (largest ratio {ratios.max():.4f}, median {np.median(ratios):.4f})"
        )
        print(
            f"  runaways: chained {runaways[0]}, independent {runaways[1]};"
            f" chained not success: {sum(not r.success for r in chained)}"
        )
        print(
            f"  arc order changes: chained {order_changes(chained)},"
            f" independent {order_changes(independent)}"
        )
        print(
            f"  impedance evaluations per fit: chained {evals_chain:.1f},"
            f" independent {evals_ind:.1f} (ratio {evals_chain / evals_ind:.3f})"
        )
        print(f"  wall time: chained {ended - middle:.2f} s, independent {middle - started:.2f} s")


if __name__ == "__main__":
    main()
