"""Inputs that used to be accepted silently, interrupted or forked fits."""

import math
import os
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import korvex

F = np.logspace(-1, 5, 40)
RC = korvex.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-5])
Z = RC.impedance(F)


def spoiled(index, frequency=None, impedance=None):
    f, z = F.copy(), Z.copy()
    if frequency is not None:
        f[index] = frequency
    if impedance is not None:
        z[index] = impedance
    return f, z


@pytest.mark.parametrize("call", ["fit", "guess"])
@pytest.mark.parametrize(
    "f, z, message",
    [
        (
            *spoiled(3, frequency=-1.0),
            r"frequencies\[3\] must be a positive finite number, got -1.0",
        ),
        (*spoiled(0, frequency=0.0), r"frequencies\[0\] must be a positive finite number, got 0.0"),
        (*spoiled(5, frequency=math.nan), r"frequencies\[5\] .* got nan"),
        (
            *spoiled(2, impedance=complex(math.nan, 1.0)),
            r"impedances\[2\] must be finite, got \(nan\+1j\)",
        ),
        (
            *spoiled(7, impedance=complex(1.0, math.inf)),
            r"impedances\[7\] must be finite, got \(1\+infj\)",
        ),
        (F, np.zeros_like(Z), "every measured impedance is zero"),
        (F, Z[:-1], "same length"),
    ],
)
def test_bad_spectra_are_refused_before_any_work(call, f, z, message):
    with pytest.raises(ValueError, match=message):
        getattr(RC, call)(f, z)


def test_dataframe_keeps_dropping_nonpositive_frequencies_but_names_nan_rows():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(
        {
            "frequency_hertz": np.r_[-1.0, 0.0, F],
            "real_impedance_ohm": np.r_[5.0, 5.0, Z.real],
            "imaginary_impedance_ohm": np.r_[5.0, 5.0, Z.imag],
        }
    )
    assert RC.fit(frame).cost < 1e-20
    frame.loc[6, "real_impedance_ohm"] = math.nan
    with pytest.raises(ValueError, match="^impedance at row 6 of the dataframe must be finite"):
        RC.fit(frame)


def test_evaluation_still_propagates_nan():
    f, z = spoiled(1, frequency=math.nan, impedance=complex(math.nan, 0.0))
    assert np.isnan(RC.impedance(f)[1])
    r = RC.residuals(RC.param_values(), f, z)
    assert math.isnan(r[2]) and not math.isnan(r[0])


@pytest.mark.parametrize("builder", [korvex.Series, korvex.Parallel])
def test_builders_refuse_duplicate_labels(builder):
    with pytest.raises(ValueError, match='^duplicate element label "R1"$'):
        builder([korvex.Circuit("R0-R1"), korvex.Circuit("(R1,C2)")])
    same = korvex.Circuit("R0-C1")
    with pytest.raises(ValueError, match='^duplicate element label "R0"$'):
        builder([same, same])


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_parameter_vectors_of_the_wrong_length_are_refused(method):
    evaluate = getattr(RC, method)
    with pytest.raises(ValueError, match="^impedance_from_iter: not enough values supplied$"):
        evaluate([1.0, 2.0], F, Z)
    with pytest.raises(ValueError, match="^impedance_from_iter: too many values supplied$"):
        evaluate([1.0, 2.0, 3.0, 4.0], F, Z)


