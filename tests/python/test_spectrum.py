"""Reading measured spectra and weight schemes, seen through residuals()."""

import math

import numpy as np
import pandas as pd
import pytest

from korvex import Circuit

# "R0-L1" with r = 0 and l = 1/(2 pi): the model impedance is j*f, so with unit
# weights the residuals reveal both the frequencies and the impedances read.
PROBE = Circuit("R0-L1")
PARAMS = [0.0, 1.0 / (2.0 * math.pi)]

F = "Frequency / Hz"
RE = "Real Impedance / ohm"
IM = "Imaginary Impedance / ohm"
MOD = "Absolute Impedance / ohm"
PHASE = "Phase / deg"
FREQ_PAIR = '"Frequency / Hz" or "frequency_hertz"'


def imag_parts(frequencies, impedances=None):
    r = PROBE.residuals(PARAMS, frequencies, impedances, weight="unit")
    return r[1::2]


def test_two_sequences_keep_every_row():
    f = [0.0, 10.0, -5.0]
    z = [1 + 2j, 3, np.complex64(4 - 1j)]
    r = PROBE.residuals(PARAMS, f, z, weight="unit")
    assert r[0::2] == [-1.0, -3.0, -4.0]
    assert r[1::2] == pytest.approx([-2.0, 10.0, -4.0])
    assert PROBE.residuals(PARAMS, [], []) == []
    assert PROBE.jacobian(PARAMS, [], []) == []


@pytest.mark.parametrize(
    "f,z,exc,text",
    [
        ([1.0, 2.0], [1j], ValueError, "^frequencies and impedances must have the same length$"),
        ([1.0], "1j", TypeError, "^Can't extract `str` to `Vec`$"),
        ([1.0], [object()], TypeError, "impedances"),
        ([1.0, "x"], [1j, 2j], TypeError, "frequencies"),
    ],
)
def test_two_sequence_errors(f, z, exc, text):
    with pytest.raises(exc, match=text):
        PROBE.residuals(PARAMS, f, z)


@pytest.mark.parametrize("make", [dict, pd.DataFrame], ids=["dict", "pandas"])
def test_frame_rectangular_and_filtering(make):
    frame = make(
        {
            "frequency_hertz": [0.0, 10.0, -5.0, float("nan"), 20.0],
            "real_impedance_ohm": [1.0, 2.0, 3.0, 4.0, 5.0],
            IM: [-1.0, -2.0, -3.0, -4.0, -5.0],
        }
    )
    r = PROBE.residuals(PARAMS, frame, weight="unit")
    assert r == pytest.approx([-2.0, 12.0, -5.0, 25.0])  # imaginary parts kept as stored


@pytest.mark.parametrize("make", [dict, pd.DataFrame], ids=["dict", "pandas"])
def test_frame_polar(make):
    frame = make({F: [1.0], MOD: [1.0], "phase_degree": [90.0]})
    r = Circuit("R0").residuals([0.0], frame, weight="unit")
    assert r == [-6.123233995736766e-17, -1.0]


def test_frame_rectangular_wins_but_polar_must_be_numeric():
    frame = {F: [1.0], RE: [2.0], IM: [3.0], MOD: [100.0], PHASE: [0.0]}
    assert Circuit("R0").residuals([0.0], frame, weight="unit") == [-2.0, -3.0]
    frame[PHASE] = ["ninety"]
    with pytest.raises(ValueError, match='^column "Phase / deg" is not numeric$'):
        Circuit("R0").residuals([0.0], frame)
    with pytest.raises(ValueError, match='^column "phase_degree" is not numeric$'):
        Circuit("R0").residuals(
            [0.0], pd.DataFrame({F: [1.0], RE: [2.0], IM: [3.0], "phase_degree": ["x"]})
        )


NO_IMPEDANCE = (
    'no impedance columns: expected "Real Impedance / ohm" or "real_impedance_ohm" together with '
    '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm", or "Absolute Impedance / ohm" or '
    '"absolute_impedance_ohm" together with "Phase / deg" or "phase_degree"'
)


