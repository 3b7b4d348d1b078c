"""Long fuzz run of the properties in tests/python/fuzz_cases.py, for manual
use (`make test` runs a few seconds of the same in tests/python/test_fuzz.py):

    .venv/bin/python tests/fuzz/run.py --minutes 10

Each property runs for the given time; hypothesis prints any failing example
in a form that reproduces it.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import fuzz_cases  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=5.0, help="time per property")
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    for name in ["circuit_text", "weight_files"]:
        count = fuzz_cases.run(name, 2000, folder, seconds=args.minutes * 60)
        print(f"{name}: {count} examples, no failure")


if __name__ == "__main__":
    main()
