"""Long fuzz run of the properties in tests/python/fuzz_cases.py, for manual
use (`make test` runs a few seconds of the same in tests/python/test_fuzz.py):

    .venv/bin/python tests/fuzz/run.py --minutes 10
    .venv/bin/python tests/fuzz/run.py --minutes 0 --examples 10000 instrument_files

Each property runs for the given time, and at least the given number of
examples; hypothesis prints any failing example in a form that reproduces it.
The instrument files end in a frame, a ValueError or an OSError (counted),
within seconds each.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import fuzz_cases  # noqa: E402

PROPERTIES = ["circuit_text", "weight_files", "instrument_files"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=5.0, help="time per property")
    parser.add_argument("--examples", type=int, default=2000, help="examples per property")
    parser.add_argument("names", nargs="*", default=PROPERTIES, choices=PROPERTIES)
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    for name in args.names:
        count = fuzz_cases.run(name, args.examples, folder, seconds=args.minutes * 60)
        print(f"{name}: {count} examples, no failure")
    if fuzz_cases.OUTCOMES:
        print("instrument files:", dict(fuzz_cases.OUTCOMES))


if __name__ == "__main__":
    main()
