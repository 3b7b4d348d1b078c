import _thread
import threading
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import korvex

TEXT = "R0-p(R1,CPE1)-p(R2,CPE2)"
F = np.logspace(-2, 5, 40)
TRUTH = [0.02, 0.05, 1e-3, 0.8, 0.1, 0.5, 0.85]


def drifting(n, seed=0):
    """Spectra whose second arc grows slowly, with 0.2 % noise."""
    rng = np.random.default_rng(seed)
    circuit = korvex.Circuit(TEXT)
    out = []
    for k in range(n):
        values = list(TRUTH)
        values[4] *= 1 + 0.02 * k
        z = circuit.with_values(values).impedance(F)
        out.append((F, z * (1 + 0.002 * rng.standard_normal(F.size))))
    return out


@pytest.fixture(scope="module")
def spectra():
    return drifting(24)


def test_exact_engine_equals_a_loop_of_fits(spectra):
    circuit = korvex.Circuit(TEXT)
    batch = korvex.fit_many(circuit, spectra, engine="exact", threads=2)
    for (f, z), result in zip(spectra, batch):
        single = circuit.fit(f, z)
        assert result.params == single.params
        assert result.impedance_evals == single.impedance_evals
    assert batch.failed == {} and batch.elapsed > 0


def test_fast_engine_agrees_with_exact(spectra):
    circuit = korvex.Circuit(TEXT)
    fast = korvex.fit_many(circuit, spectra)
    exact = korvex.fit_many(circuit, spectra, engine="exact")
    for a, b in zip(fast, exact):
        assert a.success
        assert a.chi_square == pytest.approx(b.chi_square, rel=1e-3)


