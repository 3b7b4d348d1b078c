import inspect
import math
import re
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import korvex

F = np.logspace(-1, 4, 30)
METHODS = [
    "levenberg_marquardt",
    "particle_swarm",
    "nelder_mead",
    "differential_evolution",
    "simulated_annealing",
    "basin_hopping",
]


def spectrum(text, values, f=F):
    return korvex.Circuit(text).with_values(values).impedance(f)


@pytest.fixture
def rc_data():
    return F, spectrum("R0-p(R1,C1)", [10.0, 100.0, 1e-4])


def test_signature_and_docstring(rc_data):
    parameters = inspect.signature(korvex.Circuit.fit).parameters
    names = list(parameters)[:20]
    keyword_only = [n for n, p in parameters.items() if p.kind is p.KEYWORD_ONLY]
    assert keyword_only[:3] == ["constants", "bounds", "starts"]
    assert all(parameters[n].default is None for n in keyword_only)
    assert names == [
        "self",
        "frequencies",
        "impedances",
        "guess_init",
        "weights",
        "weight",
        "method",
        "max_iterations",
        "ftol",
        "xtol",
        "num_particles",
        "generations",
        "nelder_mead_iterations",
        "de_evaluations",
        "sa_iterations",
        "sa_initial_temperature",
        "basin_hopping_hops",
        "basin_hopping_step_size",
        "basin_hopping_temperature",
        "seed",
    ]
    # Every argument can be given by position, in that order.
    c = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4])
    positional = c.fit(
        *rc_data,
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
    )
    assert positional.params == c.fit(*rc_data).params


@pytest.mark.parametrize(
    "kwargs, error, name",
    [
        ({"guess_init": 1}, TypeError, "guess_init"),
        ({"guess_init": "yes"}, TypeError, "guess_init"),
        ({"weights": 3}, TypeError, "weights"),
        ({"weight": None}, TypeError, "weight"),
        ({"method": None}, TypeError, "method"),
        ({"max_iterations": 10.0}, TypeError, "max_iterations"),
        ({"max_iterations": -1}, OverflowError, "max_iterations"),
        ({"max_iterations": 2**32}, OverflowError, "max_iterations"),
        ({"num_particles": 2**32}, OverflowError, "num_particles"),
        ({"de_evaluations": -5}, OverflowError, "de_evaluations"),
        ({"basin_hopping_hops": 2**32}, OverflowError, "basin_hopping_hops"),
        ({"generations": 2**64}, OverflowError, "generations"),
        ({"sa_iterations": None}, TypeError, "sa_iterations"),
        ({"seed": -1}, OverflowError, "seed"),
        ({"seed": 1.5}, TypeError, "seed"),
        ({"ftol": "small"}, TypeError, "ftol"),
        ({"ftol": -1e-8}, ValueError, "ftol"),
        ({"ftol": math.nan}, ValueError, "ftol"),
        ({"xtol": -1.0}, ValueError, "xtol"),
        ({"xtol": math.nan}, ValueError, "xtol"),
        ({"sa_initial_temperature": "hot"}, TypeError, "sa_initial_temperature"),
    ],
)
def test_argument_conversion_errors_name_the_argument(rc_data, kwargs, error, name):
    c = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4])
    with pytest.raises(error, match=name):
        c.fit(*rc_data, **kwargs)


def test_wide_integers_and_index_objects_are_accepted(rc_data):
    c = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4])
    r = c.fit(
        *rc_data,
        generations=2**64 - 1,
        seed=2**64 - 1,
        max_iterations=np.uint32(50),
        num_particles=2**32 - 1,
    )
    assert r.success


def test_numpy_bool_counts_as_a_bool(rc_data):
    c = korvex.Circuit("R0-L1")
    r = c.fit(*rc_data, guess_init=np.bool_(False))
    assert isinstance(r, korvex.FitResult)
    with pytest.raises(ValueError, match=r"^No training data on this circuit\."):
        c.fit(*rc_data, guess_init=np.bool_(True))


