import glob
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent.parent


def test_wheel_holds_the_package_and_nothing_else(tmp_path):
    # With scripts/setup's build folder in place the wheel builds incrementally
    # in seconds; from nothing it would compile the whole core for minutes.
    if not glob.glob(str(ROOT / "build" / "cp*" / "CMakeCache.txt")):
        pytest.skip("no build folder from scripts/setup: building a wheel would take minutes")
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            str(ROOT),
            "--no-build-isolation",
            "--no-deps",
            "-q",
            "-w",
            str(tmp_path),
        ],
        check=True,
        capture_output=True,
    )
    (wheel,) = tmp_path.glob("korvex_eis-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        (module,) = [n for n in names if n.startswith("korvex/_korvex") and n.endswith(".so")]
        # The eleven built-in weight files are compiled into the module.
        assert archive.read(module).count(b"EISNN001") >= 11
        metadata = archive.read(next(n for n in names if n.endswith("/METADATA"))).decode()
    assert "Name: korvex-eis" in metadata and "Provides-Extra: plot" in metadata
    assert {
        "korvex/__init__.py",
        "korvex/_korvex.pyi",
        "korvex/py.typed",
        "korvex/io/__init__.py",
        "korvex/io/detect.py",
        "korvex/io/gamry.py",
        "korvex/plot.py",
    } <= set(names)
    assert all(n.startswith(("korvex/", "korvex_eis-")) for n in names), names
    assert not [n for n in names if n.endswith((".eisnn", ".csv", ".DTA", ".mpt", ".z"))]
