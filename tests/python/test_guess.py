import math
import os

import eisnn_writer
import numpy as np
import pytest

import korvex
from korvex import _korvex

NAMES = [
    "rc",
    "rc_l",
    "rq",
    "rq_l",
    "two_rc",
    "two_rc_l",
    "two_rq",
    "two_rq_l",
    "randles",
    "sei_randles",
    "sei_randles_wo",
]
QUOTED = ", ".join(f"'{n}'" for n in NAMES)
NO_MODEL = (
    "No training data on this circuit. Machine-learning based initial parameters "
    f"available for {QUOTED}"
)


@pytest.fixture(scope="module")
def spectrum():
    f = np.logspace(-1, 5, 40)
    z = korvex.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5]).impedance(f)
    return f, z


@pytest.fixture
def rc_path(tmp_path):
    path = tmp_path / "rc.eisnn"
    path.write_bytes(eisnn_writer.random_model("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"]))
    return str(path)


@pytest.fixture
def rq_path(tmp_path):
    path = tmp_path / "rq.eisnn"
    names = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
    path.write_bytes(eisnn_writer.random_model("R0-(R1,CPE1)", names, seed=4))
    return str(path)


def test_ml_circuits_lists_the_built_in_names():
    assert korvex.Circuit.ml_circuits() == NAMES
    assert korvex.Circuit("R0").ml_circuits() == NAMES
    assert korvex.Circuit.ml_circuits.__doc__.endswith(
        "Names accepted by the constructor that have trained initial-parameter\n"
        "models, and so get a guessed starting point from `fit()` by default."
    )


def test_values_follow_the_circuits_own_order(spectrum, rc_path):
    f, z = spectrum
    model = korvex.Circuit("R0-(R1,C1)").guess(f, z, weights=rc_path)
    assert len(model) == 3 and all(isinstance(v, float) and v > 0 for v in model)
    assert korvex.Circuit("(R1,C2)-R3").guess(f, z, weights=rc_path) == [
        model[1],
        model[2],
        model[0],
    ]
    assert korvex.Circuit("R0-K1").guess(f, z, rc_path) == [model[0], model[1], model[1] * model[2]]


def test_zarc_gets_r_tau_and_gamma(spectrum, rq_path):
    f, z = spectrum
    r0, r1, q, alpha = korvex.Circuit("R0-(R1,CPE1)").guess(f, z, weights=rq_path)
    guess = korvex.Circuit("R0-Zarc1").guess(f, z, weights=rq_path)
    assert guess[:2] == [r0, r1]
    assert guess[2] == pytest.approx((r1 * q) ** (1 / alpha), rel=1e-12)
    assert 0.05 <= guess[3] == alpha <= 1.0


@pytest.mark.parametrize("points", [0, 1])
def test_too_few_points(points, rc_path, spectrum):
    f, z = spectrum
    with pytest.raises(ValueError) as info:
        korvex.Circuit("R0-(R1,C1)").guess(f[:points], z[:points], weights=rc_path)
    assert str(info.value) == f"need at least 2 frequency points to guess, got {points}"


def test_missing_model_comes_before_too_few_points():
    with pytest.raises(ValueError) as info:
        korvex.Circuit("R0-C1").guess([1.0], [1 + 1j])
    assert str(info.value) == NO_MODEL


def test_weights_for_another_circuit(spectrum, rc_path):
    with pytest.raises(ValueError) as info:
        korvex.Circuit("R0-C1").guess(*spectrum, weights=rc_path)
    assert str(info.value) == (
        f'weight file has an unparsable value for "{rc_path} was trained for '
        '\\"R0-(R1,C1)\\", which is a different circuit"'
    )


def test_unreadable_and_invalid_weights(spectrum, tmp_path):
    with pytest.raises(ValueError, match="^reading weights: "):
        korvex.Circuit("R0-(R1,C1)").guess(*spectrum, weights=str(tmp_path / "absent.eisnn"))
    bad = tmp_path / "bad.eisnn"
    bad.write_bytes(b"EISNN001")
    with pytest.raises(ValueError) as info:
        korvex.Circuit("R0-(R1,C1)").guess(*spectrum, weights=str(bad))
    assert str(info.value) == "weight file is truncated"
    # Nothing was cached for the failed load: the corrected file is read.
    bad.write_bytes(eisnn_writer.random_model("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"]))
    assert len(korvex.Circuit("R0-(R1,C1)").guess(*spectrum, weights=str(bad))) == 3


