"""The hindcast on Dask: the client, the workers' versions, the chunks run batch by batch
and watched, their summaries added up on the cluster."""

# Dask and distributed declare types for part of their API only.
# mypy: untyped-calls-exclude="dask,distributed"

from __future__ import annotations

import signal
import sys
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from veltrum_tools.errors import ClusterFault, UsageError
from veltrum_tools.hindcast.kernel import SUMMARIES, WORST, hindcast_chunk
from veltrum_tools.hindcast.plan import BATCH_CHUNKS, Plan
from veltrum_tools.vessel import Vessel
from veltrum_tools.weather import VARIABLES

if TYPE_CHECKING:
    import xarray as xr
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]


def start_client(scheduler: str | None, connect_timeout: float, workers: int) -> Any:
    """A client of the given scheduler, whose workers must run this client's versions, or of
    a new local cluster of `workers` processes. The workers import the kernel from their own
    installed copy."""
    from distributed import Client, LocalCluster

    if scheduler is not None:
        try:
            client = Client(scheduler, timeout=connect_timeout)
        except (OSError, TimeoutError, ValueError) as error:
            raise UsageError(f"cannot reach the scheduler at {scheduler}: {error}") from None
        try:
            check_versions(client)
        except BaseException:
            client.close()
            raise
    else:
        # The worker processes ignore Ctrl-C, which a terminal sends to all of them: this
        # process stops them, once it has stopped waiting.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1,
                                   processes=True, host="127.0.0.1", dashboard_address=None)
        finally:
            signal.signal(signal.SIGINT, previous)
        client = Client(cluster)
    return client


def check_versions(client: Any) -> None:
    """Refuses workers whose veltrum or veltrum_tools differ from this process's: they would
    mix other numbers into the output. The check is sent by value, so that it also runs
    where veltrum_tools is missing or another copy."""

    def installed() -> dict[str, str]:
        from importlib import import_module
        from importlib.metadata import PackageNotFoundError, version

        found = {}
        try:
            found["veltrum"] = version("veltrum")
        except PackageNotFoundError:
            found["veltrum"] = "(none)"
        try:
            found["veltrum_tools"] = str(import_module("veltrum_tools").__version__)
        except (ImportError, AttributeError):
            found["veltrum_tools"] = "(none)"
        return found

    ours = installed()
    theirs = client.run(installed, on_error="return")
    differ = []
    for address, found in sorted(theirs.items()):
        if not isinstance(found, dict):
            differ.append(f"{address} ({type(found).__name__})")
        elif found != ours:
            differ.append(f"{address} (" + ", ".join(
                f"{name} {found[name]}" for name in ours if found[name] != ours[name]) + ")")
    if differ:
        raise UsageError("workers with other versions than this client's veltrum "
                         f"{ours['veltrum']} and veltrum_tools {ours['veltrum_tools']}: "
                         + "; ".join(differ))


def close_client(client: Any) -> None:
    cluster = client.cluster
    client.close()
    if cluster is not None:
        cluster.close()


def chunk_tasks(weather: xr.Dataset, plan: Plan, store: str | None, written: Sequence[bool],
                keep: bool, vessel: Vessel, headings: tuple[float, ...],
                engine: str) -> list[Any]:
    """One delayed hindcast_chunk per chunk of hours, returning (summaries, speed change)."""
    from dask.delayed import delayed

    blocks = [weather[name].data.to_delayed().reshape(-1) for name in VARIABLES]
    task = delayed(hindcast_chunk, pure=True, nout=2)
    return [task(*(block[index] for block in blocks), first=first, store=store,
                 written=written[index], keep=keep, vessel=vessel, headings=headings,
                 engine=engine, dtype=plan.out_dtype.str)
            for index, first in enumerate(plan.firsts())]


def batch_results(tasks: Sequence[Any], start: int, plan: Plan, keep: bool) -> list[Any]:
    """What a batch of chunk tasks, from chunk `start`, hands back: its summaries added up
    on the cluster (a tree of sums and minima over the chunks, in a fixed order), and the
    speed change itself when `keep`."""
    import dask.array as da

    batch = tasks[start:start + BATCH_CHUNKS]
    parts = da.stack([da.from_delayed(task[0], (SUMMARIES, *plan.grid), np.float64) for task in batch])
    wanted = [parts[:, :WORST].sum(axis=0, split_every=8),
              parts[:, WORST].min(axis=0, split_every=8)]
    if keep:
        wanted.append(da.concatenate([
            da.from_delayed(task[1], (min(plan.hours, plan.steps - plan.hours * (start + k)),
                                      *plan.grid, plan.headings), plan.out_dtype)
            for k, task in enumerate(batch)]))
    return wanted


def run_chunks(client: Any, tasks: Sequence[Any], plan: Plan,
               keep: bool) -> tuple[FloatArray, FloatArray | None]:
    """Runs the chunks on the cluster, batch by batch: the client gets the summaries per
    cell, and the speed change itself only when `keep`."""
    totals = np.zeros((WORST, *plan.grid))
    worst = np.full(plan.grid, np.inf)
    kept = []
    done = 0
    for start in range(0, len(tasks), BATCH_CHUNKS):
        batch = tasks[start:start + BATCH_CHUNKS]
        futures = client.compute(batch_results(tasks, start, plan, keep))
        watch(client, futures, [task[0].key for task in batch], done, len(tasks))
        results = client.gather(futures)
        totals += results[0]
        worst = np.minimum(worst, results[1])
        if keep:
            kept.append(results[2])
        done += len(batch)
    sys.stderr.write("\n")
    worst[np.isinf(worst)] = np.nan
    return np.concatenate([totals, worst[None]]), (np.concatenate(kept) if keep else None)


def watch(client: Any, futures: Sequence[Any], keys: Sequence[Any], before: int,
          total: int) -> None:
    """Waits for a batch, with a progress bar on a terminal, and says so when a worker is
    lost: the chunks it held are computed again by the others."""

    def state(keys: Sequence[Any], dask_scheduler: Any = None) -> tuple[int, list[str]]:
        tasks = dask_scheduler.tasks
        finished = sum(1 for key in keys
                       if key not in tasks or tasks[key].state in ("memory", "released"))
        return finished, list(dask_scheduler.workers)

    draw = sys.stderr.isatty()
    known: set[str] = set()
    while True:
        finished, workers = client.run_on_scheduler(state, keys)
        for address in sorted(known - set(workers)):
            print(f"Worker lost: {address}; the chunks it held are computed again",
                  flush=True)
        known = set(workers)
        complete = all(future.done() for future in futures)
        if draw or complete:
            count = before + (len(keys) if complete else finished)
            bar = "#" * (40 * count // max(total, 1))
            sys.stderr.write(f"\r[{bar:<40}] {count}/{total} chunks")
            sys.stderr.flush()
        if complete:
            break
        time.sleep(0.25)
    for future in futures:
        if future.status == "error":
            error = future.exception()
            sys.stderr.write("\n")
            raise ClusterFault(f"a chunk failed: {type(error).__name__}: {error}")
