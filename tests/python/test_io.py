import sys
import warnings
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas")

import korvex  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data" / "instruments"
COLUMNS = ["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"]

# file, detected format, points, first and last (f, Re Z, Im Z) as the file holds them
# (BioLogic stores -Im Z: its first row says 3.8998979E-001).
SAMPLES = [
    (
        "exampleDataAutolab.txt",
        "autolab",
        41,
        (10000.0, 0.013785863964281, 0.007191946305823),
        (0.1, 0.0345697771923854, -0.00390292888845954),
    ),
    (
        "exampleDataBioLogic.mpt",
        "biologic",
        43,
        (1000.3201, 65.470886, -0.38998979),
        (0.01689554, 110.97003, -2.3458567),
    ),
    (
        "exampleDataCHInstruments.txt",
        "chinstruments",
        73,
        (99610.0, 98.91, -2.748),
        (0.1, 5685.0, -15860.0),
    ),
    (
        "exampleDataGamry.DTA",
        "gamry",
        72,
        (200015.6, 825.8584, -1367.239),
        (0.0158898, 17007.49, -6635.557),
    ),
    ("exampleDataIvium.idf", "ivium", 26, (100000.0, 13.7548, -1.87976), (1.0, 92.8463, -16.7393)),
    (
        "exampleDataParstat.txt",
        "parstat",
        31,
        (10000.0, -0.00049816280376104, 0.0175143479976367),
        (10.0, 0.0270946491457229, -0.00399791080333837),
    ),
    (
        "exampleDataPowersuite.txt",
        "powersuite",
        30,
        (0.1, 423929.46, -49014.063),
        (2000000.0, -470.54113, -1397.7358),
    ),
    (
        "exampleDataVersaStudio.par",
        "versastudio",
        61,
        (100000.0, 55.31571, 4.575431),
        (0.02154435, 1516.313, -122.8279),
    ),
]


@pytest.mark.parametrize("name,format,points,first,last", SAMPLES)
def test_sample_files(name, format, points, first, last):
    frame = korvex.read(DATA / name)
    assert list(frame.columns) == COLUMNS + ["cycle"]
    assert frame.attrs["format"] == format and len(frame) == points
    assert tuple(frame[COLUMNS].iloc[0]) == first and tuple(frame[COLUMNS].iloc[-1]) == last
    assert (frame["cycle"] == 1).all()
    pd.testing.assert_frame_equal(korvex.read(str(DATA / name), format=format), frame)


@pytest.mark.parametrize(
    "name,message",
    [
        ("exampleDataGamryABORT.DTA", "aborted; read the 72 points"),
        ("exampleDataZPlot.z", "stopped after 21 of 56 planned points"),
    ],
)
def test_stopped_sweeps_read_what_is_there_with_a_warning(name, message):
    with pytest.warns(UserWarning, match=message):
        frame = korvex.read(DATA / name)
    assert len(frame) in (72, 21)


def test_frames_fit_directly():
    result = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").fit(
        korvex.read(DATA / "exampleDataGamry.DTA"), guess_init=False
    )
    assert result.success and result.chi_square < 1.0


def test_missing_column_names_file_and_line():
    with pytest.raises(
        ValueError,
        match=r"^exampleDataBioLogic_MissingFreq\.mpt, line 61: "
        r"no frequency column among 'Re\(Z\)/Ohm'",
    ):
        korvex.read(DATA / "exampleDataBioLogic_MissingFreq.mpt")


def copy_with(tmp_path, name, edit, encoding="latin-1", new_name=None):
    text = (DATA / name).read_bytes().decode("latin-1")
    path = tmp_path / (new_name or name)
    path.write_bytes(edit(text).encode(encoding))
    return path


@pytest.mark.parametrize(
    "name,edit,message",
    [
        # cut in the middle of a row
        (
            "exampleDataGamry.DTA",
            lambda t: t[: t.rindex("\t50\t")] + "\t50\t300\t0.3",
            r"exampleDataGamry\.DTA, line 499: expected at least 5 values, found 3",
        ),
        (
            "exampleDataIvium.idf",
            lambda t: t[: t.index("1.80680E+01")],
            r"exampleDataIvium\.idf, line 127: 26 points declared, 5 found",
        ),
        (
            "exampleDataBioLogic.mpt",
            lambda t: "\n".join(t.splitlines()[:40]),
            r"61 header lines declared, the file has 40 lines",
        ),
        (
            "exampleDataCHInstruments.txt",
            lambda t: t.replace('Z"/ohm', "Zi/ohm"),
            r"exampleDataCHInstruments\.txt, line 17: no imaginary impedance column",
        ),
        (
            "exampleDataPowersuite.txt",
            lambda t: t.replace("423929.46", "4239x9.46"),
            r"line 2: '4239x9.46' in column real impedance is not a number",
        ),
        ("exampleDataGamry.DTA", lambda t: t.replace("ZCURVE", "XCURVE"), "no ZCURVE table"),
    ],
)
def test_broken_copies_name_file_and_line(tmp_path, name, edit, message):
    with pytest.raises(ValueError, match=message):
        korvex.read(copy_with(tmp_path, name, edit))


