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

import numpy as np
from dask.base import collections_to_expr

from veltrum_tools.hindcast import report, store, tasks as graph
from veltrum_tools.hindcast.kernel import WORST
from veltrum_tools.hindcast.plan import BATCH_CHUNKS, make_plan
from veltrum_tools.hindcast.storm import synthetic_storm
from veltrum_tools.vessel import Vessel

VESSEL = Vessel(10000.0, 120.0, 20.0, 7.0, 12.0, True)
HEADINGS = (0.0,)


def high_water_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", default="8760,721,1440")
    shape = tuple(int(n) for n in parser.parse_args().shape.split(","))
    with tempfile.TemporaryDirectory() as scratch:
        output = os.path.join(scratch, "year.zarr")
        print(f"start: {high_water_mb():.0f} MB")
        plan = make_plan(shape, [np.dtype(np.float32)] * 4, len(HEADINGS), 2,
                         stored_hours=shape[0])
        report.show_plan(plan, "ufunc", output)
        weather = synthetic_storm(shape, plan.hours)
        store.create_store(output, store.output_template(weather["u10"], plan, VESSEL, HEADINGS,
                                                         "synthetic storm", {}, {}), plan)
        tasks = graph.chunk_tasks(weather, plan, output, [False] * plan.chunks, False, VESSEL,
                                  HEADINGS, "ufunc")
        print(f"store and {len(tasks)} tasks: {high_water_mb():.0f} MB")
        totals = np.zeros((WORST, *plan.grid))
        worst = np.full(plan.grid, np.inf)
        for start in range(0, len(tasks), BATCH_CHUNKS):
            wanted = graph.batch_results(tasks, start, plan, False)
            graph = collections_to_expr(wanted, optimize_graph=True).__dask_graph__()
            # what gathering the batch's summaries hands back
            totals += np.ones_like(totals)
            worst = np.minimum(worst, np.ones_like(worst))
            print(f"batch from chunk {start}: {len(graph)} tasks, {high_water_mb():.0f} MB")
            del graph
    print(f"peak: {high_water_mb():.0f} MB")


if __name__ == "__main__":
    main()
