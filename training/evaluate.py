"""Quality report of the built-in models.

    python -m training.evaluate [--only NAME] [--n 500]

On a held-out synthetic set (its own seed, 1 % noise) it reports, per model,
the median and 90th-percentile |log10(guess / true)| of every logarithmic
parameter, the median |error| of every CPE exponent, and how often a local
fit reaches the optimum (a cost within 5 % of the cost at the true values)
when started from the guess and when started from the catalogue defaults.
It then fits every built-in topology to the measured example spectra, from
the guess and from 20 random starts, and prints both costs.
"""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path

import numpy as np

from training.circuits import MODELS, topology
from training.export import Reference
from training.features import features
from training.train import BUILTIN, ROOT, RUNS

EVAL_SEED = 977
SUCCESS_MARGIN = 1.05


def _korvex_fit_available() -> bool:
    import korvex

    c = korvex.Circuit("R0-(R1,C1)")
    if not hasattr(c, "fit"):
        return False
    f = np.logspace(-1, 4, 20)
    z = c.with_values([1.0, 2.0, 1e-3]).impedance(f)
    try:
        return c.fit(f, z, guess_init=False).cost < 1e-12
    except Exception:  # noqa: BLE001 - any failure means "not usable yet"
        return False


def _least_squares_cost(circuit, start, f, z) -> float:
    """Bounded trust-region fit over log10 of the open-bounded parameters."""
    from scipy.optimize import least_squares

    bounded = np.array([np.isfinite(hi) for _, hi in circuit.param_bounds()])
    start = np.asarray(start, np.float64)
    x0 = np.where(bounded, np.clip(start, 1e-6, 1 - 1e-6), np.log10(np.maximum(start, 1e-300)))

    def physical(x):
        return np.where(bounded, x, 10.0 ** np.where(bounded, 0.0, x))

    def fun(x):
        return np.asarray(circuit.residuals(physical(x).tolist(), f, z))

    def jac(x):
        p = physical(x)
        j = np.asarray(circuit.jacobian(p.tolist(), f, z))
        return j * np.where(bounded, 1.0, p * np.log(10.0))

    lo = np.where(bounded, 0.0, -np.inf)
    hi = np.where(bounded, 1.0, np.inf)
    try:
        res = least_squares(fun, x0, jac=jac, bounds=(lo, hi), method="trf", max_nfev=400)
    except ValueError:
        return np.inf
    cost = 0.5 * float(np.sum(fun(res.x) ** 2))
    return cost if np.isfinite(cost) else np.inf


class Fitter:
    """Final cost of a local fit from a given start: korvex's own fit when the
    build has one, else SciPy's least_squares over korvex's residuals."""

    def __init__(self):
        self.native = _korvex_fit_available()
        self.name = "korvex Circuit.fit" if self.native else "scipy least_squares"

    def cost(self, circuit, start, f, z) -> float:
        if not np.all(np.isfinite(start)):
            return np.inf
        if self.native:
            try:
                return float(
                    circuit.with_values(list(map(float, start))).fit(f, z, guess_init=False).cost
                )
            except Exception:  # noqa: BLE001 - a failed fit is a failed start
                return np.inf
        return _least_squares_cost(circuit, start, f, z)


def _guesses(ref: Reference, spectra) -> np.ndarray:
    """Guesses for spectra of any lengths, batched by length."""
    out = np.empty((len(spectra), len(ref.mean)))
    sizes = np.array([f.size for f, _ in spectra])
    for size in np.unique(sizes):
        rows = np.flatnonzero(sizes == size)
        f = np.stack([spectra[i][0] for i in rows])
        z = np.stack([spectra[i][1] for i in rows])
        out[rows] = ref.predict(f, z)
    return out


def evaluate_model(name: str, n: int, fitter: Fitter, weights: Path) -> dict:
    import korvex
    from training.synth import generate

    topo = topology(name)
    ref = Reference(weights.read_bytes())
    data = generate(name, n, EVAL_SEED, noise=0.01, keep_spectra=True)
    guess = _guesses(ref, data.spectra)
    report = {"model": name, "spectra": n, "parameters": {}}
    for k, pname in enumerate(topo.param_names):
        if topo.log_params[k]:
            err = np.abs(np.log10(guess[:, k] / data.params[:, k]))
            report["parameters"][pname] = {
                "median_abs_log10_error": round(float(np.median(err)), 4),
                "p90_abs_log10_error": round(float(np.percentile(err, 90)), 4),
            }
        else:
            err = np.abs(guess[:, k] - data.params[:, k])
            report["parameters"][pname] = {"median_abs_error": round(float(np.median(err)), 4)}
    circuit = korvex.Circuit(topo.circuit)
    defaults = np.asarray(circuit.param_values())
    ok_guess = ok_default = 0
    for i, (f, z) in enumerate(data.spectra):
        true_cost = 0.5 * float(
            np.sum(np.asarray(circuit.residuals(data.params[i].tolist(), f, z)) ** 2)
        )
        limit = SUCCESS_MARGIN * true_cost
        ok_guess += fitter.cost(circuit, guess[i], f, z) <= limit
        ok_default += fitter.cost(circuit, defaults, f, z) <= limit
    report["fit_success_from_guess"] = round(ok_guess / n, 4)
    report["fit_success_from_defaults"] = round(ok_default / n, 4)
    report["fitter"] = fitter.name
    return report