@pytest.mark.parametrize("form", ["pairs", "frames", "long", "mapping"])
def test_input_forms_and_frame(spectra, form):
    circuit = korvex.Circuit(TEXT)
    frames = [
        pd.DataFrame(
            {"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
        )
        for f, z in spectra[:3]
    ]
    kwargs = {}
    if form == "pairs":
        data, keys = spectra[:3], [0, 1, 2]
    elif form == "frames":
        data, keys = frames, [0, 1, 2]
    elif form == "long":
        data = pd.concat([fr.assign(cycle=c) for c, fr in zip([5, 6, 7], frames)])
        kwargs, keys = {"by": "cycle"}, [5, 6, 7]
    else:
        data, keys = {"a": spectra[0], "b": spectra[1], "c": spectra[2]}, ["a", "b", "c"]
    batch = korvex.fit_many(circuit, data, **kwargs)
    frame = batch.frame()
    assert list(frame.index) == keys
    assert {"R0.r", "R0.r_stderr", "chi_square", "success", "status", "error"} <= set(frame)
    assert frame["R1.r"].to_numpy() == pytest.approx([0.05] * 3, rel=0.02)


def test_errors_are_recorded_or_raised(spectra):
    circuit = korvex.Circuit(TEXT)
    bad = [spectra[0], (F, spectra[1][1][:-1]), ("not", "numbers"), spectra[2]]
    batch = korvex.fit_many(circuit, bad)
    assert list(batch.failed) == [1, 2]
    assert isinstance(batch[1], ValueError) and "same length" in str(batch[1])
    assert isinstance(batch[2], TypeError)
    assert batch[3].success
    frame = batch.frame()
    assert frame["success"].tolist() == [True, False, False, True]
    assert "same length" in frame.loc[1, "error"]
    with pytest.raises(ValueError, match="same length"):
        korvex.fit_many(circuit, bad, on_error="raise", threads=1)


def test_chain_keeps_the_arcs_and_saves_evaluations():
    series = drifting(30, seed=1)
    circuit = korvex.Circuit(TEXT)
    chained = korvex.fit_many(circuit, series, chain=True)
    unchained = korvex.fit_many(circuit, series)
    r2 = [res.params["R2.r"] for res in chained]
    assert np.all(np.diff(r2) > 0)  # the slow arc stays the slow arc
    assert sum(r.impedance_evals for r in chained) < sum(r.impedance_evals for r in unchained)
    # Two chains by label run side by side and each keeps its order.
    labels = ["a", "b"] * 15
    both = korvex.fit_many(circuit, series, chain=labels)
    assert all(r.success for r in both)


SERIES = Path(__file__).parents[2] / "bench/data/series/coincell_autoeis_cycles000-063.csv"


@pytest.fixture(scope="module")
def coin_cell():
    """The first six cycles of a real ageing coin cell: on these the arcs of
    the two-arc circuit change roles, and a plain chain runs off."""
    frame = pd.read_csv(SERIES)
    return [
        (g["frequency_hz"].to_numpy(), g["z_real_ohm"].to_numpy() + 1j * g["z_imag_ohm"].to_numpy())
        for _, g in frame[frame["cycle"] < 6].groupby("cycle")
    ]


def arc_time_constants(result):
    p = result.params
    return [(p[f"R{k}.r"] * p[f"CPE{k}.q"]) ** (1 / p[f"CPE{k}.alpha"]) for k in (1, 2)]


def test_chain_on_a_real_series_keeps_up_with_independent_fits(coin_cell):
    circuit = korvex.Circuit(TEXT)
    chained = korvex.fit_many(circuit, coin_cell, chain=True)
    independent = korvex.fit_many(circuit, coin_cell, starts="auto")
    for (_, z), link, alone in zip(coin_cell, chained, independent):
        assert link.success
        assert link.chi_square <= 1.05 * alone.chi_square
        assert max(link.params[n] for n in ("R0.r", "R1.r", "R2.r")) < 1000 * np.abs(z).max()
    orders = {tuple(np.argsort(arc_time_constants(r))) for r in chained}
    assert len(orders) == 1


def test_a_runaway_fit_is_not_a_success(coin_cell):
    # From this start the second arc's resistance runs off to infinity.
    f, z = coin_cell[2]
    result = korvex.Circuit(TEXT).estimate(f, z).fit(f, z)
    assert result.params["R2.r"] > 1000 * np.abs(z).max()
    assert (result.success, result.status) == (False, "runaway")
    assert "ran off" in result.message and "R2.r ran off" in result.warnings[0]


def test_progress_callback_and_keyword_checks(spectra):
    circuit = korvex.Circuit(TEXT)
    seen = []
    korvex.fit_many(circuit, spectra, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (len(spectra), len(spectra))
    assert all(t == len(spectra) for _, t in seen)
    for bad in [{"on_error": "ignore"}, {"engine": "quick"}, {"threads": 0}]:
        with pytest.raises(ValueError):
            korvex.fit_many(circuit, spectra, **bad)
    with pytest.raises(TypeError, match="unexpected keyword argument 'ftoll'"):
        korvex.fit_many(circuit, spectra, ftoll=1e-3)


def test_constants_and_bounds_pass_through(spectra):
    circuit = korvex.Circuit(TEXT)
    batch = korvex.fit_many(
        circuit, spectra[:4], constants={"R0.r": 0.02}, bounds={"CPE2.alpha": (0.5, 0.84)}
    )
    for result in batch:
        assert result.params["R0.r"] == 0.02
        assert result.params["CPE2.alpha"] <= 0.84


def test_ctrl_c_stops_the_batch_and_keeps_what_is_done(ctrl_c):
    series = drifting(4000, seed=2)
    circuit = korvex.Circuit(TEXT)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt) as caught:
        korvex.fit_many(circuit, series, threads=1)
    timer.join()
    partial = caught.value.partial
    done = [r for r in partial if r is not None]
    assert 0 < len(done) < len(series)
    assert all(r.success for r in done)


def test_fit_shared_holds_one_value_and_beats_nothing_it_should_not():
    series = drifting(5, seed=3)
    circuit = korvex.Circuit(TEXT)
    joint = korvex.fit_shared(
        circuit, series, ["CPE1.alpha", "CPE2.alpha"], constants={"R0.r": 0.02}
    )
    assert joint.success and len(joint.params) == 5
    assert {p["CPE2.alpha"] for p in joint.params} == {joint.shared["CPE2.alpha"]}
    assert all(p["R0.r"] == 0.02 for p in joint.params)
    assert joint.shared_stderr["CPE1.alpha"] > 0
    assert joint.total_chi_square <= sum(r.chi_square for r in joint.separate) * 1.5
    assert list(joint.frame().index) == list(range(5))
    with pytest.raises(ValueError, match="unknown parameter 'CPE9.alpha'"):
        korvex.fit_shared(circuit, series, ["CPE9.alpha"])
    with pytest.raises(ValueError, match="both shared and constant"):
        korvex.fit_shared(circuit, series, ["R0.r"], constants={"R0.r": 1.0})


def test_circuit_without_model_is_searched_by_default():
    # Placeholder starts alone miss the minimum on two of these spectra.
    c = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-CPE3")
    f = np.logspace(-2, 4, 50)
    rng = np.random.default_rng(0)
    spectra = []
    for i in range(3):
        t = c.with_values([0.1 * (1 + 0.1 * i), 2, 1e-4, 0.9, 3, 1e-2, 0.8, 1, 0.7])
        spectra.append((f, t.impedance(f) * (1 + 0.005 * rng.standard_normal(50))))
    searched = korvex.fit_many(c, spectra)
    for r, (f_, z) in zip(searched, spectra):
        assert r.chi_square == pytest.approx(c.fit(f_, z, starts="auto").chi_square, rel=1e-6)
        assert r.chi_square < 0.01


def test_identify_takes_model_names():
    f = np.logspace(-2, 4, 40)
    z = korvex.Circuit("two_rq").with_values([0.1, 1, 1e-4, 0.9, 2, 1e-2, 0.8]).impedance(f)
    ranked = korvex.identify(f, z, candidates=["two_rq", "rq"])
    assert ranked[0].circuit.text == korvex.Circuit("two_rq").text
