"""The installed stubs as a type checker reads them: a small user script that
passes NumPy arrays must check cleanly."""

import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).parent / "typed" / "user_script.py"


def test_user_script_type_checks(tmp_path):
    pytest.importorskip("mypy")
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path),
            str(SCRIPT),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_user_script_runs():
    subprocess.run([sys.executable, str(SCRIPT)], check=True, capture_output=True)
