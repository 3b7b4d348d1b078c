"""
A batch on a Dask cluster
=========================

``korvex.dask.fit_many`` ships chunks of spectra to the workers of a
``dask.distributed`` cluster, each chunk one ``fit_many`` call, and gathers one
``BatchResult``. Here a LocalCluster of two worker processes stands in for a
real cluster (``Client("scheduler:8786")``).
"""

from pathlib import Path

import pandas as pd
from dask.distributed import Client, LocalCluster

import korvex
import korvex.dask

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())

series = pd.read_csv(ROOT / "bench/data/series/coincell_autoeis_cycles000-063.csv")
series = series.rename(
    columns={
        "frequency_hz": "Frequency / Hz",
        "z_real_ohm": "Real Impedance / ohm",
        "z_imag_ohm": "Imaginary Impedance / ohm",
    }
)
circuit = korvex.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)-CPE3")
start = circuit.fit(series[series.cycle == 0], starts="auto").circuit

# %%
# Every cycle fitted from the first cycle's values (a chain is sequential, so
# on a cluster each spectrum starts from the same values).
cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
client = Client(cluster)
batch = korvex.dask.fit_many(client, start, series, by="cycle")
print(batch)
print(batch.frame()[["R0.r", "CPE1.alpha", "chi_square", "success"]].describe().round(4))

# %%
# The same fits run locally give the same numbers: circuits and results travel
# to and from the workers by pickle, unchanged.
local = korvex.fit_many(start, series, by="cycle")
same = all(a.params == b.params for a, b in zip(batch, local))
print(f"identical to the local batch: {same}")

# %%
# A plain map of single fits works too.
spectra = [group for _, group in series.groupby("cycle")][:4]
futures = client.map(korvex.dask.fit_spectrum, spectra, circuit=start)
print([round(r.chi_square, 5) for r in client.gather(futures)])
client.close()
cluster.close()
