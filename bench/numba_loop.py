"""Circuit.impedance() against a hand-tuned numba loop of the same circuit.

Run: python bench/numba_loop.py [--quick]     (needs the bench extra: numba)

The loop evaluates "R0-p(R1,CPE1)-p(R2-W2,CPE2)" in one fused pass over the
frequencies, with everything that does not depend on the frequency worked out
once per call: cos and sin of alpha*pi/2 of both CPEs, and one log of omega per
frequency shared by both CPE powers (omega^-alpha = exp(-alpha ln omega)). It
is about as fast as this circuit can be evaluated from Python without writing
C. Printed: the best time per call of each at 60 and 10,000 log-spaced
frequencies (a float64 array) and numba / korvex (above 1 means korvex is
faster), with the machine's load average.
"""

from __future__ import annotations

import argparse
import math
import os

import numpy as np
from timing import best_seconds

import korvex

CIRCUIT = "R0-p(R1,CPE1)-p(R2-W2,CPE2)"
PARAMS = [10.0, 50.0, 2e-5, 0.85, 80.0, 15.0, 1e-3, 0.7]


def numba_impedance(f, r0, r1, q1, a1, r2, aw, q2, a2):
    """Z of the circuit at hertz `f`; the CPE admittance is q (j omega)^alpha."""
    c1, s1 = math.cos(a1 * math.pi / 2), math.sin(a1 * math.pi / 2)
    c2, s2 = math.cos(a2 * math.pi / 2), math.sin(a2 * math.pi / 2)
    g1 = 1.0 / r1
    out = np.empty(f.size, dtype=np.complex128)
    for i in range(f.size):
        w = 2.0 * math.pi * f[i]
        lw = math.log(w)
        # p(R1, CPE1): admittance 1/R1 + q1 w^a1 (cos + j sin).
        m1 = q1 * math.exp(a1 * lw)
        y1r, y1i = g1 + m1 * c1, m1 * s1
        d1 = y1r * y1r + y1i * y1i
        # p(R2-W2, CPE2): W2 = aw (1 - j) / sqrt(w).
        wr = aw / math.sqrt(w)
        br, bi = r2 + wr, -wr
        db = br * br + bi * bi
        m2 = q2 * math.exp(a2 * lw)
        y2r, y2i = br / db + m2 * c2, -bi / db + m2 * s2
        d2 = y2r * y2r + y2i * y2i
        out[i] = complex(r0 + y1r / d1 + y2r / d2, -y1i / d1 - y2i / d2)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timing budget")
    args = parser.parse_args()
    budget = 0.3 if args.quick else 2.0

    circuit = korvex.Circuit(CIRCUIT).with_values(PARAMS)
    sizes = (60, 10_000)
    # korvex first: in a process that has imported numba, korvex's worker pool
    # gained nothing at 10,000 points on the 2-core machine (320 us instead of
    # 180 us; the cause is not traced), which is not korvex's own cost.
    spectra = {n: np.logspace(-2, 5, n) for n in sizes}
    t_korvex = {n: best_seconds(lambda: circuit.impedance(f), budget) for n, f in spectra.items()}
    from numba import njit

    loop = njit(nogil=True)(numba_impedance)
    print(f"circuit {CIRCUIT}, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    print(f"{'frequencies':>11}  {'korvex':>12} {'numba loop':>12} {'numba / korvex':>15}")
    for n, f in spectra.items():
        np.testing.assert_allclose(loop(f, *PARAMS), circuit.impedance(f), rtol=1e-12)
        t_numba = best_seconds(lambda: loop(f, *PARAMS), budget)
        print(
            f"{n:>11}  {t_korvex[n] * 1e6:>9.2f} us {t_numba * 1e6:>9.2f} us "
            f"{t_numba / t_korvex[n]:>14.2f}x   (load {os.getloadavg()[0]:.1f})"
        )


if __name__ == "__main__":
    main()
