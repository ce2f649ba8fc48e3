"""The plan of a hindcast: how its time steps are cut into chunks, and what the input, the
output and the work come to. A pure function of shapes, sizes, workers and chunk hours."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from veltrum_tools.outputs import size

__all__ = ["Plan", "duration", "make_plan", "output_bytes", "runs_here", "seconds", "size"]

# Estimates per chunk, about: whole time steps, as many as make this many estimates (each
# task has a fixed cost), but at least two chunks per worker when there are enough. Eight
# million estimates of one heading take 32 MB as float32 and their input twice as much.
CHUNK_ESTIMATES = 1 << 23
# Chunks in one graph on the scheduler: a long run goes in batches of this many, so that
# the client holds a bounded graph (a year of hourly global weather is some thousand chunks).
BATCH_CHUNKS = 256
# What the plan assumes a worker (or a thread of this process) does per second, end to end
# from reading the input to the written store, as measured on a shared 2-core machine
# (docs/performance.md): estimates, the model's own work, which grows with the headings;
# and cell-hours, the work of each hour of a cell whatever the headings (reading it, its
# validity, wind and angles, writing). The calls engine's estimates cost it ten times more
# than the kernel's (benchmarks/hindcast_chunk.py), its cell-hours about the same.
RATE_PER_WORKER = {"ufunc": 40e6, "calls": 4.0e6}
CELL_HOURS_PER_WORKER = 20e6
# Seconds a local cluster takes to start and to stop (with its TLS credentials, on a shared
# 2-core machine): what a run of this process's threads saves.
CLUSTER_SECONDS = 2.0
# A run is computed by this process's threads, without a cluster, only when its input and
# output together fit in this share of the machine's memory.
HERE_SHARE = 0.25


@dataclass(frozen=True)
class Plan:
    steps: int
    grid: tuple[int, ...]
    headings: int
    hours: int  # per chunk
    in_bytes: int
    out_dtype: np.dtype[np.floating]
    workers: int

    @property
    def chunks(self) -> int:
        return -(-self.steps // self.hours)

    @property
    def estimates(self) -> int:
        return self.steps * math.prod(self.grid) * self.headings

    @property
    def out_bytes(self) -> int:
        return output_bytes((self.steps, *self.grid), [self.out_dtype], self.headings)

    @property
    def chunk_bytes(self) -> int:
        return self.hours * math.prod(self.grid) * self.headings * self.out_dtype.itemsize

    @property
    def batches(self) -> int:
        return -(-self.chunks // BATCH_CHUNKS)

    def firsts(self) -> range:
        return range(0, self.steps, self.hours)


def output_dtype(field_dtypes: list[np.dtype[np.floating]]) -> np.dtype[np.floating]:
    """float32 input gives float32 output; double stays double."""
    return np.dtype(np.result_type(np.float32, *field_dtypes))


def output_bytes(shape: tuple[int, ...], field_dtypes: list[np.dtype[np.floating]],
                 headings: int) -> int:
    """The size of the speed change over fields of `shape`, for so many headings."""
    return math.prod(shape) * headings * output_dtype(field_dtypes).itemsize


def make_plan(shape: tuple[int, ...], field_dtypes: list[np.dtype[np.floating]],
              headings: int, workers: int, *, stored_hours: int, chunk_hours: int | None = None,
              resumed_hours: int | None = None) -> Plan:
    """The chunking and sizes of a run over fields of `shape` (time first) whose input comes
    in chunks of `stored_hours`: `resumed_hours` per chunk when given (a resumed store's),
    else `chunk_hours`, else about CHUNK_ESTIMATES a chunk, in whole chunks of the input
    where those are smaller, so that each is read once."""
    steps, *grid = shape
    hours = resumed_hours
    if hours is None:
        hours = chunk_hours or max(1, min(
            CHUNK_ESTIMATES // max(1, math.prod(grid) * headings),
            math.ceil(steps / (2 * workers))))
        if not chunk_hours and stored_hours < hours:
            hours -= hours % stored_hours
    in_bytes = sum(math.prod(shape) * dtype.itemsize for dtype in field_dtypes)
    return Plan(steps, tuple(grid), headings, min(hours, steps), in_bytes,
                output_dtype(field_dtypes), workers)


def runs_here(shape: tuple[int, ...], field_dtypes: list[np.dtype[np.floating]], headings: int,
              engine: str, cores: int, memory: int) -> bool:
    """Whether a run is best computed by this process's threads, one per core, rather than
    by a local cluster of a worker per core: when its input and output fit in HERE_SHARE of
    the `memory`, and the threads finish no later than the cluster would, its start and
    stop included. The ufunc engine's threads compute at once, as the cluster's workers do;
    the calls engine's take turns, holding the interpreter lock."""
    if sum(math.prod(shape) * dtype.itemsize for dtype in field_dtypes) \
            + output_bytes(shape, field_dtypes, headings) > HERE_SHARE * memory:
        return False
    work = seconds(math.prod(shape), headings, engine)
    return work / (cores if engine == "ufunc" else 1) <= CLUSTER_SECONDS + work / cores


def seconds(cell_hours: int, headings: int, engine: str) -> float:
    """The time one worker takes for so many cell-hours at so many headings."""
    return cell_hours / CELL_HOURS_PER_WORKER + cell_hours * headings / RATE_PER_WORKER[engine]


def duration(seconds: float) -> str:
    """A time as people read it: 1 s at least, minutes past 90 s, hours past 90 min."""
    if seconds < 90:
        return f"{max(seconds, 1):.0f} s"
    if seconds < 5400:
        return f"{seconds / 60:.0f} min"
    return f"{seconds / 3600:.1f} h"
