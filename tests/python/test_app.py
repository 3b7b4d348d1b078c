"""The web app's HTTP API through Starlette's test client."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("starlette")
pytest.importorskip("httpx2")
from starlette.testclient import TestClient  # noqa: E402

import korvex  # noqa: E402
from korvex.app import create_app, jobs, spectra  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data" / "instruments"
GAMRY = DATA / "exampleDataGamry.DTA"
CIRCUIT = "R0-p(R1,CPE1)-p(R2,CPE2)"
TOKEN = "a-test-token"


@pytest.fixture(scope="module")
def client():
    with TestClient(create_app(TOKEN, workers=2), headers={"Authorization": f"token {TOKEN}"}) as c:
        yield c


@pytest.fixture(scope="module")
def gamry(client):
    answer = client.post(f"/api/spectra?name={GAMRY.name}", content=GAMRY.read_bytes())
    assert answer.status_code == 200, answer.text
    return answer.json()["spectra"][0]


def _arrays(f, z, name="posted"):
    return {"name": name, "f": list(f), "re": list(z.real), "im": list(z.imag)}


@pytest.mark.parametrize(
    "headers, query, allowed",
    [
        ({}, "", False),
        ({"Authorization": "token wrong"}, "", False),
        ({}, f"?token={TOKEN}", True),
        ({"Authorization": f"token {TOKEN}"}, "", True),
        ({"Cookie": f"korvex_app_token={TOKEN}"}, "", True),
    ],
)
def test_every_request_needs_the_token(client, headers, query, allowed):
    bare = TestClient(client.app)  # shares the running app, without the client's header
    for path in ("/", "/api/", "/static/app.js"):
        answer = bare.get(path + query, headers=headers)
        assert answer.status_code == (200 if allowed else 403), path
        if not allowed:
            assert "token" in answer.json()["error"]


def test_the_page_sets_the_cookie_and_serves_plotly(client):
    page = client.get(f"/?token={TOKEN}")
    assert page.cookies.get("korvex_app_token") == TOKEN
    assert "static/plotly.min.js" in page.text
    assert client.get("/static/plotly.min.js").headers["content-type"].startswith("text/javascript")
    assert client.get("/static/..%2Fserver.py").status_code == 404


def test_upload_reads_each_sweep(client, gamry):
    assert gamry["name"] == GAMRY.name and len(gamry["f"]) == 72
    rows = "\n".join(
        f"{f},{c * 10 + 1},{-f / 1e3},{c}" for c in (1, 2) for f in (1e3, 1e2, 1e1, 1.0)
    )
    text = "Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm,cycle\n" + rows
    answer = client.post("/api/spectra?name=../../two.csv", content=text.encode())
    names = [s["name"] for s in answer.json()["spectra"]]
    assert names == ["two.csv #1", "two.csv #2"]
    assert [s["meta"]["cycle"] for s in answer.json()["spectra"]] == [1, 2]


@pytest.mark.parametrize(
    "name, body, status, message",
    [
        ("README.md", (DATA / "README.md").read_bytes(), 400, "unknown file format"),
        ("x.DTA", b"\x00\xff" * 100, 400, "x.DTA"),
        ("x.csv", b"", 400, "x.csv"),
    ],
)
def test_bad_files_are_messages(client, gamry, name, body, status, message):
    answer = client.post(f"/api/spectra?name={name}", content=body)
    assert answer.status_code == status and message in answer.json()["error"]
    assert client.post("/api/kk", json={"spectrum": gamry["id"]}).status_code == 200


@pytest.mark.parametrize("kind", ["file", "json"])
def test_oversize_upload_is_refused(client, monkeypatch, kind):
    monkeypatch.setattr(spectra, "MAX_UPLOAD", 1000)
    if kind == "file":
        answer = client.post("/api/spectra?name=big.DTA", content=GAMRY.read_bytes())
    else:
        answer = client.post("/api/spectra", json={"f": [1.0] * 500, "re": [1.0], "im": [1.0]})
    assert answer.status_code == 413 and "MB" in answer.json()["error"]


@pytest.mark.parametrize(
    "body, message",
    [
        ({"f": [1, 2], "re": [1], "im": [1, 2]}, "one length"),
        ({"f": [-1.0], "re": [1], "im": [0]}, "positive"),
        ({"f": "abc", "re": [1], "im": [0]}, "numbers"),
    ],
)
def test_bad_posted_arrays_are_refused(client, body, message):
    answer = client.post("/api/spectra", json=body)
    assert answer.status_code == 400 and message in answer.json()["error"]


def test_circuit_reports_parameters_or_the_parser_error(client):
    good = client.post("/api/circuit", json={"circuit": CIRCUIT}).json()
    assert good["names"] == korvex.Circuit(CIRCUIT).param_names()
    assert good["bounds"][1][1] is None  # an open bound in strict JSON
    bad = client.post("/api/circuit", json={"circuit": "R0-p(R1,"})
    assert bad.status_code == 400 and "unexpected end of input" in bad.json()["error"]


def test_simulate_follows_the_values(client):
    values = {"R0.r": 5.0, "R1.r": 100.0, "C1.c": 1e-5}
    f = [1e4, 10.0, 0.1]
    curve = client.post("/api/simulate", json={"circuit": "R0-p(R1,C1)", "values": values, "f": f})
    z = korvex.Circuit("R0-p(R1,C1)").with_named_values(values).impedance(f)
    assert np.allclose(curve.json()["re"], z.real) and np.allclose(curve.json()["im"], z.imag)


def test_analyses_answer_in_json(client, gamry):
    frame = korvex.read(GAMRY)
    kk = client.post("/api/kk", json={"spectrum": gamry["id"]}).json()
    assert kk["valid"] == korvex.kramers_kronig(frame).valid and len(kk["residuals_real"]) == 72
    cropped = client.post("/api/kk", json={"spectrum": gamry["id"], "fmin": 1.0}).json()
    assert min(cropped["frequencies"]) >= 1.0
    drt = client.post("/api/drt", json={"spectrum": gamry["id"]}).json()
    assert len(drt["peaks"]) == len(korvex.drt(frame).peaks())
    ranking = client.post(
        "/api/identify", json={"spectrum": gamry["id"], "candidates": ["R0-p(R1,C1)", CIRCUIT]}
    ).json()["ranking"]
    assert ranking[0]["text"] == CIRCUIT and ranking[0]["weight"] > 0.5


def test_fit_matches_korvex_and_takes_controls(client, gamry):
    frame = korvex.read(GAMRY)
    fit = client.post("/api/fit", json={"spectrum": gamry["id"], "circuit": CIRCUIT}).json()
    assert fit["params"] == pytest.approx(korvex.Circuit(CIRCUIT).fit(frame).params)
    assert korvex.FitResult.from_dict(_json_back(fit["result"])).params == fit["params"]
    held = client.post(
        "/api/fit",
        json={
            "spectrum": gamry["id"],
            "circuit": CIRCUIT,
            "constants": {"R0.r": 5.0},
            "bounds": {"CPE1.alpha": [0.5, 0.8]},
            "starts": "auto",
        },
    ).json()
    assert held["params"]["R0.r"] == 5.0 and 0.5 <= held["params"]["CPE1.alpha"] <= 0.8


def _json_back(state):
    """Strict JSON writes open bounds as null; from_dict reads infinity."""
    bounds = [
        [-np.inf if lo is None else lo, np.inf if hi is None else hi]
        for lo, hi in state["circuit"]["bounds"]
    ]
    return {**state, "circuit": {**state["circuit"], "bounds": bounds}}


@pytest.mark.parametrize(
    "body, status, message",
    [
        ({"circuit": CIRCUIT, "spectrum": "nope"}, 404, "upload it first"),
        ({"circuit": "R0-X1"}, 400, "X1"),
        ({"circuit": ""}, 400, "circuit"),
        ({"circuit": CIRCUIT, "method": "newton"}, 400, "unknown fit method"),
        ({"circuit": CIRCUIT, "constants": {"R9.r": 1.0}}, 400, "R9.r"),
        ({"circuit": CIRCUIT, "fmin": 1e9}, 400, "fewer than 3 points"),
    ],
)
def test_bad_fits_are_messages(client, gamry, body, status, message):
    answer = client.post("/api/fit", json={"spectrum": gamry["id"], **body})
    assert answer.status_code == status and message in answer.json()["error"]


def test_not_json_is_refused(client):
    answer = client.post("/api/fit", content=b"{", headers={"Content-Type": "application/json"})
    assert answer.status_code == 400 and "JSON" in answer.json()["error"]


def test_fit_many_fits_each_spectrum_in_order(client, gamry):
    body = {"spectra": [gamry["id"], gamry["id"]], "circuit": CIRCUIT, "chain": True}
    results = client.post("/api/fit_many", json=body).json()["results"]
    assert len(results) == 2 and all(r["success"] for r in results)
    assert client.post("/api/fit_many", json={"spectra": [], "circuit": CIRCUIT}).status_code == 400


def test_concurrent_fits_get_their_own_results(client):
    f = np.logspace(5, -1, 40)
    circuit = korvex.Circuit("R0-p(R1,C1)")

    def fit(scale):
        z = circuit.with_named_values({"R0.r": scale, "R1.r": 10 * scale, "C1.c": 1e-4}).impedance(
            f
        )
        posted = client.post("/api/spectra", json=_arrays(f, z)).json()["spectra"][0]
        answer = client.post("/api/fit", json={"spectrum": posted["id"], "circuit": "R0-p(R1,C1)"})
        return answer.json()["params"]["R1.r"] / scale

    with ThreadPoolExecutor(8) as pool:
        ratios = list(pool.map(fit, [1.0, 2.0, 3.0, 5.0, 7.0, 11.0, 13.0, 17.0]))
    assert ratios == pytest.approx([10.0] * 8, rel=1e-4)


def test_a_cancelled_fit_frees_its_worker(client, gamry):
    # A search far longer than any test: it ends only by being cancelled.
    slow = {
        "spectrum": gamry["id"],
        "circuit": CIRCUIT,
        "method": "differential_evolution",
        "options": {"de_evaluations": 10**9},
        "job": "slow-job",
    }
    answers = {}
    runner = threading.Thread(
        target=lambda: answers.update(slow=client.post("/api/fit", json=slow))
    )
    runner.start()
    while client.get("/api/jobs/slow-job").status_code == 404:
        time.sleep(0.01)
    assert client.delete("/api/jobs/slow-job").json() == {"cancelled": True}
    runner.join(30)
    assert answers["slow"].status_code == 409 and answers["slow"].json()["error"] == "cancelled"
    assert client.delete("/api/jobs/slow-job").status_code == 404
    # Both workers serve again: two fits at once.
    with ThreadPoolExecutor(2) as pool:
        codes = list(
            pool.map(
                lambda _: (
                    client.post(
                        "/api/fit", json={"spectrum": gamry["id"], "circuit": CIRCUIT}
                    ).status_code
                ),
                range(2),
            )
        )
    assert codes == [200, 200]


def test_a_dead_worker_is_replaced():
    pool = jobs.Pool(1)
    try:
        spectrum = {
            "f": [1e3, 1e2, 10.0, 1.0],
            "re": [1.0, 1.1, 1.5, 2.0],
            "im": [0.0, -0.1, -0.4, -0.2],
        }
        pool._workers[0].process.kill()
        with pytest.raises(jobs.JobError, match="worker process stopped"):
            pool.run("a", "kk", spectrum=spectrum)
        assert "valid" in pool.run("b", "kk", spectrum=spectrum)
    finally:
        pool.close()