def test_encodings(tmp_path):
    reference = korvex.read(DATA / "exampleDataCHInstruments.txt")
    with_bom = copy_with(tmp_path, "exampleDataCHInstruments.txt", lambda t: t, "utf-16")
    pd.testing.assert_frame_equal(korvex.read(with_bom), reference, check_like=True)
    without_bom = copy_with(tmp_path, "exampleDataCHInstruments.txt", lambda t: t, "utf-16-le")
    with pytest.raises(
        ValueError,
        match=r"exampleDataCHInstruments\.txt: not text in a known "
        "encoding",
    ):
        korvex.read(without_bom)
    with pytest.raises(ValueError, match="not ascii text"):
        korvex.read(DATA / "exampleDataBioLogic.mpt", encoding="ascii")


def test_decimal_commas_and_several_sweeps(tmp_path):
    def second_sweep(text):
        start = text.index("ZCURVE")
        table = text[start : text.index("\n", text.index("\t71\t", start))]
        return text + "\n" + table.replace("ZCURVE", "ZCURVE2").replace(".", ",") + "\n"

    path = copy_with(tmp_path, "exampleDataGamry.DTA", second_sweep)
    with pytest.warns(UserWarning, match="holds 2 sweeps"):
        frame = korvex.read(path)
    first, second = (frame[frame["cycle"] == c].reset_index(drop=True) for c in (1, 2))
    pd.testing.assert_frame_equal(first[COLUMNS], second[COLUMNS])

    def second_cycle(text):  # BioLogic numbers cycles in a "cycle number" column
        lines = text.split("\n")
        lines[-10:] = [
            line.replace("\t1.000000000000000E+000\t", "\t2.000000000000000E+000\t")
            for line in lines[-10:]
        ]
        return "\n".join(lines)

    with pytest.warns(UserWarning, match="holds 2 sweeps"):
        frame = korvex.read(copy_with(tmp_path, "exampleDataBioLogic.mpt", second_cycle))
    assert frame["cycle"].value_counts().to_dict() == {1: 33, 2: 10}


def test_read_many(tmp_path):
    for name in ("exampleDataZPlot.z", "exampleDataGamry.DTA"):
        (tmp_path / name).write_bytes((DATA / name).read_bytes())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = korvex.read_many(str(tmp_path / "exampleData*"))
    assert list(frame.columns) == ["file"] + COLUMNS + ["cycle"]
    assert frame.groupby("file").size().to_dict() == {
        str(tmp_path / "exampleDataGamry.DTA"): 72,
        str(tmp_path / "exampleDataZPlot.z"): 21,
    }
    with pytest.raises(ValueError, match="no files match"):
        korvex.read_many(str(tmp_path / "*.mpt"))


def test_csv(tmp_path):
    plain = tmp_path / "spectrum.csv"
    plain.write_text("1000,1.5,-0.25\n10,2.5,-1.0\n")
    assert korvex.read(plain)[COLUMNS].values.tolist() == [[1000, 1.5, -0.25], [10, 2.5, -1.0]]
    named = tmp_path / "named.tsv"
    named.write_text("f\tZ'\t-Z''\tT\n1000\t1.5\t0.25\t20\n")
    frame = korvex.read(named, columns={"frequency": "f", "real": 1, "negative_imaginary": "-Z''"})
    assert frame[COLUMNS].values.tolist() == [[1000, 1.5, -0.25]]
    with pytest.raises(ValueError, match=r"named\.tsv, line 1: no column 'Zim' \(for imaginary\)"):
        korvex.read(named, columns={"frequency": "f", "real": 1, "imaginary": "Zim"})
    with pytest.raises(ValueError, match="columns= maps"):
        korvex.read(named, columns={"frequency": "f", "real": 1})
    with pytest.raises(ValueError, match="csv format only"):
        korvex.read(DATA / "exampleDataGamry.DTA", columns={"frequency": 0})


def test_unknown_formats(tmp_path):
    odd = tmp_path / "spectrum.xyz"
    odd.write_text("hello\n")
    with pytest.raises(ValueError, match=r"spectrum\.xyz: unknown file format; pass format="):
        korvex.read(odd)
    with pytest.raises(ValueError, match="unknown format 'excel'"):
        korvex.read(odd, format="excel")


def test_mpr_without_galvani_says_how_to_get_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "galvani", None)
    with pytest.raises(ImportError, match=r"galvani \(GPL-3\.0.*pip install galvani"):
        korvex.read(DATA / "PEIS_LPSCl_IonBlocking_-25C.mpr")


def test_mpr_through_galvani():
    pytest.importorskip("galvani")  # GPL-3: never a dependency of korvex
    frame = korvex.read(DATA / "PEIS_LPSCl_IonBlocking_-25C.mpr")
    assert frame.attrs["format"] == "biologic_mpr" and len(frame) == 79
    # float32 in the file; -Im Z stored, Im Z returned
    assert tuple(frame[COLUMNS].iloc[0]) == (7000018.5, 359.241455078125, -290.9203796386719)
    assert tuple(frame[COLUMNS].iloc[-1]) == (0.10002180933952332, 1799427.625, -8093785.5)
