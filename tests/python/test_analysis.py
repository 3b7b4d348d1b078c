"""Kramers-Kronig test, DRT and identify() on measured and synthetic spectra."""

from pathlib import Path

import numpy as np
import pytest

import korvex

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
F60 = np.logspace(5, -2, 60)


def measured(name="example_spectrum_bdf.csv"):
    rows = np.loadtxt(EXAMPLES / name, delimiter=",", skiprows=1)
    return rows[:, 0], rows[:, 1] + 1j * rows[:, 2]


def zarcs(arcs, noise=0.0, seed=0, r0=10.0):
    text = "R0" + "".join(f"-(R{i + 1},CPE{i + 1})" for i in range(len(arcs)))
    values = [r0]
    for r, tau, alpha in arcs:
        values += [r, tau**alpha / r, alpha]
    z = korvex.Circuit(text).with_values(values).impedance(F60)
    rng = np.random.default_rng(seed)
    return z + noise * np.abs(z) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))


# M, mu and residuals of impedance.py 1.7.1's linKK(f, Z, fit_type=...) on its
# own example spectrum (bench/analysis.py compares the whole vectors).
@pytest.mark.parametrize(
    "fit, m, mu, res_re0, res_im10",
    [
        ("complex", 14, 0.8186562595523944, -0.1004987948799032, -0.004178636409527958),
        ("real", 22, 0.8306426290932996, 0.00029682496713969553, -0.03404768128769173),
        ("imag", 16, 0.8300664144236025, -0.13074393369341492, 0.005737139086883303),
    ],
)
def test_kk_matches_impedance_py(fit, m, mu, res_re0, res_im10):
    k = korvex.kramers_kronig(*measured(), fit=fit, choose_m="linkk")
    assert k.m == m and k.m_choice == "linkk"
    assert k.mu == pytest.approx(mu, rel=1e-9)
    assert k.residuals_real[0] == pytest.approx(res_re0, rel=1e-6)
    assert k.residuals_imag[10] == pytest.approx(res_im10, rel=1e-6)
    assert k.pseudo_chi_square == pytest.approx(np.sum(k.residuals_real**2 + k.residuals_imag**2))


def test_kk_m_selection():
    f, z = measured()
    # c=None takes exactly max_m elements; c=1 accepts the first M (mu <= 1).
    assert korvex.kramers_kronig(f, z, c=None, max_m=7).m == 7
    assert korvex.kramers_kronig(f, z, c=1.0, choose_m="linkk").m == 1
    # The first M whose mu falls below c: every smaller M was above it.
    k = korvex.kramers_kronig(f, z, c=0.85, choose_m="linkk")
    assert all(korvex.kramers_kronig(f, z, c=None, max_m=m).mu > 0.85 for m in range(1, k.m))
    assert korvex.kramers_kronig(f, z, c=None, max_m=k.m).mu == k.mu
    # More elements than points is a cap at the number of points.
    capped = korvex.kramers_kronig(f, z, c=None, max_m=len(f) + 10)
    assert capped.m == len(f) and capped.mu == korvex.kramers_kronig(f, z, c=None, max_m=len(f)).mu


def test_kk_tells_valid_from_non_causal():
    z = zarcs([(20.0, 1e-3, 0.9), (30.0, 1.0, 0.85)], noise=0.002)
    good = korvex.kramers_kronig(F60, z)
    assert good.valid and good.noise < 0.004
    # The same spectrum mirrored in the real axis is not causal: a sign
    # error in the imaginary part shows as large residuals, not as a raise.
    bad = korvex.kramers_kronig(F60, z.conj())
    assert not bad.valid
    assert np.abs(bad.residuals_imag).max() > 10 * np.abs(good.residuals_imag).max()
    # Drift: the low-frequency half drawn from a circuit that changed.
    drifted = z.copy()
    drifted[30:] *= np.linspace(1.0, 1.1, 30)
    assert not korvex.kramers_kronig(F60, drifted).valid


def test_kk_chooses_m_where_the_residuals_stop_improving():
    # Noise growing from 0.02 % to 0.5 % towards low frequency: one threshold
    # from the quiet end rejects the noisy one; the noise around each point does not.
    z = zarcs([(20.0, 1e-3, 0.9), (30.0, 1.0, 0.85)])
    rng = np.random.default_rng(5)
    sigma = 0.0002 * 25 ** np.linspace(0, 1, 60)
    z = z + sigma * np.abs(z) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
    k = korvex.kramers_kronig(F60, z)
    assert k.valid and k.m_choice == "residuals" and 1 <= k.m_lower <= k.m <= 50
    assert np.abs(k.residuals_real).max() > k.threshold == k.local_threshold.min()
    # Every larger M lowers the pseudo chi-square by no more than noise would.
    assert korvex.kramers_kronig(F60, z, c=None, max_m=50, add_capacitance=True).m == 50
    assert "residuals stop improving" in k.reason and "within its threshold" in k.reason
    linkk = korvex.kramers_kronig(F60, z, choose_m="linkk")
    assert linkk.m_choice == "linkk" and "mu" in linkk.reason
    assert korvex.kramers_kronig(F60, z, c=None).m_choice == "max_m"
    # A long spectrum's M is chosen on a subset, its fit uses every point.
    f = np.logspace(5, -2, 3000)
    long = korvex.Circuit("R0-(R1,CPE1)").with_values([10.0, 20.0, 1e-3, 0.9]).impedance(f)
    k = korvex.kramers_kronig(f, long * (1 + 1e-4 * rng.standard_normal(3000)))
    assert k.valid and k.z_fit.size == 3000


