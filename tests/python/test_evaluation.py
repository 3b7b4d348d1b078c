import array
import gc
import math
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import least_squares

import korvex
from korvex import Circuit, Series

RC = Circuit("R0-(R1,C1)")
TRUE_RC = [10.0, 100.0, 1e-6]
FREQS = list(np.logspace(-1, 6, 25))


def numpy_rc(f, r0, r1, c1):
    w = 2 * np.pi * np.asarray(f, dtype=float)
    return r0 + 1 / (1 / r1 + 1j * w * c1)


def test_impedance_values_and_inputs():
    c = RC.with_values(TRUE_RC)
    z = c.impedance(FREQS)
    assert z.dtype == np.complex128 and z.shape == (25,)
    np.testing.assert_allclose(z, numpy_rc(FREQS, *TRUE_RC), rtol=1e-13)
    for same in (np.array(FREQS), pd.Series(FREQS), tuple(FREQS), {"Frequency / Hz": FREQS}):
        np.testing.assert_array_equal(c.impedance(same), z)
    empty = c.impedance([])
    assert empty.dtype == np.complex128 and empty.shape == (0,)


@pytest.mark.parametrize(
    "make",
    [
        lambda f: np.repeat(f, 2)[::2],  # strided
        lambda f: np.array(f, dtype=">f8"),  # not native byte order
        lambda f: np.array(f, dtype=np.float32),
        lambda f: array.array("d", f),
        lambda f: np.frombuffer(np.array(f).tobytes()),  # read-only
    ],
)
def test_impedance_reads_every_float_buffer_as_its_values(make):
    c = RC.with_values(TRUE_RC)
    given = make(FREQS)
    np.testing.assert_array_equal(c.impedance(given), c.impedance([float(x) for x in given]))


def test_impedance_frame_keeps_every_row():
    frame = pd.DataFrame({"frequency_hertz": [0.0, -5.0, 10.0]})
    z = RC.with_values(TRUE_RC).impedance(frame)
    assert math.isnan(z[0].real)  # direct current: 1 / 0 in the capacitor branch
    assert z[2] == RC.with_values(TRUE_RC).impedance([10.0])[0]


@pytest.mark.parametrize("bad", [[1.0, "a"], None, {"f": [1.0]}])
def test_impedance_bad_frequencies(bad):
    with pytest.raises(ValueError) as info:
        RC.impedance(bad)
    assert str(info.value) == (
        'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or '
        '"frequency_hertz" column'
    )
    with pytest.raises(ValueError, match='^column "Frequency / Hz" is not numeric$'):
        RC.impedance({"Frequency / Hz": ["a"]})


def test_impedance_array_owns_its_buffer():
    c = Circuit("R0-(R1,C1)-W2")
    z = c.impedance(np.logspace(0, 3, 2000))
    copy = z.copy()
    assert z.base is not None and z.flags.writeable
    del c
    gc.collect()
    Circuit("R9").impedance(np.ones(5000))  # reuse freed memory, if any was freed
    np.testing.assert_array_equal(z, copy)
    z[0] = 1j  # the array is the caller's own


@pytest.mark.parametrize("n", [999, 1000, 2500])
def test_pool_and_caller_thread_agree_with_single_evaluation(n):
    c = Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)-(R3,(K3,Zarc4))")
    f = np.logspace(-2, 7, n)
    together = c.impedance(f)
    alone = np.array([c.impedance([x])[0] for x in f])
    np.testing.assert_array_equal(together.view(np.float64), alone.view(np.float64))


