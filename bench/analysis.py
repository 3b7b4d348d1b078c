"""Analysis tools side by side: Lin-KK against impedance.py's linKK (agreement
and speed), DRT time and peak accuracy on synthetic Zarc spectra, and
identify()'s confusion matrix and time on synthetic spectra of every built-in
topology.

    .venv/bin/python bench/analysis.py [--n 100] [--seed 20261208]

pyimpspec and pyDRTtools are not run: pyDRTtools 0.2 imports its Qt GUI,
scikit-learn and cvxopt at package import, and pyimpspec 5 pins a dozen
heavy packages (statsmodels, sympy, lmfit, ...), more than a benchmark
extra should pull in.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import best_seconds  # noqa: E402

import korvex  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
TOPOLOGIES = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}
SINGLE_ARC = {"rc", "rc_l", "rq", "rq_l"}
FREQUENCIES = np.logspace(5, -2, 60)  # 100 kHz down to 10 mHz, as instruments sweep


def measured(name):
    import pandas as pd

    frame = pd.read_csv(ROOT / "examples" / name)
    z = frame["Real Impedance / ohm"] + 1j * frame["Imaginary Impedance / ohm"]
    return frame["Frequency / Hz"].to_numpy(), z.to_numpy()


def linkk_peer(f, z, fit_type):
    from impedance.validation import linKK

    # impedance.py builds Python source from repr() of NumPy scalars, which
    # NumPy 2 spells np.float64(...); the legacy repr keeps its eval working.
    with np.printoptions(legacy="1.25"), contextlib.redirect_stdout(io.StringIO()):
        return linKK(f, z, fit_type=fit_type)


def bench_kk():
    print("== Lin-KK: korvex.kramers_kronig vs impedance.py linKK (max_M=50, c=0.85)")
    print(
        f"{'spectrum':<28}{'fit':<9}{'M':>4}{'M peer':>7}{'|dmu|/mu':>11}{'max|dres|':>11}"
        f"{'korvex ms':>11}{'peer ms':>9}{'ratio':>8}"
    )
    for name in ("example_spectrum_bdf.csv", "circuit1_spectrum_bdf.csv"):
        f, z = measured(name)
        for fit in ("complex", "real", "imag"):
            ours = korvex.kramers_kronig(f, z, fit=fit, choose_m="linkk")
            m, mu, _, res_re, res_im = linkk_peer(f, z, fit)
            dres = max(
                np.abs(ours.residuals_real - res_re).max(),
                np.abs(ours.residuals_imag - res_im).max(),
            )
            t_ours = best_seconds(
                lambda: korvex.kramers_kronig(f, z, fit=fit, choose_m="linkk"), 1.0
            )
            t_peer = best_seconds(lambda: linkk_peer(f, z, fit), 2.0)
            print(
                f"{name:<28}{fit:<9}{ours.m:>4}{m:>7}{abs(ours.mu - mu) / abs(mu):>11.1e}"
                f"{dres:>11.1e}{t_ours * 1e3:>11.3f}{t_peer * 1e3:>9.1f}{t_peer / t_ours:>7.0f}x"
            )
    rng = np.random.default_rng(0)
    z60 = (
        korvex.Circuit("R0-(R1,CPE1)-(R2,CPE2)")
        .with_values([10, 20, 1e-3**0.9 / 20, 0.9, 30, 1 / 30, 0.85])
        .impedance(FREQUENCIES)
    )
    z60 = z60 + 0.01 * np.abs(z60) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
    for choose_m in ("residuals", "linkk"):
        t = best_seconds(lambda: korvex.kramers_kronig(FREQUENCIES, z60, choose_m=choose_m), 1.0)
        print(
            f"60-point two-arc spectrum, 1 % noise, choose_m={choose_m!r}: {t * 1e3:.3f} ms "
            f"per test, {1 / t:.0f} spectra/s on one core (on the calling thread)"
        )


def zarc_spectrum(rng, arcs, noise=0.01):
    """R0 plus Zarcs (R, tau, alpha); returns (impedance, truth)."""
    text = "R0" + "".join(f"-(R{i + 1},CPE{i + 1})" for i in range(len(arcs)))
    values = [10.0]
    for r, tau, alpha in arcs:
        values += [r, tau**alpha / r, alpha]
    z = korvex.Circuit(text).with_values(values).impedance(FREQUENCIES)
    return z + noise * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def bench_drt(n_spectra):
    print("\n== DRT: 60 points, automatic lambda (robust GCV), non-negative")
    rng = np.random.default_rng(1)
    cases = {
        "one Zarc (R=50, tau=10 ms, alpha=0.8)": [(50.0, 1e-2, 0.8)],
        "two Zarcs (20 @ 1 ms a=0.9, 30 @ 1 s a=0.85)": [(20.0, 1e-3, 0.9), (30.0, 1.0, 0.85)],
    }
    for label, arcs in cases.items():
        tau_err, r_err, found = [], [], 0
        for _ in range(n_spectra):
            z = zarc_spectrum(rng, arcs)
            peaks = korvex.drt(FREQUENCIES, z).peaks()
            # Match each true arc to the peak nearest in log tau.
            ok = True
            for r, tau, _ in arcs:
                p = min(peaks, key=lambda p: abs(np.log(p.tau / tau)))
                tau_err.append(abs(p.tau / tau - 1))
                r_err.append(abs(p.r / r - 1))
                ok &= abs(p.tau / tau - 1) < 0.1 and abs(p.r / r - 1) < 0.05
            found += ok
        print(
            f"{label}: tau error median {np.median(tau_err):.1%} max {np.max(tau_err):.1%}; "
            f"R error median {np.median(r_err):.1%} max {np.max(r_err):.1%}; "
            f"{found}/{n_spectra} spectra with every arc within 10 % (tau) and 5 % (R)"
        )
    z = zarc_spectrum(np.random.default_rng(2), list(cases.values())[1])
    t = best_seconds(lambda: korvex.drt(FREQUENCIES, z), 2.0)
    t_fixed = best_seconds(lambda: korvex.drt(FREQUENCIES, z, lam=1e-2), 2.0)
    print(
        f"time per 60-point spectrum: {t * 1e3:.2f} ms with automatic lambda, "
        f"{t_fixed * 1e3:.2f} ms with lam given"
    )


def _u(rng, lo, hi):
    return 10.0 ** rng.uniform(lo, hi)


def synthetic(name, rng):
    """One spectrum of a topology whose every feature shows in the window:
    arcs with characteristic frequencies between 1 Hz and 10 kHz, two arcs at
    least 1.5 decades apart, CPE exponents 0.65..0.9, inductance and diffusion
    large enough to be seen at the window's ends."""
    r0 = _u(rng, 0, 1)
    r = [r0 * _u(rng, -0.3, 1) for _ in range(2)]
    tau1 = _u(rng, -4.5, -3.0) if "two" in name or "sei" in name else _u(rng, -4, -1)
    taus = [tau1, tau1 * _u(rng, 1.5, 2.5)]
    alphas = [rng.uniform(0.65, 0.9) for _ in range(2)]
    cpe = "rq" in name or "sei" in name or name == "randles"
    groups = []
    for i in range(2 if ("two" in name or "sei" in name) else 1):
        groups += [r[i], taus[i] ** alphas[i] / r[i], alphas[i]] if cpe else [r[i], taus[i] / r[i]]
    w_min = 2 * np.pi * FREQUENCIES.min()
    if name == "randles":
        values = [r0, r[0], r[0] * np.sqrt(w_min) * _u(rng, 0, 1), *groups[1:]]
    elif name == "sei_randles":
        values = [r0, *groups[:3], r[1], r[1] * np.sqrt(w_min) * _u(rng, 0, 1), *groups[4:]]
    elif name == "sei_randles_wo":
        values = [r0, *groups[:3], r[1], r[1] * _u(rng, 0, 1), _u(rng, -0.5, 1), *groups[4:]]
    else:
        values = [r0, *groups]
    if name.endswith("_l"):
        w_max = 2 * np.pi * FREQUENCIES.max()
        values = [r0 * _u(rng, -0.5, 0.5) / w_max, *values]
    z = korvex.Circuit(TOPOLOGIES[name]).with_values(values).impedance(FREQUENCIES)
    return z + 0.01 * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def bench_identify(n, seed):
    names = list(TOPOLOGIES)
    texts = [korvex.Circuit(t).text for t in TOPOLOGIES.values()]
    print(
        f"\n== identify(): {n} synthetic spectra per topology (60 points, 1 % noise, "
        f"seed {seed}), all eleven candidates, BIC"
    )
    confusion = np.zeros((len(names), len(names)), int)
    times, cpu = [], []
    for i, name in enumerate(names):
        rng = np.random.default_rng([seed, i])
        for _ in range(n):
            z = synthetic(name, rng)
            t0, c0 = time.perf_counter(), time.process_time()
            ranked = korvex.identify(FREQUENCIES, z)
            times.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
            confusion[i, texts.index(ranked[0].text)] += 1
    width = max(map(len, names)) + 1
    print("rows: true topology; columns: ranked first")
    print(" " * width + "".join(f"{k[:8]:>9}" for k in names) + "   first")
    for i, name in enumerate(names):
        share = confusion[i, i] / n
        goal = 0.9 if name in SINGLE_ARC else 0.8
        print(
            f"{name:<{width}}"
            + "".join(f"{c:>9}" for c in confusion[i])
            + f"   {share:.0%} (goal {goal:.0%})"
        )
    print(
        f"time per spectrum (11 fits on the pool): median {np.median(times) * 1e3:.1f} ms, "
        f"90th percentile {np.percentile(times, 90) * 1e3:.1f} ms; processor time of all "
        f"threads: median {np.median(cpu) * 1e3:.1f} ms (a shared machine stretches the wall "
        "time, not this)"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100, help="spectra per topology for identify()")
    parser.add_argument("--drt-n", type=int, default=50, help="noisy spectra per DRT case")
    parser.add_argument("--seed", type=int, default=20261208)
    args = parser.parse_args(argv)
    bench_kk()
    bench_drt(args.drt_n)
    bench_identify(args.n, args.seed)


if __name__ == "__main__":
    main()
