"""Forks from a busy parent: no child may hang on the worker pool.

Run: .venv/bin/python bench/fork.py [--forks 1000]

Busy threads (one by default: it makes the most hand-offs to the pool) keep
computing Jacobians just large enough to be split over the pool while the
main thread forks; each child computes one such Jacobian on its own pool and
exits. A child still running after 5 s counts as hung. Before the pool was
made fork-aware, about 1 % of the children hung.
"""

import argparse
import os
import signal
import threading
import time
import warnings

import numpy as np

import korvex


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--forks", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    wide = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-5])
    f = np.logspace(-2, 5, 100)
    z = wide.impedance(f)
    params = wide.param_values()
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            wide.jacobian(params, f, z)

    threads = [threading.Thread(target=busy) for _ in range(args.threads)]
    for t in threads:
        t.start()
    hung, slowest = 0, 0.0
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads, 3.12+
        for _ in range(args.forks):
            t0 = time.perf_counter()
            pid = os.fork()
            if pid == 0:
                wide.jacobian(params, f, z)
                os._exit(0)
            deadline = time.monotonic() + 5.0
            while os.waitpid(pid, os.WNOHANG) == (0, 0):
                if time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    hung += 1
                    break
                time.sleep(0.0005)
            slowest = max(slowest, time.perf_counter() - t0)
    stop.set()
    for t in threads:
        t.join()
    print(
        f"{args.forks} forks from a busy parent in {time.perf_counter() - started:.1f} s: "
        f"{hung} hung, slowest child {slowest * 1e3:.0f} ms"
    )


if __name__ == "__main__":
    main()
