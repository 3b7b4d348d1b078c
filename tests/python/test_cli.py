import argparse
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import korvex
from korvex import cli

DATA = Path(__file__).resolve().parent.parent / "data" / "instruments"
SAMPLE = DATA / "exampleDataGamry.DTA"
CIRCUIT = "R0-p(R1,CPE1)"


def run(argv, capsys):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


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
        (["fit", SAMPLE, "--circuit", "R0-"], "--circuit"),
        (["fit", "missing.z", "--circuit", "R0"], "missing.z"),
        (["fit", SAMPLE, "--circuit", "R0", "-o", "out.xlsx"], ".csv, .parquet or .json"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "--method", "lm"], "--method"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "--constants", "R9.r=1"], "'R9.r'"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "--constants", "R0.r=nan"], "finite"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "--bounds", "R1.r=5"], "NAME=LO:HI"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "--constants", "R1.r=-5"], "outside its bounds"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "--threads", "0"], "--threads"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "--starts", "some"], "--starts"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "-o", "no/such/out.csv"], "no folder"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "-o", "old.csv"], "--force"),
        (["fit", SAMPLE, "--circuit", CIRCUIT, "-o", SAMPLE, "--force"], "input file"),
        (["kk", SAMPLE, "--fmin", "100", "--fmax", "10"], "--fmin"),
        (["kk", SAMPLE, "--columns", "f,re"], "--columns"),
        (["drt", SAMPLE, "--format", "excel"], "--format"),
        (["identify", SAMPLE, "--candidates", "R0-X1"], "--candidates"),
    ],
)
def test_usage_errors_end_in_one_line_before_any_fit(argv, message, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "old.csv").write_text("kept")
    monkeypatch.setattr(korvex, "fit_many", lambda *a, **k: pytest.fail("a fit ran"))
    code, out, err = run(argv, capsys)
    assert code == 2
    assert err.count("\n") == 1 and err.startswith("korvex: error: ")
    assert message in err and "Traceback" not in err
    assert (tmp_path / "old.csv").read_text() == "kept"


def test_parquet_without_an_engine_is_a_usage_error(tmp_path, monkeypatch, capsys):
    find_spec = cli._files.importlib.util.find_spec
    monkeypatch.setattr(
        cli._files.importlib.util,
        "find_spec",
        lambda name, *a: None if name in ("pyarrow", "fastparquet") else find_spec(name, *a),
    )
    code, _, err = run(["kk", SAMPLE, "-o", tmp_path / "out.parquet"], capsys)
    assert code == 2 and "pyarrow" in err and err.count("\n") == 1


def test_constants_leave_the_files_alone_and_json_parses(tmp_path, capsys):
    argv = ["fit", "--circuit", CIRCUIT, "--constants", "R0.r=60", SAMPLE, "--json", "-q"]
    code, out, _ = run(argv + ["--bounds", "CPE1.alpha=:0.7", "--starts", "3"], capsys)
    (entry,) = json.loads(out)
    assert code == 0 and entry["file"] == str(SAMPLE)
    assert entry["params"]["R0.r"] == 60 and entry["params"]["CPE1.alpha"] <= 0.7


def test_force_overwrites_an_output(tmp_path, capsys):
    out = tmp_path / "kk.csv"
    out.write_text("old")
    code, _, _ = run(["kk", SAMPLE, "-o", out, "--force"], capsys)
    assert code in (0, 1) and out.read_text().startswith("file,valid")


def test_same_names_get_their_own_plots_and_a_repeat_is_read_once(tmp_path, capsys):
    files = []
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        files.append(shutil.copy(SAMPLE, tmp_path / folder / SAMPLE.name))
    repeat = tmp_path / "a" / ".." / "a" / SAMPLE.name
    plots = tmp_path / "plots"
    code, out, err = run(["kk", *files, repeat, "--plots", plots, "--json"], capsys)
    assert len(json.loads(out)) == 2 and code in (0, 1)
    assert len(list(plots.glob("*.png"))) == 2
    assert err.startswith("korvex: warning: ") and "more than once" in err


def test_kk_prints_a_table_and_clean_warnings(capsys):
    code, out, err = run(["kk", DATA / "exampleDataGamryABORT.DTA"], capsys)
    assert out.splitlines()[0].split()[:3] == ["file", "valid", "points"]
    assert "KKResult" not in out and code == (0 if " yes " in out else 1)
    assert "exampleDataGamryABORT.DTA: invalid: M = " in out  # and why
    assert err and all(line.startswith("korvex: warning: ") for line in err.splitlines())


def test_columns_and_the_frequency_window(tmp_path, capsys):
    frame = korvex.read(SAMPLE)
    table = tmp_path / "plain.csv"
    frame.iloc[:, :3].to_csv(table, header=["f", "re", "im"], index=False)
    code, out, _ = run(["kk", table, "--columns", "f,re,im", "--fmin", 10, "--json"], capsys)
    inside = (frame.iloc[:, 0] >= 10).sum()
    assert json.loads(out)[0]["points"] == inside < len(frame)


def test_drt_and_identify(capsys):
    code, out, _ = run(["drt", SAMPLE, "--json"], capsys)
    assert code == 0 and json.loads(out)[0]["peaks"]
    two = ["--candidates", CIRCUIT, "--candidates", "R0-p(R1,CPE1)-p(R2,CPE2)"]
    code, out, _ = run(["identify", SAMPLE, *two, "--json"], capsys)
    ranking = json.loads(out)[0]["ranking"]
    assert code == 0 and {r["circuit"] for r in ranking} == {CIRCUIT, two[-1]}


def test_every_option_is_described():
    def parsers(parser):
        yield parser
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                for sub in action.choices.values():
                    yield from parsers(sub)

    for parser in parsers(cli.parser()):
        for action in parser._actions:
            if not isinstance(action, argparse._SubParsersAction):
                assert action.help, f"{parser.prog} {action.dest}"


def test_module_entry_prints_info_and_version():
    def korvex_(*argv):
        return subprocess.run(
            [sys.executable, "-m", "korvex", *argv], capture_output=True, text=True, check=True
        ).stdout

    info = korvex_("info")
    assert info.startswith("korvex ")
    assert "threads: " in info and "two_rq" in info
    assert korvex_("--version") == info.splitlines()[0] + "\n"


def test_every_fit_keyword_is_a_flag():
    args = cli.parser().parse_args(
        ["fit", "x.DTA", "--circuit", "R0", "--max-iterations", "50", "--starts", "auto"]
        + ["--guess-init", "false", "--seed", "3", "--ftol", "1e-9"]
    )
    assert (args.max_iterations, args.starts, args.guess_init, args.seed) == (50, "auto", False, 3)
    assert args.ftol == 1e-9 and not hasattr(args, "xtol")