def _read_spectrum(path: Path):
    rows = np.loadtxt(path, delimiter=",", skiprows=0 if path.name == "exampleData.csv" else 1)
    return rows[:, 0], rows[:, 1] + 1j * rows[:, 2]


def real_spectra() -> dict[str, tuple[np.ndarray, np.ndarray]]:
    out = {}
    for directory in (Path("/work/shared/data"), ROOT / "examples"):
        for fname in ("exampleData.csv", "circuit1_spectrum_bdf.csv"):
            path = directory / fname
            if path.exists() and fname not in out:
                out[fname] = _read_spectrum(path)
    return out


def evaluate_real(name: str, fitter: Fitter, weights: Path, spectra, starts: int = 20) -> dict:
    """Cost from the guess and the best cost of `starts` random starts drawn
    from the training distribution of the model's scale-free targets."""
    import korvex

    topo = topology(name)
    ref = Reference(weights.read_bytes())
    circuit = korvex.Circuit(topo.circuit)
    rng = np.random.default_rng(EVAL_SEED)
    out = {}
    for fname, (f, z) in spectra.items():
        guess = ref.predict(f[None], z[None])[0]
        _, _, z_s, omega_s = features(f[None], z[None])
        draws = rng.standard_normal((starts, len(ref.mean))) * 1.5
        random_starts = ref.values(draws, np.full(starts, z_s[0]), np.full(starts, omega_s[0]))
        best = min(fitter.cost(circuit, s, f, z) for s in random_starts)
        out[fname] = {
            "cost_from_guess": fitter.cost(circuit, guess, f, z),
            f"best_cost_of_{starts}_starts": best,
        }
    return out


def table(results: dict) -> str:
    """One Markdown row per model: fit success from the guess and from the
    defaults, and the largest median error per parameter kind."""
    rows = [
        "| model | fit success from guess | from defaults | median log10 err: R | C, CPE q "
        "| other | median alpha err |",
        "|---|---|---|---|---|---|---|",
    ]
    for name, r in results.items():
        worst = {"r": 0.0, "cap": 0.0, "other": 0.0, "alpha": 0.0}
        for pname, m in r["parameters"].items():
            field = pname.split(".")[1]
            kind = (
                "alpha"
                if field == "alpha"
                else "r"
                if field == "r"
                else "cap"
                if field in ("c", "q")
                else "other"
            )
            value = m.get("median_abs_log10_error", m.get("median_abs_error"))
            worst[kind] = max(worst[kind], value)
        rows.append(
            f"| {name} | {r['fit_success_from_guess']:.1%} | "
            f"{r['fit_success_from_defaults']:.1%} | {worst['r']:.3f} | "
            f"{worst['cap']:.3f} | {worst['other']:.3f} | {worst['alpha']:.3f} |"
        )
    return "\n".join(rows)


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--only", choices=list(MODELS), action="append")
    p.add_argument("--n", type=int, default=500)
    p.add_argument("--weights-dir", type=Path, default=BUILTIN)
    p.add_argument("--out", type=Path, default=RUNS / "evaluation.json")
    args = p.parse_args(argv)
    import torch

    # The reference network is tiny; OpenMP threads only wait on each other.
    torch.set_num_threads(1)
    fitter = Fitter()
    print(f"fits by {fitter.name}", flush=True)
    spectra = real_spectra()
    # A partial run (--only) updates the report of the others in place.
    results = json.loads(args.out.read_text()) if args.out.exists() else {}
    for name in args.only or list(MODELS):
        weights = args.weights_dir / f"{name}.eisnn"
        if not weights.exists():
            print(f"{name}: no weight file", flush=True)
            continue
        t0 = time.time()
        report = evaluate_model(name, args.n, fitter, weights)
        report["real_spectra"] = evaluate_real(name, fitter, weights, spectra)
        results[name] = report
        print(json.dumps(report), f"({time.time() - t0:.0f} s)", flush=True)
        args.out.parent.mkdir(parents=True, exist_ok=True)
        ordered = {n: results[n] for n in MODELS if n in results}
        args.out.write_text(json.dumps(ordered, indent=2) + "\n")
    print(table({n: results[n] for n in MODELS if n in results}))


if __name__ == "__main__":
    main()
