"""Peak memory of a guess from hostile 100 KB weight files.

Run: .venv/bin/python bench/hostile_weights.py

Each file is well formed but its size fields ask for large buffers (the
first rows are the kind that used to demand 1.3 GB and more); the last rows
sit at the accepted limits. Each guess runs in its own process, which reports
the growth of its peak resident memory over the moment before the guess.
The goal: never more than 64 MB.
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = """
import resource, sys
sys.path.insert(0, {tests!r})
import fuzz_cases
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    fuzz_cases.korvex.Circuit("R0-(R1,C1)").guess(fuzz_cases.F, fuzz_cases.Z, weights={path!r})
    outcome = "guessed"
except ValueError as e:
    outcome = str(e)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) / 1024, outcome)
"""

CASES = [  # channels, n_grid, kernel, dilation
    (3000, 65536, 1, 1),
    (20000, 64, 1, 1),
    (64, 4096, 64, 4096),
    (4, 64, 5, 10**9),
    (256, 4096, 1, 1),
    (16, 4096, 5, 4096),
    (1024, 1024, 1, 1),
]


def main():
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
    import fuzz_cases

    folder = tempfile.mkdtemp()
    worst = 0.0
    print(f"{'channels':>8} {'n_grid':>6} {'kernel':>6} {'dilation':>10} {'peak +MB':>9}  outcome")
    for channels, n_grid, kernel, dilation in CASES:
        path = os.path.join(folder, "hostile.eisnn")
        with open(path, "wb") as f:
            f.write(fuzz_cases.hostile_size_file(channels, n_grid, kernel, dilation))
        code = CHILD.format(tests=os.path.join(HERE, "..", "tests", "python"), path=path)
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        ).stdout.split(" ", 1)
        grown = float(out[0])
        worst = max(worst, grown)
        print(f"{channels:8} {n_grid:6} {kernel:6} {dilation:10} {grown:9.1f}  {out[1].strip()}")
    print(f"worst growth of peak memory: {worst:.1f} MB (goal: at most 64 MB)")


if __name__ == "__main__":
    main()
