"""The `korvex` command line: fit many files, check them, describe the install."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path


def _constant(text: str) -> tuple[str, float]:
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {text!r}")
    try:
        return name, float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{value!r} is not a number (in {text!r})") from None


_TABLE_SUFFIXES = (".csv", ".parquet", ".json")


def _write(frame, path: Path) -> None:
    suffix = path.suffix.lower()
    if suffix == ".csv":
        frame.to_csv(path)
    elif suffix == ".parquet":
        frame.to_parquet(path)
    else:
        frame.reset_index().to_json(path, orient="records", indent=1)


def _read_all(files):
    """File name (with "#<cycle>" for files of several cycles) -> spectrum."""
    import korvex

    spectra = {}
    for name in files:
        try:
            frame = korvex.read(name)
        except (OSError, ValueError) as error:
            raise SystemExit(f"korvex: {error}") from None
        if "cycle" in frame and frame["cycle"].nunique() > 1:
            for cycle, group in frame.groupby("cycle", sort=False):
                spectra[f"{name}#{cycle}"] = group
        else:
            spectra[name] = frame
    return spectra


def _fit(args) -> int:
    import korvex

    # Checked before any work, so that a typo does not cost a whole batch.
    if args.output and Path(args.output).suffix.lower() not in _TABLE_SUFFIXES:
        raise SystemExit(f"korvex: cannot write {args.output}: use .csv, .parquet or .json")
    try:
        circuit = korvex.Circuit(args.circuit)
    except ValueError as error:
        raise SystemExit(f"korvex: --circuit: {error}") from None
    spectra = _read_all(args.files)
    batch = korvex.fit_many(
        circuit,
        spectra,
        method=args.method,
        constants=dict(args.constants) or None,
        chain=args.chain,
        threads=args.threads,
        progress=not args.quiet,
    )
    frame = batch.frame()
    frame.index.name = "file"
    summary = [c for c in ("success", "status", "chi_square", "error") if c in frame]
    print(frame[summary + [n for n in circuit.param_names() if n in frame]].to_string())
    print(f"{len(batch) - len(batch.failed)}/{len(batch)} fitted in {batch.elapsed:.3g} s")
    if args.output:
        _write(frame, Path(args.output))
    if args.plots:
        _plot(batch, spectra, Path(args.plots))
    return 1 if batch.failed else 0


def _plot(batch, spectra, folder: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    folder.mkdir(parents=True, exist_ok=True)
    for name, result in zip(batch.keys, batch):
        if result is None or isinstance(result, BaseException):
            continue
        figure = result.plot(spectra[name], title=Path(name).name)
        figure.savefig(folder / f"{Path(name).name.replace('#', '_')}.png", dpi=100)
        plt.close(figure)


def _kk(args) -> int:
    import korvex

    valid = True
    for name, frame in _read_all(args.files).items():
        result = korvex.kramers_kronig(frame)
        valid = valid and result.valid
        print(f"{name}: {result!r}")
    return 0 if valid else 1


def _info(args) -> int:
    from importlib import metadata

    import korvex

    version = "unknown"
    for dist in ("korvex-eis", "korvex"):
        try:
            version = metadata.version(dist)
            break
        except metadata.PackageNotFoundError:
            continue
    print(f"korvex {version}")
    print(f"threads: {korvex._korvex._pool_threads()}")
    print("models: " + ", ".join(korvex.Circuit.ml_circuits()))
    return 0


def parser() -> argparse.ArgumentParser:
    import korvex

    top = argparse.ArgumentParser(prog="korvex", description="Impedance spectra from the shell.")
    commands = top.add_subparsers(dest="command", required=True)
    fit = commands.add_parser("fit", help="fit one circuit to every file")
    fit.add_argument("files", nargs="+", metavar="FILE")
    fit.add_argument("--circuit", required=True, help='circuit text, e.g. "R0-p(R1,CPE1)"')
    fit.add_argument("--method", default="levenberg_marquardt")
    fit.add_argument(
        "--constants",
        nargs="+",
        type=_constant,
        default=[],
        metavar="NAME=VALUE",
        help="parameters held at a value",
    )
    fit.add_argument(
        "--chain", action="store_true", help="start each file's fit from the previous file's values"
    )
    fit.add_argument("--threads", type=int, default=None)
    fit.add_argument("-o", "--output", help="results table: .csv, .parquet or .json")
    fit.add_argument("--plots", metavar="DIR", help="write one figure per file here")
    fit.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    fit.set_defaults(run=_fit)
    if hasattr(korvex, "kramers_kronig"):
        kk = commands.add_parser(
            "kk", help="Kramers-Kronig test of every file (exit 1 if one fails)"
        )
        kk.add_argument("files", nargs="+", metavar="FILE")
        kk.set_defaults(run=_kk)
    info = commands.add_parser("info", help="version, built-in models and threads")
    info.set_defaults(run=_info)
    # The web app parses its own options (korvex.app); listed here for --help.
    commands.add_parser("app", help="open the local web app (korvex app --help)", add_help=False)
    return top


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["app"]:
        from korvex.app import main as app_main

        return app_main(argv[1:])
    args = parser().parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