def test_interpreter_lock_is_released():
    """A thread makes progress while impedance() and jacobian() compute.

    The switch interval is made huge, so the other thread can only run while
    this one has released the interpreter lock by itself.
    """
    c = Circuit("R0-(R1,CPE1)-(R2-W2,CPE2)-(R3,C3)-(R4,C4)-(R5,C5)")
    f = np.logspace(-2, 6, 200_000)
    progress = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            progress[0] += 1
            time.sleep(0.0001)  # releases the lock so that the caller can return

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    worker = threading.Thread(target=spin)
    try:
        worker.start()
        while progress[0] == 0:
            time.sleep(0.001)
        advanced = {}
        for name, call in [
            ("impedance", lambda: c.impedance(f)),
            ("jacobian", lambda: c.jacobian(c.param_values(), f[:20000], np.ones(20000))),
        ]:
            advanced[name] = False
            for _ in range(50):
                before = progress[0]
                call()
                if progress[0] != before:
                    advanced[name] = True
                    break
    finally:
        stop.set()
        sys.setswitchinterval(old)
        worker.join()
    assert advanced == {"impedance": True, "jacobian": True}


def test_residuals_and_jacobian_shapes_and_values():
    f = FREQS[:7]
    z = list(numpy_rc(f, 9.0, 120.0, 2e-6))
    params = [10.0, 100.0, 1e-6]
    r = RC.residuals(params, f, z)
    model = numpy_rc(f, *params)
    weights = np.repeat(np.abs(z), 2)
    expected = np.column_stack([(model - z).real, (model - z).imag]).ravel() / weights
    np.testing.assert_allclose(r, expected, rtol=1e-12)

    jac = RC.jacobian(params, f, z)
    assert len(jac) == 14 and all(len(row) == 3 for row in jac)
    # Central differences of the residuals: R0 shifts every real part by 1/|z|.
    np.testing.assert_allclose(
        [row[0] for row in jac],
        np.ravel(np.column_stack([1 / np.abs(z), 0 * np.abs(z)])),
        rtol=1e-6,
        atol=1e-12,
    )


def test_parameter_vector_length():
    f, z = [1.0, 2.0], [1j, 2j]
    for method in (RC.residuals, RC.jacobian):
        with pytest.raises(Exception, match="^impedance_from_iter: not enough values supplied$"):
            method([1.0, 2.0], f, z)
        with pytest.raises(ValueError, match="^impedance_from_iter: too many values supplied$"):
            method([1.0, 2.0, 3e-3, 42.0], f, z)
    assert RC.jacobian([], f, z) == []


def test_scipy_least_squares_with_our_jacobian():
    f = np.logspace(-1, 5, 40)
    z = numpy_rc(f, *TRUE_RC)
    start = [20.0, 50.0, 3e-6]
    scale = np.array(start)

    # Scaled variables keep the problem well conditioned for the solver.
    def fun(x):
        return RC.residuals(list(x * scale), f, z)

    def jac(x):
        return np.array(RC.jacobian(list(x * scale), f, z)) * scale

    result = least_squares(fun, np.ones(3), jac=jac, method="lm", xtol=1e-14, ftol=1e-14)
    assert result.success
    np.testing.assert_allclose(result.x * scale, TRUE_RC, rtol=1e-6)


def test_parameter_listings():
    c = Circuit("R0-Zarc1-CPE2")
    assert c.param_names() == [
        "R0.r",
        "Zarc1.r",
        "Zarc1.tau_k",
        "Zarc1.gamma",
        "CPE2.q",
        "CPE2.alpha",
    ]
    assert c.param_units() == ["ohm", "ohm", "s", "-", "ohm^-1*s^alpha", "-"]
    bounds = c.param_bounds()
    assert bounds[0] == (1e-12, math.inf) and isinstance(bounds[0], tuple)
    assert bounds[3] == (0.0, 1.0) and bounds[5] == (0.0, 1.0)
    assert c.param_values() == [1.0, 1.0, 0.001, 0.8, 0.001, 0.8]
    unlabelled = Series([korvex.R(1), korvex.C(1e-6), korvex.R(2), korvex.Cpe(1e-3, 0.9)])
    assert unlabelled.param_names() == ["R0.r", "C0.c", "R1.r", "Cpe0.q", "Cpe0.alpha"]


