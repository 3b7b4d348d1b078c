"""`korvex fit`: one circuit fitted to every file."""

from __future__ import annotations

import argparse

from korvex.cli import _args, _files, _show
from korvex.cli._args import UsageError

METHODS = (
    "levenberg_marquardt",
    "particle_swarm",
    "nelder_mead",
    "differential_evolution",
    "simulated_annealing",
    "basin_hopping",
)
WEIGHTS = ("modulus", "unit")


def add(commands) -> None:
    fit = commands.add_parser(
        "fit",
        help="fit one circuit to every file",
        description="Fit one circuit to every spectrum, on all cores, and print one row per "
        "spectrum: whether the fit converged, its chi-square and the parameters. "
        "Exit status 1 when some fit failed or did not converge.",
    )
    fit.add_argument(
        "--circuit",
        required=True,
        help='circuit text such as "R0-p(R1,CPE1)", or a built-in model name such as randles',
    )
    model = fit.add_argument_group("fitting")
    model.add_argument(
        "--method",
        default="levenberg_marquardt",
        choices=METHODS,
        metavar="NAME",
        help=f"fit method: {', '.join(METHODS)} (default %(default)s)",
    )
    model.add_argument(
        "--weight",
        default="modulus",
        choices=WEIGHTS,
        help="residual weighting: modulus (1/|Z|) or unit (default %(default)s)",
    )
    model.add_argument(
        "--constants",
        action="append",
        type=_args.constant,
        default=[],
        metavar="NAME=VALUE",
        help="hold a parameter at a value, e.g. R0.r=0.02; repeat the option for more",
    )
    model.add_argument(
        "--bounds",
        action="append",
        type=_args.bound,
        default=[],
        metavar="NAME=LO:HI",
        help="search a parameter within LO..HI, e.g. CPE1.alpha=0.5:1 or R1.r=:100; an empty "
        "side keeps the default (no upper limit, the physical lower limit: 1e-12, or 0 for "
        "alpha and gamma); repeat the option for more",
    )
    model.add_argument(
        "--starts",
        type=_args.starts,
        metavar="N|auto",
        help="Levenberg-Marquardt from N starting points, or auto: a data-driven estimate and "
        "several starts (default: auto for a circuit without a trained model, else the "
        "trained guess)",
    )
    model.add_argument(
        "--chain", action="store_true", help="start each file's fit from the previous file's values"
    )
    model.add_argument(
        "--threads", type=_args.count, metavar="N", help="fits at once (default: every core)"
    )
    _add_table_options(fit.add_argument_group("more fit() keywords"))
    _args.add_file_options(fit)
    fit.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar, and no warnings of the fits"
    )
    fit.set_defaults(run=run)


# fit() keywords with an option of their own above; every other one gets a
# flag from the core's option table (--max-iterations for max_iterations).
_OWN_FLAGS = {"method", "weight", "constants", "bounds", "starts"}


def _switch(text: str) -> bool:
    if text.lower() not in ("true", "false"):
        raise argparse.ArgumentTypeError(f"expected true or false, got {text!r}")
    return text.lower() == "true"


_KINDS = {"str": str, "str | None": str, "int": int, "int | None": int, "float": float}
_KINDS["bool | None"] = _switch


def _table_options():
    from korvex import _korvex

    return [o for o in _korvex._fit_options() if o[0] not in _OWN_FLAGS]


def _add_table_options(group) -> None:
    for name, kind, _, doc in _table_options():
        group.add_argument(
            "--" + name.replace("_", "-"),
            type=_KINDS[kind],
            dest=name,
            default=argparse.SUPPRESS,
            metavar=kind.split(" ")[0].upper(),
            help=doc,
        )


