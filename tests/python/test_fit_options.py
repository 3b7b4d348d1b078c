"""One table of fit keywords: its names agree with Circuit.fit's signature, and
misspelt or swapped keywords get a hint in every entry point."""

import inspect

import numpy as np
import pytest

import korvex

F = np.logspace(-1, 5, 30)
CIRCUIT = korvex.Circuit("R0-p(R1,C1)")
Z = CIRCUIT.with_values([1.0, 10.0, 1e-4]).impedance(F)


def test_table_follows_the_signature():
    params = list(inspect.signature(korvex.Circuit.fit).parameters.values())[3:]
    table = korvex._korvex._fit_options()
    assert [p.name for p in params] == [name for name, *_ in table]
    assert [p.kind == p.KEYWORD_ONLY for p in params] == [kw_only for _, _, kw_only, _ in table]


def test_positional_options_map_by_the_signature_order():
    by_position = CIRCUIT.fit(F, Z, False, None, "unit", "levenberg_marquardt", 5)
    by_name = CIRCUIT.fit(F, Z, guess_init=False, weight="unit", max_iterations=5)
    assert by_position.chi_square == by_name.chi_square


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: CIRCUIT.fit(F, Z, ftoll=1e-6),
            "fit() got an unexpected keyword argument 'ftoll'. Did you mean 'ftol'?",
        ),
        (
            lambda: korvex.fit_many(CIRCUIT, [(F, Z)], ftoll=1e-6),
            "fit_many() got an unexpected keyword argument 'ftoll'. Did you mean 'ftol'?",
        ),
        (
            lambda: CIRCUIT.fit(F, Z, frequencies=F),
            "fit() got multiple values for argument 'frequencies'",
        ),
        (lambda: CIRCUIT.fit(), "fit() missing 1 required positional argument: 'frequencies'"),
        (
            lambda: CIRCUIT.fit(F, Z.real, Z.imag),
            "argument 'guess_init': expected True, False or None, got 'ndarray' (the impedances are one complex array: pass re + 1j*im",
        ),
    ],
)
def test_call_errors_are_pythons_with_hints(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value).startswith(message)


def test_weights_meant_as_weight_gets_a_hint():
    with pytest.raises(ValueError, match=r"^reading weights: .*\(did you mean weight='unit'\?\)$"):
        CIRCUIT.fit(F, Z, weights="unit")
    (error,) = korvex.fit_many(CIRCUIT, [(F, Z)], weights="unit").results
    assert str(error).endswith("(did you mean weight='unit'?)")


def test_a_batch_refuses_weights_without_the_guess_as_fit_does():
    with pytest.raises(ValueError, match="guess_init=False turns the guess off"):
        korvex.fit_many(CIRCUIT, [(F, Z)], weights="model.eisnn", guess_init=False)


@pytest.mark.parametrize(
    "call",
    [
        lambda: CIRCUIT.fit(F, Z, starts=10**9),
        lambda: korvex.fit_many(CIRCUIT, [(F, Z)], starts=10**9),
        lambda: korvex.fit_shared(CIRCUIT, [(F, Z)] * 2, ["R0.r"], starts=10**9),
    ],
)
def test_a_size_beyond_its_limit_is_refused_before_any_work(call):
    with pytest.raises(ValueError, match="starts must be at most 10000, got 1000000000"):
        call()
