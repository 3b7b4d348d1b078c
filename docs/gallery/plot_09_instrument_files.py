"""
Every instrument format
=======================

``korvex.read`` detects the format of each file from its first lines (then its
extension) and returns the same columns for all of them, with the imaginary
part's sign as measured. These are the example files of
``tests/data/instruments``, exactly as the instruments' software wrote them.
"""

import warnings
from pathlib import Path

import matplotlib.pyplot as plt
import pandas as pd

import korvex

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

rows, frames = [], {}
for path in sorted((ROOT / "tests/data/instruments").iterdir()):
    if path.suffix in (".md", ".mpr") or path.name.startswith("LICENSE"):
        continue  # binary .mpr files need the optional package galvani
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            frame = korvex.read(path)
        except ValueError as error:
            rows.append((path.name, "-", 0, "-", f"ValueError: {error}"[:60]))
            continue
    frames[path.name] = frame
    f = frame["Frequency / Hz"]
    note = "; ".join(str(w.message).split(": ", 1)[-1] for w in caught)[:60]
    rows.append(
        (path.name, frame.attrs["format"], len(frame), f"{f.min():.3g}-{f.max():.3g}", note)
    )
print(pd.DataFrame(rows, columns=["file", "format", "points", "Hz", "note"]).to_string(index=False))

# %%
# The spectra, each in its own panel.
fig, axes = plt.subplots(3, 4, figsize=(11, 8), layout="constrained")
for ax, (name, frame) in zip(axes.flat, frames.items()):
    ax.plot(frame["Real Impedance / ohm"], -frame["Imaginary Impedance / ohm"], ".-", ms=3)
    ax.set_title(f"{name}\n({frame.attrs['format']})", fontsize=8)
    ax.tick_params(labelsize=7)
for ax in axes.flat[len(frames) :]:
    ax.axis("off")