@pytest.mark.parametrize(
    "frame,text",
    [
        (
            {RE: [1.0], IM: [1.0]},
            f"expected a dataframe with a {FREQ_PAIR} column, or frequencies and impedances as two "
            "arguments",
        ),
        (
            [1.0, 2.0],
            f"expected a dataframe with a {FREQ_PAIR} column, or frequencies and impedances as two "
            "arguments",
        ),
        ({F: [1.0], RE: [1.0]}, NO_IMPEDANCE),
        (
            {F: [1.0], RE: [1.0], IM: [1.0, 2.0]},
            "real and imaginary impedance columns must have the same length",
        ),
        (
            {F: [1.0], MOD: [1.0], PHASE: [1.0, 2.0]},
            "absolute impedance and phase columns must have the same length",
        ),
        (
            {F: [1.0, 2.0], RE: [1.0], IM: [1.0]},
            'frequency column has 2 rows but "Real Impedance / ohm" or "real_impedance_ohm" and '
            '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm" have 1',
        ),
        (
            {F: [0.0, -1.0], RE: [1.0, 1.0], IM: [1.0, 1.0]},
            f"no measured points: every row of the {FREQ_PAIR} column is zero or negative",
        ),
        ({F: "abc", RE: [1.0], IM: [1.0]}, 'column "Frequency / Hz" is not numeric'),
    ],
)
def test_frame_errors(frame, text):
    with pytest.raises(ValueError) as info:
        PROBE.residuals(PARAMS, frame)
    assert str(info.value) == text


def test_frame_lookup_errors_mean_missing():
    class Picky:
        def __getitem__(self, key):
            if key == F:
                raise RuntimeError("not this one")
            if key == "frequency_hertz":
                return [5.0]
            if key in (RE, IM):
                return np.array([1.0])
            raise KeyError(key)

    assert imag_parts(Picky()) == pytest.approx([4.0])


@pytest.mark.parametrize("name", ["Modulus", "unit ", "modulus\x00"])
def test_unknown_weight_scheme(name):
    with pytest.raises(ValueError) as info:
        PROBE.residuals(PARAMS, [1.0], [1j], weight=name)
    escaped = name.replace("\x00", "\\0")
    assert str(info.value) == f'unknown weight scheme "{escaped}", expected "modulus" or "unit"'


def test_modulus_weight_is_the_default():
    r = Circuit("R0").residuals([0.0], [1.0, 2.0], [3 + 4j, 0j])
    assert r == [-3 / 5, -4 / 5, 0.0, 0.0]
    assert Circuit("R0").residuals([1.0], [1.0], [0j]) == [1.0 / 1e-30, 0.0]  # floor 1e-30


def test_order_of_checks():
    with pytest.raises(TypeError, match="'params'"):
        PROBE.residuals("ab", {}, weight=None)
    with pytest.raises(TypeError, match="'weight'"):
        PROBE.residuals(PARAMS, {}, weight=None)
    with pytest.raises(ValueError, match="dataframe"):  # the spectrum before the scheme name
        PROBE.residuals(PARAMS, {}, weight="nope")
    with pytest.raises(ValueError, match="weight scheme"):
        PROBE.jacobian(PARAMS, [1.0], [1j], weight="nope")


@pytest.mark.parametrize(
    "f,z",
    [
        (np.array([1.0, 10.0, 100.0]), np.array([1 + 1j, 2 - 1j, 3j])),
        (np.array([1.0, 0.0, 10.0, 0.0, 100.0])[::2], np.array([1 + 1j, 0, 2 - 1j, 0, 3j])[::2]),
        (np.array([1.0, 10.0, 100.0], dtype=">f8"), np.array([1 + 1j, 2 - 1j, 3j], dtype=">c16")),
        (
            np.array([1, 10, 100], dtype=np.int32),
            np.array([1 + 1j, 2 - 1j, 3j], dtype=np.complex64),
        ),
        (pd.Series([1.0, 10.0, 100.0]), pd.Series([1 + 1j, 2 - 1j, 3j])),
    ],
    ids=["contiguous", "strided", "big-endian", "other-dtypes", "pandas"],
)
def test_array_inputs_read_like_lists(f, z):
    expected = PROBE.residuals(PARAMS, [1.0, 10.0, 100.0], [1 + 1j, 2 - 1j, 3j])
    assert PROBE.residuals(np.array(PARAMS), f, z) == expected


def test_two_dimensional_arrays_are_not_frequency_lists():
    with pytest.raises(TypeError, match="frequencies"):
        PROBE.residuals(PARAMS, np.ones((2, 2)), [1j, 1j])
    with pytest.raises(TypeError, match="impedances"):
        PROBE.residuals(PARAMS, [1.0, 2.0], np.ones((2, 2), dtype=complex))
