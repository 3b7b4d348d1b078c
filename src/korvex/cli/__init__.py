"""The `korvex` command line: fit, check and analyse many files, describe the install."""

from __future__ import annotations

import argparse
import sys
import textwrap

from korvex.cli import analysis, fit
from korvex.cli._args import UsageError
from korvex.cli._show import clean_warnings

EXIT_STATUS = """\
exit status:
  0  every file done (every fit converged, every spectrum passed)
  1  some fits failed or did not converge, some spectrum failed the
     Kramers-Kronig test, or some analysis raised (the others are reported)
  2  usage error: a bad option, an unknown parameter name, a missing or
     unreadable file, an output that exists (without --force) or cannot be
     written; found before any fit starts
  130 interrupted (Ctrl-C)
"""


def _version() -> str:
    from importlib import metadata

    for dist in ("korvex-eis", "korvex"):
        try:
            return metadata.version(dist)
        except metadata.PackageNotFoundError:
            continue
    return "unknown"


def _info(args) -> int:
    import korvex

    print(f"korvex {_version()}")
    print(f"threads: {korvex._korvex._pool_threads()}")
    print("models: " + ", ".join(korvex.Circuit.ml_circuits()))
    return 0


def _add_info(commands) -> None:
    info = commands.add_parser(
        "info",
        help="version, built-in models and threads",
        description="Print the version, the worker threads and the built-in models.",
    )
    info.set_defaults(run=_info)


# Each entry adds one subcommand to the parser.
def _add_app(commands) -> None:
    # The web app parses its own options (korvex.app); listed here for --help.
    commands.add_parser("app", help="open the local web app (korvex app --help)", add_help=False)


COMMANDS = [
    fit.add,
    analysis.add_kk,
    analysis.add_drt,
    analysis.add_identify,
    _add_info,
    _add_app,
]


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, as every other user error."""

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("formatter_class", argparse.RawDescriptionHelpFormatter)
        super().__init__(*args, **kwargs)

    def error(self, message):
        self.exit(2, f"korvex: error: {message} (see '{self.prog} --help')\n")


def parser() -> argparse.ArgumentParser:
    top = _Parser(
        prog="korvex",
        description=textwrap.fill(
            "Impedance spectra from the shell: fit circuits, test Kramers-Kronig "
            "validity, compute distributions of relaxation times and rank candidate circuits, "
            "for files of every format korvex.read reads. 'korvex COMMAND --help' describes "
            "each command.",
            79,
        ),
        epilog=EXIT_STATUS,
    )
    top.add_argument("--version", action="version", version=f"korvex {_version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in COMMANDS:
        add(_Commands(commands))
    return top


class _Commands:
    """The subparsers action, giving every command the exit-status epilog."""

    def __init__(self, action):
        self.action = action

    def add_parser(self, name, **kwargs):
        kwargs.setdefault("epilog", EXIT_STATUS)
        kwargs["description"] = textwrap.fill(kwargs.get("description", ""), 79)
        return self.action.add_parser(name, **kwargs)


def main(argv: list[str] | None = None) -> int:
    """Run one command; returns the exit status (see EXIT_STATUS)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["app"]:
        from korvex.app import main as app_main

        return app_main(argv[1:])
    try:
        with clean_warnings():
            args = parser().parse_args(argv)
            return args.run(args)
    except SystemExit as done:  # --help, --version and parsing errors
        return done.code if isinstance(done.code, int) else 0 if done.code is None else 2
    except (UsageError, ValueError, OSError) as error:
        text = " ".join(str(error).split())
        print(f"korvex: error: {text}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("korvex: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
