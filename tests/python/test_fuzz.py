"""Quick property-based runs (a few seconds); tests/fuzz/run.py runs the same
properties for as long as it is given."""
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402

import fuzz_cases  # noqa: E402

QUICK = settings(max_examples=300, deadline=None, database=None,
                 suppress_health_check=[HealthCheck.function_scoped_fixture])


@QUICK
@given(fuzz_cases.circuit_texts)
def test_circuit_text(text):
    fuzz_cases.check_circuit_text(text)


@QUICK
@given(data=fuzz_cases.weight_files)
def test_weight_file_mutations(tmp_path, data):
    fuzz_cases.check_weight_file(str(tmp_path / "fuzzed.eisnn"), data)


@pytest.mark.parametrize("channels, n_grid, kernel, dilation",
                         [(3000, 65536, 1, 1), (64, 4096, 64, 4096), (20000, 64, 1, 1)])
def test_files_that_ask_for_gigabytes_are_refused(tmp_path, channels, n_grid, kernel, dilation):
    path = tmp_path / "hostile.eisnn"
    path.write_bytes(fuzz_cases.hostile_size_file(channels, n_grid, kernel, dilation))
    with pytest.raises(ValueError, match="unparsable value for"):
        fuzz_cases.korvex.Circuit("R0-(R1,C1)").guess(fuzz_cases.F, fuzz_cases.Z,
                                                      weights=str(path))
