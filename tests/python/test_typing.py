"""The installed stubs as a type checker reads them: a small user script that
passes NumPy arrays must check cleanly."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import korvex

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


def test_stub_match_args_are_the_runtime_tuples():
    stub = Path(korvex._korvex.__file__).with_name("_korvex.pyi").read_text(encoding="utf-8")
    declared = [
        ast.literal_eval(node.value)
        for node in ast.walk(ast.parse(stub))
        if isinstance(node, ast.AnnAssign | ast.Assign)
        and "__match_args__" in ast.unparse(node).split("=")[0]
    ]
    kinds = [k for k in vars(korvex.Element).values() if isinstance(k, type)]
    assert len(kinds) == 14
    assert sorted(declared) == sorted(kind.__match_args__ for kind in kinds)
