"""The hindcast in this process, without a cluster: the chunks of the same graph a cluster
runs (tasks.py), in a pool of threads. They compute at once, for the kernel
(veltrum_numpy), the codecs and the reads and writes of files release the interpreter lock;
what holds it (the `calls` engine, Dask's own bookkeeping) runs one thread at a time."""

# Dask declares types for part of its API only.
# mypy: untyped-calls-exclude="dask"

from __future__ import annotations

import sys
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

import numpy as np

from veltrum_tools.hindcast.kernel import chunk_state
from veltrum_tools.hindcast.plan import Plan
from veltrum_tools.hindcast.tasks import draw_progress, run_batches, unwritten_chunk

if TYPE_CHECKING:
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]


class ThreadRunner:
    """The chunks run by `threads` threads of this process."""

    def __init__(self, threads: int) -> None:
        self.workers = threads

    def describe(self) -> str:
        return (f"No cluster: {self.workers} {'thread' if self.workers == 1 else 'threads'} "
                "of this process")

    def verify_chunks(self, store: str, plan: Plan) -> dict[int, str]:
        ndim = len(plan.grid) + 2
        with ThreadPoolExecutor(self.workers) as pool:
            return dict(enumerate(pool.map(lambda index: chunk_state(store, index, ndim),
                                           range(plan.chunks))))

    def run_chunks(self, tasks: Sequence[Any], plan: Plan,
                   keep: bool) -> tuple[FloatArray, FloatArray | None]:
        """Runs the chunks, batch by batch. Interrupted (Ctrl-C) or failed, the chunks being
        computed are finished, and written, before it returns, as a cluster's workers
        finish theirs; those not started are not."""
        from dask.base import compute as dask_compute
        from dask.callbacks import Callback

        draw = sys.stderr.isatty()

        def compute(wanted: list[Any], batch: Sequence[Any], done: int) -> Sequence[Any]:
            chunks = {task.key for task in batch}
            finished = [done]

            def counted(key: Any, *_: Any) -> None:
                if key in chunks:
                    finished[0] += 1
                    if draw:
                        draw_progress(finished[0], len(tasks))

            # the graph as built, so that each chunk's task keeps its key
            with Callback(posttask=counted):
                results: Sequence[Any] = dask_compute(*wanted, scheduler="threads", pool=pool,
                                                      optimize_graph=False)
            draw_progress(done + len(batch), len(tasks))
            return results

        pool = ThreadPoolExecutor(self.workers)
        try:
            return run_batches(tasks, plan, keep, compute)
        except OSError as error:
            raise unwritten_chunk(error) from None
        finally:
            pool.shutdown(wait=True, cancel_futures=True)

    def close(self) -> None:
        """Nothing was started but the pool of each run, which it ends itself."""
