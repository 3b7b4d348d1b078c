"""Engine speed of this build against an earlier commit, measured in the same run.

Run: python bench/engine_speed.py [--baseline REF] [--quick]

The earlier commit (default: the build before the evaluation plan) is built
once into build/baseline-<REF>/site with this checkout's build tools. Two
worker processes, one per build, then take turns: each measurement runs
alternately on both, several rounds, keeping the best time of each (the figure
least disturbed by other load on a shared machine). Printed as ratios
baseline / this build (above 1 means this build is faster):

- impedance() of "R0-p(R1,CPE1)-p(R2-W2,CPE2)" at 60 and 10,000 frequencies,
  on the calling thread (10,000 as chunks of 999) and as shipped;
- default fit() (machine-learning start) on the two example spectra and on
  200 synthetic spectra of that circuit (bench/fit.py's set, generated here
  with NumPy so that both builds see the same numbers): time for the whole
  set, and per fit identical impedance_evals and iterations, parameters
  equal to 1e-8 relative, and the share at the noise floor;
- guess() at 60 points;
- the 10,000-point impedance() with one core kept busy by a spinning process:
  as shipped against on the calling thread, in each build.

Impedances and guesses must agree to the bit. The libm floor of the
evaluation is printed by the C++ micro-benchmark korvex_bench_impedance
(bench/impedance_floor.cpp, in the C++ test build), run at the end when built.
"""

from __future__ import annotations

import argparse
import os
import pickle
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
LANDED = "78e56bd"  # the last commit before the evaluation plan
CIRCUIT = "R0-p(R1,CPE1)-p(R2-W2,CPE2)"
PARAMS = [10.0, 50.0, 2e-5, 0.85, 80.0, 15.0, 1e-3, 0.7]
CHUNK = 999  # the largest spectrum that korvex evaluates on the calling thread
SEED = 20240611  # bench/fit.py's synthetic set
NOISE = 0.005
FLOOR_MARGIN = 1.05
FIT_BATCH = 10  # fits per timed batch
# The network the baseline shipped for CIRCUIT, retrained since: both builds
# guess with it, so that every fit starts from the same point in both.
WEIGHTS = str(ROOT / "training" / "runs" / "sei_randles" / "broad" / "parent.eisnn")


def numpy_impedance(f, p):
    r0, r1, q1, a1, r2, aw, q2, a2 = p
    w = 2 * np.pi * f
    jw = 1j * w
    z_w = aw * (1 - 1j) / np.sqrt(w)
    return r0 + 1 / (1 / r1 + q1 * jw**a1) + 1 / (1 / (r2 + z_w) + q2 * jw**a2)


def synthetic_set(n):
    rng = np.random.default_rng(SEED)
    f = np.logspace(-2, 5, 60)
    spectra = []
    for _ in range(n):
        truth = [
            10 ** rng.uniform(0, 1.7),
            10 ** rng.uniform(0.7, 2.3),
            10 ** rng.uniform(-6, -4),
            rng.uniform(0.7, 0.95),
            10 ** rng.uniform(1, 2.7),
            10 ** rng.uniform(0, 1.7),
            10 ** rng.uniform(-4, -2),
            rng.uniform(0.6, 0.9),
        ]
        clean = numpy_impedance(f, truth)
        noise = rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))
        spectra.append((truth, clean + NOISE * np.abs(clean) * noise))
    return f, spectra


def example_spectra():
    out = []
    for name, text in (
        ("example_spectrum_bdf.csv", "L0-R0-p(R1,CPE1)-p(R2,CPE2)"),
        ("circuit1_spectrum_bdf.csv", "L0-R0-p(R1,CPE1)"),
    ):
        table = np.loadtxt(ROOT / "examples" / name, delimiter=",", skiprows=1)
        out.append((name, text, table[:, 0], table[:, 1] + 1j * table[:, 2]))
    return out


# ---- worker side: runs inside one build ----


def best_seconds(fn, budget):
    sys.path.insert(0, str(ROOT / "bench"))
    from timing import best_seconds as best

    return best(fn, budget)


