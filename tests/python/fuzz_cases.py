"""Property checks shared by the quick hypothesis tests (test_fuzz.py,
test_io_limits.py) and the long fuzz run (tests/fuzz/run.py): circuit text,
weight-file and instrument-file mutations."""

from __future__ import annotations

import collections
import os
import signal
import time
import warnings
from pathlib import Path

import eisnn_writer
import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvex

ALPHABET = "RCLpaWoszGKZrcTQEPM0123456789()-,, \u00e9\x00"
F = np.logspace(-1, 5, 30)
Z = korvex.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5]).impedance(F)
NAMES = ["R0.r", "R1.r", "C1.c"]
SIZE_KEYS = ["n_grid", "channels", "kernel", "groups", "dilations"]

circuit_texts = st.text(alphabet=ALPHABET, max_size=40)


def check_circuit_text(text: str) -> None:
    """Parses or raises ValueError; a parsed circuit has distinct parameter
    names and evaluates to one value per frequency."""
    try:
        circuit = korvex.Circuit(text)
    except ValueError:
        return
    names = circuit.param_names()
    assert len(names) == len(set(names))
    assert circuit.impedance([1.0, 1e3]).shape == (2,)


def _model(seed: int, overrides: dict[str, str]) -> bytes:
    meta = [(k, overrides.get(k, v)) for k, v in eisnn_writer.metadata("R0-(R1,C1)", NAMES, 4)]
    tensors = eisnn_writer.network(3, 4, seed) + eisnn_writer.normalisation(NAMES)
    return eisnn_writer.encode(meta, tensors)


size_values = st.one_of(
    st.integers(0, 70).map(str),
    st.integers(0, 2**64 - 1).map(str),
    st.lists(st.integers(0, 5000), max_size=80).map(lambda xs: ",".join(map(str, xs))),
)

# A small valid model, its size fields rewritten, then bytes flipped or cut.
weight_files = st.builds(
    lambda seed, overrides, flips, cut: _mutate(_model(seed, overrides), flips, cut),
    st.integers(0, 3),
    st.dictionaries(st.sampled_from(SIZE_KEYS), size_values, max_size=3),
    st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), max_size=4),
    st.one_of(st.none(), st.integers(0, 10**6)),
)


def _mutate(data: bytes, flips, cut) -> bytes:
    out = bytearray(data)
    for position, value in flips:
        out[position % len(out)] = value
    if cut is not None:
        del out[cut % len(out) :]
    return bytes(out)


def check_weight_file(path: str, data: bytes) -> None:
    """A guess from any weight file returns three floats or raises ValueError."""
    with open(path, "wb") as f:
        f.write(data)
    try:
        values = korvex.Circuit("R0-(R1,C1)").guess(F, Z, weights=path)
    except ValueError:
        return
    assert len(values) == 3 and all(isinstance(v, float) for v in values)


def hostile_size_file(channels: int, n_grid: int, kernel: int, dilation: int) -> bytes:
    """A well-formed file of about 100 KB whose stem convolution alone asks
    for channels x n_grid activations (the bytes after the last tensor are
    ignored by the format)."""
    sizes = {
        "n_grid": str(n_grid),
        "channels": str(channels),
        "kernel": str(kernel),
        "groups": "1",
        "dilations": str(dilation),
    }
    meta = [(k, sizes.get(k, v)) for k, v in eisnn_writer.metadata("R0-(R1,C1)", NAMES, 4)]
    stem = [
        ("w.stem.weight", [channels, 3, kernel], np.ones(channels * 3 * kernel), eisnn_writer.Q8),
        ("w.stem.bias", [channels], np.ones(channels), eisnn_writer.Q8),
    ]
    data = eisnn_writer.encode(meta, stem + eisnn_writer.normalisation(NAMES))
    return data + bytes(max(0, 100_000 - len(data)))


