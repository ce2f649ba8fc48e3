"""The hindcast's chunk function in this process: estimates per second of a plain Python
loop, of the chunk function with each engine, and where the `calls` engine's time goes, by
the wall clock and by the CPU time, which other work on a shared machine changes less.

    .venv/bin/python benchmarks/hindcast_chunk.py [--headings N] [--engine calls|ufunc]

End to end on a cluster, from the input to the written store: benchmarks/hindcast_scale.py.
"""

import argparse
import math
import os
import sys
import time

import numpy as np

from veltrum_tools import marine
from veltrum_tools.hindcast.kernel import (BATCH, chunk_estimates, has_ufunc, ship_for,
                                           valid_cells)
from veltrum_tools.hindcast.storm import storm_block
from veltrum_tools.vessel import Vessel

BENCHMARK_SHAPE = (340, 101, 121)  # 4.2 million cell-hours


def timed(action, cpu_clock, repeats=3):
    """Wall and CPU seconds of the fastest of a few runs."""
    best = (math.inf, math.inf)
    for _ in range(repeats):
        cpu, start = cpu_clock(), time.perf_counter()
        action()
        wall = time.perf_counter() - start
        best = min(best, (wall, cpu_clock() - cpu))
    return best


def benchmark(headings, engine):
    """Estimates per second: a Python loop and the chunk function in this process, with
    where its time goes."""
    ship = Vessel(10000.0, 120.0, 20.0, 7.0, 12.0, True)
    vessel = ship_for(ship)
    cells = math.prod(BENCHMARK_SHAPE)
    fields = list(storm_block(0, BENCHMARK_SHAPE[0], BENCHMARK_SHAPE))
    engines = [engine] if engine != "auto" else ["calls"] + (["ufunc"] if has_ufunc() else [])
    print(f"Weather: synthetic storm, {cells} cell-hours; {len(headings)} heading(s); "
          f"{os.cpu_count()} cores, load average "
          + " ".join(f"{load:.1f}" for load in os.getloadavg()))
    print(f"{'million estimates per second':<46}{'wall clock':>11}{'CPU time':>10}")

    def show(label, estimates, seconds):
        wall, cpu = seconds
        print(f"{label:<46}{estimates / wall / 1e6:>11.2f}"
              f"{estimates / cpu / 1e6:>10.2f}")

    loop_cells = 200_000
    lists = [field.reshape(-1)[:loop_cells].tolist() for field in fields]

    def python_loop():
        compute, out = vessel.compute, []
        for u, v, height, wave_from in zip(*lists):
            if not (math.isfinite(u) and math.isfinite(v) and math.isfinite(height)
                    and math.isfinite(wave_from)):
                out.append(math.nan)
                continue
            speed, wind_from = marine.wind_speed_and_origin(u, v)
            force = marine.beaufort_force(speed)
            for heading in headings:
                out.append(compute(marine.relative_angle(heading, wind_from), force, height,
                                   marine.relative_angle(heading, wave_from)))
        return out

    show("plain Python loop, this process", loop_cells * len(headings),
         timed(python_loop, time.process_time, 1))

    for engine in engines:
        def chunk_function():
            chunk_estimates(*fields, vessel=ship, headings=headings, engine=engine,
                            dtype=np.float32)

        show(f"{engine}: chunk function, this process", fields[0].size * len(headings),
             timed(chunk_function, time.process_time))
        if engine == "calls":
            print("  of which, CPU time per estimate:")
            for part, nanoseconds in calls_profile(vessel, headings, fields).items():
                print(f"    {part:<42}{nanoseconds:>7.1f} ns")

    print("End to end on a cluster, from the input to the written store: "
          "benchmarks/hindcast_scale.py in a clone.")


def calls_profile(vessel, headings, fields):
    """CPU time per estimate of each step of the `calls` engine, batch by batch."""
    parts = dict.fromkeys(("NumPy conversions (marine)", "boxing (.tolist())",
                           "compute calls and the result array"), 0.0)
    u10, v10, swh, mwd = (field[valid_cells(*fields)].astype(np.float64) for field in fields)
    courses = np.asarray(headings, dtype=np.float64)
    for start in range(0, u10.size, BATCH):
        part = slice(start, start + BATCH)
        clock = time.process_time()
        speed, wind_from = marine.wind_speed_and_origin(u10[part], v10[part])
        forces = marine.beaufort_forces(speed)
        angles = [(marine.relative_angle(courses[k:k + 1], wind_from),
                   marine.relative_angle(courses[k:k + 1], mwd[part]))
                  for k in range(len(courses))]
        converted = time.process_time()
        boxed_forces, heights = forces.tolist(), swh[part].tolist()
        boxed = [(wind.tolist(), wave.tolist()) for wind, wave in angles]
        boxing = time.process_time()
        for wind_beta, wave_beta in boxed:
            np.fromiter(map(vessel.compute, wind_beta, boxed_forces, heights, wave_beta),
                        np.float64, len(heights))
        done = time.process_time()
        for name, seconds in zip(parts, (converted - clock, boxing - converted, done - boxing)):
            parts[name] += seconds
    return {name: seconds / (u10.size * len(courses)) * 1e9 for name, seconds in parts.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--headings", type=int, default=1, help="evenly spaced courses")
    parser.add_argument("--engine", choices=("auto", "calls", "ufunc"), default="auto")
    options = parser.parse_args()
    benchmark(tuple(360.0 * k / options.headings for k in range(options.headings)),
              options.engine)
    return 0


if __name__ == "__main__":
    sys.exit(main())
