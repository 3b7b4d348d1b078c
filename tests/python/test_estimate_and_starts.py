import math
import warnings

import numpy as np
import pytest

import korvex

F = np.logspace(5, -2, 60)
NOISE_RNG = np.random.default_rng(5)


def noisy(text, values, f=F, level=0.01):
    z = korvex.Circuit(text).with_values(values).impedance(f)
    return z + level * np.abs(z) * (
        NOISE_RNG.standard_normal(z.size) + 1j * NOISE_RNG.standard_normal(z.size)
    )


def assert_in_bounds(circuit):
    for name, v, (lo, hi) in zip(
        circuit.param_names(), circuit.param_values(), circuit.param_bounds()
    ):
        assert math.isfinite(v) and lo <= v <= hi, (name, v)


# Every element kind, nesting, and elements in unusual places.
ANY_CIRCUITS = [
    "R0-p(R1,C1)-p(R2,CPE2)-W3",
    "L0-La1-R0-p(R1-Wo1,CPE1)-Ws2",
    "R0-p(C1,R1-p(C2,R2-p(C3,R3)))",
    "R0-K1-Zarc2-G3-Gs4-T5",
    "R0-p(R1,R2)-p(C1,CPE1)-Tlmq1",
    "p(R1-L1,C1)",
]


@pytest.mark.parametrize("text", ANY_CIRCUITS)
@pytest.mark.parametrize("points", [60, 2, 1, 0])
def test_estimate_is_finite_and_inside_bounds(text, points):
    z = noisy("L0-R0-p(R1,CPE1)-p(R2,CPE2)-CPE3", [1e-6, 0.5, 2, 1e-4, 0.8, 5, 0.05, 0.9, 0.3, 0.8])
    estimate = korvex.Circuit(text).estimate(F[:points], z[:points])
    assert estimate.param_names() == korvex.Circuit(text).param_names()
    assert_in_bounds(estimate)


@pytest.mark.parametrize("z", [np.full(60, 5.0 + 0j), np.full(60, 0j)])
def test_flat_spectrum_gets_placeholders_not_errors(z):
    assert_in_bounds(korvex.Circuit("L0-R0-p(R1,CPE1)-Wo1").estimate(F, z))


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_estimate_refuses_non_finite_data(bad):
    z = noisy("R0-p(R1,C1)", [1, 10, 1e-3])
    z[3] = complex(bad, 0)
    with pytest.raises(ValueError, match="finite"):
        korvex.Circuit("R0-p(R1,C1)").estimate(F, z)


@pytest.mark.parametrize("taus", [(1e-4, 1e-1), (1e-1, 1e-4)])
def test_arcs_go_to_the_groups_fastest_first(taus):
    # Two well separated arcs of different sizes: the first group must get
    # the fast one whichever arc is the larger.
    r = {1e-4: 3.0, 1e-1: 30.0}
    values = [1.0]
    for tau in sorted(taus):
        values += [r[tau], tau / r[tau]]
    z = noisy("R0-p(R1,C1)-p(R2,C2)", values, level=0.0)
    est = korvex.Circuit("R0-p(R1,C1)-p(R2,C2)").estimate(F, z).param_values()
    for got, want in zip(est, values):
        assert got == pytest.approx(want, rel=0.3)