def worker_case(case, budget):
    import korvex

    kind = case[0]
    if kind == "impedance":
        _, n, threads = case
        circuit = korvex.Circuit(CIRCUIT).with_values(PARAMS)
        f = np.logspace(-2, 5, n)
        if threads == "one":
            chunks = [f[i : i + CHUNK] for i in range(0, n, CHUNK)]
            return best_seconds(lambda: [circuit.impedance(c) for c in chunks], budget), None
        return best_seconds(lambda: circuit.impedance(f), budget), circuit.impedance(f)
    if kind == "guess":
        f, spectra = synthetic_set(1)
        z = list(spectra[0][1])
        circuit = korvex.Circuit(CIRCUIT)
        guess = lambda: circuit.guess(f, z, weights=WEIGHTS)  # noqa: E731
        return best_seconds(guess, budget), guess()
    if kind == "fits":
        _, jobs = case
        outcomes = []
        t0 = time.perf_counter()
        for text, f, z in jobs:
            weights = WEIGHTS if text == CIRCUIT else None
            r = korvex.Circuit(text).fit(f, list(z), weights=weights)
            outcomes.append((r.impedance_evals, r.iterations, list(r.params.values())))
        return time.perf_counter() - t0, outcomes
    raise ValueError(kind)


def send(stream, obj):
    data = pickle.dumps(obj)
    stream.write(struct.pack("<Q", len(data)) + data)
    stream.flush()


def receive(stream):
    header = stream.read(8)
    if len(header) < 8:
        return None
    (size,) = struct.unpack("<Q", header)
    return pickle.loads(stream.read(size))


def worker():
    while (message := receive(sys.stdin.buffer)) is not None:
        send(sys.stdout.buffer, worker_case(*message))


# ---- parent side ----


class Build:
    def __init__(self, name, pythonpath):
        env = dict(os.environ)
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        self.name = name
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--worker"],
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )

    def run(self, case, budget):
        send(self.process.stdin, (case, budget))
        return receive(self.process.stdout)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def build_baseline(ref):
    site = ROOT / "build" / f"baseline-{ref}" / "site"
    if (site / "korvex").exists():
        return site
    source = site.parent / "source"
    source.mkdir(parents=True, exist_ok=True)
    print(f"building {ref} into {site} (once)", flush=True)
    archive = subprocess.run(
        ["git", "-C", str(ROOT), "archive", ref], check=True, capture_output=True
    ).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "install",
            "-q",
            "--disable-pip-version-check",
            "--no-build-isolation",
            "--no-deps",
            "--target",
            str(site),
            str(source),
        ],
        check=True,
    )
    return site


def alternate(builds, case, budget, rounds):
    """Best time per build over `rounds` alternating turns, and the last payloads."""
    best = {b.name: float("inf") for b in builds}
    payload = {}
    for _ in range(rounds):
        for b in builds:
            t, payload[b.name] = b.run(case, budget)
            best[b.name] = min(best[b.name], t)
    return best, payload


def ratio_line(label, best, base, new):
    print(
        f"  {label:<44} baseline {best[base] * 1e6:10.1f} us   this build "
        f"{best[new] * 1e6:10.1f} us   {best[base] / best[new]:5.2f}x"
    )


def compare_fits(label, jobs, floors, outcomes_base, outcomes_new):
    same_counts = sum(a[0] == b[0] and a[1] == b[1] for a, b in zip(outcomes_base, outcomes_new))
    worst = 0.0
    for a, b in zip(outcomes_base, outcomes_new):
        pa, pb = np.array(a[2]), np.array(b[2])
        worst = max(worst, float(np.max(np.abs(pa - pb) / np.maximum(np.abs(pa), 1e-300))))
    print(
        f"  {label}: identical impedance_evals and iterations in {same_counts}/{len(jobs)} "
        f"fits; largest parameter difference {worst:.1e} relative"
    )
    if floors is not None:
        import korvex

        c = korvex.Circuit(CIRCUIT)
        for name, outcomes in (("baseline", outcomes_base), ("this build", outcomes_new)):
            at_floor = 0
            for (_text, f, z), floor, o in zip(jobs, floors, outcomes):
                r = np.asarray(c.residuals(o[2], f, list(z), weight="modulus"))
                at_floor += 0.5 * float(r @ r) <= FLOOR_MARGIN * floor
            print(f"    {name}: {at_floor}/{len(jobs)} at the noise floor")


