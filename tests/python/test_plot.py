import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import korvex  # noqa: E402
from korvex import plot  # noqa: E402

F = np.logspace(-1, 4, 25)
TRUE = korvex.Circuit("R0-p(R1,C1)").with_values([1.0, 10.0, 1e-3])
Z = TRUE.impedance(F) * (1 + 0.01j)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def grid():
    return np.logspace(-1, 4, plot.GRID_POINTS)


def test_nyquist_draws_data_and_model_on_a_dense_grid():
    ax = plot.nyquist(F, Z, TRUE)
    data, model = ax.get_lines()
    np.testing.assert_array_equal(data.get_xdata(), Z.real)
    np.testing.assert_array_equal(data.get_ydata(), -Z.imag)
    np.testing.assert_allclose(model.get_xdata(), TRUE.impedance(grid()).real, rtol=1e-12)
    np.testing.assert_allclose(model.get_ydata(), -TRUE.impedance(grid()).imag, rtol=1e-12)
    assert ax.get_aspect() == 1.0
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Re Z / Ω", "−Im Z / Ω")
    assert model.get_label() == "R0-p(R1,C1)"


def test_bode_draws_magnitude_and_phase():
    magnitude, phase = plot.bode(F, Z, TRUE)
    np.testing.assert_array_equal(magnitude.get_lines()[0].get_ydata(), np.abs(Z))
    np.testing.assert_array_equal(phase.get_lines()[0].get_ydata(), -np.degrees(np.angle(Z)))
    np.testing.assert_allclose(phase.get_lines()[1].get_xdata(), grid(), rtol=1e-12)
    assert magnitude.get_xscale() == magnitude.get_yscale() == phase.get_xscale() == "log"


def test_residuals_in_percent_of_the_modulus():
    result = TRUE.fit(F, Z)
    ax = plot.residuals(F, Z, result)
    real, imag = ax.get_lines()[:2]
    expected = (Z - result.circuit.impedance(F)) / np.abs(Z) * 100
    np.testing.assert_allclose(real.get_ydata(), expected.real, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(imag.get_ydata(), expected.imag, rtol=1e-12, atol=1e-15)
    again = plot.residuals(F, Z, list(result.circuit.impedance(F)))
    np.testing.assert_array_equal(again.get_lines()[0].get_ydata(), real.get_ydata())


def spectrum_frame():
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(
        {"Frequency / Hz": F, "Real Impedance / ohm": Z.real, "Imaginary Impedance / ohm": Z.imag}
    )


def test_fit_figure_from_a_dataframe(tmp_path):
    frame = spectrum_frame()
    result = TRUE.fit(frame)
    fig = result.plot(frame, title="test")
    assert isinstance(fig, matplotlib.figure.Figure) and len(fig.axes) == 4
    np.testing.assert_array_equal(fig.axes[0].get_lines()[0].get_xdata(), Z.real)
    fig.savefig(tmp_path / "fit.png")
    assert (tmp_path / "fit.png").stat().st_size > 10_000


@pytest.mark.parametrize("panel", [plot.nyquist, plot.bode, plot.residuals])
def test_panels_take_the_data_first_and_the_axes_as_a_keyword(panel):
    frame = spectrum_frame()
    ax = plt.subplots(1, 2 if panel is plot.bode else 1)[1]
    ax = tuple(ax) if panel is plot.bode else ax
    drawn = panel(frame, TRUE, ax=ax)
    assert drawn is ax
    first = drawn[0] if panel is plot.bode else drawn
    assert len(first.get_lines()) >= 2
    # The axes-first order still draws, with a warning.
    with pytest.warns(DeprecationWarning, match="pass the data first"):
        assert panel(ax, F, Z, TRUE) is ax


@pytest.mark.parametrize(
    "call,error,match",
    [
        (lambda: plot.residuals(F, Z), ValueError, "a fitted model"),
        (lambda: plot.nyquist(F, Z[:3]), ValueError, "25 frequencies but 3 impedances"),
        (lambda: plot.nyquist(F, None, "R0"), TypeError, "expected a Circuit or FitResult"),
        (lambda: plot.fit(F, Z), ValueError, "pass model="),
        (lambda: plot.nyquist(F), ValueError, "nothing to plot"),
        (lambda: plot.bode({"f": F}), ValueError, "no 'Frequency / Hz' column"),
    ],
)
def test_bad_arguments(call, error, match):
    with pytest.raises(error, match=match):
        call()


@pytest.mark.parametrize("factor, unit", [(1e-3, "mΩ"), (1e3, "kΩ"), (1e6, "MΩ")])
def test_nyquist_uses_the_ohm_multiple_of_the_data_for_every_curve(factor, unit):
    ax = plot.nyquist(F, Z * factor)
    plot.nyquist(F, Z * factor * 5, ax=ax)  # a second spectrum keeps the first unit
    first, second = ax.get_lines()
    np.testing.assert_allclose(first.get_xdata(), Z.real, rtol=1e-12)
    np.testing.assert_allclose(second.get_xdata(), 5 * Z.real, rtol=1e-12)
    assert (ax.get_xlabel(), ax.get_ylabel()) == (f"Re Z / {unit}", f"−Im Z / {unit}")
    assert plot.fit(F, Z, TRUE).get_suptitle() == "R0-p(R1,C1)"
