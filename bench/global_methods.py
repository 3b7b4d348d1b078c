"""korvex's five global fit methods against impedance.py's basin hopping.

Run: PYTHONPATH=<staged korvex> python bench/global_methods.py [--spectra N]
     [--impedance-budget SECONDS] [--impedance-max N]

The synthetic set of bench/fit.py ("R0-p(R1,CPE1)-p(R2-W2,CPE2)", 60 points
10 mHz..100 kHz, 0.5 % proportional complex noise, fixed seed, random true
parameters in a realistic range). Every method starts from the catalogue
defaults (guess_init=False) with its default settings; the seeded methods get
the spectrum's index as seed. For each method: the share of fits at the noise
floor (modulus-weighted cost within 5 % of the cost at the true parameters)
and the median time per fit.

impedance.py's CustomCircuit.fit(global_opt=True) (scipy's basinhopping with
its defaults, from the same catalogue defaults) takes minutes per fit, so it
runs on the first spectra of the set until the time budget is spent (always
at least one fit, at most --impedance-max); the output says how many.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import korvex

sys.path.insert(0, str(Path(__file__).resolve().parent))
from fit import FLOOR_MARGIN, SYNTHETIC_CIRCUIT, modulus_cost, synthetic_set  # noqa: E402

METHODS = [
    "basin_hopping",
    "nelder_mead",
    "simulated_annealing",
    "particle_swarm",
    "differential_evolution",
]
SEEDED = {"basin_hopping", "simulated_annealing", "particle_swarm"}


def korvex_global(method: str, f, z, index: int):
    kwargs = {"seed": index} if method in SEEDED else {}
    return korvex.Circuit(SYNTHETIC_CIRCUIT).fit(f, z, guess_init=False, method=method, **kwargs)


def impedance_global(f, z):
    from impedance.models.circuits import CustomCircuit

    guess = korvex.Circuit(SYNTHETIC_CIRCUIT).param_values()
    model = CustomCircuit(initial_guess=list(guess), circuit=SYNTHETIC_CIRCUIT)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(np.asarray(f), np.asarray(z), global_opt=True)
    return model.parameters_


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=20, help="spectra per korvex method")
    parser.add_argument(
        "--impedance-budget",
        type=float,
        default=300.0,
        help="seconds of impedance.py fits (0: skip them)",
    )
    parser.add_argument("--impedance-max", type=int, default=20)
    args = parser.parse_args()

    f, spectra = synthetic_set(args.spectra)
    c = korvex.Circuit(SYNTHETIC_CIRCUIT)
    floors = [modulus_cost(c, truth, f, z) for truth, z in spectra]
    print(
        f"== {SYNTHETIC_CIRCUIT}: {len(spectra)} synthetic spectra, start from the catalogue "
        f"defaults (guess_init=False), default settings"
    )

    medians = {}
    for method in METHODS:
        times, at_floor = [], 0
        for i, ((_truth, z), floor) in enumerate(zip(spectra, floors)):
            t0 = time.perf_counter()
            r = korvex_global(method, f, z, i)
            times.append(time.perf_counter() - t0)
            at_floor += modulus_cost(c, r.params.values(), f, z) <= FLOOR_MARGIN * floor
        medians[method] = statistics.median(times)
        print(
            f"  korvex {method:24s} {len(times):4d} fits  median {medians[method] * 1e3:9.1f} ms"
            f"  at noise floor {at_floor / len(times):6.1%}",
            flush=True,
        )

    if args.impedance_budget <= 0:
        return
    times, at_floor = [], 0
    spent = 0.0
    for (_truth, z), floor in zip(spectra, floors):
        if times and (spent >= args.impedance_budget or len(times) >= args.impedance_max):
            break
        t0 = time.perf_counter()
        p = impedance_global(f, z)
        times.append(time.perf_counter() - t0)
        spent += times[-1]
        at_floor += modulus_cost(c, p, f, z) <= FLOOR_MARGIN * floor
    t_i = statistics.median(times)
    print(
        f"  impedance.py basinhopping         {len(times):4d} fits  median {t_i * 1e3:9.1f} ms"
        f"  at noise floor {at_floor / len(times):6.1%}  (first {len(times)} spectra of the set)"
    )
    for method in METHODS:
        print(f"  speed-up of {method} over impedance.py: {t_i / medians[method]:.0f}x")


if __name__ == "__main__":
    main()
