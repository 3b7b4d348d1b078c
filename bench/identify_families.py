"""identify() on a labelled benchmark of nine circuit families.

The families are the ones published machine-learning classifiers of EIS
spectra are scored on: L-R-(RQ), L-R-(RQ)(RQ), L-R-(RQ)(RQ)(RQ), (RC)-G-G,
(RC)(RC)(RQ)(RQ), (RQ)(RQ), (RQ)(RQ)(RQ), (RQ)(RQ)(RQ)(RQ) and R-Ws, each
block in series. Values are drawn over several decades: resistances
log-uniform over 1e-2..1e3 ohm, time constants log-uniform inside the
measured window and at least one decade apart (so the family is decidable in
principle), CPE exponents 0.6..1, 30-100 points over 4-8 decades, 0.1 %
complex noise. The generator shares no code or seed with training/.

Prints the confusion matrix (rows: true family, columns: ranked first), the
top-1 share, the median and worst time per spectrum, and the share of
"search failures": spectra whose true circuit, as identify fitted it, ends
more than 10 BIC above a fit polished from the true values (a worse circuit
can then win for the wrong reason).

    python bench/identify_families.py [--per-family N] [--seed S]
"""

from __future__ import annotations

import argparse
import math
import statistics
import time

import numpy as np

import korvex

FAMILIES = {
    "L-R-(RQ)": "L0-R0-p(R1,CPE1)",
    "L-R-(RQ)2": "L0-R0-p(R1,CPE1)-p(R2,CPE2)",
    "L-R-(RQ)3": "L0-R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)",
    "(RC)-G-G": "p(R1,C1)-G1-G2",
    "(RC)2(RQ)2": "p(R1,C1)-p(R2,C2)-p(R3,CPE3)-p(R4,CPE4)",
    "(RQ)2": "p(R1,CPE1)-p(R2,CPE2)",
    "(RQ)3": "p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)",
    "(RQ)4": "p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)-p(R4,CPE4)",
    "R-Ws": "R0-Ws1",
}


def _log_uniform(rng, lo, hi):
    return 10 ** rng.uniform(math.log10(lo), math.log10(hi))


def _spread_taus(rng, count, tau_lo, tau_hi, gap_decades=1.0):
    """`count` time constants inside [tau_lo, tau_hi], at least `gap_decades` apart."""
    lo, hi = math.log10(tau_lo), math.log10(tau_hi)
    room = hi - lo - gap_decades * (count - 1)
    if room < 0:
        raise ValueError("window too narrow for the arcs")
    cuts = np.sort(rng.uniform(0.0, room, count))
    return [10 ** (lo + c + gap_decades * k) for k, c in enumerate(cuts)]


def draw(family: str, rng) -> tuple[korvex.Circuit, np.ndarray, np.ndarray]:
    """One noisy spectrum of `family`: (true circuit, frequencies, impedances)."""
    text = FAMILIES[family]
    circuit = korvex.Circuit(text)
    points = int(rng.integers(30, 101))
    decades = rng.uniform(4.0, 8.0)
    f_hi = 10 ** rng.uniform(3.0, 6.0)
    f = np.logspace(math.log10(f_hi) - decades, math.log10(f_hi), points)
    # Arcs' peaks kept half a decade inside the window.
    tau_lo, tau_hi = 10**0.5 / (2 * math.pi * f[-1]), 10**-0.5 / (2 * math.pi * f[0])
    names = circuit.param_names()
    arcs = sorted({n.split(".")[0] for n in names if n[0] in "CG" and not n.startswith("C0")})
    taus = iter(_spread_taus(rng, len(arcs), tau_lo, tau_hi))
    values: dict[str, float] = {}
    for label in arcs:
        tau = next(taus)
        if label.startswith("G"):
            values[f"{label}.rg"] = _log_uniform(rng, 1e-2, 1e3)
            values[f"{label}.tg"] = tau
            continue
        r_name = "R" + label.lstrip("CPEG")
        r = _log_uniform(rng, 1e-2, 1e3)
        values[f"{r_name}.r"] = r
        if label.startswith("CPE"):
            alpha = rng.uniform(0.6, 1.0)
            values[f"{label}.q"] = tau**alpha / r
            values[f"{label}.alpha"] = alpha
        else:
            values[f"{label}.c"] = tau / r
    for name in names:
        if name in values:
            continue
        if name.endswith(".l"):
            values[name] = _log_uniform(rng, 1e-8, 1e-5)
        elif name.endswith(".r"):
            values[name] = _log_uniform(rng, 1e-2, 1e3)
        elif name.endswith(".z0"):
            values[name] = _log_uniform(rng, 1e-2, 1e3)
        elif name.endswith(".tau"):
            values[name] = _log_uniform(rng, tau_lo, tau_hi)
        else:
            raise KeyError(f"no draw for {name}")
    true = circuit.with_values([values[n] for n in names])
    z = true.impedance(f)
    noise = 1e-3 * (rng.standard_normal(points) + 1j * rng.standard_normal(points))
    return true, f, z * (1 + noise)


def _bic(chi_square, points, params):
    n = 2 * points
    return n * math.log(chi_square / n) + params * math.log(n)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--per-family", type=int, default=8)
    parser.add_argument("--seed", type=int, default=20261208)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    order = list(FAMILIES)
    candidates = [FAMILIES[k] for k in order]
    canonical = {korvex.Circuit(t).text: k for k, t in FAMILIES.items()}
    confusion = {k: dict.fromkeys(order, 0) for k in order}
    times, failures, total = [], 0, 0
    for family in order:
        for _ in range(args.per_family):
            true, f, z = draw(family, rng)
            started = time.perf_counter()
            ranking = korvex.identify(f, z, candidates=candidates)
            times.append(time.perf_counter() - started)
            winner = canonical.get(korvex.Circuit(ranking[0].text).text, ranking[0].text)
            confusion[family][winner] += 1
            total += 1
            own = next(r for r in ranking if korvex.Circuit(r.text).text == true.text)
            polished = true.fit(f, z, guess_init=False)
            if own.fit is not None and polished.chi_square > 0:
                k = len(true.param_names())
                gap = _bic(own.fit.chi_square, f.size, k) - _bic(polished.chi_square, f.size, k)
                failures += gap > 10
    width = max(map(len, order)) + 2
    print(f"identify() on {total} spectra ({args.per_family} per family, seed {args.seed})")
    print("true \\ first".ljust(width) + "".join(k[:10].rjust(11) for k in order))
    for family in order:
        print(family.ljust(width) + "".join(str(confusion[family][k]).rjust(11) for k in order))
    right = sum(confusion[k][k] for k in order)
    print(f"top-1: {right}/{total} = {right / total:.2f}")
    print(f"search failures (true circuit > 10 BIC above its polished fit): {failures}/{total}")
    print(f"time per spectrum: median {statistics.median(times):.2f} s, worst {max(times):.2f} s")


if __name__ == "__main__":
    main()