def test_with_values():
    c = RC.with_values(np.array(TRUE_RC))
    assert c.param_values() == TRUE_RC
    assert RC.param_values() == [1.0, 1.0, 0.001]  # unchanged
    assert c.param_names() == RC.param_names()
    with pytest.raises(ValueError, match="^expected 3 values, got 2$"):
        RC.with_values([1.0, 2.0])
    with pytest.raises(ValueError, match="^expected 3 values, got 4$"):
        RC.with_values([1.0, 2.0, 3.0, 4.0])
    with pytest.raises(TypeError, match="'values'"):
        RC.with_values([1.0, "2", 3.0])


def test_with_named_values():
    c = RC.with_named_values({"C1.c": 3.0, "R0.r": 1.0, "R1.r": 2.0})
    assert c.param_values() == [1.0, 2.0, 3.0]
    assert Series([]).with_named_values({}).param_names() == []


def test_with_named_values_message():
    with pytest.raises(ValueError) as info:
        RC.with_named_values({"R0.r": 1.0, "R1.r": 2.0, "C2.c": 3.0})
    assert str(info.value) == "\n".join(
        [
            'unknown parameter "C2.c" (did you mean "C1.c"?)',
            'missing parameter(s): ["C1.c"]',
            "",
            "valid parameters for this circuit:",
            "  R0.r  [ohm]  bounds (1e-12, inf)",
            "  R1.r  [ohm]  bounds (1e-12, inf)",
            "  C1.c  [F]  bounds (1e-12, inf)",
        ]
    )
    with pytest.raises(ValueError) as info:
        RC.with_named_values({"R0.x": 1.0, "capacitance": 2.0, "R1.r": 1.0, "C1.c": 1.0})
    lines = str(info.value).splitlines()
    assert sorted(lines[:2]) == [
        'unknown parameter "R0.x" (did you mean "R0.r"?)',
        'unknown parameter "capacitance"',
    ]
    assert lines[2] == 'missing parameter(s): ["R0.r"]'
    with pytest.raises(ValueError) as info:
        Circuit("Zarc12-R0").with_named_values({"Zarc12.tau_k": 1.0, "x\n": 1.0})
    lines = str(info.value).splitlines()
    assert lines[:2] == [
        'unknown parameter "x\\n"',
        'missing parameter(s): ["Zarc12.r", "Zarc12.gamma", "R0.r"]',
    ]
    assert lines[-2] == "  Zarc12.gamma  [-]  bounds (0, 1)"
    with pytest.raises(ValueError, match='^unknown parameter "R0.r"\n\nvalid parameters'):
        Series([]).with_named_values({"R0.r": 1.0})


@pytest.mark.parametrize("bad", [[("R0.r", 1.0)], {1: 2.0}, {"R0.r": "x"}])
def test_with_named_values_types(bad):
    with pytest.raises(TypeError, match="'values'"):
        RC.with_named_values(bad)


def test_repr():
    assert repr(RC) == "\n".join(
        [
            "Circuit (3 parameters)",
            "  R0.r = 1          [ohm]  bounds (1e-12, inf)",
            "  R1.r = 1          [ohm]  bounds (1e-12, inf)",
            "  C1.c = 0.001      [F]  bounds (1e-12, inf)",
        ]
    )
    assert repr(Series([])) == "Circuit (0 parameters)\n"
    assert repr(Circuit("R0")) == (
        "Circuit (1 parameter)\n  R0.r = 1          [ohm]  bounds (1e-12, inf)"
    )
    c = Circuit("R0-R1-R2-R3-R4-R5-CPE10").with_values(
        [0.00012, 2.5e-5, 1.5e6, 999999.5, 1e-4, 1e6, 1.23456789e-12, -0.0]
    )
    lines = repr(c).splitlines()
    values = [line.split(" = ")[1].split(" [")[0] for line in lines[1:]]
    assert values == [
        "0.00012   ",
        "2.5e-5    ",
        "1.5e6     ",
        "999999.5  ",
        "0.0001    ",
        "1e6       ",
        "1.23456789e-12",
        "-0        ",
    ]
    assert lines[7] == "  CPE10.q     = 1.23456789e-12 [ohm^-1*s^alpha]  bounds (1e-12, inf)"
    assert lines[8] == "  CPE10.alpha = -0         [-]  bounds (0, 1)"