def _controls(circuit, args) -> dict:
    """The fit keywords of the options, their parameter names checked."""
    names = circuit.param_names()
    for option, items in (("--constants", args.constants), ("--bounds", args.bounds)):
        for name, _ in items:
            if name not in names:
                raise UsageError(
                    f"{option}: {args.circuit} has no parameter {name!r} "
                    f"(it has {', '.join(names)})"
                )
    try:
        limits = circuit.with_bounds(dict(args.bounds)).param_bounds() if args.bounds else None
    except ValueError as error:
        raise UsageError(f"--bounds: {error}") from None
    limits = dict(zip(names, limits or circuit.param_bounds()))
    for name, value in args.constants:
        lo, hi = limits[name]
        if not lo <= value <= hi:
            raise UsageError(
                f"--constants: {name}={value:g} is outside its bounds ({lo:g}, {hi:g})"
            )
    if args.starts is not None and args.method != "levenberg_marquardt":
        raise UsageError("--starts needs --method levenberg_marquardt")
    options = {"method": args.method, "weight": args.weight}
    if args.constants:
        options["constants"] = dict(args.constants)
    if args.bounds:
        options["bounds"] = dict(args.bounds)
    if args.starts is not None:
        options["starts"] = args.starts
    for name, *_ in _table_options():
        if name in vars(args):
            options[name] = getattr(args, name)
    return options


def run(args: argparse.Namespace) -> int:
    import korvex

    try:
        circuit = korvex.Circuit(args.circuit)
    except ValueError as error:
        raise UsageError(f"--circuit: {error}") from None
    options = _controls(circuit, args)
    args.files = _files.unique_files(args.files)
    output = _files.check_output(args.output, args.files, args.force)
    spectra = _files.read_spectra(args)
    keys = list(spectra)
    plots = _files.plot_paths(args.plots, keys, "", args.files, args.force)

    batch = korvex.fit_many(
        circuit,
        spectra,
        chain=args.chain,
        threads=args.threads,
        progress=not (args.quiet or args.json),
        **options,
    )
    failed = [k for k, r in zip(keys, batch) if not _converged(r)]
    if args.json:
        _show.print_json([_entry(k, r) for k, r in zip(keys, batch)])
    else:
        _print(circuit, keys, batch)
        print(f"{len(keys) - len(failed)}/{len(keys)} fitted in {batch.elapsed:.3g} s")
    if not args.quiet:
        for key, result in zip(keys, batch):
            for text in getattr(result, "warnings", None) or ():
                _show.note(f"warning: {key}: {text}")
    if output is not None:
        frame = batch.frame().reset_index()
        frame = frame.rename(columns={frame.columns[0]: "file"})
        _files.write_table(frame, output)
    if plots:
        _plot(batch, spectra, keys, plots)
    return 1 if failed else 0


def _converged(result) -> bool:
    return result is not None and not isinstance(result, BaseException) and result.success


def _entry(key, result) -> dict:
    if result is None or isinstance(result, BaseException):
        error = "not run" if result is None else str(result)
        return {"file": key, "success": False, "error": error}
    return {"file": key, "error": None, **result.to_dict()}


def _print(circuit, keys, batch) -> None:
    names = circuit.param_names()
    units = circuit.param_units()
    headers = ["file", "converged", "chi_square"] + [f"{n} [{u}]" for n, u in zip(names, units)]
    rows, errors = [], []
    for key, result in zip(keys, batch):
        if result is None or isinstance(result, BaseException):
            rows.append([key, False, None] + [None] * len(names))
            errors.append((key, "not run" if result is None else str(result)))
        else:
            params = result.params
            rows.append([key, result.success, result.chi_square] + [params[n] for n in names])
    print(_show.table(headers, rows))
    for key, text in errors:
        _show.note(f"fit failed: {key}: {text}")


def _plot(batch, spectra, keys, paths) -> None:
    from pathlib import Path

    _files.use_agg()
    for key, result, path in zip(keys, batch, paths):
        if result is None or isinstance(result, BaseException):
            continue
        figure = result.plot(spectra[key], title=Path(key).name)
        _files.save_figure(figure, path)
