"""The Kramers-Kronig verdict on measured spectra: this build's two choices of M
against the baseline build's verdict, measured in the same run.

Run: python bench/kk_choice.py [--baseline REF] [--pyimpspec] [--rounds N]

For every shared real spectrum (bench/data/real, with its circuit's
best-known chi-square), every instrument example that the readers open
(/work/shared/data/instruments, when present) and the 64 coin-cell cycles
(bench/data/series), prints the verdict, M and the largest residual of

- the baseline build (its default: linKK's M, one threshold),
- this build with choose_m="residuals" (the default) and choose_m="linkk",

then the spectra whose verdict changed and why (this build's ``reason``),
and the share of valid verdicts on the real spectra whose circuit fits to
the noise level (root-mean-square relative residual of the best-known fit
at most 1 %: a circuit is Kramers-Kronig consistent, so such a spectrum is
too, to that level). ``--pyimpspec`` adds pyimpspec's M (its default test,
when installed; slow: minutes).

A synthetic check follows: spectra that break Kramers-Kronig (the mirror
image of a causal spectrum, a drift of 10 % over the low-frequency half)
must stay invalid under the new choice, and a clean one valid. Times are the
best of alternating rounds per build, with the load average printed.
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from baseline import ISSUE_BASE, Builds, ratio_line, serve  # noqa: E402

DATA = Path(__file__).resolve().parent / "data"
INSTRUMENTS = Path("/work/shared/data/instruments")
NOISE_LEVEL = 0.01  # rms relative residual of a circuit fit "at the noise level"


def worker_case(kind, f, z, choose_m):
    import korvex

    # The baseline build knows only linKK's choice, its default.
    known = "choose_m" in inspect.signature(korvex.kramers_kronig).parameters
    keywords = {"choose_m": choose_m} if choose_m and known else {}
    started = time.perf_counter()
    k = korvex.kramers_kronig(f, z, **keywords)
    seconds = time.perf_counter() - started
    worst = float(max(np.abs(k.residuals_real).max(), np.abs(k.residuals_imag).max()))
    return seconds, {
        "valid": bool(k.valid),
        "m": int(k.m),
        "worst": worst,
        "reason": getattr(k, "reason", ""),
    }


def real_spectra():
    for path in sorted((DATA / "real").glob("*.csv")):
        rows = np.loadtxt(path, delimiter=",", skiprows=1)
        meta = json.loads(path.with_suffix(".json").read_text())
        rms = np.sqrt(meta["best_known_chi_square"] / (2 * len(rows)))
        yield path.stem, rows[:, 0], rows[:, 1] + 1j * rows[:, 2], rms


def instrument_spectra():
    import korvex

    for path in sorted(INSTRUMENTS.glob("exampleData*")):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                frame = korvex.read(path)
        except (ValueError, ImportError):
            continue
        f = frame.iloc[:, 0].to_numpy(float)
        yield path.name, f, frame.iloc[:, 1].to_numpy(float) + 1j * frame.iloc[:, 2].to_numpy(float)


def series_spectra():
    rows = np.loadtxt(
        DATA / "series" / "coincell_autoeis_cycles000-063.csv", delimiter=",", skiprows=1
    )
    for cycle in np.unique(rows[:, 0]).astype(int):
        r = rows[rows[:, 0] == cycle]
        yield f"coincell cycle {cycle:02d}", r[:, 1], r[:, 2] + 1j * r[:, 3]


def synthetic_spectra():
    f = np.logspace(5, -2, 60)
    w = 2 * np.pi * f
    for seed in range(3):
        rng = np.random.default_rng(seed)
        z = 10.0 + 20.0 / (1 + (1j * w * 1e-3) ** 0.9) + 30.0 / (1 + (1j * w) ** 0.85)
        z = z + 0.002 * np.abs(z) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
        drift = z.copy()
        drift[30:] *= np.linspace(1.0, 1.1, 30)
        yield f"clean, seed {seed}", f, z, True
        yield f"mirrored (non-causal), seed {seed}", f, z.conj(), False
        yield f"10 % drift over the low half, seed {seed}", f, drift, False


def pyimpspec_m(f, z):
    import pyimpspec

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        data = pyimpspec.DataSet(frequencies=f, impedances=z)
        return pyimpspec.perform_kramers_kronig_test(data, num_procs=1).num_RC


def mark(answer):
    return f"{'valid' if answer['valid'] else 'INVALID':>7} M={answer['m']:2d} {100 * answer['worst']:6.2f} %"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", default=ISSUE_BASE)
    parser.add_argument("--pyimpspec", action="store_true", help="add pyimpspec's M (slow)")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.pyimpspec:
        try:
            import pyimpspec  # noqa: F401
        except ImportError:
            print("pyimpspec is not installed: its M is left out")
            args.pyimpspec = False

    with Builds(__file__, args.baseline) as builds:
        print(builds.header())
        sets = [("real", [(n, f, z) for n, f, z, _ in real_spectra()])]
        if INSTRUMENTS.exists():
            sets.append(("instruments", list(instrument_spectra())))
        sets.append(("series", list(series_spectra())))
        rms = {n: r for n, _, _, r in real_spectra()}
        changed, real = [], {}
        times, linkk_times = {"baseline": 0.0, "new": 0.0}, {"baseline": 0.0, "new": 0.0}
        for label, spectra in sets:
            print(f"\n== {label}: baseline {args.baseline} | this build, residuals | linkk")
            for name, f, z in spectra:
                best, answers = builds.alternate(("kk", f, z, None), args.rounds)
                base, new = answers["baseline"], answers["new"]
                linkk_best, linkk_answers = builds.alternate(("kk", f, z, "linkk"), args.rounds)
                linkk = linkk_answers["new"]
                for build in ("baseline", "new"):
                    times[build] += best[build]
                    linkk_times[build] += linkk_best[build]
                if label == "real":
                    real[name] = (base, new)
                extra = ""
                if label == "real":
                    extra = f"   circuit rms {100 * rms[name]:.2f} %"
                    if args.pyimpspec:
                        extra += f"   pyimpspec M={pyimpspec_m(f, z)}"
                print(f"  {name[:34]:<34} {mark(base)} | {mark(new)} | {mark(linkk)}{extra}")
                if new["valid"] != base["valid"]:
                    changed.append((label, name, base, new))

        print(f"\n== verdicts changed against {args.baseline} ({len(changed)})")
        for label, name, base, new in changed:
            was = "valid" if base["valid"] else "invalid"
            now = "valid" if new["valid"] else "invalid"
            print(f"  {label}: {name}: {was} (M={base['m']}) -> {now}: {new['reason']}")

        at_noise = [n for n, r in rms.items() if r <= NOISE_LEVEL]
        print(
            f"\n== real spectra whose circuit fits to {100 * NOISE_LEVEL:g} % rms or better: "
            f"{len(at_noise)}"
        )
        for i, build in enumerate(("baseline", "this build")):
            valid = sum(real[n][i]["valid"] for n in at_noise)
            print(
                f"  {build:<10} valid on {valid} of {len(at_noise)}: "
                + ", ".join(
                    f"{n} {'valid' if real[n][i]['valid'] else 'invalid'}" for n in at_noise
                )
            )

        print("\n== synthetic spectra (must keep their verdict under the new choice)")
        wrong = 0
        for name, f, z, expected in synthetic_spectra():
            _, answer = builds.workers[1].run(("kk", f, z, "residuals"))
            wrong += answer["valid"] != expected
            print(f"  {name:<44} {mark(answer)}   expected {'valid' if expected else 'invalid'}")
        print(f"  wrong verdicts: {wrong}")

        print(f"\n== time for every spectrum above (best of {args.rounds} rounds)")
        print(ratio_line("default call (this build: residuals)", times, "ms"))
        print(ratio_line("choose_m='linkk' (the baseline's default)", linkk_times, "ms"))
        print(f"  load average now {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    if "--worker" in sys.argv:
        serve(worker_case)
    main()
