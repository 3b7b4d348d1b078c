"""The protocol every result type speaks, and the shared fit's bounds and
standard errors."""

import json
import math

import numpy as np
import pandas as pd
import pytest
from test_batch import TEXT, drifting

import korvex

SERIES = drifting(4, seed=3)


def _make(kind):
    circuit = korvex.Circuit(TEXT)
    f, z = SERIES[0]
    if kind == "fit":
        return circuit.fit(f, z)
    if kind == "batch":  # one spectrum fails and is recorded
        return korvex.fit_many(circuit, [*SERIES, (f, z[:-1])])
    if kind == "shared":
        return korvex.fit_shared(circuit, SERIES, ["CPE1.alpha"])
    if kind == "kk":
        return korvex.kramers_kronig(f, z)
    if kind == "drt":
        return korvex.drt(f, z)
    return korvex.identify(f, z, ["R0-p(R1,CPE1)", TEXT])


@pytest.mark.parametrize("kind", ["fit", "batch", "shared", "kk", "drt", "ranking"])
def test_every_result_speaks_the_protocol(kind):
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    result = _make(kind)
    text = json.dumps(result.to_dict())
    again = type(result).from_dict(json.loads(text))
    assert json.dumps(again.to_dict()) == text
    frame = result.to_frame()
    assert isinstance(frame, pd.DataFrame) and len(frame) > 0
    assert "<table" in result._repr_html_()
    assert isinstance(result.status, str) and isinstance(result.message, str)
    assert result.status in result.report()
    fig, ax = plt.subplots()
    drawn = result.plot(*SERIES[0], ax=ax) if kind == "fit" else result.plot(ax=ax)
    assert drawn is ax
    plt.close(fig)


def test_a_kk_result_saved_before_the_choice_of_m_reads_back_as_linkk():
    state = _make("kk").to_dict()
    for key in ("m_choice", "m_lower", "c", "local_threshold", "reason"):
        del state[key]
    old = korvex.KKResult.from_dict(state)
    assert old.m_choice == "linkk" and set(old.local_threshold) == {old.threshold}


def test_a_failure_is_a_status_and_a_message():
    batch = _make("batch")
    assert batch.status == "partial" and "same length" in batch.message
    assert batch.to_frame().loc[4, "status"] == "failed"
    assert isinstance(type(batch).from_dict(batch.to_dict())[4], ValueError)
    assert batch.frame().equals(batch.to_frame())  # the older name stays


def test_shared_fit_honours_bounds_and_keeps_the_other_standard_errors():
    circuit = korvex.Circuit(TEXT)
    joint = korvex.fit_shared(
        circuit,
        drifting(5, seed=4),
        ["CPE1.alpha", "CPE2.alpha"],
        bounds={"CPE2.alpha": (0.5, 0.84)},
    )
    assert joint.success and joint.shared["CPE2.alpha"] == 0.84  # alone it is 0.85
    assert math.isnan(joint.shared_stderr["CPE2.alpha"])
    others = [v for e in joint.stderr for k, v in e.items() if k != "CPE2.alpha"]
    assert all(math.isfinite(v) and v > 0 for v in others)
    # A bound far from the data leaves some parameters undetermined: they get
    # NaN, and the rest still get their standard errors.
    pinned = korvex.fit_shared(
        circuit, drifting(5, seed=4), ["CPE1.alpha"], bounds={"R0.r": (0.2, 1.0)}
    )
    assert {p["R0.r"] for p in pinned.params} == {0.2}
    assert pinned.stderr is not None and math.isnan(pinned.stderr[0]["R0.r"])
    assert any(math.isfinite(v) for e in pinned.stderr for v in e.values())


@pytest.mark.parametrize("tool", [korvex.kramers_kronig, korvex.drt])
def test_analyses_agree_on_the_series_names(tool):
    f, z = SERIES[0]
    z = z + 2j * np.pi * f * 1e-7  # a series inductance
    with_l, without = tool(f, z), tool(f, z, add_inductance=False)
    assert with_l.inductance > 0 and without.inductance == 0
    assert with_l.series_resistance == pytest.approx(0.02, rel=0.2)
    if tool is korvex.drt:  # the older names stay
        assert with_l.r_inf == with_l.series_resistance and with_l.l == with_l.inductance
        assert tool(f, z, inductance=False).inductance == 0
