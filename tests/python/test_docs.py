"""The documentation site (docs/): its examples run, and every public name has
an entry in its API reference.

The pages' `>>>` examples must print what they show (numbers to relative 1e-6,
as in the README's test); their `.. code-block:: python` blocks must run, and
their `$ korvex ...` commands must end with status 0 or 1 without a traceback.
They run from a scratch folder that links to the clone's data folders, so that
files they write land there.
"""

import doctest
import importlib
import inspect
import pkgutil
import re
import subprocess
import sys
import zlib
from pathlib import Path

import pytest
from test_readme import CloseNumbers

import korvex

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
GENERATED = {"_build", "api", "auto_examples", "_templates", "gallery"}
PAGES = sorted(
    p for p in DOCS.rglob("*.rst") if not GENERATED & set(p.relative_to(DOCS).parts[:-1])
)
CODE_BLOCK = re.compile(r"^\.\. code-block:: (python|console)\n\n((?:(?: {3}.*)?\n)+)", re.M)


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    for name in ("bench", "docs", "examples", "src", "tests"):
        (tmp_path / name).symlink_to(ROOT / name)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    yield tmp_path
    if "matplotlib.pyplot" in sys.modules:
        sys.modules["matplotlib.pyplot"].close("all")


def _blocks(text, language):
    for block in CODE_BLOCK.finditer(text):
        if block[1] == language:
            yield text.count("\n", 0, block.start(2)), inspect.cleandoc("\n" + block[2])


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS)))
def test_page_examples_run(page, scratch):
    text = page.read_text(encoding="utf-8")
    name = str(page.relative_to(ROOT))
    runner = doctest.DocTestRunner(checker=CloseNumbers(), optionflags=doctest.NORMALIZE_WHITESPACE)
    report = []
    test = doctest.DocTestParser().get_doctest(text, {}, name, name, 0)
    runner.run(test, out=report.append)
    if runner.failures:
        pytest.fail("".join(report), pytrace=False)
    for line, code in _blocks(text, "python"):
        exec(compile("\n" * line + code, name, "exec"), {})
    for _, commands in _blocks(text, "console"):
        for command in re.findall(r"^\$ (korvex .*)$", commands, re.M):
            args = [a.strip('"') for a in re.findall(r'"[^"]*"|\S+', command)]
            run = subprocess.run(
                [sys.executable, "-m", *args], capture_output=True, text=True, timeout=120
            )
            assert run.returncode in (0, 1) and "Traceback" not in run.stderr, (
                f"{name}: `{command}` exited {run.returncode}:\n{run.stderr}"
            )


def public_names():
    """Fully qualified name -> object of every public name: korvex.__all__, the
    public submodules' __all__ (or the classes and functions they define), and
    the public methods and attributes of those classes. A submodule name that
    korvex exports as the same object is documented under korvex."""
    names = {f"korvex.{n}": getattr(korvex, n) for n in korvex.__all__}
    exported = {id(obj): name for name, obj in names.items()}
    for info in pkgutil.iter_modules(korvex.__path__):
        if info.name.startswith("_"):
            continue
        module = importlib.import_module(f"korvex.{info.name}")
        own = getattr(module, "__all__", None) or [
            n
            for n, obj in vars(module).items()
            if not n.startswith("_")
            and (inspect.isclass(obj) or inspect.isfunction(obj))
            and obj.__module__ == module.__name__
        ]
        for n in own:
            obj = getattr(module, n)
            if id(obj) not in exported:
                names[f"{module.__name__}.{n}"] = obj
    for name, obj in list(names.items()):
        if inspect.isclass(obj):
            for member in vars(obj):
                if not member.startswith("_"):
                    names[f"{name}.{member}"] = getattr(obj, member)
    return names


def documented_names(inventory: Path) -> set[str]:
    """The Python object names in a Sphinx objects.inv."""
    with inventory.open("rb") as file:
        for _ in range(4):  # the plain-text header
            file.readline()
        body = zlib.decompress(file.read()).decode()
    return {line.split(" ", 2)[0] for line in body.splitlines() if " py:" in line}


def test_every_public_name_is_documented():
    inventory = DOCS / "_build" / "html" / "objects.inv"
    if not inventory.exists():
        pytest.skip("the documentation is not built (make docs)")
    missing = sorted(set(public_names()) - documented_names(inventory))
    assert not missing, f"public names without a documentation entry: {missing}"
