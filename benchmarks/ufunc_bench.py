"""Throughput of whole arrays: veltrum_numpy.speed_change beside the per-call
paths through NavCalc.compute, over the same random conditions in one run.

Prints estimates per second for each path (the best of several interleaved
rounds) and its ratio to np.frompyfunc(vessel.compute, 4, 1). The ufunc runs
twice: with one hull, speed and loading state broadcast over the conditions,
and with a different hull, speed and loading state in every element.

Times are the process's CPU time, which other work on a shared machine
disturbs far less than wall time. A report, never a check.

Usage: ufunc_bench.py [-n ELEMENTS] [--rounds N] [--build DIR]
"""

import argparse
import gc
import os
import sys
import time

import numpy as np


def conditions(rng, n):
    return (rng.uniform(0.0, 180.0, n), rng.integers(0, 13, n, dtype=np.int32),
            rng.uniform(0.0, 12.0, n), rng.uniform(0.0, 180.0, n))


def hulls(rng, n):
    """Plausible hulls, block coefficients 0.5 to 0.9, and conditions."""
    length = rng.uniform(60.0, 350.0, n)
    breadth = length / rng.uniform(5.0, 8.0, n)
    draught = breadth / rng.uniform(2.2, 3.5, n)
    displacement = rng.uniform(0.5, 0.9, n) * length * breadth * draught
    return (displacement, length, breadth, draught, rng.uniform(5.0, 25.0, n),
            rng.integers(0, 2, n).astype(bool))


def estimates_per_second(run, n):
    gc.collect()
    start = time.process_time()
    run()
    return n / max(time.process_time() - start, 1e-9)  # the clock's resolution


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-n", type=int, default=1_000_000, help="elements per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", help="import the modules from this build directory")
    args = parser.parse_args()
    if args.n < 1 or args.rounds < 1:
        parser.error("-n and --rounds must be at least 1")
    if args.build:
        sys.path.insert(0, os.path.abspath(args.build))
    from veltrum import NavCalc
    from veltrum_numpy import speed_change

    rng = np.random.default_rng(2026)
    weather = conditions(rng, args.n)
    fleet = hulls(rng, args.n)
    lists = [column.tolist() for column in weather]
    vessel = NavCalc(10000.0, 120.0, 20.0, 7.0)
    vessel.setup(12.0, True)
    per_call = np.frompyfunc(vessel.compute, 4, 1)

    fixed = speed_change(10000.0, 120.0, 20.0, 7.0, 12.0, True, *weather)
    if not np.array_equal(fixed, np.array(per_call(*weather), dtype=np.float64)):
        sys.exit("the ufunc and NavCalc.compute disagree")

    paths = {
        "np.frompyfunc(vessel.compute, 4, 1)": lambda: per_call(*weather),
        "list(map(vessel.compute, *lists))": lambda: list(map(vessel.compute, *lists)),
        "speed_change, one hull and speed": lambda: speed_change(
            10000.0, 120.0, 20.0, 7.0, 12.0, True, *weather),
        "speed_change, a hull per element": lambda: speed_change(*fleet, *weather),
    }
    rates = {name: [] for name in paths}
    for _ in range(args.rounds):  # interleaved, so load on the machine hits every path alike
        for name, run in paths.items():
            rates[name].append(estimates_per_second(run, args.n))

    baseline = max(rates["np.frompyfunc(vessel.compute, 4, 1)"])
    print(f"{args.n} random conditions, best of {args.rounds} rounds")
    print(f"{'path':40} {'estimates/s':>14} {'vs frompyfunc':>14}")
    for name, values in rates.items():
        rate = max(values)
        print(f"{name:40} {rate / 1e6:12.1f} M {rate / baseline:13.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
