"""The hindcast end to end, from reading the input to the written zarr store: valid
estimates per second per worker on local clusters of 1 and 2 workers (one thread and a
2 GB memory limit each), from NetCDF and from zarr input, and where the time goes.

    .venv/bin/python benchmarks/hindcast_scale.py [--shape T,Y,X] [--repeats N]

The split comes from three runs over the same input: reading alone (a sum of the four
fields), reading and computing (the chunks with their summaries, nothing written), and
the whole run; computing is the second less the first, writing the third less the second.
Each figure is the best of --repeats runs by the wall clock.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np
from distributed import Client, LocalCluster

from veltrum_tools.hindcast import cluster, store
from veltrum_tools.hindcast.kernel import ESTIMATES
from veltrum_tools.hindcast.plan import make_plan
from veltrum_tools.hindcast.storm import synthetic_storm
from veltrum_tools.vessel import Vessel
from veltrum_tools.weather import VARIABLES, open_weather

VESSEL = Vessel(10000.0, 120.0, 20.0, 7.0, 12.0, True)
HEADINGS = (0.0,)


def timed(action, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def write_inputs(directory, shape):
    """The synthetic storm as float32 NetCDF (one file per day) and as a zarr store."""
    weather = synthetic_storm(shape, 24)
    days = []
    for first in range(0, shape[0], 24):
        path = os.path.join(directory, f"storm-{first // 24:03d}.nc")
        weather.isel(time=slice(first, first + 24)).to_netcdf(path, engine="h5netcdf")
        days.append(path)
    store = os.path.join(directory, "storm.zarr")
    weather.to_zarr(store, zarr_format=2, consolidated=True)
    return {"NetCDF": days, "zarr": [store]}


def measure(client, paths, workers, repeats, output):
    inputs = open_weather(paths)
    first = inputs.dataset()["u10"]
    plan = make_plan(first.shape, [first.dtype] * 4, len(HEADINGS), workers,
                     stored_hours=first.chunks[0][0])
    weather = inputs.dataset(plan.hours)
    every = [False] * plan.chunks

    def tasks(path):
        return cluster.chunk_tasks(weather, plan, path, every, False, VESSEL, HEADINGS, "ufunc")

    def read():
        fields = [weather[name].data.sum() for name in VARIABLES]
        client.compute(fields, sync=True)

    def computed():
        cluster.run_chunks(client, tasks(None), plan, False)

    valid = []

    def whole():
        shutil.rmtree(output, ignore_errors=True)
        template = store.output_template(weather["u10"], plan, VESSEL, HEADINGS, "benchmark",
                                         {})
        store.create_store(output, template, plan)
        parts, _ = cluster.run_chunks(client, tasks(output), plan, False)
        valid.append(int(parts[ESTIMATES].sum()))

    seconds = [timed(action, repeats) for action in (read, computed, whole)]
    return valid[-1], seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", default="192,181,361")
    parser.add_argument("--repeats", type=int, default=2)
    options = parser.parse_args()
    shape = tuple(int(n) for n in options.shape.split(","))
    directory = tempfile.mkdtemp(prefix="hindcast-bench-")
    try:
        inputs = write_inputs(directory, shape)
        print(f"Synthetic storm {shape}, {np.prod(shape)} cell-hours, float32; "
              f"{os.cpu_count()} cores, load average "
              + " ".join(f"{load:.1f}" for load in os.getloadavg()))
        print(f"{'input':<8}{'workers':>8}{'M estimates/s/worker':>22}"
              f"{'read s':>8}{'compute s':>10}{'write s':>9}{'total s':>9}")
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              host="127.0.0.1", dashboard_address=None,
                              memory_limit="2GB") as cluster, Client(cluster) as client:
                for kind, paths in inputs.items():
                    valid, (read, computed, whole) = measure(
                        client, paths, workers, options.repeats,
                        os.path.join(directory, "out.zarr"))
                    print(f"{kind:<8}{workers:>8}{valid / whole / workers / 1e6:>22.2f}"
                          f"{read:>8.2f}{computed - read:>10.2f}{whole - computed:>9.2f}"
                          f"{whole:>9.2f}", flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
