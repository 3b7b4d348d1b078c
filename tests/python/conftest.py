import signal

import pytest


@pytest.fixture
def ctrl_c():
    """Python's own Ctrl-C handler for the test's duration. A run started in
    the background of a non-interactive shell inherits SIGINT ignored, and
    Python then leaves it ignored: an interrupt would never arrive, and a test
    waiting for one would run for ever."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)