def spin():
    while True:
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", default=LANDED, help="commit to compare with")
    parser.add_argument("--quick", action="store_true", help="fewer rounds and spectra")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker()

    site = build_baseline(args.baseline)
    builds = [Build("baseline", str(site)), Build("new", os.environ.get("PYTHONPATH", ""))]
    rounds = 3 if args.quick else 6
    budget = 0.2 if args.quick else 0.5
    print(
        f"baseline {args.baseline} against this build; {os.cpu_count()} CPUs, load average "
        f"{os.getloadavg()[0]:.1f} at the start"
    )

    print(f"\n== impedance(), {CIRCUIT}")
    for n in (60, 10_000):
        for threads in ("one", "shipped"):
            best, payload = alternate(builds, ("impedance", n, threads), budget, rounds)
            if payload["baseline"] is not None:
                z0, z1 = payload["baseline"], payload["new"]
                assert np.array_equal(z0, z1)
            ratio_line(
                f"{n} frequencies, {'one thread' if threads == 'one' else 'as shipped'}",
                best,
                "baseline",
                "new",
            )

    print("\n== guess(), 60 points")
    best, payload = alternate(builds, ("guess",), budget, rounds)
    assert payload["baseline"] == payload["new"]
    ratio_line("guess", best, "baseline", "new")

    print("\n== default fit() (machine-learning start)")
    examples = [(text, f, z) for _, text, f, z in example_spectra()]
    f, spectra = synthetic_set(40 if args.quick else 200)
    synthetic = [(CIRCUIT, f, z) for _, z in spectra]
    import korvex  # the parent scores with this build's residuals only

    c = korvex.Circuit(CIRCUIT)
    floors = []
    for truth, z in spectra:
        r = np.asarray(c.residuals(truth, f, list(z), weight="modulus"))
        floors.append(0.5 * float(r @ r))
    for label, jobs, fl in (
        ("example spectra", examples, None),
        (f"{len(synthetic)} synthetic spectra", synthetic, floors),
    ):
        # Batches of a few fits, each timed alternately on both builds and
        # kept at its best: one long timing would catch every disturbance.
        batches = [jobs[i : i + FIT_BATCH] for i in range(0, len(jobs), FIT_BATCH)]
        best = {b.name: [float("inf")] * len(batches) for b in builds}
        outcomes = {b.name: [None] * len(batches) for b in builds}
        for _ in range(rounds):
            for k, batch in enumerate(batches):
                for b in builds:
                    t, outcomes[b.name][k] = b.run(("fits", batch), budget)
                    best[b.name][k] = min(best[b.name][k], t)
        total = {name: sum(times) for name, times in best.items()}
        ratio_line(f"{label}, whole set", total, "baseline", "new")
        flat = {name: [o for batch in out for o in batch] for name, out in outcomes.items()}
        compare_fits(label, jobs, fl, flat["baseline"], flat["new"])

    print("\n== 10,000-point impedance() with one core busy in the background")
    import multiprocessing

    spinner = multiprocessing.Process(target=spin, daemon=True)
    spinner.start()
    try:
        for b in builds:
            times = {}
            for threads in ("one", "shipped"):
                best, _ = alternate([b], ("impedance", 10_000, threads), budget, rounds)
                times[threads] = best[b.name]
            print(
                f"  {b.name:<10} one thread {times['one'] * 1e6:9.1f} us   as shipped "
                f"{times['shipped'] * 1e6:9.1f} us   "
                f"shipped / one thread {times['shipped'] / times['one']:.2f}"
            )
    finally:
        spinner.terminate()
    for b in builds:
        b.close()

    floor = ROOT / "build" / "cpp" / "korvex_bench_impedance"
    if floor.exists():
        print("\n== this build against the libm calls of the formulas (korvex_bench_impedance)")
        subprocess.run([str(floor), "0.1" if args.quick else "0.3"], check=True)
    else:
        print("\nkorvex_bench_impedance not built (make test-cpp builds it)")


if __name__ == "__main__":
    main()
