"""Long fuzz run of the properties in tests/python/fuzz_cases.py, for manual
use (`make test` runs a few seconds of the same in tests/python/test_fuzz.py):

    .venv/bin/python tests/fuzz/run.py --minutes 10

Each failing example is printed by hypothesis in a form that reproduces it.
"""
import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))

from hypothesis import HealthCheck, given, settings  # noqa: E402

import fuzz_cases  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=5.0, help="time per property")
    args = parser.parse_args()
    budget = args.minutes * 60
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "fuzzed.eisnn")
    long_run = settings(max_examples=10**9, deadline=None, database=None,
                        suppress_health_check=list(HealthCheck))

    for name, strategy, check in [
        ("circuit text", fuzz_cases.circuit_texts, fuzz_cases.check_circuit_text),
        ("weight-file mutations", fuzz_cases.weight_files,
         lambda data: fuzz_cases.check_weight_file(path, data)),
    ]:
        stop = time.monotonic() + budget
        count = 0

        @long_run
        @given(strategy)
        def run(example):
            nonlocal count
            count += 1
            check(example)
            if time.monotonic() > stop:
                raise TimeUp

        try:
            run()
        except TimeUp:
            pass
        print(f"{name}: {count} examples, no failure")


class TimeUp(Exception):
    pass


if __name__ == "__main__":
    main()
