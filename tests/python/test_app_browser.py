"""The web app end to end in Debian's chromium, driven by Playwright: open the
page, upload a file, check it, fit it, compare with korvex, export.

Screenshots go to $KORVEX_APP_SCREENSHOTS when set (the README's come from
`KORVEX_APP_SCREENSHOTS=docs`), else to the test's temporary folder."""

import csv
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
sync_api = pytest.importorskip("playwright.sync_api")

import korvex  # noqa: E402

SAMPLE = Path(__file__).resolve().parent.parent / "data" / "instruments" / "exampleDataGamry.DTA"
CIRCUIT = "R0-p(R1,CPE1)-p(R2,CPE2)"


@pytest.fixture(scope="module")
def server():
    process = subprocess.Popen(
        [sys.executable, "-m", "korvex", "app", "--no-browser", "--workers", "2"],
        stdout=subprocess.PIPE,
        text=True,
    )
    url = process.stdout.readline().strip()
    yield url
    process.terminate()
    process.wait(timeout=10)
    process.stdout.close()


@pytest.fixture(scope="module")
def browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        pytest.skip("no chromium on this machine")
    with sync_api.sync_playwright() as playwright:
        try:
            browser = playwright.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        except sync_api.Error as error:
            pytest.skip(f"chromium does not start: {error}")
        yield browser
        browser.close()


def test_upload_check_fit_export(server, browser, tmp_path):
    url = server
    shots = Path(os.environ.get("KORVEX_APP_SCREENSHOTS") or tmp_path)
    page = browser.new_page(viewport={"width": 1400, "height": 1000}, accept_downloads=True)
    errors = []
    page.on("pageerror", lambda error: errors.append(error))
    started = time.perf_counter()
    page.goto(url)
    page.wait_for_selector("body[data-ready='1']")
    print(
        f"page ready {time.perf_counter() - started:.2f} s after the request "
        f"({page.evaluate('document.body.dataset.readyMs')} ms after navigation start)"
    )

    page.set_input_files("#files", str(SAMPLE))
    page.wait_for_selector("#spectra li.active")
    page.click("#run-kk")
    page.wait_for_selector("#kk-verdict span")

    page.fill("#circuit", "R0-p(R1,")
    page.wait_for_function("document.querySelector('#circuit-error').textContent.length > 0")
    page.fill("#circuit", CIRCUIT)
    page.wait_for_function("document.querySelector('#circuit-error').textContent === ''")
    page.wait_for_selector("#params input[data-param='CPE2.alpha']")
    # The model curve follows the table without a fit.
    widest = "Math.max(...document.getElementById('nyquist').data[1].x)"
    page.wait_for_function("document.getElementById('nyquist').data.length === 2")
    before = page.evaluate(widest)
    page.fill("#params input[data-param='R1.r']", "50000")
    page.wait_for_function(f"{widest} > {before} + 1000")
    page.click("#run-identify")
    page.wait_for_selector("#ranking tr:nth-child(3)")
    page.click("#run-fit")
    page.wait_for_selector("#result tr[data-param='R1.r']")
    print(f"fit shown {page.evaluate('document.body.dataset.lastFitMs')} ms after the click")

    expected = korvex.Circuit(CIRCUIT).fit(korvex.read(SAMPLE)).params
    for name, value in expected.items():
        shown = page.text_content(f"#result tr[data-param='{name}'] td.value")
        assert float(shown) == pytest.approx(value, rel=1e-5, abs=1e-11), name

    with page.expect_download() as download:
        page.click("#export-csv")
    saved = tmp_path / "parameters.csv"
    download.value.save_as(saved)
    rows = {
        row["parameter"]: float(row["value"])
        for row in csv.DictReader(saved.read_text().splitlines())
    }
    assert rows == pytest.approx(expected, rel=1e-12)

    page.click("#run-drt")
    page.wait_for_selector("#peaks td")
    page.screenshot(path=str(shots / "app-overview.png"), full_page=True)
    page.locator("#plots").screenshot(path=str(shots / "app-plots.png"))
    page.locator("#result").locator("..").screenshot(path=str(shots / "app-fit.png"))

    # A second file (its aborted sweep is a warning on the page), both fitted, a trend.
    page.set_input_files("#files", str(SAMPLE.with_name("exampleDataGamryABORT.DTA")))
    page.wait_for_selector("#spectra li:nth-child(2)")
    assert "abort" in page.text_content("#message").lower()
    page.click("#run-many")
    page.wait_for_function("document.querySelector('#many-status').textContent === '2/2 fitted'")
    page.select_option("#trend-param", "R1.r")
    page.locator("#trend-plot").locator("..").screenshot(path=str(shots / "app-trend.png"))

    # The session file brings the fits back in a fresh page.
    with page.expect_download() as download:
        page.click("#save-session")
    session = tmp_path / "session.json"
    download.value.save_as(session)
    page.goto(url)
    page.wait_for_selector("body[data-ready='1']")
    page.set_input_files("#load-session", str(session))
    page.wait_for_selector("#spectra li:nth-child(2)")
    page.click("#spectra li:nth-child(1)")
    shown = page.text_content("#result tr[data-param='R1.r'] td.value")
    assert float(shown) == pytest.approx(expected["R1.r"], rel=1e-5)
    page.close()
    assert not errors
