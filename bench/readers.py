"""korvex.read against impedance.py's readers on the bundled instrument files,
then a fit of every readable file.

Run: .venv/bin/python bench/readers.py   (make bench installs impedance.py)

For each file that impedance.py 1.7.1 reads, the frequencies and complex
impedances must agree to 1e-12 relative (the script exits 1 otherwise). The
.mpr file is read through galvani when it is installed (GPL-3, not installed
by korvex: pip install galvani), and impedance.py has no Ivium reader, so
those two are only fitted. Then `Circuit("R0-p(R1,CPE1)-p(R2,CPE2)")` (an
"L0-" in front for files with inductive points) is fitted to each spectrum.
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

import numpy as np

import korvex

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "instruments"

# file -> impedance.py's instrument name (None: impedance.py has no reader).
FILES = {
    "exampleDataAutolab.txt": "autolab",
    "exampleDataBioLogic.mpt": "biologic",
    "exampleDataCHInstruments.txt": "chinstruments",
    "exampleDataGamry.DTA": "gamry",
    "exampleDataGamryABORT.DTA": "gamry",
    "exampleDataParstat.txt": "parstat",
    "exampleDataPowersuite.txt": "powersuite",
    "exampleDataVersaStudio.par": "versastudio",
    "exampleDataZPlot.z": "zplot",
    "exampleDataIvium.idf": None,
    "PEIS_LPSCl_IonBlocking_-25C.mpr": None,
}


def spectrum(frame):
    f = frame["Frequency / Hz"].to_numpy()
    real = frame["Real Impedance / ohm"].to_numpy()
    return f, real + 1j * frame["Imaginary Impedance / ohm"].to_numpy()


def relative_difference(a, b):
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), np.finfo(float).tiny)))


def main():
    from impedance.preprocessing import readFile

    failures = 0
    print(
        f"{'file':34} {'format':14} {'points':>6} {'max rel. diff f':>16} {'Z':>10} "
        f"{'chi-square':>11}  circuit"
    )
    for name, instrument in FILES.items():
        path = DATA / name
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # aborted sweeps warn
            try:
                frame = korvex.read(path)
            except ImportError as error:
                print(f"{name:34} skipped: {error}")
                continue
        f, z = spectrum(frame)
        df = dz = "-"
        if instrument is not None:
            f_ref, z_ref = readFile(str(path), instrument)
            if f_ref.shape != f.shape:
                print(f"{name}: {len(f)} points, impedance.py {len(f_ref)}")
                failures += 1
                continue
            df, dz = relative_difference(f, f_ref), relative_difference(z, z_ref)
            failures += df > 1e-12 or dz > 1e-12
            df, dz = f"{df:.1e}", f"{dz:.1e}"
        text = "R0-p(R1,CPE1)-p(R2,CPE2)"
        if np.any(z.imag > 0):
            text = "L0-" + text
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # circuits without a trained model
            result = korvex.Circuit(text).fit(frame)
        print(
            f"{name:34} {frame.attrs['format']:14} {len(f):6d} {df:>16} {dz:>10} "
            f"{result.chi_square:11.3e}  {text}"
        )
    if failures:
        print(f"{failures} file(s) differ from impedance.py")
        return 1
    print("every file impedance.py reads agrees to 1e-12 relative")
    return 0


if __name__ == "__main__":
    sys.exit(main())
