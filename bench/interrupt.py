"""How fast Ctrl-C stops a fit, per method: the worst of 20 tries.

Run: .venv/bin/python bench/interrupt.py [--tries 20]

Each try starts a fit that would run for minutes (a ten-parameter circuit on
data it cannot match; a 100,000-point spectrum for Levenberg-Marquardt),
sends SIGINT to the process after a random 0.1-0.4 s, and times from the
signal to the KeyboardInterrupt reaching Python. The goal is under 0.2 s.
Then, as the price of the helper thread every fit now runs on: the median
time of a small fit, against the median time of an empty Python thread
start and join measured in the same run (a thread of the same kind).
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

    f = np.logspace(-1, 5, 30)
    z = rc.impedance(f)
    fits, threads = [], []
    for _ in range(300):
        t = time.perf_counter()
        rc.fit(f, z)
        fits.append(time.perf_counter() - t)
        t = time.perf_counter()
        worker = threading.Thread(target=lambda: None)
        worker.start()
        worker.join()
        threads.append(time.perf_counter() - t)
    fit_us, thread_us = statistics.median(fits) * 1e6, statistics.median(threads) * 1e6
    print(f"small LM fit (3 parameters, 30 points): median {fit_us:.0f} us; an empty thread "
          f"start+join: median {thread_us:.0f} us ({thread_us / fit_us:.1%} of the fit)")


if __name__ == "__main__":
    main()
