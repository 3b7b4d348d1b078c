import math
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import korvex

pd = pytest.importorskip("pandas")

F = np.logspace(-1, 4, 20)


def fit_rc(r1):
    c = korvex.Circuit("R0-p(R1,C1)").with_values([1.0, r1, 1e-3])
    return c.fit(F, c.impedance(F))


def test_results_frame():
    a, b = fit_rc(5.0), korvex.Circuit("R0").with_values([2.0]).fit(F, [2.0] * 20)
    frame = korvex.results_frame({"cell1": a, "cell2": b})
    assert frame.index.name == "name" and list(frame.index) == ["cell1", "cell2"]
    assert list(frame.columns[:4]) == ["circuit", "success", "chi_square", "cost"]
    assert frame.loc["cell1", "R1.r"] == a.params["R1.r"]
    assert frame.loc["cell1", "R1.r_stderr"] == a.stderr["R1.r"]
    assert math.isnan(frame.loc["cell2", "R1.r"]) and frame.loc["cell2", "circuit"] == "R0"
    assert list(korvex.results_frame([a, b]).index) == [0, 1]
    with pytest.raises(ValueError, match="1 names for 2 results"):
        korvex.results_frame([a, b], names=["x"])
    with pytest.raises(TypeError, match="expected FitResult objects"):
        korvex.results_frame([a.circuit])
    assert frame.attrs["units"]["C1.c_stderr"] == "F"
    named = korvex.results_frame([a], units_in_names=True)
    assert {"R1.r [ohm]", "C1.c [F]", "R1.r_stderr [ohm]", "chi_square"} <= set(named.columns)


def test_circuit_html_table():
    html = korvex.Circuit("R0-p(R1,CPE1)")._repr_html_()
    assert html.startswith("<table><caption>Circuit <code>R0-p(R1,CPE1)</code> (4 parameters)")
    assert "<tr><td>CPE1.alpha</td><td>0.8</td><td>-</td><td>0</td><td>1</td></tr>" in html


def test_results_come_back_from_worker_processes():
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        results = list(pool.map(fit_rc, [2.0, 3.0, 4.0]))
    assert [r.params["R1.r"] for r in results] == pytest.approx([2.0, 3.0, 4.0])
    assert results[0] == fit_rc(2.0)
