"""Files in and out of the commands: spectra read and windowed, outputs
checked before any work, tables and figures written."""

from __future__ import annotations

import importlib.util
import math
import os
import warnings
from pathlib import Path

from korvex.cli._args import TABLE_SUFFIXES, UsageError
from korvex.cli._show import note

_SWEEPS_WARNING = r".* holds \d+ sweeps"  # the commands split the sweeps themselves


def _same(a: Path, b: Path) -> bool:
    try:
        return a.exists() and b.exists() and a.samefile(b)
    except OSError:
        return False


def unique_files(files: list[str]) -> list[str]:
    """The files in the given order, each once; a repeat (under any spelling)
    is dropped with a warning, a missing file is a usage error."""
    seen: dict[str, str] = {}
    for name in files:
        path = Path(name)
        if not path.is_file():
            raise UsageError(
                f"{name}: no such file" if not path.exists() else f"{name}: not a file"
            )
        real = os.path.realpath(path)
        if real in seen:
            note(f"warning: {name} is given more than once (as {seen[real]}): read once")
            continue
        seen[real] = name
    return list(seen.values())


def check_output(path: str | None, inputs: list[str], force: bool) -> Path | None:
    """The table output as a Path, once it is known to be writable."""
    if path is None:
        return None
    out = Path(path)
    check_target(out, inputs, force)
    suffix = out.suffix.lower()
    if suffix not in TABLE_SUFFIXES:
        raise UsageError(f"cannot write {path}: use .csv, .parquet or .json")
    if suffix == ".parquet" and not any(
        importlib.util.find_spec(engine) for engine in ("pyarrow", "fastparquet")
    ):
        raise UsageError(f"cannot write {path}: .parquet needs pyarrow or fastparquet installed")
    return out


def check_target(out: Path, inputs: list[str], force: bool) -> None:
    if any(_same(out, Path(name)) for name in inputs):
        raise UsageError(f"refusing to overwrite the input file {out}")
    folder = out.parent
    if not folder.is_dir():
        raise UsageError(f"cannot write {out}: no folder {folder}")
    if not os.access(folder, os.W_OK):
        raise UsageError(f"cannot write {out}: the folder {folder} is not writable")
    if out.exists() and not force:
        raise UsageError(f"{out} exists: pass --force to overwrite it")


def read_spectra(args) -> dict:
    """Spectrum name -> dataframe of every file, with the frequency window applied."""
    import korvex
    from korvex.io import CYCLE, FREQUENCY

    if args.fmin is not None and args.fmax is not None and args.fmin >= args.fmax:
        raise UsageError(f"--fmin {args.fmin:g} is not below --fmax {args.fmax:g}")
    spectra = {}
    for name in args.files:
        try:
            with warnings.catch_warnings():
                warnings.filterwarnings("ignore", message=_SWEEPS_WARNING)
                frame = korvex.read(name, args.format, columns=args.columns)
        except (OSError, ValueError) as error:
            text = str(error)
            if Path(name).name not in text:
                text = f"{name}: {text}"
            if "column" in text and args.columns is None:
                text += " (name them with --columns FREQ,REAL,IMAG)"
            raise UsageError(text) from None
        several = CYCLE in frame and frame[CYCLE].nunique() > 1
        groups = frame.groupby(CYCLE, sort=False) if several else [(None, frame)]
        for cycle, group in groups:
            key = name if cycle is None else f"{name}#{cycle}"
            if args.fmin is not None or args.fmax is not None:
                group = group[group[FREQUENCY].between(args.fmin or 0.0, args.fmax or math.inf)]
                if group.empty:
                    raise UsageError(f"{key}: no points in the frequency window")
            spectra[key] = group
    return spectra


def plot_names(keys: list[str], suffix: str) -> list[str]:
    """One file name per spectrum that no other spectrum shares: the file's
    name, with as many parent folders as it takes to tell it apart, then an
    index where even the whole path does not."""
    parts = []
    for key in keys:
        path, _, cycle = key.partition("#")
        folders = Path(os.path.abspath(path)).parts
        parts.append((folders, f"_cycle{cycle}" if cycle else ""))
    depth = [1] * len(keys)

    def label(i):
        folders, cycle = parts[i]
        return "_".join(p.strip("/\\") or "root" for p in folders[-depth[i] :]) + cycle

    changed = True
    while changed:
        changed = False
        seen: dict[str, list[int]] = {}
        for i in range(len(keys)):
            seen.setdefault(label(i), []).append(i)
        for group in seen.values():
            for i in group if len(group) > 1 else ():
                if depth[i] < len(parts[i][0]):
                    depth[i] += 1
                    changed = True
    names, used = [], set()
    for i in range(len(keys)):
        name, n = label(i), 1
        while name in used:
            n += 1
            name = f"{label(i)}-{n}"
        used.add(name)
        names.append(f"{name}{suffix}.png")
    return names


def plot_paths(folder: str | None, keys: list[str], suffix: str, inputs, force) -> list[Path]:
    """Figure paths for the spectra, checked like every output; [] without --plots."""
    if folder is None:
        return []
    where = Path(folder)
    try:
        where.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"--plots {folder}: {error.strerror or error}") from None
    paths = [where / name for name in plot_names(keys, suffix)]
    for path in paths:
        check_target(path, inputs, force)
    return paths


def save_figure(figure, path: Path) -> None:
    import matplotlib.pyplot as plt

    figure.savefig(path, dpi=100)
    plt.close(figure)


def use_agg() -> None:
    import matplotlib

    matplotlib.use("Agg")


def write_table(frame, path: Path) -> None:
    suffix = path.suffix.lower()
    if suffix == ".csv":
        frame.to_csv(path, index=False)
    elif suffix == ".parquet":
        frame.to_parquet(path, index=False)
    else:
        frame.to_json(path, orient="records", indent=1)
