"""The hindcast's plan, a pure function of sizes: hours per chunk, chunks and bytes."""

import numpy as np
import pytest

from veltrum_tools.hindcast.plan import CHUNK_ESTIMATES, make_plan, runs_here

F4, F8 = np.dtype(np.float32), np.dtype(np.float64)
GLOBAL = (721, 1440)


@pytest.mark.parametrize("steps, grid, headings, workers, options, hours, chunks", [
    # about CHUNK_ESTIMATES a chunk: 8 of a global grid, 1 at 8 headings
    (8760, GLOBAL, 1, 2, {}, CHUNK_ESTIMATES // (721 * 1440), 1095),
    (8760, GLOBAL, 8, 2, {}, 1, 8760),
    # at least two chunks per worker when the steps are few
    (10, (5, 6), 1, 2, {}, 3, 4),
    (10, (5, 6), 1, 8, {}, 1, 10),
    # whole chunks of an input stored 5 hours a chunk, so that each is read once
    (100, (5, 6), 1, 2, {"stored_hours": 5}, 25, 4),
    (100, (5, 6), 1, 2, {"stored_hours": 7}, 21, 5),
    # the user's chunk hours win over both, a resumed store's over all three
    (100, (5, 6), 1, 2, {"stored_hours": 7, "chunk_hours": 10}, 10, 10),
    (100, (5, 6), 1, 2, {"chunk_hours": 10, "resumed_hours": 4}, 4, 25),
    (3, (5, 6), 1, 1, {"chunk_hours": 10}, 3, 1),
])
def test_hours_per_chunk(steps, grid, headings, workers, options, hours, chunks):
    plan = make_plan((steps, *grid), [F4] * 4, headings, workers,
                     **{"stored_hours": steps, **options})
    assert (plan.hours, plan.chunks) == (hours, chunks)
    assert list(plan.firsts()) == list(range(0, steps, hours))


@pytest.mark.parametrize("dtypes, out, itemsize", [([F4] * 4, F4, 4), ([F4, F4, F8, F8], F8, 8),
                                                    ([np.dtype(np.float16)] * 4, F4, 4)])
def test_sizes_and_output_type(dtypes, out, itemsize):
    plan = make_plan((48, 181, 361), dtypes, 8, 2, stored_hours=48)
    assert plan.out_dtype == out
    assert plan.estimates == 48 * 181 * 361 * 8
    assert plan.out_bytes == plan.estimates * itemsize
    assert plan.in_bytes == 48 * 181 * 361 * sum(dtype.itemsize for dtype in dtypes)
    assert plan.chunk_bytes == plan.hours * 181 * 361 * 8 * itemsize


GB = 1 << 30


@pytest.mark.parametrize("steps, headings, engine, memory, here", [
    (192, 8, "ufunc", 16 * GB, True),  # the threads compute as fast as the workers
    (8760, 8, "ufunc", 16 * GB, False),  # more than a quarter of the memory
    (8760, 8, "ufunc", 128 * GB, True),
    (2, 1, "calls", 16 * GB, True),  # the threads take turns, but the cluster's start costs more
    (192, 8, "calls", 16 * GB, False),
])
def test_a_run_in_this_process_or_on_a_cluster(steps, headings, engine, memory, here):
    assert runs_here((steps, 181, 361), [F4] * 4, headings, engine, 2, memory) is here
