"""Fit controls (constants, bounds) and the honest outcome of a fit."""

import math

import numpy as np
import pytest

import korvex

F = np.logspace(-1, 5, 40)
TEXT = "R0-p(R1,CPE1)"
TRUTH = [10.0, 100.0, 1e-5, 0.85]
METHODS = [
    "levenberg_marquardt",
    "particle_swarm",
    "nelder_mead",
    "differential_evolution",
    "simulated_annealing",
    "basin_hopping",
]
SMALL = dict(
    basin_hopping_hops=2,
    nelder_mead_iterations=200,
    sa_iterations=200,
    num_particles=20,
    generations=20,
    de_evaluations=200,
    seed=3,
)


@pytest.fixture(scope="module")
def noisy():
    rng = np.random.default_rng(11)
    z = korvex.Circuit(TEXT).with_values(TRUTH).impedance(F)
    return F, z * (1 + 0.005 * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))


def start():
    return korvex.Circuit(TEXT).with_values([12.0, 80.0, 2e-5, 0.8])


@pytest.mark.parametrize("method", METHODS)
def test_constant_never_moves_and_bound_holds(method, noisy):
    r = start().fit(
        *noisy, method=method, constants={"R0.r": 9.5}, bounds={"CPE1.alpha": (0.5, 0.8)}, **SMALL
    )
    assert r.params["R0.r"] == 9.5
    assert r.stderr["R0.r"] == 0.0
    assert r.params["CPE1.alpha"] == 0.8  # the truth, 0.85, lies beyond the bound
    assert r.at_bounds == ["CPE1.alpha"]
    assert r.initial["R0.r"] == 9.5
    assert r.circuit.param_bounds()[3] == (0.5, 0.8)


def test_bounds_change_the_search_not_just_the_clamp(noisy):
    free = start().fit(*noisy)
    lower = start().with_values([9.2, 80.0, 2e-5, 0.8])
    narrowed = lower.fit(*noisy, bounds={"R0.r": (9.0, 9.5)})
    assert narrowed.params["R0.r"] == 9.5
    # The other parameters adapt to the held-back R0 instead of keeping their values.
    assert narrowed.params["R1.r"] != pytest.approx(free.params["R1.r"], rel=1e-4)
    assert narrowed.cost > free.cost


def test_circuit_bounds_are_reused_and_round_trip(noisy):
    house = start().with_bounds({"R0.r": (None, 9.5), "CPE1.alpha": (0.1, 0.8)})
    assert house.param_bounds() == [(1e-12, 9.5), (1e-12, math.inf), (1e-12, math.inf), (0.1, 0.8)]
    assert "bounds (1e-12, 9.5)" in repr(house)
    assert start().param_bounds()[0] == (1e-12, math.inf)  # the original is unchanged
    with pytest.raises(ValueError, match="start value of R0.r"):
        house.fit(*noisy)
    lowered = house.with_values([9.0, 80.0, 2e-5, 0.7])
    assert lowered.param_bounds() == house.param_bounds()
    assert lowered.fit(*noisy).params["R0.r"] == 9.5
    # Given its own bounds back, a circuit is the circuit it came from.
    names = start().param_names()
    back = house.with_bounds(dict(zip(names, start().param_bounds())))
    assert repr(back) == repr(start())


def test_every_parameter_held_is_an_evaluation(noisy):
    c = korvex.Circuit(TEXT)
    r = c.fit(*noisy, constants=dict(zip(c.param_names(), TRUTH)))
    assert (r.success, r.status, r.iterations, r.impedance_evals) == (True, "evaluated", 0, 1)
    assert list(r.params.values()) == TRUTH
    assert r.stderr == dict.fromkeys(c.param_names(), 0.0)
    assert r.cost == pytest.approx(0.5 * np.sum(np.square(r.residuals)))


def test_constants_override_the_guess(noisy):
    r = korvex.Circuit(TEXT).fit(*noisy, constants={"CPE1.alpha": 0.85})
    assert r.initial["CPE1.alpha"] == 0.85 == r.params["CPE1.alpha"]


