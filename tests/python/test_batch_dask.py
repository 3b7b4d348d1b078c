import multiprocessing
import pickle

import numpy as np
import pytest
from test_batch import TEXT, drifting

import korvex

distributed = pytest.importorskip("distributed")
import korvex.dask  # noqa: E402


def _fit_after_fork(queue, spectra):
    batch = korvex.fit_many(korvex.Circuit(TEXT), spectra, threads=2)
    queue.put([r.chi_square for r in batch])


def test_forked_child_fits_after_the_pool_ran():
    spectra = drifting(8, seed=5)
    parent = korvex.fit_many(korvex.Circuit(TEXT), spectra, threads=2)  # the pool is running
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_fit_after_fork, args=(queue, spectra))
    child.start()
    child.join(timeout=60)
    assert child.exitcode == 0, "the forked child hung or failed"
    assert queue.get(timeout=5) == [r.chi_square for r in parent]


def test_local_cluster_matches_the_local_run():
    spectra = drifting(200, seed=4)
    circuit = korvex.Circuit(TEXT)
    local = korvex.fit_many(circuit, spectra)
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        remote = korvex.dask.fit_many(client, circuit, spectra, chunk_size=40)
        single = client.gather(client.map(korvex.dask.fit_spectrum, spectra[:3], circuit=circuit))
    assert len(remote) == len(spectra) and not remote.failed
    for a, b in zip(remote, local):
        assert a.params == b.params
    assert [r.params for r in single] == [circuit.fit(f, z).params for f, z in spectra[:3]]
    assert pickle.loads(pickle.dumps(remote[0])).params == local[0].params


FLAKY_CALLS: dict = {}


class LostWorker(distributed.KilledWorker):
    def __str__(self):
        return "the worker died"


def _flaky_chunk(pairs, circuit, threads, options):
    """Loses its worker the first `failures` times it gets the marked spectrum."""
    marked = any(np.array_equal(z, FLAKY_CALLS["marker"]) for _, z in pairs)
    if marked and FLAKY_CALLS.setdefault("count", 0) < FLAKY_CALLS["failures"]:
        FLAKY_CALLS["count"] += 1
        raise LostWorker("fit-chunk", None, 3)
    return korvex.dask._local_fit_many(circuit, pairs, threads=threads, **options).results


@pytest.mark.parametrize("failures, on_error", [(2, "record"), (3, "record"), (3, "raise")])
def test_dead_workers_never_lose_finished_chunks(monkeypatch, failures, on_error):
    spectra = drifting(12, seed=6)
    FLAKY_CALLS.clear()
    FLAKY_CALLS.update(marker=spectra[5][1], failures=failures)
    monkeypatch.setattr(korvex.dask, "_fit_chunk", _flaky_chunk)
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        run = dict(chunk_size=4, retries=2, on_error=on_error)
        if on_error == "raise":
            with pytest.raises(distributed.KilledWorker) as caught:
                korvex.dask.fit_many(client, TEXT, spectra, **run)
            batch = caught.value.partial
        else:
            batch = korvex.dask.fit_many(client, TEXT, spectra, **run)
    lost = {4, 5, 6, 7} if failures > 2 else set()
    assert set(batch.failed) >= lost
    if on_error == "record":
        assert set(batch.failed) == lost
        assert all(isinstance(batch[i], distributed.KilledWorker) for i in lost)
    else:  # a single worker runs chunks in order: the first one had finished
        assert all(batch[i].success for i in range(4))
