"""Ctrl-C stops every long call, and the interpreter's exit survives a call
in flight on another thread."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import korvex

TWO_ARCS = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").with_values(
    [0.02, 0.05, 1.0, 0.85, 0.1, 10.0, 0.8]
)


def spectrum(n, noise=0.01, decades=(-2, 6)):
    f = np.logspace(*decades, n)
    return f, TWO_ARCS.impedance(f) * (1 + noise * np.sin(np.arange(n)))


# (call, args, keywords), each running for a minute or far longer uninterrupted.
LONG = {
    "kramers_kronig": lambda: (korvex.kramers_kronig, spectrum(20_000), dict(c=0.0, max_m=2000)),
    "drt": lambda: (korvex.drt, spectrum(100_000), dict(fwhm=20)),
    "identify": lambda: (korvex.identify, spectrum(50_000, noise=0.3), {}),
    "estimate": lambda: (
        korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-CPE3").estimate,
        spectrum(5_000_000, decades=(-4, 8)),
        {},
    ),
}


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(),
    reason="signals reach only the main thread",
)
@pytest.mark.parametrize("name", sorted(LONG))
def test_ctrl_c_stops_every_long_call(name, ctrl_c):
    call, args, keywords = LONG[name]()  # the data made before the clock starts
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    started = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call(*args, **keywords)
    finally:
        timer.cancel()
    assert time.perf_counter() - started < 10.0  # not at the call's end
    assert korvex.kramers_kronig(*spectrum(200)).valid  # module still usable


EXIT_SCRIPT = """
import sys, threading, time
import numpy as np
import korvex

circuit = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").with_values(
    [0.02, 0.05, 1.0, 0.85, 0.1, 10.0, 0.8])
f = np.logspace(-2, 6, 200)
z = circuit.impedance(f) * (1 + 0.05 * np.sin(np.arange(200)))
calls = {
    "fit": lambda: circuit.fit(f, z),
    "fit_many": lambda: korvex.fit_many(circuit, [(f, z)] * 20, progress=lambda *_: None),
    "kramers_kronig": lambda: korvex.kramers_kronig(f, z),
}
call = calls[sys.argv[1]]

def loop():
    while True:
        call()

threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("name", ["fit", "fit_many", "kramers_kronig"])
def test_exit_with_a_call_running_on_a_daemon_thread(name):
    # Short calls back to back: one of them ends while the interpreter exits.
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(EXIT_SCRIPT), name],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert "terminate called" not in run.stderr
