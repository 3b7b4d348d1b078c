"""Pickling a fitted result, and fits returned from worker processes.

Run: .venv/bin/python bench/persistence.py [--quick]

1. pickle.dumps + pickle.loads of a FitResult of a 10-parameter circuit,
   against the same round trip of its to_dict() dict (plain Python objects,
   no rebuilding): the cost of rebuilding the circuit and the result.
2. multiprocessing.Pool(2).map of 1000 fits of synthetic 10-parameter
   spectra, every result coming back as a FitResult through pickle, against
   the same fits run one after the other in this process. The pool is started
   before this process fits anything (fork copies no worker threads then).
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import pickle
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import best_seconds  # noqa: E402

import korvex  # noqa: E402

CIRCUIT = "R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)"  # 10 parameters
TRUE = [0.05, 0.3, 1e-3, 0.9, 1.0, 1e-2, 0.8, 2.0, 1.0, 0.7]
START = [0.1, 0.2, 2e-3, 0.85, 0.7, 2e-2, 0.85, 3.0, 0.5, 0.75]
F = np.logspace(-2, 5, 60)


def fit_one(i):
    rng = np.random.default_rng(i)
    z = korvex.Circuit(CIRCUIT).with_values(TRUE).impedance(F)
    z *= 1 + 0.005 * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size))
    return korvex.Circuit(CIRCUIT).with_values(START).fit(F, z)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="100 fits, shorter timings")
    args = parser.parse_args()
    n_fits = 100 if args.quick else 1000
    budget = 0.3 if args.quick else 2.0

    with multiprocessing.Pool(2) as pool:
        start = time.perf_counter()
        results = pool.map(fit_one, range(n_fits))
        pooled = time.perf_counter() - start
    start = time.perf_counter()
    serial = [fit_one(i) for i in range(n_fits)]
    one_process = time.perf_counter() - start
    assert all(type(r) is korvex.FitResult for r in results)
    assert results == serial, "a result changed on its way back from a worker"

    result = results[0]
    state = result.to_dict()
    roundtrip = best_seconds(lambda: pickle.loads(pickle.dumps(result, 5)), budget)
    plain = best_seconds(lambda: pickle.loads(pickle.dumps(state, 5)), budget)
    print(
        f"pickle round trip of a {len(result.params)}-parameter FitResult: "
        f"{roundtrip * 1e6:.1f} us ({len(pickle.dumps(result, 5))} bytes); "
        f"its to_dict() dict alone: {plain * 1e6:.1f} us (ratio {roundtrip / plain:.2f})"
    )
    print(
        f"{n_fits} fits through multiprocessing.Pool(2).map: {pooled:.2f} s, every result a "
        f"FitResult equal to the in-process one; one process: {one_process:.2f} s "
        f"(speed-up {one_process / pooled:.2f}x on {os.cpu_count()} CPUs)"
    )


if __name__ == "__main__":
    main()