@pytest.mark.parametrize("fit", ["complex", "real", "imag"])
def test_kk_recovers_its_own_model(fit):
    # A spectrum that is exactly the test's model with M = 5 is fitted exactly.
    w = 2 * np.pi * F60
    tau = np.logspace(np.log10(1 / w.max()), np.log10(1 / w.min()), 5)
    r = np.array([3.0, -1.0, 8.0, 2.0, 5.0])
    z = 4.0 + 1j * w * 2e-6 - 1j / (w * 0.5) + (r / (1 + 1j * np.outer(w, tau))).sum(axis=1)
    k = korvex.kramers_kronig(F60, z, c=None, max_m=5, add_capacitance=True, fit=fit)
    np.testing.assert_allclose(k.tau, tau, rtol=1e-12)
    np.testing.assert_allclose(k.r, r, rtol=1e-6)
    assert k.inductance == pytest.approx(2e-6, rel=1e-6)
    assert k.capacitance == pytest.approx(0.5, rel=1e-6)
    assert k.series_resistance == pytest.approx(4.0, rel=1e-6)
    assert k.mu == pytest.approx(1 - 1 / 18)
    assert np.abs(k.residuals_imag).max() < 1e-9


def test_analysis_accepts_a_dataframe():
    f, z = measured()
    frame = {
        "frequency_hertz": list(f),
        "real_impedance_ohm": list(z.real),
        "imaginary_impedance_ohm": list(z.imag),
    }
    assert korvex.kramers_kronig(frame).mu == korvex.kramers_kronig(f, z).mu
    assert korvex.drt(frame).lam == korvex.drt(f, z).lam


@pytest.mark.parametrize("tool", [korvex.kramers_kronig, korvex.drt, korvex.identify])
@pytest.mark.parametrize(
    "f, z, message",
    [
        ([1.0, 2.0], [1 + 1j, 2 + 1j], "needs at least"),
        ([1.0, -2.0, 3.0, 4.0, 5.0], [1 + 1j] * 5, "positive and finite"),
        ([1.0, np.inf, 3.0, 4.0, 5.0], [1 + 1j] * 5, "positive and finite"),
        ([1.0, 2.0, 3.0, 4.0, 5.0], [1 + 1j, np.nan, 1, 1, 1], "finite"),
        ([1.0, 2.0, 3.0, 4.0, 5.0], [1, 0, 1, 1, 1], "nonzero"),
    ],
)
def test_bad_spectra_raise(tool, f, z, message):
    with pytest.raises(ValueError, match=message):
        tool(f, z)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, z: korvex.kramers_kronig(f, z, max_m=0), "max_m"),
        (lambda f, z: korvex.kramers_kronig(f, z, fit="both"), "unknown fit"),
        (lambda f, z: korvex.kramers_kronig(f, z, choose_m="mu"), "unknown choose_m"),
        (lambda f, z: korvex.drt(f, z, lam=-1.0), "lam"),
        (lambda f, z: korvex.drt(f, z, basis="spline"), "unknown basis"),
        (lambda f, z: korvex.identify(f, z, ["R0-(R1"]), "candidate"),
        (lambda f, z: korvex.identify(f, z, []), "empty"),
        (lambda f, z: korvex.identify(f, z, criterion="hqc"), "unknown criterion"),
    ],
)
def test_bad_options_raise(call, message):
    with pytest.raises(ValueError, match=message):
        call(F60, zarcs([(20.0, 1e-3, 0.9)]))


@pytest.mark.parametrize(
    "arcs, seed",
    [
        ([(50.0, 1e-2, 0.8)], 3),
        ([(20.0, 1e-3, 0.9), (30.0, 1.0, 0.85)], 4),
    ],
)
def test_drt_peaks_at_one_percent_noise(arcs, seed):
    result = korvex.drt(F60, zarcs(arcs, noise=0.01, seed=seed))
    # Automatic lambda lands inside the search range, not on its floor.
    assert 1e-3 < result.lam < 1
    peaks = sorted(result.peaks(), key=lambda p: -p.r)[: len(arcs)]
    for (r, tau, _), p in zip(sorted(arcs, key=lambda a: a[1]), sorted(peaks)):
        assert p.tau == pytest.approx(tau, rel=0.1)
        assert p.r == pytest.approx(r, rel=0.05)
    assert result.r_inf == pytest.approx(10.0, rel=0.05)


