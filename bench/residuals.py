"""Circuit.residuals() and Circuit.jacobian() at 60 points, and the Jacobian's pool threshold.

Run: PYTHONPATH=<staged korvex> python bench/residuals.py [--quick] [--cpp-bench PATH]

For "R0-p(R1,CPE1)-p(R2-W2,CPE2)" (8 parameters) at 60 log-spaced frequencies:

- residuals(): time per call, and the time of one residual evaluation, that
  is the call less the cost of the same call on a circuit without elements
  (argument conversion and the result list);
- jacobian(): time per call, against its 2P = 16 residual evaluations done
  one after another from Python (16 residuals() calls, differences in NumPy);
  the difference between the two is the conversion overhead saved by the one
  call plus whatever the worker pool gains.

Then, if the C++ micro-benchmark korvex_bench_jacobian is built (part of the
C++ test build in build/cpp; make bench builds it), its table: the Jacobian
with its columns inline against the same columns on the worker pool for
several circuits and spectrum lengths, in units of work (2 x P x N x
parameter count), which is what kParallelJacobianWork in src/fit/residuals.cpp
is compared with.
"""

from __future__ import annotations

import argparse
import os
import subprocess

import numpy as np
from timing import best_seconds

import korvex

CIRCUIT = "R0-p(R1,CPE1)-p(R2-W2,CPE2)"
PARAMS = [10.0, 50.0, 2e-5, 0.85, 80.0, 15.0, 1e-3, 0.7]
N = 60
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timing budget")
    parser.add_argument("--cpp-bench", help="path of korvex_bench_jacobian (default: build/cpp)")
    args = parser.parse_args()
    budget = 0.3 if args.quick else 2.0

    circuit = korvex.Circuit(CIRCUIT)
    empty = korvex.Series([])
    f = np.logspace(-2, 5, N)
    rng = np.random.default_rng(1)
    z = circuit.with_values(PARAMS).impedance(f) * (1 + 0.01 * rng.standard_normal(N))
    p = list(PARAMS)
    P = len(p)

    def sequential_jacobian():
        cols = []
        for j, x in enumerate(p):
            h = np.cbrt(np.finfo(float).eps) * max(abs(x), 1e-8)
            plus, minus = list(p), list(p)
            plus[j] += h
            minus[j] -= h
            cols.append(
                (np.array(circuit.residuals(plus, f, z)) - np.array(circuit.residuals(minus, f, z)))
                / (h + h)
            )
        return np.column_stack(cols)

    np.testing.assert_array_equal(sequential_jacobian(), np.array(circuit.jacobian(p, f, z)))

    t_res = best_seconds(lambda: circuit.residuals(p, f, z), budget)
    t_overhead = best_seconds(lambda: empty.residuals(p, f, z), budget)
    t_jac = best_seconds(lambda: circuit.jacobian(p, f, z), budget)
    t_seq = best_seconds(sequential_jacobian, budget)
    t_eval = t_res - t_overhead

    print(f"circuit {CIRCUIT}, P = {P}, N = {N}, {os.cpu_count()} CPUs")
    print(f"residuals() per call                 {t_res * 1e6:9.2f} us")
    print(f"  of which argument/result handling  {t_overhead * 1e6:9.2f} us")
    print(
        f"  one residual evaluation            {t_eval * 1e6:9.2f} us "
        f"({t_eval / N * 1e9:.0f} ns per frequency)"
    )
    print(
        f"jacobian() per call                  {t_jac * 1e6:9.2f} us "
        f"({t_jac / (2 * P) * 1e6:.2f} us per residual evaluation, result list included)"
    )
    print(
        f"2P = {2 * P} residuals() calls + NumPy     {t_seq * 1e6:9.2f} us "
        f"(jacobian() is {t_seq / t_jac:.2f}x faster)"
    )
    print(f"2P bare residual evaluations         {2 * P * t_eval * 1e6:9.2f} us")

    path = args.cpp_bench or os.path.join(ROOT, "build", "cpp", "korvex_bench_jacobian")
    if os.path.exists(path):
        print(f"\n{path}:")
        subprocess.run([path, "0.05" if args.quick else "0.2"], check=True)
    else:
        print("\nkorvex_bench_jacobian not found (build the C++ tests to get it)")


if __name__ == "__main__":
    main()
