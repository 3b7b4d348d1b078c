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
can then win for the wrong reason). The first --baseline-per-family spectra
of each family also run on the build of commit 9341a4c (bench/baseline.py),
alternating with this build in the same run: a subset, as that build takes
seconds per spectrum. --points fixes the length of every spectrum (2000: the
long case).

    python bench/identify_families.py [--per-family N] [--seed S]
        [--points P] [--baseline-per-family M]
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time

import numpy as np
from baseline import ISSUE_BASE, Builds, serve

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


def draw(family: str, rng, points=None) -> tuple[korvex.Circuit, np.ndarray, np.ndarray]:
    """One noisy spectrum of `family`: (true circuit, frequencies, impedances);
    `points` long, or 30-100 points when None."""
    text = FAMILIES[family]
    circuit = korvex.Circuit(text)
    drawn = int(rng.integers(30, 101))
    points = points or drawn
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


def worker_case(f, z, candidates, true_text):
    """identify() in one build: (seconds, (text ranked first, the true circuit's chi-square))."""
    import korvex

    started = time.perf_counter()
    ranking = korvex.identify(f, z, candidates=candidates)
    seconds = time.perf_counter() - started
    own = next(r for r in ranking if korvex.Circuit(r.text).text == true_text)
    chi = own.fit.chi_square if own.fit is not None else math.inf
    return seconds, (ranking[0].text, chi)


def _spectra(args):
    rng = np.random.default_rng(args.seed)
    out = []
    for family in FAMILIES:
        for k in range(args.per_family):
            true, f, z = draw(family, rng, args.points)
            out.append((family, k, true, f, z))
    return out


class Tally:
    """Confusion matrix, search failures and times of one build over some spectra."""

    def __init__(self):
        self.confusion = {k: dict.fromkeys(FAMILIES, 0) for k in FAMILIES}
        self.times, self.failures, self.total = [], 0, 0

    def add(self, family, true, f, z, seconds, answer):
        winner_text, chi = answer
        canonical = {korvex.Circuit(t).text: k for k, t in FAMILIES.items()}
        winner = canonical.get(korvex.Circuit(winner_text).text)
        if winner is not None:
            self.confusion[family][winner] += 1
        self.times.append(seconds)
        self.total += 1
        polished = true.fit(f, z, guess_init=False)
        if polished.chi_square > 0:
            k = len(true.param_names())
            gap = _bic(chi, f.size, k) - _bic(polished.chi_square, f.size, k)
            self.failures += gap > 10

    @property
    def right(self):
        return sum(self.confusion[k][k] for k in FAMILIES)

    def summary(self):
        return (
            f"top-1 {self.right}/{self.total} = {self.right / self.total:.2f}; search failures "
            f"{self.failures}/{self.total}; time per spectrum median "
            f"{statistics.median(self.times):.2f} s, worst {max(self.times):.2f} s"
        )

    def print_confusion(self):
        order = list(FAMILIES)
        width = max(map(len, order)) + 2
        print("true \\ first".ljust(width) + "".join(k[:10].rjust(11) for k in order))
        for family in order:
            row = self.confusion[family]
            print(family.ljust(width) + "".join(str(row[k]).rjust(11) for k in order))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--per-family", type=int, default=8)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument(
        "--points", type=int, default=None, help="every spectrum this long (default 30-100)"
    )
    parser.add_argument(
        "--baseline-per-family",
        type=int,
        default=2,
        help=f"spectra per family also run by {ISSUE_BASE} (0: none)",
    )
    args = parser.parse_args()
    spectra = _spectra(args)
    candidates = list(FAMILIES.values())
    new, subset = Tally(), {"baseline": Tally(), "new": Tally()}
    points = f"{args.points}" if args.points else "30-100"
    with Builds(__file__, ISSUE_BASE) as builds:
        print(builds.header())
        for family, k, true, f, z in spectra:
            case = (f, z, candidates, true.text)
            if k < args.baseline_per_family:
                best, payload = builds.alternate(case, rounds=1)
                for name in best:
                    subset[name].add(family, true, f, z, best[name], payload[name])
                new.add(family, true, f, z, best["new"], payload["new"])
            else:
                seconds, answer = builds.workers[1].run(case)
                new.add(family, true, f, z, seconds, answer)
        load = os.getloadavg()[0]
    print(
        f"identify() of this build on {new.total} spectra ({args.per_family} per family, "
        f"{points} points, seed {args.seed}), nine candidates each; load average {load:.1f} "
        "at the end"
    )
    new.print_confusion()
    print("this build: " + new.summary())
    if subset["new"].total:
        base, now = subset["baseline"], subset["new"]
        ratio = statistics.median(base.times) / statistics.median(now.times)
        print(
            f"the same run on a subset ({args.baseline_per_family} per family, "
            f"{now.total} spectra; {ISSUE_BASE} is slow), both builds alternating:"
        )
        print(f"  {ISSUE_BASE}:     " + base.summary())
        print("  this build: " + now.summary())
        print(f"  median time ratio {ISSUE_BASE} / this build: {ratio:.1f}x")


if __name__ == "__main__":
    if "--worker" in sys.argv:
        serve(worker_case)
    main()