def test_estimate_accepts_a_dataframe():
    z = noisy("R0-p(R1,C1)", [1, 10, 1e-3])
    frame = {"frequency_hertz": F, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
    c = korvex.Circuit("R0-p(R1,C1)")
    assert c.estimate(frame).param_values() == c.estimate(F, z).param_values()


COIN = "R0-p(R1,CPE1)-p(R2,CPE2)-CPE3"
COIN_VALUES = [0.5, 3.0, 1e-5, 0.85, 10.0, 0.02, 0.8, 0.5, 0.8]


def test_starts_reaches_the_minimum_without_model_or_warning():
    z = noisy(COIN, COIN_VALUES)
    floor = korvex.Circuit(COIN).with_values(COIN_VALUES).fit(F, z, guess_init=False).chi_square
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = korvex.Circuit(COIN).fit(F, z, starts="auto")
    assert result.chi_square <= floor * 1.001


def test_starts_on_a_long_spectrum_reaches_the_minimum_on_every_point():
    # The search runs on a log-spaced subset of the points; the polish on all.
    f = np.logspace(5, -2, 2000)
    z = noisy(COIN, COIN_VALUES, f=f)
    floor = korvex.Circuit(COIN).with_values(COIN_VALUES).fit(f, z, guess_init=False).chi_square
    result = korvex.Circuit(COIN).fit(f, z, starts="auto")
    assert result.success and result.chi_square <= floor * 1.001
    assert result.residuals.size == 2 * f.size


def test_starts_never_loses_the_given_start():
    # Exact data and the true values given: the search must come back with
    # them, whatever its other starts find.
    truth = korvex.Circuit(COIN).with_values(COIN_VALUES)
    z = truth.impedance(F)
    result = truth.fit(F, z, starts=3)
    assert result.chi_square < 1e-20
    assert list(result.params.values()) == pytest.approx(COIN_VALUES, rel=1e-6)


@pytest.mark.parametrize("seed", [7, None])
def test_starts_is_reproducible(seed):
    z = noisy("L0-R0-p(R1,CPE1)-p(R2,CPE2)", [1e-6, 0.5, 2, 1e-4, 0.8, 5, 0.05, 0.9])
    c = korvex.Circuit("L0-R0-p(R1,CPE1)-p(R2,CPE2)")
    runs = [c.fit(F, z, starts=12, seed=seed) for _ in range(2)]
    assert runs[0].params == runs[1].params
    assert runs[0].impedance_evals == runs[1].impedance_evals


def test_starts_counts_the_work_of_every_start():
    z = noisy("R0-p(R1,C1)", [1, 10, 1e-3])
    c = korvex.Circuit("R0-p(R1,C1)").with_values([1, 10, 1e-3])
    assert c.fit(F, z, starts=8).impedance_evals > 2 * c.fit(F, z).impedance_evals


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"starts": 0}, ValueError, "starts"),
        ({"starts": "many"}, ValueError, "starts"),
        ({"starts": True}, TypeError, "starts"),
        ({"starts": 2.5}, TypeError, "starts"),
        ({"starts": -1}, OverflowError, "starts"),
        ({"starts": 4, "method": "nelder_mead"}, ValueError, "levenberg_marquardt"),
    ],
)
def test_bad_starts(kwargs, error, match):
    c = korvex.Circuit("R0-p(R1,C1)").with_values([1, 10, 1e-3])
    with pytest.raises(error, match=match):
        c.fit(F, c.impedance(F), **kwargs)


def test_starts_is_keyword_only():
    c = korvex.Circuit("R0-p(R1,C1)").with_values([1, 10, 1e-3])
    with pytest.raises(TypeError):
        c.fit(
            F,
            c.impedance(F),
            False,
            None,
            "modulus",
            "levenberg_marquardt",
            200,
            1e-8,
            1e-8,
            200,
            1000,
            2000,
            20000,
            5000,
            2.0,
            20,
            1.0,
            1.0,
            None,
            4,
        )


def test_constants_and_bounds_hold_in_every_start():
    z = noisy(COIN, COIN_VALUES)
    result = korvex.Circuit(COIN).fit(
        F, z, starts=6, constants={"R0.r": 0.7}, bounds={"CPE1.alpha": (0.5, 0.82)}
    )
    assert result.params["R0.r"] == 0.7
    assert 0.5 <= result.params["CPE1.alpha"] <= 0.82


def test_search_returns_an_open_arc_as_the_runaway_it_is():
    # The second arc does not close inside the window: the model's best fit
    # runs R2 off. A converged fit far above that cost is not a success.
    f = np.logspace(5, 0, 26)
    z = korvex.Circuit("R0-p(R1,CPE1)-CPE2").with_values([5, 30, 1.5e-4, 0.87, 1.2e-2, 0.17])
    z = z.impedance(f)
    rng = np.random.default_rng(1)
    z *= 1 + 0.002 * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
    circuit = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)")
    result = circuit.fit(f, z, starts="auto", weight="modulus")
    closed = circuit.fit(f, z, starts="auto", weight="modulus", bounds={"R2.r": (0, 1e4)})
    assert (result.status, result.success) == ("runaway", False)
    assert "R2.r ran off" in result.warnings[0]
    assert result.chi_square <= 1.01 * closed.chi_square
