"""Text signatures and docstrings, as inspect, help() and IPython read them."""

import inspect

import pytest

import korvex
from korvex import Circuit, Element

RESIDUALS_DOC = (
    "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
    "arbitrary parameter vector -- the same building block `fit()` uses\n"
    "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
    "`scipy.optimize.least_squares`) can drive this circuit's math directly."
)
JACOBIAN_DOC = (
    "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
    "len(frequencies), len(params))` -- rows are residuals, columns are\n"
    "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."
)
GUESS_DOC = (
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n"
    "\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
    "\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model.\n"
    "\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one."
)
FIT_SIGNATURE = (
    '($self, frequencies, impedances=None, guess_init=None, weights=None, weight="modulus", '
    'method="levenberg_marquardt", max_iterations=200, ftol=1e-8, xtol=1e-8, '
    "num_particles=200, generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, "
    "sa_iterations=5000, sa_initial_temperature=2.0, basin_hopping_hops=20, "
    "basin_hopping_step_size=1.0, basin_hopping_temperature=1.0, seed=None"
)
FIT_DOC = (
    "Fit this circuit's parameters to a measured spectrum.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n"
    "\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n"
    "\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses."
)

SPECIFIED = [
    (Circuit, "(s)", ""),
    (korvex.Series, "(parts)", "Connect elements and circuits end to end."),
    (korvex.Parallel, "(parts)", "Connect elements and circuits as parallel branches."),
    (
        Circuit.ml_circuits,
        "()",
        "Names accepted by the constructor that have trained initial-parameter\n"
        "models, and so get a guessed starting point from `fit()` by default.",
    ),
    (Circuit.guess, "($self, frequencies, impedances=None, weights=None)", GUESS_DOC),
    (Circuit.impedance, "($self, frequencies)", None),
    (
        Circuit.residuals,
        '($self, params, frequencies, impedances=None, weight="modulus")',
        RESIDUALS_DOC,
    ),
    (
        Circuit.jacobian,
        '($self, params, frequencies, impedances=None, weight="modulus")',
        JACOBIAN_DOC,
    ),
    (
        Circuit.param_names,
        "($self)",
        "Parameter names, in the same order `with_values()` consumes and\n"
        "`with_named_values()` expects as keys.",
    ),
    (Circuit.param_units, "($self)", "Physical units per parameter"),
    (
        Circuit.param_bounds,
        "($self)",
        "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
        "`param_names()` order. `hi` is `inf` for open-bound parameters.",
    ),
    (Circuit.param_values, "($self)", "Current parameter values, in `param_names()` order."),
    (
        Circuit.with_values,
        "($self, values)",
        "Rebuild this circuit with a new flat parameter vector, assigned\n"
        "positionally in `param_names()` order.",
    ),
    (
        Circuit.with_named_values,
        "($self, values)",
        "Rebuild this circuit with parameter values looked up by name (see\n"
        "`param_names()`). Every name must be present and no unknown names\n"
        "may be supplied.",
    ),
    (korvex.FitResult, None, ""),
] + [
    (getattr(Element, code), signature, "")
    for code, signature in [
        ("R", "(r)"),
        ("C", "(c)"),
        ("L", "(l)"),
        ("La", "(l, alpha)"),
        ("Cpe", "(q, alpha)"),
        ("W", "(aw)"),
        ("Wo", "(z0, tau)"),
        ("Ws", "(z0, tau)"),
        ("G", "(rg, tg)"),
        ("Gs", "(rg, tg, phi)"),
        ("K", "(r, tau_k)"),
        ("Zarc", "(r, tau_k, gamma)"),
        ("Tlmq", "(r_ion, qs, gamma)"),
        ("T", "(a, b, k_tau, tau)"),
    ]
]


@pytest.mark.parametrize("obj, signature, doc", SPECIFIED, ids=lambda x: getattr(x, "__name__", ""))
def test_specified_text_signatures_and_docstrings(obj, signature, doc):
    if signature is not None:
        assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def test_fit_signature_is_the_specified_one_then_keyword_only_extras():
    text = Circuit.fit.__text_signature__
    assert text.startswith(FIT_SIGNATURE)
    rest = text[len(FIT_SIGNATURE) :]
    assert rest == ")" or rest.startswith(", *, ")
    assert Circuit.fit.__doc__ == FIT_DOC


def test_module_docstring_is_empty():
    assert korvex.__doc__ == ""


def public_callables():
    for name in korvex.__all__:
        obj = getattr(korvex, name)
        yield name, obj
        if isinstance(obj, type):
            for attr in vars(obj):
                if not attr.startswith("_") and callable(getattr(obj, attr)):
                    yield f"{name}.{attr}", getattr(obj, attr)


@pytest.mark.parametrize(
    "name, obj", list(public_callables()), ids=[n for n, _ in public_callables()]
)
def test_every_public_callable_has_a_signature(name, obj):
    parameters = inspect.signature(obj).parameters
    if isinstance(obj, type):
        assert "self" not in parameters


def test_bound_methods_drop_self_and_still_call_through():
    c = Circuit("R0-(R1,C1)")
    assert str(inspect.signature(c.with_values)) == "(values)"
    assert str(inspect.signature(Circuit.with_values)) == "(self, /, values)"
    assert c.with_values(values=[1.0, 2.0, 3.0]).param_values() == [1.0, 2.0, 3.0]
    assert Circuit.param_names(c) == ["R0.r", "R1.r", "C1.c"]
    with pytest.raises(TypeError):
        Circuit.param_names(42)
