"""`korvex kk`, `korvex drt` and `korvex identify`: one analysis per spectrum.

A spectrum whose analysis raises is reported and the others go on; the exit
status is then 1, as for a spectrum that fails the Kramers-Kronig test.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from korvex.cli import _args, _files, _show

_KK = [
    "file",
    "valid",
    "points",
    "M",
    "M chosen by",
    "mu",
    "pseudo_chi_square",
    "worst residual [%]",
    "its threshold [%]",
]
_DRT = ["file", "r_inf [ohm]", "l [H]", "lambda", "peak", "tau [s]", "r [ohm]", "width [decades]"]
_IDENTIFY = ["file", "rank", "circuit", "criterion", "weight", "chi_square", "flags", "error"]


def add_kk(commands) -> None:
    kk = commands.add_parser(
        "kk",
        help="Kramers-Kronig test of every file",
        description="Linear Kramers-Kronig test (Lin-KK) of every spectrum: the number of RC "
        "elements M and how it was chosen, mu, the relative residual nearest to (or furthest "
        "beyond) its threshold and that threshold, and why the spectrum passed or failed. "
        "Exit status 1 when some spectrum fails the test.",
    )
    kk.add_argument(
        "--choose-m",
        choices=("residuals", "linkk"),
        default="residuals",
        help="M where the residuals stop improving, or linKK's first M with mu below --c "
        "(default %(default)s)",
    )
    kk.add_argument(
        "--c",
        type=_args.positive,
        default=0.85,
        metavar="MU",
        help="with --choose-m linkk: add RC elements until mu falls below this "
        "(default %(default)s)",
    )
    kk.add_argument(
        "--fit",
        choices=("complex", "real", "imag"),
        default="complex",
        help="the parts fitted; the other is predicted (default %(default)s)",
    )
    _args.add_file_options(kk)
    kk.set_defaults(run=_run, analyse=_kk, suffix="-kk", headers=_KK)


def add_drt(commands) -> None:
    drt = commands.add_parser(
        "drt",
        help="distribution of relaxation times of every file",
        description="Distribution of relaxation times by Tikhonov regularisation: the series "
        "resistance and inductance, and one row per peak with its time constant, resistance "
        "and width.",
    )
    drt.add_argument(
        "--lam",
        type=_args.positive,
        metavar="LAMBDA",
        help="regularisation weight (default: chosen by cross-validation)",
    )
    drt.add_argument(
        "--basis",
        choices=("gaussian", "inverse_quadratic"),
        default="gaussian",
        help="radial basis functions (default %(default)s)",
    )
    _args.add_file_options(drt)
    drt.set_defaults(run=_run, analyse=_drt, suffix="-drt", headers=_DRT)


def add_identify(commands) -> None:
    identify = commands.add_parser(
        "identify",
        help="rank candidate circuits for every file",
        description="Fit every candidate circuit and rank the fits by an information "
        "criterion, best first. Exit status 1 when every candidate failed for some spectrum.",
    )
    identify.add_argument(
        "--candidates",
        action="append",
        metavar="CIRCUIT",
        help="a candidate circuit text or built-in model name; repeat the option for more "
        "(default: the built-in models)",
    )
    identify.add_argument(
        "--criterion",
        choices=("bic", "aic"),
        default="bic",
        help="ranking criterion (default %(default)s)",
    )
    identify.add_argument(
        "--top",
        type=_args.count,
        default=5,
        metavar="N",
        help="candidates shown per file in the table (default %(default)s; --json and -o hold all)",
    )
    _args.add_file_options(identify, plots=False)
    identify.set_defaults(run=_run, analyse=_identify, suffix="", headers=_IDENTIFY)


def _run(args: argparse.Namespace) -> int:
    if getattr(args, "candidates", None):
        _check_candidates(args.candidates)
    args.files = _files.unique_files(args.files)
    output = _files.check_output(args.output, args.files, args.force)
    spectra = _files.read_spectra(args)
    keys = list(spectra)
    plots = _files.plot_paths(
        getattr(args, "plots", None), keys, args.suffix, args.files, args.force
    )
    if plots:
        _files.use_agg()
    report = {"json": [], "rows": [], "ok": True}
    for i, key in enumerate(keys):
        try:
            result = args.analyse(args, key, spectra[key], report)
        except ValueError as error:
            _show.note(f"{key}: {error}")
            report["json"].append({"file": key, "error": str(error)})
            report["ok"] = False
            continue
        if plots and hasattr(result, "plot"):
            import matplotlib.pyplot as plt

            figure, ax = plt.subplots(figsize=(6, 4), layout="constrained")
            result.plot(ax)
            name = Path(key).name
            ax.set_title(f"{name}: {ax.get_title()}" if ax.get_title() else name, fontsize=9)
            _files.save_figure(figure, plots[i])
    if args.json:
        _show.print_json(report["json"])
    elif args.command != "identify":
        print(_show.table(args.headers, report["rows"]))
        for line in report.get("why", []):
            print(line)
    if output is not None:
        import pandas as pd

        _files.write_table(pd.DataFrame(report["rows"], columns=args.headers), output)
    return 0 if report["ok"] else 1


def _check_candidates(texts) -> None:
    import korvex

    for text in texts:
        try:
            korvex.Circuit(text)
        except ValueError as error:
            raise _args.UsageError(f"--candidates: {error}") from None


def _kk(args, key, frame, report):
    import numpy as np

    import korvex

    result = korvex.kramers_kronig(frame, c=args.c, fit=args.fit, choose_m=args.choose_m)
    worst = float(max(np.abs(result.residuals_real).max(), np.abs(result.residuals_imag).max()))
    row = [key, result.valid, len(frame), result.m, result.m_choice, result.mu]
    row.append(result.pseudo_chi_square)
    # The residual that decides the verdict: each point has its own threshold.
    decisive, i, _part = result._worst()
    its_threshold = float(result.local_threshold[i])
    report["rows"].append(row + [100 * abs(decisive), 100 * its_threshold])
    report["json"].append(
        {
            "file": key,
            "valid": result.valid,
            "points": len(frame),
            "m": result.m,
            "m_choice": result.m_choice,
            "mu": result.mu,
            "pseudo_chi_square": result.pseudo_chi_square,
            "max_residual": worst,
            "noise": result.noise,
            "threshold": result.threshold,
            "worst_residual": abs(decisive),
            "its_threshold": its_threshold,
            "reason": result.reason,
        }
    )
    report.setdefault("why", []).append(f"{key}: {result.status}: {result.reason}")
    report["ok"] = report["ok"] and bool(result.valid)
    return result


def _drt(args, key, frame, report):
    import korvex

    result = korvex.drt(frame, lam=args.lam, basis=args.basis)
    peaks = result.peaks()
    head = [key, result.r_inf, result.l, result.lam]
    for n, peak in enumerate(peaks, 1):
        report["rows"].append(head + [n, peak.tau, peak.r, peak.width])
    if not peaks:
        report["rows"].append(head + [None] * 4)
    report["json"].append(
        {
            "file": key,
            "r_inf": result.r_inf,
            "l": result.l,
            "lambda": result.lam,
            "peaks": [peak._asdict() for peak in peaks],
        }
    )
    return result


def _identify(args, key, frame, report):
    import korvex

    ranked = korvex.identify(frame, candidates=args.candidates, criterion=args.criterion)
    rows = [
        [
            key,
            n,
            r.text,
            r.criterion,
            r.weight,
            r.fit.chi_square if r.fit is not None else None,
            " ".join(r.flags) or None,
            r.error or None,
        ]
        for n, r in enumerate(ranked, 1)
    ]
    report["rows"].extend(rows)
    if not args.json:
        print(key)
        print(_show.table(args.headers[1:-1], [row[1:-1] for row in rows[: args.top]]))
        print()
    report["json"].append(
        {
            "file": key,
            "ranking": [
                {
                    "circuit": r.text,
                    "criterion": r.criterion,
                    "weight": r.weight,
                    "aic": r.aic,
                    "bic": r.bic,
                    "n_params": r.n_params,
                    "flags": list(r.flags),
                    "error": r.error or None,
                    "params": r.fit.params if r.fit is not None else None,
                    "chi_square": r.fit.chi_square if r.fit is not None else None,
                }
                for r in ranked
            ],
        }
    )
    report["ok"] = report["ok"] and any(r.fit is not None for r in ranked)
    return ranked
