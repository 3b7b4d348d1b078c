"""What the readers refuse, how much they hold, and the column names of plain
CSV exports."""

import glob
import os
import subprocess
import sys
import tracemalloc
import warnings
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import korvex  # noqa: E402
import korvex.io  # noqa: E402

COLUMNS = ["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"]
HERE = os.path.dirname(os.path.abspath(__file__))
VERSASTUDIO = os.path.join(HERE, "..", "data", "instruments", "exampleDataVersaStudio.par")


def special(tmp_path, kind):
    path = tmp_path / "spectrum.csv"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device link":
        path.symlink_to("/dev/zero")
    else:
        path.mkdir()
    return path


@pytest.mark.parametrize("kind", ["fifo", "device link", "folder"])
@pytest.mark.parametrize("format", [None, "csv"])
def test_only_regular_files_are_opened(tmp_path, kind, format):
    path = special(tmp_path, kind)
    for read in (korvex.read, korvex.read_many):
        with pytest.raises(ValueError, match=rf"^{glob.escape(str(path))}: not a regular file"):
            read(path, format)


def test_text_beyond_max_bytes_is_refused_before_reading(tmp_path):
    path = tmp_path / "spectrum.csv"
    path.write_text("f,re,im\n" + "1000,1.5,-0.25\n" * 10)
    with pytest.raises(ValueError, match=r"spectrum\.csv: 158 bytes, above the limit of 100"):
        korvex.read_many(path, max_bytes=100)
    assert len(korvex.read(path, max_bytes=158)) == 10
    with pytest.raises(ValueError, match="max_bytes must be a positive integer"):
        korvex.read(path, max_bytes=0)


@pytest.mark.parametrize(
    "value,what",
    [(v, "an integer") for v in ("inf", "1e999", "1e300", "nan", "2.7")] + [("x", "a number")],
)
def test_cycles_are_whole_numbers(tmp_path, value, what):
    path = tmp_path / "c.csv"
    path.write_text(f"cycle,f,re,im\n1,1000,1.5,-0.25\n{value},10,2.5,-1\n")
    with pytest.raises(
        ValueError, match=rf"^c\.csv, line 3: '{value}' in column cycle is not {what}"
    ):
        korvex.read(path)


def test_an_existing_path_is_not_a_pattern(tmp_path):
    (tmp_path / "cell[1].csv").write_text("f,re,im\n1000,1.5,-0.25\n")
    (tmp_path / "cell1.csv").write_text("f,re,im\n1000,1.5,-0.25\n10,2.5,-1\n")
    for paths in (tmp_path / "cell[1].csv", glob.escape(str(tmp_path / "cell[1].csv"))):
        assert korvex.read_many(paths)["file"].tolist() == [str(tmp_path / "cell[1].csv")]
    # a pattern that is no file still matches
    assert set(korvex.read_many(str(tmp_path / "cell[1]*"))["file"]) == {
        str(tmp_path / "cell1.csv")
    }


