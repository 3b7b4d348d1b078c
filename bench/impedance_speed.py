"""Circuit.impedance() against plain NumPy and impedance.py, side by side.

Run: PYTHONPATH=<staged korvex> python bench/impedance_speed.py [--quick]

The circuit "R0-p(R1,CPE1)-p(R2-W2,CPE2)" is evaluated at 60 and at 10,000
log-spaced frequencies (input a float64 NumPy array) by

- korvex, as shipped: the calling thread below 1000 frequencies, the worker
  pool from 1000 on;
- korvex on one thread: for 10,000 frequencies the array is split into chunks
  of 999, each evaluated on the calling thread (the chunking costs 11 calls
  instead of one, so this slightly overstates the single-thread time);
- NumPy: the same formulas written out as vectorised array expressions;
- impedance.py 1.7.1: CustomCircuit.predict(f, use_initial=True).

Every time is per call, the best over many short batches (the figure least
disturbed by other load on a shared machine). The results are checked to agree.
"""

from __future__ import annotations

import argparse
import os
import warnings

import numpy as np
from timing import best_seconds

import korvex

CIRCUIT = "R0-p(R1,CPE1)-p(R2-W2,CPE2)"
PARAMS = [10.0, 50.0, 2e-5, 0.85, 80.0, 15.0, 1e-3, 0.7]
CHUNK = 999  # the largest spectrum that korvex evaluates on the calling thread


def numpy_impedance(f, p):
    r0, r1, q1, a1, r2, aw, q2, a2 = p
    w = 2 * np.pi * f
    jw = 1j * w
    z_cpe1 = 1 / (q1 * jw**a1)
    z_w = aw * (1 - 1j) / np.sqrt(w)
    z_cpe2 = 1 / (q2 * jw**a2)
    return r0 + 1 / (1 / r1 + 1 / z_cpe1) + 1 / (1 / (r2 + z_w) + 1 / z_cpe2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timing budget")
    args = parser.parse_args()
    budget = 0.3 if args.quick else 2.0

    circuit = korvex.Circuit(CIRCUIT).with_values(PARAMS)
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        CustomCircuit = None
        print("impedance.py is not installed (pip install impedance==1.7.1); skipping it")
    peer = CustomCircuit(initial_guess=PARAMS, circuit=CIRCUIT) if CustomCircuit else None

    print(f"circuit {CIRCUIT}, {os.cpu_count()} CPUs")
    print(f"{'frequencies':>11}  {'method':<28} {'time/call':>12} {'vs korvex':>10}")
    for n in (60, 10_000):
        f = np.logspace(-2, 5, n)
        chunks = [f[i : i + CHUNK] for i in range(0, n, CHUNK)]
        methods = {
            "korvex": lambda: circuit.impedance(f),
            "korvex, one thread": lambda: [circuit.impedance(c) for c in chunks],
            "NumPy vectorised": lambda: numpy_impedance(f, PARAMS),
        }
        if peer is not None:

            def predict():
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # "Simulating circuit based on initial..."
                    return peer.predict(f, use_initial=True)

            methods["impedance.py predict"] = predict

        reference = circuit.impedance(f)
        single = np.concatenate([circuit.impedance(c) for c in chunks])
        assert np.array_equal(reference, single)
        for name, fn in methods.items():
            if name.startswith("korvex"):
                continue
            np.testing.assert_allclose(fn(), reference, rtol=1e-10, err_msg=name)

        times = {name: best_seconds(fn, budget) for name, fn in methods.items()}
        for name, t in times.items():
            ratio = t / times["korvex"]
            print(f"{n:>11}  {name:<28} {t * 1e6:>9.1f} us {ratio:>9.2f}x")
        per_point = times["korvex, one thread"] / n * 1e9
        print(f"{'':>11}  korvex, one thread: {per_point:.0f} ns per frequency")


if __name__ == "__main__":
    main()
