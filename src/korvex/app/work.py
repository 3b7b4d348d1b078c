"""The jobs the worker processes run (korvex.app.jobs); each takes plain
arguments and returns plain JSON types (korvex.app.convert)."""

from __future__ import annotations

import numpy as np

import korvex
from korvex.app import convert

# Jobs that take a `progress(done, total)` callable.
REPORTS_PROGRESS = {"fit_many"}


def _spectrum(spectrum):
    f = np.asarray(spectrum["f"], dtype=float)
    z = np.asarray(spectrum["re"], dtype=float) + 1j * np.asarray(spectrum["im"], dtype=float)
    return f, z


def circuit(text: str, values=None):
    """The circuit of `text`, started from `values` ({name: value}) when given."""
    built = korvex.Circuit(text)
    return built.with_named_values(values) if values else built


def fit_options(
    method="levenberg_marquardt", constants=None, bounds=None, starts=None, options=None
) -> dict:
    """Keywords of `Circuit.fit`; `options` holds any others (seed, de_evaluations...)."""
    options = {**(options or {}), "method": method}
    if constants:
        options["constants"] = constants
    if bounds:
        options["bounds"] = {name: tuple(pair) for name, pair in bounds.items()}
    if starts is not None:
        options["starts"] = starts
    return options


def kk(spectrum) -> dict:
    return convert.kk(korvex.kramers_kronig(*_spectrum(spectrum)))


def drt(spectrum) -> dict:
    return convert.drt(korvex.drt(*_spectrum(spectrum)))


def identify(spectrum, candidates=None) -> list:
    return [convert.ranked(row) for row in korvex.identify(*_spectrum(spectrum), candidates)]


def fit(spectrum, circuit_text, values=None, **options) -> dict:
    f, z = _spectrum(spectrum)
    result = circuit(circuit_text, values).fit(f, z, **fit_options(**options))
    return convert.fit(result, f)


def fit_many(spectra, circuit_text, values=None, chain=False, progress=None, **options) -> list:
    pairs = [_spectrum(s) for s in spectra]
    batch = korvex.fit_many(
        circuit(circuit_text, values),
        pairs,
        chain=chain,
        progress=progress,
        **fit_options(**options),
    )
    out = []
    for (f, _), result in zip(pairs, batch):
        if isinstance(result, BaseException):
            out.append({"success": False, "error": str(result) or type(result).__name__})
        else:
            out.append(convert.fit(result, f))
    return out
