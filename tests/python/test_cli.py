import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from korvex import cli

SAMPLE = Path(__file__).resolve().parent.parent / "data" / "instruments" / "exampleDataGamry.DTA"


def test_fit_files_writes_the_table(tmp_path, capsys):
    files = []
    for name in ("a.DTA", "b.DTA"):
        shutil.copy(SAMPLE, tmp_path / name)
        files.append(str(tmp_path / name))
    out = tmp_path / "results.json"
    code = cli.main(
        [
            "fit",
            *files,
            "--circuit",
            "L0-R0-p(R1,CPE1)",
            "--chain",
            "-q",
            "--constants",
            "L0.l=1e-7",
            "-o",
            str(out),
        ]
    )
    assert code == 0
    rows = json.loads(out.read_text())
    assert [Path(r["file"]).name for r in rows] == ["a.DTA", "b.DTA"]
    assert all(r["success"] and r["L0.l"] == 1e-7 for r in rows)
    assert "2/2 fitted" in capsys.readouterr().out


@pytest.mark.parametrize(
    "argv, message",
    [
        (["fit", "x.DTA", "--circuit", "R0-"], "--circuit"),
        (["fit", "missing.z", "--circuit", "R0"], "missing.z"),
        (
            ["fit", str(SAMPLE), "--circuit", "R0", "-o", "out.xlsx", "-q"],
            ".csv, .parquet or .json",
        ),
    ],
)
def test_fit_reports_bad_input(argv, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit, match=message):
        cli.main(argv)


def test_every_fit_keyword_is_a_flag():
    args = cli.parser().parse_args(
        ["fit", "x.DTA", "--circuit", "R0", "--max-iterations", "50", "--starts", "auto"]
        + ["--guess-init", "false", "--bounds", "R0.r=,1", "--seed", "3"]
    )
    assert (args.max_iterations, args.starts, args.guess_init, args.seed) == (50, "auto", False, 3)
    assert args.bounds == [("R0.r", (None, 1.0))]
    assert not hasattr(args, "method")


def test_module_entry_prints_info():
    run = subprocess.run(
        [sys.executable, "-m", "korvex", "info"], capture_output=True, text=True, check=True
    )
    assert run.stdout.startswith("korvex ")
    assert "threads: " in run.stdout and "two_rq" in run.stdout


def test_kk_reports_every_file(capsys):
    code = cli.main(["kk", str(SAMPLE)])
    out = capsys.readouterr().out
    assert out.startswith(f"{SAMPLE}: KKResult(valid=")
    assert code == (0 if "valid=True" in out else 1)