@pytest.mark.parametrize("method", METHODS)
def test_infinite_cost_is_never_a_success(method):
    # Impedances near the largest double overflow every unit-weighted cost.
    f = np.logspace(0, 3, 10)
    z = np.full(f.size, 1e200 + 1e200j)
    r = start().fit(f, z, guess_init=False, weight="unit", method=method, **SMALL)
    assert not math.isfinite(r.cost)
    assert (r.success, r.status) == (False, "nonfinite")
    assert (
        not korvex.Circuit(TEXT)
        .fit(f, z, constants=dict(zip(start().param_names(), TRUTH)), weight="unit")
        .success
    )


def test_clean_fit_raises_no_flag_and_reports(noisy):
    r = start().fit(*noisy)
    assert r.success and r.status.startswith("converged_") and r.message.startswith("Converged")
    assert r.warnings == [] and r.at_bounds == []
    p = list(r.params.values())
    np.testing.assert_array_equal(r.residuals, start().residuals(p, *noisy))
    cov = r.covariance
    np.testing.assert_allclose(np.sqrt(np.diag(cov)), list(r.stderr.values()), rtol=1e-9)
    np.testing.assert_allclose(cov, cov.T, rtol=1e-12)
    np.testing.assert_allclose(np.diag(r.correlation), 1.0)
    assert r.initial == dict(zip(start().param_names(), start().param_values()))
    report = r.report()
    assert report.splitlines()[0] == f"Fit succeeded: {r.status}"
    assert all(name in report for name in r.params) and "Warnings" not in report
    assert "<table>" in r._repr_html_() and f"<code>{r.circuit.text}</code>" in r._repr_html_()


def test_poor_minimum_is_flagged(noisy):
    # One RC cannot follow a CPE arc: the residuals keep the arc's shape.
    r = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-5]).fit(*noisy)
    assert any("not white" in w for w in r.warnings)
    assert "Warnings:" in r.report()


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (dict(constants=[("R0.r", 1.0)]), TypeError, "argument 'constants': expected a mapping"),
        (
            dict(constants={"R0.x": 1.0}),
            ValueError,
            'unknown parameter "R0.x" \\(did you mean "R0.r"',
        ),
        (dict(constants={1: 1.0}), TypeError, "keys must be str"),
        (dict(constants={"R0.r": "a"}), TypeError, "constants"),
        (dict(constants={"R0.r": math.nan}), ValueError, "value of R0.r must be finite"),
        (dict(constants={"CPE1.alpha": 1.5}), ValueError, "CPE1.alpha = 1.5 is outside its bounds"),
        (dict(constants={"R0.r": 5.0}, bounds={"R0.r": (6.0, 7.0)}), ValueError, "outside"),
        (dict(bounds={"R1.x": (0, 1)}), ValueError, 'unknown parameter "R1.x"'),
        (dict(bounds={"R0.r": 5.0}), TypeError, "bounds of R0.r must be a \\(lo, hi\\) pair"),
        (dict(bounds={"R0.r": (1.0, 2.0, 3.0)}), TypeError, "\\(lo, hi\\) pair"),
        (dict(bounds={"R0.r": (2.0, 1.0)}), ValueError, "R0.r are empty or inverted"),
        (dict(bounds={"R0.r": (1.0, 1.0)}), ValueError, "R0.r are empty or inverted"),
        (dict(bounds={"R0.r": (None, 1e-13)}), ValueError, "R0.r are empty or inverted"),
        (dict(bounds={"R0.r": (math.nan, 5)}), ValueError, "bounds of R0.r must not be NaN"),
        (dict(bounds={"R0.r": (-math.inf, 5)}), ValueError, "lower bound of R0.r must be finite"),
        (dict(bounds={"R0.r": (20.0, 30.0)}), ValueError, "start value of R0.r \\(12\\)"),
    ],
)
def test_bad_controls_are_refused(kwargs, error, match, noisy):
    with pytest.raises(error, match=match):
        start().fit(*noisy, **kwargs)


def test_with_bounds_refuses_what_fit_refuses():
    with pytest.raises(TypeError, match="expected a mapping"):
        start().with_bounds(None)
    with pytest.raises(ValueError, match="empty or inverted"):
        start().with_bounds({"CPE1.alpha": (0.9, None)}).with_bounds({"CPE1.alpha": (None, 0.5)})
