"""Sphinx configuration of the korvex documentation (`make docs`)."""

import importlib
import os
import re
from pathlib import Path

import korvex

os.environ.setdefault("MPLBACKEND", "Agg")

project = "korvex"
author = "the korvex developers"
copyright = "the korvex developers"
try:
    from importlib.metadata import version as _version

    release = _version("korvex-eis")
except Exception:  # an uninstalled checkout
    release = "0.1.0"
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
]

exclude_patterns = ["_build", "gallery/README.rst", "gallery/data"]
templates_path = ["_templates"]
html_static_path = ["_static"]
html_css_files = ["korvex.css"]

# API reference: one page per public name, generated from the modules, so that
# names added to a module's __all__ appear without editing these pages.
autosummary_generate = True
autosummary_imported_members = False
autosummary_ignore_module_all = False


def _reexported():
    """Submodule names that korvex itself exports (the same object): their
    entry is the one under korvex."""
    names = []
    for module in ("analysis", "batch", "shared", "io", "tables", "plot", "dask", "cli"):
        module = importlib.import_module(f"korvex.{module}")
        for name in getattr(module, "__all__", dir(module)):
            if name in korvex.__all__ and getattr(module, name) is getattr(korvex, name):
                names.append(f"{module.__name__}.{name}")
    return names


ELEMENTS = {
    "R": "resistor",
    "C": "capacitor",
    "L": "inductor",
    "La": "modified inductor",
    "Cpe": "constant-phase element",
    "W": "semi-infinite Warburg element",
    "Wo": "finite-space (open) Warburg element",
    "Ws": "finite-length (short) Warburg element",
    "G": "Gerischer element",
    "Gs": "finite-length Gerischer element",
    "K": "Voigt element (R in parallel with C, by its time constant)",
    "Zarc": "R in parallel with a CPE, by its time constant",
    "Tlmq": "transmission line with a constant-phase element",
    "T": "bounded diffusion in a porous electrode",
}
# Summaries for the compiled classes whose docstrings are empty.
SUMMARIES = {
    "korvex.Circuit": "An equivalent circuit: its parameters' names, units, bounds and "
    "values; evaluates its impedance and fits it to measured spectra.",
    "korvex.FitResult": "The outcome of a fit: values and standard errors, chi-square, "
    "why it ended, warnings, and the fitted circuit.",
    **{f"korvex.{code}": f"The {what}." for code, what in ELEMENTS.items()},
}


def _elements():
    """Element class name -> its fields with their units, for the class pages
    (the element classes are named Element_<code> and exported as korvex.<code>,
    which autodoc would show as a mere alias)."""
    out = {}
    for code in ELEMENTS:
        circuit = korvex.Circuit(f"{code}0")
        fields = [name.split(".", 1)[1] for name in circuit.param_names()]
        out[code] = list(zip(fields, circuit.param_units()))
    return out


# Classes whose options the user guide explains at length.
GUIDE = {
    "Circuit": ("guide/circuits", "guide/fitting"),
    "FitResult": ("guide/fitting",),
    "KKResult": ("guide/validation",),
    "DRTResult": ("guide/drt",),
    "Ranked": ("guide/identify",),
    "BatchResult": ("guide/batches",),
    "SharedFitResult": ("guide/shared",),
}
autosummary_context = {
    "reexported": _reexported(),
    "elements": _elements(),
    "element_names": ELEMENTS,
    "guide": GUIDE,
}
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_member_order = "groupwise"
autodoc_typehints = "none"  # signatures carry the names; types are in the text
add_module_names = False
# Signatures come from the objects (the compiled functions carry text
# signatures); a docstring's first line is text.
autodoc_docstring_signature = False
napoleon_numpy_docstring = True
napoleon_google_docstring = False

sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    "capture_repr": (),  # what an example prints is what it shows
    "abort_on_example_error": True,
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    "show_memory": False,
    "min_reported_time": 1,
}

# Docstrings write the modulus of an impedance as |Z|, which reStructuredText
# would read as a substitution.
rst_prolog = r"""
.. |Z| replace:: \|Z\|
"""

# Figures of the pages (`.. plot::`) run from the root of the clone, where the
# pages' examples read their files.
plot_working_directory = str(Path(__file__).resolve().parents[1])
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]

html_theme = "pydata_sphinx_theme"
html_title = f"korvex {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "navbar_align": "left",
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_sidebars = {"index": [], "getting-started": []}
html_show_sourcelink = False


_GETTER_ONLY = re.compile(r"(?:\w+)?\(self\) -> (.+)")


def _docstring(app, what, name, obj, options, lines):
    """Summaries for the classes without a docstring; a compiled property
    without a docstring of its own shows its getter's signature,
    "(self) -> float": say the type instead."""
    if not any(line.strip() for line in lines) and name in SUMMARIES:
        lines[:] = [SUMMARIES[name]]
    elif len(lines) == 1 and (match := _GETTER_ONLY.fullmatch(lines[0].strip())):
        lines[:] = [f"Read-only, ``{match[1]}``."]


def setup(app):
    app.connect("autodoc-process-docstring", _docstring)