def test_drt_noise_free_has_no_ringing():
    result = korvex.drt(F60, zarcs([(20.0, 1e-3, 0.9), (30.0, 1.0, 0.85)]))
    assert [round(np.log10(p.tau)) for p in result.peaks()] == [-3, 0]
    assert np.abs(result.residuals_real).max() < 1e-3
    np.testing.assert_allclose(
        result.z_fit, zarcs([(20.0, 1e-3, 0.9), (30.0, 1.0, 0.85)]), rtol=2e-3
    )
    assert result.gamma.min() >= 0.0


def test_drt_without_sign_constraint_and_inductance():
    z = korvex.Circuit("L0-R0-(R1,C1)").with_values([2e-6, 5.0, 20.0, 1e-3]).impedance(F60)
    with_l = korvex.drt(F60, z, lam=1e-3, nonneg=False)
    assert with_l.l == pytest.approx(2e-6, rel=0.05)
    assert korvex.drt(F60, z, lam=1e-3, inductance=False).l == 0.0


def test_identify_ranks_the_true_circuit_first():
    z = zarcs([(20.0, 1e-3, 0.8)], noise=0.01, seed=5)
    ranked = korvex.identify(F60, z)
    assert ranked[0].text == "R0-p(R1,CPE1)"
    # Candidates are named as Circuit.text writes them.
    assert all(r.text == r.circuit.text for r in ranked)
    assert isinstance(ranked[0].circuit, korvex.Circuit)
    assert ranked[0].circuit.param_names() == list(ranked[0].fit.params)
    assert [r.criterion for r in ranked] == sorted(r.criterion for r in ranked)
    assert sum(r.weight for r in ranked) == pytest.approx(1.0)
    assert ranked[0].weight == max(r.weight for r in ranked)
    assert "misfit" in next(r for r in ranked if r.text == "R0-p(R1,C1)").flags
    # A second arc that is not there is unidentifiable or loses on BIC.
    two = next(r for r in ranked if r.text == "R0-p(R1,CPE1)-p(R2,CPE2)")
    assert two.bic > ranked[0].bic


def test_identify_ties_keep_the_simpler_then_earlier_candidate():
    z = zarcs([(20.0, 1e-3, 0.8)], noise=0.01, seed=6)
    # The same topology under two labellings fits identically.
    ranked = korvex.identify(F60, z, ["R5-(R6,CPE6)", "R0-(R1,CPE1)"])
    assert ranked[0].criterion == ranked[1].criterion
    assert [r.text for r in ranked] == ["R5-p(R6,CPE6)", "R0-p(R1,CPE1)"]
    assert ranked[0].weight == ranked[1].weight == 0.5
    assert all("indistinguishable" in r.flags for r in ranked)


def test_identify_screens_long_spectra_on_a_subset_and_fits_every_point():
    f = np.logspace(5, -2, 400)
    truth = [5.0, 20.0, 1e-4, 0.8]
    z = korvex.Circuit("R0-(R1,CPE1)").with_values(truth).impedance(f)
    ranked = korvex.identify(f, z, ["R0-(R1,C1)", "R0-(R1,CPE1)"])
    assert ranked[0].text == "R0-p(R1,CPE1)"
    assert list(ranked[0].fit.params.values()) == pytest.approx(truth, rel=1e-6)


def test_identify_aic_and_flags():
    z = zarcs([(20.0, 1e-3, 0.8)], noise=0.01, seed=7)
    ranked = korvex.identify(F60, z, ["R0-(R1,CPE1)", "R0-L1"], criterion="aic")
    assert ranked[0].criterion == ranked[0].aic
    assert ranked[1].text == "R0-L1" and {"misfit", "unguessed"} <= set(ranked[1].flags)
    assert not any("indistinguishable" in r.flags for r in ranked)


def test_plots_draw_on_given_axes():
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    fig, (a, b) = plt.subplots(1, 2)
    f, z = measured()
    assert korvex.kramers_kronig(f, z).plot(ax=a) is a
    assert korvex.drt(f, z).plot(ax=b) is b
    assert len(b.lines) == 1 + len(korvex.drt(f, z).peaks())
    plt.close(fig)


def test_drt_long_spectrum_keeps_a_bounded_basis():
    f = np.logspace(5, -2, 300)
    z = korvex.Circuit("R0-(R1,CPE1)").with_values([1.0, 10.0, 1e-3, 0.8]).impedance(f)
    result = korvex.drt(f, z)
    assert result.centres.size == result.coefficients.size == 100
    assert result.z_fit.size == 300
    [peak] = result.peaks()
    assert peak.r == pytest.approx(10.0, rel=0.01)
