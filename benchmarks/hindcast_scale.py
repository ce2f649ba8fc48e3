"""Where the hindcast's time goes, end to end from reading the input to the written zarr
store, with the tool's own functions: valid estimates per second per worker, and the split
into reading, computing and writing, for each way of running the chunks: this process's
threads (what veltrum-hindcast --workers 0 does), and local clusters of 1 and 2 worker
processes of one or two threads each (a 2 GB memory limit each). Over the synthetic storm
stored as float32, from NetCDF (a file per day) and from zarr.

    .venv/bin/python benchmarks/hindcast_scale.py [--shape T,Y,X] [--headings N] [--repeats N]

The split comes from three runs over the same input: reading alone (a sum of the four
fields), reading and computing (the chunks with their summaries, nothing written), and
the whole run; computing is the second less the first, writing the third less the second.
Each figure is the best of --repeats runs by the wall clock; the cluster is started before
and the store created before each whole run, so neither is counted (the fixed cost,
benchmarks/hindcast_table.py).
"""

import argparse
import logging
import os
import shutil
import sys
import tempfile
import time

import numpy as np
from dask.base import compute as dask_compute
from distributed import Client, LocalCluster

from veltrum_tools.hindcast import store
from veltrum_tools.hindcast.cluster import ClusterRunner
from veltrum_tools.hindcast.kernel import ESTIMATES
from veltrum_tools.hindcast.plan import make_plan
from veltrum_tools.hindcast.storm import synthetic_storm
from veltrum_tools.hindcast.tasks import chunk_tasks
from veltrum_tools.hindcast.threads import ThreadRunner
from veltrum_tools.vessel import Vessel
from veltrum_tools.weather import VARIABLES, open_weather

VESSEL = Vessel(10000.0, 120.0, 20.0, 7.0, 12.0, True)


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
    zarr_store = os.path.join(directory, "storm.zarr")
    weather.to_zarr(zarr_store, zarr_format=2, consolidated=True)
    return {"NetCDF": days, "zarr": [zarr_store]}


def measure(runner, compute, paths, headings, repeats, output):
    """Valid estimates and the seconds of reading, reading and computing, and the whole."""
    inputs = open_weather(paths)
    first = inputs.dataset()["u10"]
    plan = make_plan(first.shape, [first.dtype] * 4, len(headings), runner.workers,
                     stored_hours=first.chunks[0][0])
    weather = inputs.dataset(plan.hours)
    every = [False] * plan.chunks

    def tasks(path):
        return chunk_tasks(weather, plan, path, every, False, VESSEL, headings, "ufunc")

    def read():
        compute([weather[name].data.sum() for name in VARIABLES])

    def computed():
        runner.run_chunks(tasks(None), plan, False)

    valid = []
    seconds = [timed(read, repeats), timed(computed, repeats)]
    best = float("inf")
    for _ in range(repeats):
        shutil.rmtree(output, ignore_errors=True)
        store.create_store(output, store.output_template(
            weather["u10"], plan, VESSEL, headings, "benchmark", {}, {}), plan)
        start = time.perf_counter()
        parts, _ = runner.run_chunks(tasks(output), plan, False)
        best = min(best, time.perf_counter() - start)
        valid.append(int(parts[ESTIMATES].sum()))
    return valid[-1], [*seconds, best]


def show(kind, label, workers, valid, seconds):
    read, computed, whole = seconds
    print(f"{kind:<8}{label:<26}{valid / whole / workers / 1e6:>12.2f}{read:>8.2f}"
          f"{computed - read:>10.2f}{whole - computed:>9.2f}{whole:>9.2f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", default="192,181,361")
    parser.add_argument("--headings", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=2)
    options = parser.parse_args()
    shape = tuple(int(n) for n in options.shape.split(","))
    headings = tuple(360.0 * k / options.headings for k in range(options.headings))
    directory = tempfile.mkdtemp(prefix="hindcast-bench-")
    output = os.path.join(directory, "out.zarr")
    try:
        inputs = write_inputs(directory, shape)
        print(f"Synthetic storm {shape}, float32, {len(headings)} headings; "
              f"{os.cpu_count()} CPUs, load average "
              + " ".join(f"{load:.1f}" for load in os.getloadavg()))
        print(f"{'input':<8}{'computed by':<26}{'M/s/worker':>12}{'read s':>8}"
              f"{'compute s':>10}{'write s':>9}{'total s':>9}")
        threads = os.cpu_count() or 1
        for count in sorted({1, threads}):
            runner = ThreadRunner(count)
            for kind, paths in inputs.items():
                def compute(wanted, count=count):
                    dask_compute(*wanted, scheduler="threads", num_workers=count)

                show(kind, f"{count} thread{'s' * (count > 1)} of this process", count,
                     *measure(runner, compute, paths, headings, options.repeats, output))
        for workers, per_worker in ((1, 1), (1, 2), (2, 1), (2, 2)):
            with LocalCluster(n_workers=workers, threads_per_worker=per_worker,
                              processes=True, host="127.0.0.1", dashboard_address=None,
                              memory_limit="2GB", silence_logs=logging.ERROR) as cluster, \
                    Client(cluster) as client:
                runner = ClusterRunner(client)
                for kind, paths in inputs.items():
                    show(kind, f"{workers} worker{'s' * (workers > 1)} of {per_worker} "
                         f"thread{'s' * (per_worker > 1)}", workers,
                         *measure(runner, lambda wanted: client.compute(wanted, sync=True),
                                  paths, headings, options.repeats, output))
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
