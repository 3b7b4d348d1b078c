"""Batch fits on a Dask cluster (`pip install "korvex-eis[dask]"`).

`fit_many(client, circuit, spectra, ...)` ships chunks of spectra to the
workers, where each chunk runs as one `korvex.fit_many` call, so the cost of a
task is paid once per chunk rather than once per spectrum; the chunks' results
come back as one BatchResult in input order. For a plain map of single fits,
`client.map(korvex.dask.fit_spectrum, spectra, circuit=circuit)` works too:
circuits and fit results pickle.
"""

from __future__ import annotations

import math
import time

from korvex.batch import BatchResult, _as_circuit, _normalise
from korvex.batch import fit_many as _local_fit_many


def fit_spectrum(spectrum, circuit, **options):
    """`circuit.fit(frequencies, impedances, **options)` of one (frequencies,
    impedances) pair or one dataframe: a function to hand to `client.map`."""
    circuit = _as_circuit(circuit)
    if hasattr(spectrum, "columns"):
        return circuit.fit(spectrum, **options)
    frequencies, impedances = spectrum
    return circuit.fit(frequencies, impedances, **options)


def _fit_chunk(pairs, circuit, threads, options):
    batch = _local_fit_many(circuit, pairs, threads=threads, **options)
    return batch.results


def fit_many(
    client,
    circuit,
    spectra,
    *,
    chunk_size: int | None = None,
    by=None,
    retries: int = 2,
    **options,
) -> BatchResult:
    """`korvex.fit_many` over the workers of the `dask.distributed` client.

    `chunk_size` spectra go to each task (default: enough for about four tasks
    per worker thread); every other keyword is `korvex.fit_many`'s, except
    `progress` and `chain` (a chain is sequential: run it locally) and
    `threads`, which each worker sets to its own thread count.

    Finished chunks are never lost. A chunk whose task fails as a whole (its
    workers died: `KilledWorker`) is submitted again up to `retries` times;
    after that, with `on_error="record"` (default) each of its spectra records
    the exception in the BatchResult, and with `on_error="raise"` the exception
    is raised with the finished part as its `partial` attribute (a
    BatchResult; unfinished entries are None), as Ctrl-C does.
    """
    for name in ("progress", "chain", "threads"):
        if name in options:
            raise TypeError(f"korvex.dask.fit_many() does not take {name}=")
    if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
        raise ValueError(f"retries must be a non-negative integer, got {retries!r}")
    from distributed import KilledWorker, as_completed

    started = time.perf_counter()
    circuit = _as_circuit(circuit)
    keys, pairs, key_name = _normalise(spectra, by)
    threads_per_worker = client.nthreads()
    slots = max(1, sum(threads_per_worker.values()))
    if chunk_size is None:
        chunk_size = max(1, math.ceil(len(pairs) / (4 * slots)))
    elif chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    chunks = [pairs[i : i + chunk_size] for i in range(0, len(pairs), chunk_size)]
    threads = max(1, min(threads_per_worker.values(), default=1))
    raising = options.get("on_error", "record") == "raise"
    results: list = [None] * len(pairs)

    def submit(k):
        return client.submit(
            _fit_chunk, chunks[k], circuit=circuit, threads=threads, options=options, pure=False
        )

    def partial():
        return BatchResult(results, keys, time.perf_counter() - started, key_name)

    chunk_of = {submit(k): k for k in range(len(chunks))}
    tries = [0] * len(chunks)
    waiting = as_completed(list(chunk_of))
    try:
        for future in waiting:
            k = chunk_of.pop(future)
            first = k * chunk_size
            try:
                part = future.result()
            except Exception as error:
                lost_worker = isinstance(error, KilledWorker)
                if lost_worker and tries[k] < retries:
                    tries[k] += 1
                    again = submit(k)
                    chunk_of[again] = k
                    waiting.add(again)
                    continue
                if raising:
                    raise
                results[first : first + len(chunks[k])] = [error] * len(chunks[k])
                continue
            results[first : first + len(part)] = part
    except BaseException as error:
        for future in chunk_of:
            future.cancel()
        error.partial = partial()
        raise
    return partial()
