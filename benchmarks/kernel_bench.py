"""Throughput of veltrum_numpy.speed_change_from_weather, the hindcast's kernel, beside the
bare ufunc veltrum_numpy.speed_change, in one run.

The bare ufunc estimates random conditions already in the model's terms (one hull, speed
and loading state; the conditions of ufunc_bench.py). The kernel starts from the weather
as the hindcast stores it: fields of shape (t, y, x) in float32 or float64, realistic winds
of 0 to 40 m/s from any direction, waves of 0 to 15 m, and a few cells without data (an
island); it is called as the hindcast calls it, with t moved last and the change written
in place into an array of shape (t, y, x, h), at 1 and at 8 headings.

Prints valid estimates per second (the best of several interleaved rounds, by the process's
CPU time) and each rate's ratio to the bare ufunc's, then the kernel in two threads, each
on half of the grid, against one thread on the whole grid (wall time: NumPy runs the loop
without the interpreter lock; the CPUs the two kept busy on average tell what the other
work on the machine left them), and how far the main thread's Python got while the kernel
ran in another thread. A report, never a check.

Usage: kernel_bench.py [-n ELEMENTS] [--shape T,Y,X] [--rounds N] [--build DIR]
"""

import argparse
import gc
import os
import sys
import threading
import time

import numpy as np

from ufunc_bench import conditions

HULL, CONDITION = (10000.0, 120.0, 20.0, 7.0), (12.0, True)


def weather(rng, shape, dtype):
    """u10, v10, swh and mwd of the given shape and type; the cells of an island are NaN."""
    speed, towards = rng.uniform(0.0, 40.0, shape), rng.uniform(0.0, 2.0 * np.pi, shape)
    fields = [speed * np.sin(towards), speed * np.cos(towards), rng.uniform(0.0, 15.0, shape),
              rng.uniform(0.0, 360.0, shape)]
    y, x = np.ogrid[:shape[1], :shape[2]]
    island = (y - shape[1] / 2) ** 2 + (x - shape[2] / 2) ** 2 < min(shape[1:]) ** 2 / 40
    for field in fields[2:]:
        field[:, island] = np.nan
    return [field.astype(dtype) for field in fields]


def kernel_call(fields, headings, change, summaries):
    from veltrum_numpy import speed_change_from_weather

    return lambda: speed_change_from_weather(
        *HULL, *CONDITION, headings, *(np.moveaxis(f, 0, -1) for f in fields),
        out=(np.moveaxis(change, 0, -2), summaries))


def cpu_rate(run, estimates):
    gc.collect()
    start = time.process_time()
    run()
    return estimates / max(time.process_time() - start, 1e-9)


def wall_and_cpu_seconds(runs):
    """Wall time and the process's CPU time of the calls run each in a thread of its own,
    at once."""
    threads = [threading.Thread(target=run) for run in runs]
    start, cpu = time.perf_counter(), time.process_time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-n", type=int, default=4_000_000, help="elements of the bare ufunc")
    parser.add_argument("--shape", default="48,181,361", help="hours, latitudes, longitudes")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", help="import the modules from this build directory")
    args = parser.parse_args()
    shape = tuple(int(n) for n in args.shape.split(","))
    if args.n < 1 or args.rounds < 1 or len(shape) != 3 or min(shape) < 1:
        parser.error("-n, --rounds and the three sizes of --shape must be at least 1")
    if args.build:
        sys.path.insert(0, os.path.abspath(args.build))
    from veltrum_numpy import speed_change

    rng = np.random.default_rng(2026)
    bare = conditions(rng, args.n)
    paths = {"speed_change, fixed hull": (lambda: speed_change(*HULL, *CONDITION, *bare), args.n)}
    for dtype in (np.float32, np.float64):
        fields = weather(rng, shape, dtype)
        for count in (1, 8):
            headings = np.arange(count) * (360.0 / count)
            change = np.empty((*shape, count), dtype)
            summaries = np.empty((*shape[1:], 7))
            run = kernel_call(fields, headings, change, summaries)
            run()
            paths[f"kernel, {count} heading{'s' * (count > 1)}, {np.dtype(dtype).name}"] = (
                run, int(summaries[..., 0].sum()))
    rates = {name: [] for name in paths}
    for _ in range(args.rounds):  # interleaved, so load on the machine hits every path alike
        for name, (run, estimates) in paths.items():
            rates[name].append(cpu_rate(run, estimates))

    baseline = max(rates["speed_change, fixed hull"])
    print(f"bare ufunc: {args.n} random conditions; kernel: {shape} cell-hours; "
          f"best of {args.rounds} rounds")
    print(f"{'path':34} {'estimates/s':>14} {'vs bare':>9}")
    for name, values in rates.items():
        print(f"{name:34} {max(values) / 1e6:12.1f} M {max(values) / baseline:8.2f}x")

    # Two threads, each on half of the grid's rows, against one on the whole grid.
    fields = weather(rng, shape, np.float32)
    headings = np.arange(8) * 45.0
    change, summaries = np.empty((*shape, 8), np.float32), np.empty((*shape[1:], 7))
    half = shape[1] // 2
    whole = kernel_call(fields, headings, change, summaries)
    halves = [kernel_call([f[:, rows] for f in fields], headings, change[:, rows],
                          summaries[rows]) for rows in (slice(None, half), slice(half, None))]
    one = min(wall_and_cpu_seconds([whole]) for _ in range(args.rounds))
    two = min(wall_and_cpu_seconds(halves) for _ in range(args.rounds))
    print(f"kernel, 8 headings, float32, two threads: {one[0] / two[0]:.2f}x one thread's "
          f"speed by the wall clock, {two[1] / two[0]:.2f} CPUs busy on average "
          f"({os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f})")
    # Python runs beside the call only if the loop runs without the interpreter lock.
    worker, beside = threading.Thread(target=whole), 0
    worker.start()
    while worker.is_alive():
        beside += 1
    worker.join()
    print(f"Python loop iterations in the main thread during one such call: {beside}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