# One spectrum, f = 1000 and 10 Hz, Z = 1.5 - 0.25j and 2.5 - 1j ohm, as exports write it.
@pytest.mark.parametrize(
    "text",
    [
        "f,re,im\n1000,1.5,-0.25\n10,2.5,-1\n",
        "Freq;Real;Imag\n1000;1.5;-0.25\n10;2.5;-1\n",
        "Frequency (Hz),Z' / Ω,-Z'' / Ω\n1000,1.5,0.25\n10,2.5,1\n",
        "Freq/Hz\tRe(Z)/Ω\t-Im(Z)/Ω\n1000\t1.5\t0.25\n10\t2.5\t1\n",
        "FREQUENCY [kHz],Z' [kOhm],Z'' [mOhm]\n1,0.0015,-250\n0.01,0.0025,-1000\n",
        "frequency,z_real_ohm,z_imag_ohm\n1000,1.5,-0.25\n10,2.5,-1\n",
        "Freq,|Z|,Phase\n1000,1.52069063,-9.46232221\n10,2.69258240,-21.8014095\n",
        "f,Zmod,Zphz (rad)\n1000,1.52069063,-0.16514868\n10,2.69258240,-0.38050638\n",
        "# exported by hand\n1000\t1.5\t-0.25\n\n10\t2.5\t-1\n",
        '"Zreal [Ohm]","Zimag [Ohm]","Freq [Hz]"\n1.5,-0.25,1000\n2.5,-1,10\n',
        "Frequency;Z';-Z''\nkHz;mOhm;Ohm\n1;1500;0,25\n0,01;2500;1\n",
    ],
)
def test_csv_column_names_and_units(tmp_path, text):
    path = tmp_path / "export.csv"
    path.write_text(text, encoding="utf-8")
    frame = korvex.read(path)
    np.testing.assert_allclose(frame[COLUMNS], [[1000, 1.5, -0.25], [10, 2.5, -1]], rtol=1e-7)


def test_csv_cycle_column_and_unknown_names(tmp_path):
    path = tmp_path / "series.csv"
    path.write_text("cycle,frequency_hz,z_real_ohm,z_imag_ohm\n0,1000,1.5,-0.25\n1,1000,1.6,-0.2\n")
    with pytest.warns(UserWarning, match="holds 2 sweeps"):
        assert korvex.read(path)["cycle"].tolist() == [0, 1]
    path.write_text("a,b,c\n1000,1.5,-0.25\n")
    with pytest.raises(
        ValueError, match=r"line 1: no frequency column among 'a', 'b', 'c'; pass columns="
    ):
        korvex.read(path)


def test_work_is_linear_in_the_number_of_segments(tmp_path, monkeypatch):
    """Counts the lines that the reader visits, copies or iterates over: a
    file of 4x the segments may take about 4x (a reader that goes through the
    rest of the file per segment takes 16x)."""
    text = Path(VERSASTUDIO).read_text(encoding="latin-1")
    head, rest = text.split("<Segment1>", 1)
    segment, tail = rest.split("</Segment1>", 1)
    short = "\n".join(segment.split("\n")[:6]) + "\n"  # two rows a segment

    class Lines(list):
        copied = 0

        def __getitem__(self, index):
            out = super().__getitem__(index)
            Lines.copied += len(out) if isinstance(index, slice) else 1
            return out

        def __iter__(self):
            for line in super().__iter__():
                Lines.copied += 1
                yield line

    text_lines = korvex.io.text_lines
    monkeypatch.setattr(korvex.io, "text_lines", lambda *a: Lines(text_lines(*a)))
    copied = []
    for n in (100, 400):
        path = tmp_path / f"{n}.par"
        path.write_text(head + "".join(f"<Segment1>{short}</Segment1>\n" for _ in range(n)) + tail)
        Lines.copied = 0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            assert len(korvex.read(path)) == 2 * n
        copied.append(Lines.copied)
    assert copied[1] < 6 * copied[0]


def test_memory_is_a_small_multiple_of_the_file(tmp_path):
    path = tmp_path / "long.csv"
    f = np.logspace(6, -2, 50_000)
    z = 10 + 100 / (1 + 2j * np.pi * f * 1e-3)
    np.savetxt(
        path,
        np.column_stack([f, z.real, z.imag]),
        delimiter=",",
        header="frequency,zreal,zimag",
        comments="",
    )
    korvex.read(path)  # imports done
    tracemalloc.start()
    try:
        frame = korvex.read(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert len(frame) == 50_000 and peak < 8 * path.stat().st_size


def test_mutated_instrument_files_raise_value_errors_at_worst(tmp_path):
    pytest.importorskip("hypothesis")
    code = f"import fuzz_cases; fuzz_cases.run('instrument_files', 200, {str(tmp_path)!r})"
    done = subprocess.run([sys.executable, "-c", code], cwd=HERE, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
