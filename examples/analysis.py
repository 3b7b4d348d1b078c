"""The analysis tools on the bundled lithium-ion cell spectrum: the
Kramers-Kronig test, the DRT and the ranking of the built-in circuits, with
a figure of the first two (docs/analysis.png).

    .venv/bin/python examples/analysis.py
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402

import korvex  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]


def main():
    data = pd.read_csv(ROOT / "examples" / "example_spectrum_bdf.csv")
    kk = korvex.kramers_kronig(data)
    drt = korvex.drt(data)
    print(kk)
    print(drt)
    for p in drt.peaks():
        print(f"  tau = {p.tau:.3g} s, R = {p.r * 1e3:.2f} mOhm, width = {p.width:.2f} decades")
    for ranked in korvex.identify(data)[:3]:
        print(ranked)
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.8), constrained_layout=True)
    kk.plot(ax=left)
    drt.plot(ax=right)
    right.set_title("DRT, peaks marked with their resistance")
    out = ROOT / "docs" / "analysis.png"
    fig.savefig(out, dpi=110)
    print(f"wrote {out.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
