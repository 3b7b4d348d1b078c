"""The README's `>>>` examples, run in order and compared with the output shown.

Numbers may differ in their last digits (relative 1e-6); everything else,
integers included, must match, white space aside.
"""

import doctest
import math
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BLOCK = re.compile(r"```python\n(.*?)```", re.S)
FLOAT = re.compile(r"-?(?:\d+\.\d*(?:e-?\d+)?|\d+e-?\d+)")


class CloseNumbers(doctest.OutputChecker):
    def check_output(self, want, got, optionflags):
        if super().check_output(want, got, optionflags):
            return True
        if not super().check_output(FLOAT.sub("#", want), FLOAT.sub("#", got), optionflags):
            return False
        return all(
            math.isclose(float(a), float(b), rel_tol=1e-6)
            for a, b in zip(FLOAT.findall(want), FLOAT.findall(got))
        )


def test_readme_examples(monkeypatch):
    monkeypatch.chdir(ROOT)
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    runner = doctest.DocTestRunner(checker=CloseNumbers(), optionflags=doctest.NORMALIZE_WHITESPACE)
    names = {}  # shared by the blocks, as in one interactive session
    report = []
    for block in BLOCK.finditer(text):
        line = text.count("\n", 0, block.start(1))
        test = doctest.DocTestParser().get_doctest(block[1], names, "README.md", "README.md", line)
        test.globs = names
        runner.run(test, out=report.append, clear_globs=False)
    assert runner.tries, "the README has no >>> examples"
    if runner.failures:
        pytest.fail("".join(report), pytrace=False)
