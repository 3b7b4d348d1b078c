import copy
import json
import math
import pickle
import struct

import numpy as np
import pytest

import korvex
from korvex import Element

CODES = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"]
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def bits(values):
    return [struct.pack("<d", v) for v in values]


def circuits():
    return {
        "text": korvex.Circuit("R0-p(R1,CPE1)-Wo12"),
        "model name": korvex.Circuit("randles"),
        "own bounds": korvex.Circuit("R0-p(R1,CPE1)").with_bounds({"R1.r": (0.5, 5.0)}),
        "values": korvex.Circuit("R0-p(R1,C1)").with_values([0.1, 1 / 3, math.nan]),
        # Unlabelled leaves beside a parsed label: automatic labels must stay automatic.
        "builders": korvex.Series(
            [
                korvex.R(0.1),
                korvex.Parallel([korvex.R(2.0), korvex.Cpe(1e-4, 0.9)]),
                korvex.Circuit("R7"),
            ]
        ),
    }


@pytest.fixture(scope="module")
def fitted():
    c = korvex.Circuit("R0-p(R1,CPE1)")
    f = np.logspace(-2, 5, 30)
    z = c.with_values([0.1, 2.0, 1e-4, 0.9]).impedance(f) * (1 + 0.01j)
    return c.fit(f, z)


@pytest.mark.parametrize("name", list(circuits()))
def test_circuit_round_trips_bit_for_bit(name):
    c = circuits()[name]
    copies = [pickle.loads(pickle.dumps(c, p)) for p in PROTOCOLS]
    copies += [copy.deepcopy(c), copy.copy(c)]
    for other in copies:
        assert other == c and hash(other) == hash(c)
        assert bits(other.param_values()) == bits(c.param_values())
        assert other.param_names() == c.param_names()
        assert other.param_bounds() == c.param_bounds()
        assert other.text == c.text
        # Joined with an unlabelled element, the copy names parameters as the original does.
        assert (
            korvex.Series([other, korvex.R(1.0)]).param_names()
            == korvex.Series([c, korvex.R(1.0)]).param_names()
        )


def test_circuit_text_parses_to_an_equal_circuit():
    for text in ["R0-(R1,C1)", "((R1,C1),L2)", "L0-R0-p(R1,CPE1)-p(R2,CPE2)", "Cpe3-TLMQ1-T0"]:
        c = korvex.Circuit(text)
        assert korvex.Circuit(c.text) == c
    assert korvex.Circuit("R0-(R1,C1)").text == "R0-p(R1,C1)"
    for name in korvex.Circuit.ml_circuits():
        c = korvex.Circuit(name)
        assert korvex.Circuit(c.text) == c
    built = circuits()["builders"]
    assert built.text == "R0-p(R1,Cpe0)-R7"
    assert korvex.Circuit(built.text).with_values(built.param_values()) == built
    for build in [
        lambda: korvex.Parallel([]),
        lambda: korvex.Series([korvex.Circuit("R0"), korvex.R(1.0)]),
    ]:
        no_text = build()
        with pytest.raises(ValueError, match="has no text form"):
            _ = no_text.text
        with pytest.raises(ValueError, match="has no text form"):
            pickle.dumps(no_text)
        assert no_text == build() and hash(no_text) == hash(build())
    assert korvex.Parallel([]) != korvex.Series([])


def test_equality_is_by_value():
    a = korvex.Circuit("R0-p(R1,C1)")
    assert a == korvex.Circuit("R0-(R1,C1)")
    assert a != korvex.Circuit("R0-p(R2,C1)")  # labels name the parameters
    assert a != a.with_values([1.0, 1.0, 0.002])
    assert a != a.with_bounds({"R1.r": (0.5, 5.0)})
    assert a != "R0-p(R1,C1)" and a != korvex.R(1.0)
    assert len({a, korvex.Circuit("R0-(R1,C1)"), a.with_values([1.0, 1.0, 0.001])}) == 1
    assert korvex.Zarc(1.0, 2.0, 0.5) != korvex.K(1.0, 2.0)
    assert korvex.R(math.nan) == korvex.R(math.nan)  # same bits


@pytest.mark.parametrize("code", CODES)
def test_every_element_class_round_trips(code):
    cls = getattr(Element, code)
    e = cls(*[0.1 * (i + 1) + 1 / 3 for i in range(len(cls.__match_args__))])
    for other in [pickle.loads(pickle.dumps(e, p)) for p in PROTOCOLS] + [copy.deepcopy(e)]:
        assert type(other) is cls and other == e and hash(other) == hash(e)
        assert bits(getattr(other, f) for f in cls.__match_args__) == bits(
            getattr(e, f) for f in cls.__match_args__
        )
    assert e != cls(*[1.0] * len(cls.__match_args__))


def test_fit_result_round_trips(fitted):
    from_json = korvex.FitResult.from_dict(json.loads(json.dumps(fitted.to_dict())))
    for other in [pickle.loads(pickle.dumps(fitted, p)) for p in PROTOCOLS] + [
        copy.deepcopy(fitted),
        from_json,
    ]:
        assert other == fitted and hash(other) == hash(fitted)
        assert repr(other) == repr(fitted)
        assert bits(other.params.values()) == bits(fitted.params.values())
        assert other.stderr == fitted.stderr and other.circuit == fitted.circuit
    changed = fitted.to_dict()
    changed["cost"] = math.nextafter(changed["cost"], 1.0)
    assert korvex.FitResult.from_dict(changed) != fitted


def test_fit_result_dict_is_plain(fitted):
    d = fitted.to_dict()
    assert set(d) >= {
        "circuit",
        "params",
        "stderr",
        "iterations",
        "impedance_evals",
        "cost",
        "chi_square",
        "success",
    }
    assert d["circuit"]["text"] == "R0-p(R1,CPE1)"
    assert d["circuit"]["bounds"][3] == [0.0, 1.0]
    assert json.loads(json.dumps(d)) == d


@pytest.mark.parametrize(
    "path,value,match",
    [
        (("params",), None, "'params' must be a dict"),
        (("param_names",), ["R0.r"], "'params' must name the parameters in order"),
        (("iterations",), "4", "'iterations' has the wrong type 'str'"),
        (("circuit", "text"), "R0-p(R1,", "circuit state: 'text': unexpected end"),
        (("circuit", "values"), [1.0], "'values' holds 1 values for 4 parameters"),
        (("circuit", "bounds"), [[1.0, 0.5]] * 4, r"'bounds' holds \(1, 0\.5\), which is not"),
        (("status",), "done", "'status' is not a fit status name"),
        (("held",), [False], "'held' must hold one flag per parameter"),
        (("initial",), {"R0.r": 1.0}, "'initial' must hold one value per parameter"),
        (("stderr",), {"R1.r": 1.0}, "'stderr' must name the parameters in order"),
        (("circuit",), "R0", "circuit state: expected a dict"),
    ],
)
def test_malformed_states_are_refused(fitted, path, value, match):
    d = fitted.to_dict()
    target = d
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    with pytest.raises(ValueError, match=match):
        korvex.FitResult.from_dict(d)
    del target[path[-1]]
    with pytest.raises(ValueError, match="missing"):
        korvex.FitResult.from_dict(d)
    with pytest.raises(ValueError, match="unknown keys"):
        korvex.FitResult.from_dict({**fitted.to_dict(), "extra": 1})