def test_missing_model_warns_once_and_starts_from_defaults(rc_data):
    c = korvex.Circuit("R0-L1")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with_warning = c.fit(*rc_data)
    assert len(caught) == 1 and caught[0].category is UserWarning
    text = str(caught[0].message)
    assert text.startswith(
        "There is no ML model to guess initial parameters for this circuit. Supply your own "
        "with Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass "
        "guess_init=False to silence this. Models available for '"
    )
    assert caught[0].filename == __file__  # stack level 1: the caller's line
    assert with_warning.params == c.fit(*rc_data, guess_init=False).params


def test_warning_turned_error_stops_the_fit(rc_data):
    # The project's pytest configuration turns warnings into errors.
    with pytest.raises(UserWarning, match="There is no ML model"):
        korvex.Circuit("R0-L1").fit(*rc_data, method="bogus")


def test_guess_true_without_model_raises(rc_data):
    with pytest.raises(ValueError, match=r"^No training data on this circuit\."):
        korvex.Circuit("R0-L1").fit(*rc_data, guess_init=True)


def test_explicit_values_are_not_guessed_and_weights_ignored_when_told(rc_data):
    c = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4])
    r = c.fit(*rc_data)  # no warning, no guess
    assert r.success
    # A weight file asks for a guess even for explicit values...
    with pytest.raises(ValueError):
        c.fit(*rc_data, weights="/nonexistent/model.eisnn")
    # ...and with guess_init=False it would be ignored, which is refused.
    with pytest.raises(ValueError, match="guess_init=False turns the guess off"):
        c.fit(*rc_data, guess_init=False, weights="/nonexistent.eisnn")


def test_unknown_method_is_reported_after_the_spectrum(rc_data):
    c = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4])
    with pytest.raises(ValueError) as info:
        c.fit(*rc_data, method="lm")
    assert str(info.value) == (
        'unknown fit method "lm", expected one of "levenberg_marquardt", "particle_swarm", '
        '"nelder_mead", "differential_evolution", "simulated_annealing", "basin_hopping"'
    )
    with pytest.raises(ValueError, match="unknown weight scheme"):
        c.fit(*rc_data, method="lm", weight="square")


@pytest.mark.parametrize("method", METHODS)
def test_driver_guards_reach_python(method):
    c = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4])
    with pytest.raises(ValueError, match="^frequencies and impedances must not be empty$"):
        c.fit([], [], method=method)


def test_result_attributes(rc_data):
    r = korvex.Circuit("R0-p(R1,C1)").with_values([12.0, 80.0, 2e-4]).fit(*rc_data)
    assert r.success is True
    assert r.chi_square == 2 * r.cost
    assert list(r.params) == ["R0.r", "R1.r", "C1.c"]
    assert r.params == pytest.approx({"R0.r": 10.0, "R1.r": 100.0, "C1.c": 1e-4}, rel=1e-6)
    assert set(r.stderr) == set(r.params)
    assert r.params is not r.params
    first, second = r.circuit, r.circuit
    assert first is not second and repr(first) == repr(second)
    assert first.param_values() == list(r.params.values())
    # The fitted circuit counts as given explicit values: fitting it again
    # neither guesses nor warns.
    assert first.fit(*rc_data).success
    assert isinstance(r.iterations, int) and isinstance(r.impedance_evals, int)


def test_fit_result_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for FitResult$"):
        korvex.FitResult()
    assert korvex.FitResult.__module__ == "korvex"


# log10 and back reproduce these values exactly, so the start fits the data
# exactly and the whole fit is one minimiser evaluation.
def test_exact_start_counts_and_repr():
    f = np.logspace(-1, 4, 10)
    c = korvex.Circuit("R0-p(R1,C1)").with_values([1.0, 2.0, 0.5])
    r = c.fit(f, c.impedance(f))
    assert r.iterations == 1
    assert r.impedance_evals == 9 + (1 + 6) + 1 + (1 + 6)
    assert repr(r) == (
        "FitResult(success=true, iterations=1, impedance_evals=24, chi_square=0.000000e0, "
        'params={"R0.r": 1.0, "R1.r": 2.0, "C1.c": 0.5})'
    )


def test_repr_number_forms(rc_data):
    r = (
        korvex.Circuit("R0-p(R1,C1)")
        .with_values([12.0, 80.0, 2e-4])
        .fit(rc_data[0], rc_data[1] * 1.01, max_iterations=0)
    )
    text = repr(r)
    assert re.fullmatch(
        r"FitResult\(success=(true|false), iterations=\d+, impedance_evals=\d+, "
        r'chi_square=\d\.\d{6}e-?\d+, params=\{"R0\.r": [-\d.e]+, "R1\.r": [-\d.e]+, '
        r'"C1\.c": \d(\.\d+)?e-\d+\}\)',
        text,
    ), text


