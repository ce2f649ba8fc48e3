"""What the client holds for a year of hourly global weather (8760 × 721 × 1440 cells,
36 GB of float32 output per heading): the plan, the zarr store's metadata, a task per
chunk and each batch's graph of summaries as the client builds it before sending it,
plus the summaries per cell it gets back. Nothing is computed; the figure is this
process's high-water mark (VmHWM), which the distributed client adds its own to.

    .venv/bin/python benchmarks/hindcast_year_graph.py [--shape T,Y,X]
"""

import argparse
import os
import tempfile

import dask.array as da
import numpy as np
from dask.base import collections_to_expr

from veltrum_tools import hindcast


def high_water_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", default="8760,721,1440")
    shape = parser.parse_args().shape
    with tempfile.TemporaryDirectory() as scratch:
        args = hindcast.parse_args(["--synthetic-shape", shape,
                                    "--output", os.path.join(scratch, "year.zarr")])
        args.engine_used = "ufunc"
        print(f"start: {high_water_mb():.0f} MB")
        weather, source = hindcast.load_weather(args)
        plan = hindcast.make_plan(weather, args, 2, None)
        hindcast.show_plan(plan, args)
        weather, _ = hindcast.load_weather(args, plan.hours)
        hindcast.create_store(args.output, hindcast.output_template(weather, plan, args,
                                                                    source), plan)
        tasks = hindcast.chunk_tasks(weather, plan, args, args.output,
                                     [False] * plan.chunks, False)
        print(f"store and {len(tasks)} tasks: {high_water_mb():.0f} MB")
        totals = np.zeros((hindcast.WORST, *plan.grid))
        worst = np.full(plan.grid, np.inf)
        for start in range(0, len(tasks), hindcast.BATCH_CHUNKS):
            batch = tasks[start:start + hindcast.BATCH_CHUNKS]
            parts = da.stack([da.from_delayed(task[0], (6, *plan.grid), np.float64)
                              for task in batch])
            wanted = [parts[:, :hindcast.WORST].sum(axis=0, split_every=8),
                      parts[:, hindcast.WORST].min(axis=0, split_every=8)]
            graph = collections_to_expr(wanted, optimize_graph=True).__dask_graph__()
            # what gathering the batch's summaries hands back
            totals += np.ones_like(totals)
            worst = np.minimum(worst, np.ones_like(worst))
            print(f"batch from chunk {start}: {len(graph)} tasks, {high_water_mb():.0f} MB")
            del graph
    print(f"peak: {high_water_mb():.0f} MB")


if __name__ == "__main__":
    main()