INSTRUMENTS = Path(__file__).resolve().parent.parent / "data" / "instruments"
SAMPLES = sorted(p for p in INSTRUMENTS.glob("exampleData*"))
CSV_SAMPLES = [
    b"# exported\ncycle,Freq/Hz,Z' [kOhm],-Z'' (ohm),|Z|,phase\n"
    b"1,1000,1.5,0.25,1.52,-9.4\n2,10,2.5,1.0,2.7,-21.8\n",
    b'"Frequency";"|Z|";"Phase"\nkHz;Ohm;rad\n1;1,52;-0,16\n0,01;2,7;-0,38\n',
]
# Values and markers that readers must meet with a ValueError at worst.
TOKENS = [
    *(b"inf", b"-inf", b"nan", b"1e999", b"1e300", b"2.7", b"-", b"1,5", b"\xff\xfe"),
    *(b"\t", b",", b";", b"\n", b"\r", b"\x00", b"\n\n", b"999999999999", b"0"),
    *(b"<Segment1>\n", b"</Segment1>\n", b"Definition=", b"ZCURVE\tTABLE\n", b"EXPLAIN"),
    *(b"primary_data\n", b"End Comments\n", b"Nb header lines : 3\n", b"Data Points: 9\n"),
]
FORMATS = [None, "zplot", "gamry", "biologic", "autolab", "chinstruments", "parstat"]
FORMATS += ["powersuite", "versastudio", "ivium", "csv"]
OUTCOMES: collections.Counter[str] = collections.Counter()

# A sample file (or a small CSV with units, |Z|, phase and cycles), tokens
# put in, bytes flipped, a cut, and a format forced or detected.
instrument_files = st.tuples(
    st.sampled_from([*SAMPLES, *CSV_SAMPLES]),
    st.lists(st.tuples(st.integers(0, 10**5), st.sampled_from(TOKENS)), max_size=6),
    st.lists(st.tuples(st.integers(0, 10**5), st.integers(0, 255)), max_size=4),
    st.one_of(st.none(), st.integers(0, 10**5)),
    st.sampled_from(FORMATS),
)


class Hang(Exception):
    """A reader still busy after seconds (not an OSError, as TimeoutError is)."""


def _timeout(signum, frame):
    raise Hang("a reader hung")


def check_instrument_file(folder: str, example) -> None:
    """korvex.read of a mutated instrument file returns a frame or raises
    ValueError or OSError, within seconds."""
    sample, inserts, flips, cut, format = example
    text = isinstance(sample, bytes)
    data = bytearray(sample if text else sample.read_bytes())
    for position, token in inserts:
        data[position % len(data) : position % len(data)] = token
    path = os.path.join(folder, "fuzzed" + (".csv" if text else sample.suffix))
    with open(path, "wb") as f:
        f.write(_mutate(bytes(data), flips, cut))
    previous = signal.signal(signal.SIGALRM, _timeout)
    signal.alarm(10)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            frame = korvex.read(path, format)
        assert list(frame.columns)[-1] == "cycle" and frame["cycle"].dtype == np.int64
        OUTCOMES["read"] += 1
    except (ValueError, OSError) as error:
        OUTCOMES[type(error).__name__] += 1
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def run(name: str, max_examples: int, folder: str, seconds: float | None = None) -> int:
    """Runs property `name` ("circuit_text", "weight_files" or
    "instrument_files") on
    `max_examples` examples, or with `seconds`, in batches of that many fresh
    examples until the time is spent; returns the number of examples."""
    path = os.path.join(folder, "fuzzed.eisnn")
    strategy, check = {
        "circuit_text": (circuit_texts, check_circuit_text),
        "weight_files": (weight_files, lambda data: check_weight_file(path, data)),
        "instrument_files": (instrument_files, lambda ex: check_instrument_file(folder, ex)),
    }[name]
    count = 0

    @settings(
        max_examples=max_examples,
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
    )
    @given(strategy)
    def property_holds(example):
        nonlocal count
        count += 1
        check(example)

    stop = time.monotonic() + (seconds or 0.0)
    property_holds()
    while time.monotonic() < stop:
        property_holds()
    return count
