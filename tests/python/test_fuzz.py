"""Quick property-based runs (a few seconds); tests/fuzz/run.py runs the same
properties for as long as it is given."""

import os
import subprocess
import sys

import fuzz_cases
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


# In a process of their own: hypothesis in the test process keeps the
# parametrised arguments of other tests alive into interpreter shutdown,
# where nanobind then reports them as leaked.
@pytest.mark.parametrize("name", ["circuit_text", "weight_files"])
def test_property(name, tmp_path):
    pytest.importorskip("hypothesis")
    code = f"import fuzz_cases; fuzz_cases.run({name!r}, 300, {str(tmp_path)!r})"
    done = subprocess.run([sys.executable, "-c", code], cwd=HERE, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize(
    "channels, n_grid, kernel, dilation",
    [(3000, 65536, 1, 1), (64, 4096, 64, 4096), (20000, 64, 1, 1)],
)
def test_files_that_ask_for_gigabytes_are_refused(tmp_path, channels, n_grid, kernel, dilation):
    path = tmp_path / "hostile.eisnn"
    path.write_bytes(fuzz_cases.hostile_size_file(channels, n_grid, kernel, dilation))
    with pytest.raises(ValueError, match="unparsable value for"):
        fuzz_cases.korvex.Circuit("R0-(R1,C1)").guess(fuzz_cases.F, fuzz_cases.Z, weights=str(path))
