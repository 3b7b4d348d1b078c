import math

import numpy as np
import pytest

import korvex
from korvex import Element

KINDS = [
    ("R", ("r",)),
    ("C", ("c",)),
    ("L", ("l",)),
    ("La", ("l", "alpha")),
    ("Cpe", ("q", "alpha")),
    ("W", ("aw",)),
    ("Wo", ("z0", "tau")),
    ("Ws", ("z0", "tau")),
    ("G", ("rg", "tg")),
    ("Gs", ("rg", "tg", "phi")),
    ("K", ("r", "tau_k")),
    ("Zarc", ("r", "tau_k", "gamma")),
    ("Tlmq", ("r_ion", "qs", "gamma")),
    ("T", ("a", "b", "k_tau", "tau")),
]


def test_base_class():
    assert Element.__doc__ == (
        "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
        "They are combined with `Series()` and `Parallel()`."
    )
    with pytest.raises(TypeError, match="^No constructor defined for Element$"):
        Element(1.0)
    assert Element.__module__ == "korvex"


@pytest.mark.parametrize("code,fields", KINDS)
def test_kind_classes(code, fields):
    cls = getattr(Element, code)
    assert cls is getattr(korvex, code)
    assert cls.__name__ == "Element_" + code
    assert cls.__module__ == "korvex"
    assert issubclass(cls, Element)
    assert cls.__match_args__ == fields

    values = [0.5 + i for i in range(len(fields))]
    by_position = cls(*values)
    by_keyword = cls(**dict(zip(fields, values)))
    for name, v in zip(fields, values):
        assert getattr(by_position, name) == v
        assert type(getattr(by_keyword, name)) is float
    with pytest.raises(AttributeError):
        setattr(by_position, fields[0], 1.0)

    with pytest.raises(TypeError, match=fields[-1]):
        cls(*values[:-1])
    with pytest.raises(TypeError):
        cls(*values, 1.0)
    with pytest.raises(TypeError, match="nope"):
        cls(*values, nope=1.0)
    with pytest.raises(TypeError, match=fields[0]):
        cls(*values[:1], **{fields[0]: 2.0}, **dict(zip(fields[1:], values[1:])))


@pytest.mark.parametrize(
    "element,text",
    [
        (korvex.R(1), "Element.R(r=1.0)"),
        (korvex.Cpe(1e-5, 0.9), "Element.Cpe(q=1e-5, alpha=0.9)"),
        (korvex.L(1e-6), "Element.L(l=1e-6)"),
        (korvex.T(1, 2, 3, 4), "Element.T(a=1.0, b=2.0, k_tau=3.0, tau=4.0)"),
        (korvex.C(float("nan")), "Element.C(c=NaN)"),
        (korvex.Zarc(-0.0, float("inf"), 1e16), "Element.Zarc(r=-0.0, tau_k=inf, gamma=1e16)"),
    ],
)
def test_repr(element, text):
    assert repr(element) == text


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class Broken:
    def __float__(self):
        raise ZeroDivisionError("no float here")


@pytest.mark.parametrize(
    "value,expected", [(3, 3.0), (np.float32(0.25), 0.25), (Floaty(), 2.5), (Indexy(), 7.0)]
)
def test_field_conversion(value, expected):
    assert korvex.R(value).r == expected


def test_no_range_checks():
    assert math.isnan(korvex.Cpe(float("nan"), 2.0).q)
    assert korvex.Cpe(-1.0, 2.0).alpha == 2.0
    assert korvex.W(float("inf")).aw == math.inf


@pytest.mark.parametrize(
    "value,exc,text",
    [
        ("1.0", TypeError, "argument 'r'"),
        (None, TypeError, "argument 'r'"),
        (10**400, OverflowError, "argument 'r'"),
        (Broken(), ZeroDivisionError, "no float here"),
    ],
)
def test_field_conversion_errors(value, exc, text):
    with pytest.raises(exc, match=text):
        korvex.R(value)


def test_pattern_matching():
    match korvex.T(1, 2, 3, 4):
        case korvex.T(a, b, k_tau, tau=t):
            assert (a, b, k_tau, t) == (1.0, 2.0, 3.0, 4.0)
        case _:
            pytest.fail("no match")
    match korvex.R(5):
        case korvex.C():
            pytest.fail("an R is not a C")
        case Element():
            pass
