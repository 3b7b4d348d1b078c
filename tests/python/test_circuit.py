import math
import random

import pytest

import korvex
from korvex import Circuit, Parallel, Series

HELP_TAIL = """syntax:
  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"
  - connect elements in series with '-', e.g. "R0-C1"
  - connect elements in parallel with '(...)' or 'p(...)', e.g. "R0-(R1,C1)" or "R0-p(R1,C1)"

available elements (code, parameters, [units]):
  R     r [ohm]
  C     c [F]
  L     l [H]
  La    l [H*s], alpha [-]
  CPE   q [ohm^-1*s^alpha], alpha [-]
  W     aw [ohm*s^-0.5]
  Wo    z0 [ohm], tau [s]
  Ws    z0 [ohm], tau [s]
  G     rg [ohm], tg [s]
  Gs    rg [ohm], tg [s], phi [-]
  K     r [ohm], tau_k [s]
  Zarc  r [ohm], tau_k [s], gamma [-]
  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]
  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]"""


def parse_message(text):
    with pytest.raises(ValueError) as info:
        Circuit(text)
    return str(info.value)


def test_module_surface():
    assert korvex.Circuit.__module__ == "korvex"
    assert korvex.Series.__doc__.endswith("Connect elements and circuits end to end.")


@pytest.mark.parametrize(
    "text,first,caret",
    [
        ("R0-X1", 'unknown element code "X" at position 3', "     ^"),
        (" R0-C1", "unexpected character at position 0", "  ^"),
        ("R0 -C1", "unexpected trailing input at position 2", "    ^"),
        ("R", "unexpected character at position 1", "   ^"),
        # The caret counts characters, so it stands under the multi-byte one.
        ("R0-\u00e91", "unexpected character at position 3", "     ^"),
        ("(R1,C2)-\U0001f600", "unexpected character at position 8", "          ^"),
    ],
)
def test_error_with_position(text, first, caret):
    assert parse_message(text) == "\n".join([first, "", "  " + text, caret, "", HELP_TAIL])


@pytest.mark.parametrize(
    "text,first",
    [
        ("", "unexpected end of input"),
        ("(R1,C1", "unexpected end of input"),
        ("R1-C1-R1", 'duplicate element label "R1"'),
    ],
)
def test_error_without_position(text, first):
    assert parse_message(text) == "\n".join([first, "", HELP_TAIL])


def test_deep_text_nesting_is_a_clear_error():
    message = parse_message("(" * 5000 + "R1" + ")" * 5000)
    assert "nested" in message.splitlines()[0]
    assert message.splitlines()[3].endswith("^")
    assert len(Circuit("(" * 200 + "R1" + ")" * 200).param_names()) == 1


@pytest.mark.parametrize(
    "text,expected",
    [
        ("rc", "R0-(R1,C1)"),
        ("  RANDLES ", "R0-(R1-W1,CPE1)"),
        ("Sei_Randles_Wo\n", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"),
        ("\u3000two_rq_l\u2029", "L0-R0-(R1,CPE1)-(R2,CPE2)"),
    ],
)
def test_builtin_names(text, expected):
    assert repr(Circuit(text)) == repr(Circuit(expected))


@pytest.mark.parametrize("text", ["randles-R5", "\x1crandles", "rändles", "rc1"])
def test_not_builtin_names(text):
    with pytest.raises(ValueError):
        Circuit(text)


@pytest.mark.parametrize("value", [b"R0", None, 5, ["R0"]])
def test_circuit_needs_str(value):
    with pytest.raises(TypeError, match="'s'"):
        Circuit(value)
    assert Circuit(s="R0").param_names() == ["R0.r"]


def test_series_flattens_and_keeps_labels():
    c = Series([Circuit("R0-C1"), korvex.R(5), Circuit("(R2,L3)")])
    assert c.param_names() == ["R0.r", "C1.c", "R0.r", "R2.r", "L3.l"]
    assert c.param_values() == [1.0, 0.001, 5.0, 1.0, 1e-6]
    empty = Series(parts=[])
    assert empty.param_names() == []
    assert list(empty.impedance([1.0, 2.0])) == [0j, 0j]


def test_parallel_branches():
    c = Parallel((korvex.R(2), Series([korvex.R(1), korvex.R(1)])))
    assert c.impedance([3.0])[0] == 1 + 0j
    assert Parallel([korvex.R(4)]).impedance([1.0])[0] == pytest.approx(4.0)
    nested = Parallel([Circuit("R0-C1"), korvex.L(1e-3)])
    assert nested.param_names() == ["R0.r", "C1.c", "L0.l"]
    z = Parallel([]).impedance([1.0])[0]  # no branches: admittance 0
    assert math.isnan(z.real) and math.isnan(z.imag)


class Exploding:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise KeyError("boom")


@pytest.mark.parametrize("builder", [Series, Parallel])
def test_builder_argument_errors(builder):
    with pytest.raises(TypeError, match="'parts'.*str"):
        builder("R0")
    with pytest.raises(TypeError, match="'parts'.*Sequence"):
        builder(5)
    with pytest.raises(TypeError, match="'parts'.*Sequence"):
        builder(None)
    with pytest.raises(TypeError, match="'parts'.*element.*circuit"):
        builder([korvex.R(1), "R0"])
    with pytest.raises(TypeError, match="'parts'"):
        builder([Circuit.__new__(Circuit)])
    with pytest.raises(KeyError, match="boom"):
        builder(Exploding())


def test_deep_builder_nesting_stops_at_the_limit():
    c = Circuit("R0")
    depth = 0
    with pytest.raises(ValueError, match="nested"):
        while depth < 1000:
            c = Parallel([c, korvex.C(1e-3)])
            depth += 1
    assert depth == 200
    # The deepest accepted circuit still evaluates, rebuilds and prints.
    assert len(c.param_names()) == 201
    assert c.with_values(c.param_values()).impedance([1.0, 1e3]).shape == (2,)
    assert repr(c).startswith("Circuit (201 parameters)")
    # Series does not nest, so it can join deep circuits freely.
    d = Circuit("R1")
    for _ in range(depth):
        d = Parallel([d, korvex.C(1e-3)])
    assert len(Series([c, d]).param_names()) == 402


ALPHABET = "RCLpaWoszGKZrcTQEPM0123456789()-,, \u00e9\u2029\U0001f600\ud800\x00"


@pytest.mark.parametrize("seed", range(4))
def test_random_text_raises_only_value_or_type_error(seed):
    rng = random.Random(seed)
    outcomes = set()
    for _ in range(1000):
        kind = rng.randrange(3)
        n = rng.randrange(40)
        if kind == 0:
            value = bytes(rng.randrange(256) for _ in range(n))
            if rng.random() < 0.5:
                value = value.decode("utf-8", "surrogateescape")
        elif kind == 1:
            value = "".join(chr(rng.randrange(0x110000)) for _ in range(n))
        else:
            value = "".join(rng.choice(ALPHABET) for _ in range(n))
        try:
            c = Circuit(value)
        except (ValueError, TypeError) as e:
            outcomes.add(type(e).__name__)
        else:
            outcomes.add("ok")
            repr(c)
    assert "ValueError" in outcomes


def test_echoed_text_keeps_nul_characters():
    assert parse_message("R0\x00-C1").splitlines()[2] == "  R0\x00-C1"
