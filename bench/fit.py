"""korvex fit() against impedance.py's CustomCircuit.fit, side by side.

Run: PYTHONPATH=<staged korvex> python bench/fit.py [--quick]

Real spectra (examples/): median time per fit and the final
modulus-weighted chi-square of each library. Synthetic spectra of
"R0-p(R1,CPE1)-p(R2-W2,CPE2)" (60 points, 10 mHz to 100 kHz, 0.5 % proportional
complex noise, fixed seed, random true parameters): median time per fit and the
share of fits at the noise floor, i.e. whose modulus-weighted cost is within 5 %
of the cost at the true parameters. Finally korvex's throughput with two worker
threads against one.

Both libraries are scored with korvex's own residuals (modulus weighting), so the
same objective judges both. impedance.py fits with weight_by_modulus=True, which
minimises that same objective, and starts from one generic initial guess: the
catalogue's default values, not tuned to any spectrum. korvex starts from its
default: the trained model's guess where one exists for the topology, else the
same catalogue defaults (guess_init=False); the output says which.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import korvex

SYNTHETIC_CIRCUIT = "R0-p(R1,CPE1)-p(R2-W2,CPE2)"
SEED = 20240611
N_SYNTHETIC = 200
NOISE = 0.005
FLOOR_MARGIN = 1.05


EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def read_spectrum(name: str):
    """A measured spectrum of examples/ (battery-data-format columns)."""
    table = np.loadtxt(EXAMPLES / name, delimiter=",", skiprows=1)
    return table[:, 0], table[:, 1] + 1j * table[:, 2]


def modulus_cost(circuit: korvex.Circuit, params, f, z) -> float:
    r = np.asarray(circuit.residuals(list(params), f, list(z), weight="modulus"))
    return 0.5 * float(r @ r)


def korvex_start(text: str, f, z) -> tuple[bool | None, str]:
    """guess_init to use, and how the start is described."""
    try:
        korvex.Circuit(text).fit(f, list(z), guess_init=True)
        return None, "ML guess (default)"
    except ValueError:
        return False, "catalogue defaults (no built-in model yet: guess_init=False)"


def korvex_fit(text: str, f, z, guess_init):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return korvex.Circuit(text).fit(f, list(z), guess_init=guess_init)


def impedance_fit(text: str, f, z):
    """impedance.py from the generic guess; None when it gives up."""
    from impedance.models.circuits import CustomCircuit

    guess = korvex.Circuit(text).param_values()
    model = CustomCircuit(initial_guess=list(guess), circuit=text)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model.fit(np.asarray(f), np.asarray(z), weight_by_modulus=True)
    except (RuntimeError, ValueError):
        return None
    return model.parameters_


def timed(fn, repeats: int):
    times, result = [], None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def check_same_model(text: str, f):
    """impedance.py and korvex must describe the same circuit for the comparison to hold."""
    from impedance.models.circuits import CustomCircuit

    c = korvex.Circuit(text)
    values = np.array(c.param_values()) * np.linspace(0.7, 1.3, len(c.param_values()))
    values = np.minimum(values, [hi if hi < np.inf else np.inf for _, hi in c.param_bounds()])
    ours = c.with_values(list(values)).impedance(f)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # it warns that it predicts from the initial guess
        theirs = CustomCircuit(initial_guess=list(values), circuit=text).predict(np.asarray(f))
    if not np.allclose(ours, theirs, rtol=1e-9, atol=0):
        sys.exit(f"{text}: korvex and impedance.py disagree on the model; comparison void")


def real_spectra(quick: bool):
    spectra = [
        (
            "example_spectrum_bdf.csv",
            "L0-R0-p(R1,CPE1)-p(R2,CPE2)",
            *read_spectrum("example_spectrum_bdf.csv"),
        ),
        (
            "circuit1_spectrum_bdf.csv",
            "L0-R0-p(R1,CPE1)",
            *read_spectrum("circuit1_spectrum_bdf.csv"),
        ),
    ]
    print("== Measured spectra (median time per fit; modulus-weighted chi-square at the end)")
    for name, text, f, z in spectra:
        check_same_model(text, f)
        guess_init, start = korvex_start(text, f, z)
        t_k, r_k = timed(lambda: korvex_fit(text, f, z, guess_init), 5 if quick else 20)
        t_i, p_i = timed(lambda: impedance_fit(text, f, z), 1 if quick else 3)
        c = korvex.Circuit(text)
        chi_k = 2 * modulus_cost(c, r_k.params.values(), f, z)
        chi_i = 2 * modulus_cost(c, p_i, f, z) if p_i is not None else float("nan")
        print(f"{name}  {text}  ({len(f)} points)")
        print(f"  korvex start: {start}")
        print(
            f"  korvex       {t_k * 1e3:9.2f} ms   chi-square {chi_k:.6e}   success={r_k.success}"
        )
        print(
            f"  impedance.py {t_i * 1e3:9.2f} ms   chi-square {chi_i:.6e}"
            + ("" if p_i is not None else "   (did not converge)")
        )
        print(f"  speed-up (impedance.py time / korvex time): {t_i / t_k:.1f}x")


def synthetic_set(n: int):
    rng = np.random.default_rng(SEED)
    f = np.logspace(-2, 5, 60)
    template = korvex.Circuit(SYNTHETIC_CIRCUIT)
    spectra = []
    for _ in range(n):
        truth = [
            10 ** rng.uniform(0, 1.7),  # R0: 1 .. 50 ohm
            10 ** rng.uniform(0.7, 2.3),  # R1: 5 .. 200 ohm
            10 ** rng.uniform(-6, -4),  # CPE1.q
            rng.uniform(0.7, 0.95),  # CPE1.alpha
            10 ** rng.uniform(1, 2.7),  # R2: 10 .. 500 ohm
            10 ** rng.uniform(0, 1.7),  # W2.aw
            10 ** rng.uniform(-4, -2),  # CPE2.q
            rng.uniform(0.6, 0.9),  # CPE2.alpha
        ]
        clean = template.with_values(truth).impedance(f)
        noise = rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))
        z = clean + NOISE * np.abs(clean) * noise
        spectra.append((truth, z))
    return f, spectra


def synthetic(quick: bool):
    n = 40 if quick else N_SYNTHETIC
    n_impedance = 5 if quick else 10
    f, spectra = synthetic_set(n)
    check_same_model(SYNTHETIC_CIRCUIT, f)
    c = korvex.Circuit(SYNTHETIC_CIRCUIT)
    guess_init, start = korvex_start(SYNTHETIC_CIRCUIT, f, spectra[0][1])
    floors = [modulus_cost(c, truth, f, z) for truth, z in spectra]

    k_times, k_floor = [], 0
    for (_truth, z), floor in zip(spectra, floors):
        t0 = time.perf_counter()
        r = korvex_fit(SYNTHETIC_CIRCUIT, f, z, guess_init)
        k_times.append(time.perf_counter() - t0)
        k_floor += modulus_cost(c, r.params.values(), f, z) <= FLOOR_MARGIN * floor

    # impedance.py takes far longer per fit: every k-th spectrum of the same set.
    step = max(1, n // n_impedance)
    i_times, i_floor, i_total = [], 0, 0
    for (_truth, z), floor in list(zip(spectra, floors))[::step]:
        t0 = time.perf_counter()
        p = impedance_fit(SYNTHETIC_CIRCUIT, f, z)
        i_times.append(time.perf_counter() - t0)
        i_total += 1
        i_floor += p is not None and modulus_cost(c, p, f, z) <= FLOOR_MARGIN * floor

    t_k, t_i = statistics.median(k_times), statistics.median(i_times)
    print(
        f"\n== Synthetic {SYNTHETIC_CIRCUIT}: 60 points 10 mHz..100 kHz, "
        f"{NOISE:.1%} proportional complex noise, seed {SEED}"
    )
    print(f"  korvex start: {start}; impedance.py start: catalogue defaults")
    print(
        f"  korvex       {len(k_times):4d} fits  median {t_k * 1e3:8.2f} ms  "
        f"at noise floor {k_floor / len(k_times):6.1%}"
    )
    print(
        f"  impedance.py {i_total:4d} fits  median {t_i * 1e3:8.2f} ms  "
        f"at noise floor {i_floor / i_total:6.1%}  (every {step}th spectrum of the set)"
    )
    print(f"  speed-up (impedance.py time / korvex time): {t_i / t_k:.1f}x")
    return f, spectra, guess_init


def throughput(f, spectra, guess_init):
    def fit(item):
        return korvex_fit(SYNTHETIC_CIRCUIT, f, item[1], guess_init).cost

    rates = {}
    for workers in (1, 2):
        with ThreadPoolExecutor(workers) as pool:
            t0 = time.perf_counter()
            list(pool.map(fit, spectra))
            rates[workers] = len(spectra) / (time.perf_counter() - t0)
    print(
        f"\n== korvex throughput on the synthetic set ({len(spectra)} fits, "
        f"{os.cpu_count()} CPUs visible)"
    )
    print(f"  1 thread : {rates[1]:8.1f} fits/s")
    print(f"  2 threads: {rates[2]:8.1f} fits/s  ({rates[2] / rates[1]:.2f}x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sets, fewer repeats")
    args = parser.parse_args()
    real_spectra(args.quick)
    throughput(*synthetic(args.quick))


if __name__ == "__main__":
    main()