class Liar:
    """A sequence that claims far more items than it yields."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return 1.0


def test_a_lying_len_neither_leaks_nor_allocates():
    liar = Liar()
    before = sys.getrefcount(liar)
    for _ in range(100):
        with pytest.raises(ValueError):
            RC.residuals([1.0, 2.0, 3.0], liar, Z)
    assert sys.getrefcount(liar) == before


def test_weights_without_a_guess_are_refused(tmp_path):
    with pytest.raises(ValueError, match="guess_init=False turns the guess off"):
        RC.fit(F, Z, weights=str(tmp_path / "any.eisnn"), guess_init=False)


@pytest.mark.parametrize("lower", [1e-12, 0.0, -5.0])
@pytest.mark.parametrize("method", ["levenberg_marquardt", "nelder_mead", "simulated_annealing"])
def test_a_start_on_the_lower_bound_can_move(method, lower):
    start = korvex.Circuit("R0-(R1,C1)").with_values([10.0, lower, 1e-5])
    r = start.fit(F, Z, method=method, seed=1)
    assert r.params["R1.r"] == pytest.approx(100.0, rel=1e-6)


LONG = {
    "levenberg_marquardt": dict(max_iterations=10**9),
    "particle_swarm": dict(generations=10**9),
    "nelder_mead": dict(nelder_mead_iterations=10**15),
    "differential_evolution": dict(de_evaluations=2**32 - 1),
    "simulated_annealing": dict(sa_iterations=10**15),
    "basin_hopping": dict(basin_hopping_hops=2**32 - 1),
}


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(),
    reason="signals reach only the main thread",
)
@pytest.mark.parametrize("method", sorted(LONG))
def test_ctrl_c_stops_every_method(method, ctrl_c):
    # A wide circuit on data it cannot match keeps every method busy for
    # minutes; the LM fit gets a long spectrum, the others one long enough
    # that Nelder-Mead's simplex (which stops by itself) outlasts the timer.
    f = np.logspace(-2, 6, 100_000 if method == "levenberg_marquardt" else 4_000)
    z = RC.impedance(f) * (1 + 0.3 * np.sin(np.arange(f.size)))
    wide = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)-p(R4,CPE4)-W5")
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    started = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            wide.fit(f, z, method=method, guess_init=False, **LONG[method])
    finally:
        timer.cancel()
    assert time.perf_counter() - started < 5.0
    assert RC.fit(F, Z).cost < 1e-20  # pool and module still usable


@pytest.mark.skipif(not hasattr(signal, "SIGUSR1"), reason="needs SIGUSR1")
def test_a_fit_inside_a_signal_handler_runs_while_another_waits(ctrl_c):
    costs = []
    previous = signal.signal(signal.SIGUSR1, lambda *_: costs.append(RC.fit(F, Z).cost))
    timers = [
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)),
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)),
    ]
    try:
        for t in timers:
            t.start()
        with pytest.raises(KeyboardInterrupt):
            RC.fit(F, Z * 1.1, method="particle_swarm", generations=10**9)
    finally:
        for t in timers:
            t.cancel()
        signal.signal(signal.SIGUSR1, previous)
    assert len(costs) == 1 and costs[0] < 1e-20


def test_absurd_swarm_is_refused_before_allocating():
    with pytest.raises(ValueError, match="num_particles must be at most 100000, got 4294967295"):
        RC.fit(F, Z, method="particle_swarm", num_particles=2**32 - 1)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_children_forked_from_a_busy_parent_do_not_hang():
    # Jacobians just large enough to be split over the pool: one busy thread
    # makes the most hand-offs (without the fix about 1 % of children hung).
    f = np.logspace(-2, 5, 100)
    z = RC.impedance(f)
    params = RC.param_values()
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            RC.jacobian(params, f, z)

    RC.fit(F, Z)  # the parent's fit helper thread exists, and is not inherited
    thread = threading.Thread(target=busy)
    thread.start()
    hung = 0
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads, 3.12+
            for _ in range(300):
                pid = os.fork()
                if pid == 0:
                    RC.jacobian(params, f, z)
                    RC.fit(F, Z)  # on the child's own helper thread
                    os._exit(0)
                deadline = time.monotonic() + 5.0
                while os.waitpid(pid, os.WNOHANG) == (0, 0):
                    if time.monotonic() > deadline:
                        os.kill(pid, signal.SIGKILL)
                        os.waitpid(pid, 0)
                        hung += 1
                        break
                    time.sleep(0.0005)
                if hung:
                    break
    finally:
        stop.set()
        thread.join()
    assert hung == 0


def test_weight_files_that_are_not_small_regular_files_are_refused(tmp_path):
    import eisnn_writer

    fifo = tmp_path / "fifo.eisnn"
    os.mkfifo(fifo)  # no writer: opening it for reading used to block every thread
    for path in ["/dev/zero", str(fifo)]:
        with pytest.raises(ValueError, match="is not a regular file"):
            RC.guess(F, Z, weights=path)
    # A failed load poisons nothing, and a replaced file is read again.
    path = tmp_path / "rc.eisnn"
    names = ["R0.r", "R1.r", "C1.c"]
    path.write_bytes(eisnn_writer.random_model("R0-(R1,C1)", names, seed=1))
    first = RC.guess(F, Z, weights=str(path))
    path.write_bytes(eisnn_writer.random_model("R0-(R1,C1)", names, seed=2, channels=8))
    assert RC.guess(F, Z, weights=str(path)) != first
