"""How fast Ctrl-C stops a fit, per method: the worst of 20 tries.

Run: .venv/bin/python bench/interrupt.py [--tries 20]

Each try starts a fit that would run for minutes (a ten-parameter circuit on
data it cannot match; a 100,000-point spectrum for Levenberg-Marquardt),
sends SIGINT to the process after a random 0.1-0.4 s, and times from the
signal to the KeyboardInterrupt reaching Python. The goal is under 0.2 s.
Then the price of the helper thread that fits on the main thread run on: the
median time of the same fit on the main thread and on a worker thread (which
runs fits inline), for a trivial and a typical fit.
"""

import argparse
import os
import random
import signal
import statistics
import threading
import time

import numpy as np

import korvex

LONG = {
    "levenberg_marquardt": dict(max_iterations=10**9),
    "particle_swarm": dict(generations=10**9),
    "nelder_mead": dict(nelder_mead_iterations=10**15),
    "differential_evolution": dict(de_evaluations=2**32 - 1),
    "simulated_annealing": dict(sa_iterations=10**15),
    "basin_hopping": dict(basin_hopping_hops=2**32 - 1),
}


def one_try(method, circuit, f, z, delay):
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, interrupt)
    timer.start()
    try:
        circuit.fit(f, z, method=method, guess_init=False, **LONG[method])
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    finally:
        timer.cancel()
    raise RuntimeError(f"{method} finished before the signal")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tries", type=int, default=20)
    args = parser.parse_args()
    rng = random.Random(1)
    wide = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)-p(R4,CPE4)-W5")
    rc = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-5])
    print(f"{'method':24} {'worst s':>8} {'median s':>9}  (signal to KeyboardInterrupt)")
    for method in LONG:
        f = np.logspace(-2, 6, 100_000 if method == "levenberg_marquardt" else 200)
        z = rc.impedance(f) * (1 + 0.3 * np.sin(np.arange(f.size)))
        delays = [one_try(method, wide, f, z, rng.uniform(0.1, 0.4)) for _ in range(args.tries)]
        print(f"{method:24} {max(delays):8.3f} {statistics.median(delays):9.3f}")

    # The helper thread runs only for fits on the main thread; a fit on any
    # other thread runs inline, which makes it the baseline of the same run.
    f = np.logspace(-2, 5, 60)
    rng = np.random.default_rng(3)
    truth = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").with_values(
        [0.02, 0.03, 5.0, 0.8, 0.1, 300.0, 0.7]
    )
    noisy = truth.impedance(f) * (1 + 0.005 * rng.standard_normal(f.size))
    cases = [
        ("exact RC data, 30 points", rc, np.logspace(-1, 5, 30), None),
        (
            "noisy 2-RQ data, 60 points, guessed start",
            korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)"),
            f,
            noisy,
        ),
    ]
    for label, circuit, ff, zz in cases:
        zz = circuit.impedance(ff) if zz is None else zz

        def times():
            out = []
            for _ in range(200):
                t = time.perf_counter()
                circuit.fit(ff, zz)
                out.append(time.perf_counter() - t)
            return statistics.median(out)

        main_s = times()
        box = []
        worker = threading.Thread(target=lambda: box.append(times()))
        worker.start()
        worker.join()
        print(
            f"fit on the main thread vs on a worker thread ({label}): "
            f"{main_s * 1e6:.0f} us vs {box[0] * 1e6:.0f} us ({main_s / box[0] - 1:+.1%})"
        )


if __name__ == "__main__":
    main()
