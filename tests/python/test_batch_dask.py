import multiprocessing
import pickle

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
