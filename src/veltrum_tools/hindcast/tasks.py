"""The hindcast's work as a Dask graph, whoever runs it: a task per chunk of hours, and per
batch of chunks the summaries added up in a fixed tree, so that a cluster and the threads
of this process (cluster.py, threads.py) hand back the same bits."""

# Dask declares types for part of its API only.
# mypy: untyped-calls-exclude="dask"

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np

from veltrum_tools.errors import StoreFault
from veltrum_tools.hindcast.kernel import SUMMARIES, WORST, hindcast_chunk
from veltrum_tools.hindcast.plan import BATCH_CHUNKS, Plan
from veltrum_tools.vessel import Vessel
from veltrum_tools.weather import VARIABLES

if TYPE_CHECKING:
    import xarray as xr
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]


class Runner(Protocol):
    """What runs the chunks: a Dask cluster (cluster.ClusterRunner) or this process's
    threads (threads.ThreadRunner)."""

    workers: int  # processes or threads that compute chunks at once

    def describe(self) -> str:
        """The line that says where the chunks are computed."""

    def verify_chunks(self, store: str, plan: Plan) -> dict[int, str]:
        """The state of each chunk of a store to resume (kernel.chunk_state)."""

    def run_chunks(self, tasks: Sequence[Any], plan: Plan,
                   keep: bool) -> tuple[FloatArray, FloatArray | None]:
        """The summaries per cell of all chunks, and the speed change when `keep`."""

    def close(self) -> None:
        """Ends what was started for the run, once the chunks being written are done."""


def chunk_tasks(weather: xr.Dataset, plan: Plan, store: str | None, written: Sequence[bool],
                keep: bool, vessel: Vessel, headings: tuple[float, ...],
                engine: str) -> list[Any]:
    """One delayed hindcast_chunk per chunk of hours, returning (summaries, speed change)."""
    from dask.delayed import delayed

    blocks = [weather[name].data.to_delayed().reshape(-1) for name in VARIABLES]
    task = delayed(hindcast_chunk, pure=True, nout=2)
    return [task(*(block[index] for block in blocks), first=first, index=index, store=store,
                 written=written[index], keep=keep, vessel=vessel, headings=headings,
                 engine=engine, dtype=plan.out_dtype.str)
            for index, first in enumerate(plan.firsts())]


def batch_results(tasks: Sequence[Any], start: int, plan: Plan, keep: bool) -> list[Any]:
    """What a batch of chunk tasks, from chunk `start`, hands back: its summaries added up
    (a tree of sums and minima over the chunks, in a fixed order), and the speed change
    itself when `keep`."""
    import dask.array as da

    batch = tasks[start:start + BATCH_CHUNKS]
    parts = da.stack([da.from_delayed(task[0], (SUMMARIES, *plan.grid), np.float64)
                      for task in batch])
    wanted = [parts[:, :WORST].sum(axis=0, split_every=8),
              parts[:, WORST].min(axis=0, split_every=8)]
    if keep:
        wanted.append(da.concatenate([
            da.from_delayed(task[1], (min(plan.hours, plan.steps - plan.hours * (start + k)),
                                      *plan.grid, plan.headings), plan.out_dtype)
            for k, task in enumerate(batch)]))
    return wanted


def run_batches(tasks: Sequence[Any], plan: Plan, keep: bool,
                compute: Callable[[list[Any], Sequence[Any], int], Sequence[Any]]
                ) -> tuple[FloatArray, FloatArray | None]:
    """The summaries per cell of all chunks, and the speed change when `keep`, batch by
    batch: compute(wanted, batch, done) computes a batch's batch_results (`done` chunks
    before it) and returns them."""
    totals = np.zeros((WORST, *plan.grid))
    worst = np.full(plan.grid, np.inf)
    kept = []
    done = 0
    for start in range(0, len(tasks), BATCH_CHUNKS):
        batch = tasks[start:start + BATCH_CHUNKS]
        results = compute(batch_results(tasks, start, plan, keep), batch, done)
        totals += results[0]
        worst = np.minimum(worst, results[1])
        if keep:
            kept.append(results[2])
        done += len(batch)
    sys.stderr.write("\n")
    worst[np.isinf(worst)] = np.nan
    return np.concatenate([totals, worst[None]]), (np.concatenate(kept) if keep else None)


def draw_progress(count: int, total: int) -> None:
    """The progress bar, drawn again in place."""
    bar = "#" * (40 * count // max(total, 1))
    sys.stderr.write(f"\r[{bar:<40}] {count}/{total} chunks")
    sys.stderr.flush()


def unwritten_chunk(error: OSError) -> StoreFault:
    """The fault of a chunk its store's disk refused: full, gone, read-only."""
    sys.stderr.write("\n")
    return StoreFault(f"a chunk could not be written: {error.strerror or error}")