def test_a_rewritten_file_is_read_again(spectrum, rc_path, tmp_path):
    first = korvex.Circuit("R0-(R1,C1)").guess(*spectrum, weights=rc_path)
    assert korvex.Circuit("R0-(R1,C1)").guess(*spectrum, weights=rc_path) == first
    (tmp_path / "rc.eisnn").write_bytes(b"no longer a weight file")
    for text in [rc_path, os.path.join(str(tmp_path), ".", "rc.eisnn")]:
        with pytest.raises(ValueError, match="bad magic bytes"):
            korvex.Circuit("R0-(R1,C1)").guess(*spectrum, weights=text)


@pytest.mark.parametrize("weights", [3, b"rc.eisnn", ["rc.eisnn"]])
def test_weights_must_be_a_string(spectrum, weights):
    with pytest.raises(TypeError, match="weights"):
        korvex.Circuit("R0-(R1,C1)").guess(*spectrum, weights=weights)


def test_spectrum_errors_pass_through():
    with pytest.raises(ValueError, match="same length"):
        korvex.Circuit("R0-(R1,C1)").guess([1.0, 2.0], [1 + 1j])
    with pytest.raises(TypeError, match="frequencies"):
        korvex.Circuit("R0-(R1,C1)").guess("abc", [1 + 1j])


@pytest.mark.parametrize("bad", [0.0, -10.0, math.nan, math.inf])
def test_odd_frequencies_are_refused_by_index(spectrum, rc_path, bad):
    f, z = spectrum
    f = f.copy()
    f[[4, 7]] = bad
    message = rf"^frequencies\[4\] must be a positive finite number, got {bad!r}$"
    with pytest.raises(ValueError, match=message):
        korvex.Circuit("R0-(R1,C1)").guess(f, z, weights=rc_path)


def test_dataframe_input(spectrum, rc_path):
    pd = pytest.importorskip("pandas")
    f, z = spectrum
    frame = pd.DataFrame(
        {"Frequency / Hz": f, "Real Impedance / ohm": z.real, "Imaginary Impedance / ohm": z.imag}
    )
    circuit = korvex.Circuit("R0-(R1,C1)")
    assert circuit.guess(frame, weights=rc_path) == circuit.guess(f, z, weights=rc_path)


@pytest.mark.parametrize("name", NAMES)
def test_built_in_models_guess_or_say_their_weights_are_missing(name, spectrum):
    circuit = korvex.Circuit(name)
    try:
        values = circuit.guess(*spectrum)
    except ValueError as error:
        assert str(error) == (
            f'the built-in model "{name}" has no trained weights in this build of korvex'
        )
    else:
        assert len(values) == len(circuit.param_names())
        assert all(math.isfinite(v) for v in values)


def test_features_hook(spectrum):
    f, z = spectrum
    inputs, extras, z_scale, w_scale = _korvex._features(f, z)
    assert inputs.shape == (3, 64) and inputs.dtype == np.float64
    assert extras.shape == (2,)
    assert extras[0] == pytest.approx(6 * 0.125)
    assert extras[1] == pytest.approx(math.log10(40) * 0.5)
    # The grid spans the measured band; channel 2 is the grid against w_s.
    grid = np.linspace(-1, 5, 64)
    assert inputs[2] == pytest.approx((grid - math.log10(w_scale / (2 * math.pi))) * 0.25)
    assert inputs[0][0] == pytest.approx(math.log10(abs(z[0]) / z_scale))
    # Reversed input order gives the same features (up to the order of the
    # scale estimator's sums).
    again = _korvex._features(f[::-1], z[::-1], n_grid=64)
    assert again[0] == pytest.approx(inputs, rel=1e-12, abs=1e-12)
    assert _korvex._features(f, z, n_grid=1)[0].shape == (3, 1)
    with pytest.raises(ValueError):
        _korvex._features(f, z, n_grid=10**9)