def test_no_standard_errors_with_too_few_points():
    f = [10.0, 1000.0]
    c = korvex.Circuit("R0-p(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.8])
    r = c.fit(f, spectrum("R0-p(R1,CPE1)", [11.0, 90.0, 2e-4, 0.7], f))
    assert r.stderr is None
    assert len(r.params) == 4


# The best CPE exponent for these data lies above 1. The answer holds it on
# the bound, and the other parameters must be the constrained optimum: the
# fit of the same circuit with an ideal capacitor.
def test_exponent_above_its_bound_is_polished_on_the_bound():
    f = np.logspace(-2, 5, 60)
    z = spectrum("R0-p(R1,CPE1)", [10.0, 100.0, 1e-4, 1.05], f)
    held = korvex.Circuit("R0-p(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.9]).fit(f, z)
    ideal = korvex.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4]).fit(f, z)
    assert held.params["CPE1.alpha"] == 1.0
    assert held.success
    for a, b in zip(list(held.params.values())[:3], ideal.params.values()):
        assert a == pytest.approx(b, rel=1e-7)
    assert held.cost == pytest.approx(ideal.cost, rel=1e-9)


def test_dataframe_and_sequences_agree(rc_data):
    f, z = rc_data
    frame = pd.DataFrame(
        {
            "Frequency / Hz": f,
            "Real Impedance / ohm": z.real,
            "Imaginary Impedance / ohm": z.imag,
        }
    )
    c = korvex.Circuit("R0-p(R1,C1)").with_values([12.0, 80.0, 2e-4])
    assert c.fit(frame).params == c.fit(f, list(z)).params


def test_threads_fit_the_same_circuit_like_sequential_calls():
    rng = np.random.default_rng(7)
    circuit = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").with_values(
        [5.0, 50.0, 1e-4, 0.8, 200.0, 1e-2, 0.7]
    )
    truth = spectrum("R0-p(R1,CPE1)-p(R2,CPE2)", [8.0, 60.0, 3e-5, 0.9, 150.0, 5e-3, 0.75])
    data = [
        truth * (1 + 0.005 * (rng.standard_normal(len(F)) + 1j * rng.standard_normal(len(F))))
        for _ in range(8)
    ]

    def run(z):
        r = circuit.fit(F, z)
        return r.params, r.cost, r.iterations, r.impedance_evals, r.stderr

    sequential = [run(z) for z in data]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(run, data))
    assert threaded == sequential


def test_a_run_inside_the_bounds_beats_a_worse_clamped_one():
    # The lowest-cost run ends beyond a bound; clamping it, and the polish
    # that holds it there, cost more than another run that ended inside.
    rng = np.random.default_rng(630)
    c = korvex.Circuit("R0-p(R1,CPE1)")
    f = np.logspace(4, -1, 25)
    values = [10 ** rng.uniform(-1, 1), 10 ** rng.uniform(-1, 2), 10 ** rng.uniform(-5, -2)]
    z = c.with_values([*values, rng.uniform(0.5, 1)]).impedance(f)
    z = z + 0.01 * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
    r = c.fit(f, z, guess_init=False)
    assert r.cost < 0.00266 and r.at_bounds == [] and r.success


def test_a_poor_single_start_fit_points_to_the_search():
    import warnings

    rng = np.random.default_rng(3)
    f = np.logspace(-2, 5, 50)
    true = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-CPE3").with_values(
        [0.2, 0.5, 1e-5, 0.9, 3.0, 1e-2, 0.7, 50.0, 0.6]
    )
    z = true.impedance(f) * (1 + 1e-3 * rng.standard_normal(f.size))
    circuit = korvex.Circuit(true.text)  # no trained model: placeholder values
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        single = circuit.fit(f, z)
    searched = circuit.fit(f, z, starts="auto")
    own = true.fit(f, z)
    hint = 'fit again with starts="auto"'
    assert any(hint in w for w in single.warnings)
    assert not any(hint in w for w in searched.warnings + own.warnings)
