"""The hindcast's figures in one run on one machine, as ratios to the bare ufunc: the bare
ufunc, the kernel, veltrum-hindcast end to end and its fixed cost. Prints the Markdown
table of docs/performance.md.

    .venv/bin/python benchmarks/hindcast_table.py [--shape T,Y,X] [--repeats N] [--quick]

- The bare ufunc, veltrum_numpy.speed_change on one hull, speed and loading state and 4
  million random conditions in the model's terms (ufunc_bench.py's), and the kernel,
  speed_change_from_weather as the hindcast calls it on random float32 weather of 48 hours
  of the grid (kernel_bench.py's), at 1 and 8 headings: estimates per second by the wall
  clock, one thread, the best of --rounds interleaved rounds.
- The tool end to end: veltrum-hindcast as a user runs it, a new process each run, from
  the input to the written zarr store (zstd), over the synthetic storm stored as float32,
  in a zarr store and in NetCDF files of a day each, at 1 and 8 headings; computed by this
  process's threads (--workers 0, the default for a run of this size) and by local clusters
  of 1 and 2 worker processes. The figure is valid estimates per second with the tool's
  fixed cost taken out, (E - E2) / (T - T2), where T2 is the wall time of the same command
  over the first 2 hours of the same grid and E2 its estimates; per worker (or thread) it is
  divided by their number. Each time is the best of --repeats runs. "CPUs busy" is the CPU
  time the run's processes took beyond the fixed cost's, over its wall time: how many CPUs
  the workers (or threads) kept busy between them; "per CPU" divides the run's rate by it.
- The fixed cost: T2 itself, from the start of the process to its end.

Every command is run with `env --default-signal=INT`, its output to a scratch folder that
is removed at the end; the machine's load average is printed before and after.
"""

import argparse
import math
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from kernel_bench import CONDITION, HULL, kernel_call, weather
from ufunc_bench import conditions

BIN = os.path.dirname(sys.executable)
# (label, --workers, how many compute at once)
RUNNERS = [("its own threads", 0, os.cpu_count() or 1),
           ("local cluster, 2 threads a worker", 1, 1),
           ("local cluster, 2 threads a worker", 2, 2)]


def best_wall(run, rounds):
    best = math.inf
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def model_rates(rounds):
    """Estimates per second, by the wall clock: the bare ufunc, and the kernel at 1 and 8
    headings from float32 fields."""
    from veltrum_numpy import speed_change

    rng = np.random.default_rng(2026)
    n = 4_000_000
    bare = conditions(rng, n)
    paths = {"bare": (lambda: speed_change(*HULL, *CONDITION, *bare), n)}
    shape = (48, 181, 361)
    fields = weather(rng, shape, np.float32)
    for count in (1, 8):
        change = np.empty((*shape, count), np.float32)
        summaries = np.empty((*shape[1:], 7))
        run = kernel_call(fields, np.arange(count) * (360.0 / count), change, summaries)
        run()
        paths[count] = (run, int(summaries[..., 0].sum()))
    seconds = dict.fromkeys(paths, math.inf)
    for _ in range(rounds):  # interleaved, so that load on the machine hits every path alike
        for name, (run, _) in paths.items():
            seconds[name] = min(seconds[name], best_wall(run, 1))
    return {name: estimates / seconds[name] for name, (_, estimates) in paths.items()}


def write_inputs(directory, shape):
    """The synthetic storm as float32: a zarr store and NetCDF files of a day each, for the
    whole run and for its first 2 hours."""
    from veltrum_tools.hindcast.storm import synthetic_storm

    storm = synthetic_storm(shape, 24).compute(scheduler="threads")
    inputs = {}
    for hours in (shape[0], 2):
        part = storm.isel(time=slice(0, hours))
        folder = os.path.join(directory, f"{hours}h")
        os.makedirs(folder)
        part.chunk({"time": 24}).to_zarr(os.path.join(folder, "storm.zarr"), zarr_format=2,
                                         consolidated=True)
        days = []
        for first in range(0, hours, 24):
            path = os.path.join(folder, f"storm-{first // 24:03d}.nc")
            part.isel(time=slice(first, first + 24)).to_netcdf(path, engine="h5netcdf")
            days.append(path)
        inputs[hours] = {"zarr": [os.path.join(folder, "storm.zarr")], "NetCDF": days}
    return inputs


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed_run(paths, headings, workers, directory):
    """Wall seconds, estimates and CPU seconds (its processes' and their children's: a
    local cluster's workers) of one veltrum-hindcast run."""
    output = os.path.join(directory, "out.zarr")
    command = ["env", "--default-signal=INT", os.path.join(BIN, "veltrum-hindcast"),
               "--input", *paths, "--headings", str(headings), "--workers", str(workers),
               "--output", output, "--overwrite"]
    start, cpu = time.perf_counter(), children_cpu()
    result = subprocess.run(command, capture_output=True, text=True, cwd=directory)
    seconds, cpu = time.perf_counter() - start, children_cpu() - cpu
    if result.returncode:
        raise SystemExit(f"{' '.join(command)} failed:\n{result.stderr}")
    line = next(line for line in result.stdout.splitlines() if line.startswith("Estimates: "))
    return seconds, int(line.split()[1]), cpu


def best_run(paths, headings, workers, directory, repeats):
    runs = [timed_run(paths, headings, workers, directory) for _ in range(repeats)]
    return min(runs)


def load():
    return " ".join(f"{value:.1f}" for value in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", default="192,181,361")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true",
                        help="8 headings, zarr and this process's threads only")
    options = parser.parse_args()
    shape = tuple(int(n) for n in options.shape.split(","))
    print(f"{os.cpu_count()} CPUs; load average {load()} at the start")
    rates = model_rates(options.rounds)
    bare = rates["bare"]
    print("\n| path | M estimates/s | vs the bare ufunc |\n|---|---:|---:|")
    print(f"| `speed_change`, fixed hull | {bare / 1e6:.1f} | 1.00× |")
    for count in (1, 8):
        print(f"| kernel, {count} heading{'s' * (count > 1)}, float32 fields | "
              f"{rates[count] / 1e6:.1f} | {rates[count] / bare:.2f}× |")
    directory = tempfile.mkdtemp(prefix="hindcast-table-")
    try:
        inputs = write_inputs(directory, shape)
        print(f"\nEnd to end, {shape[0]} × {shape[1]} × {shape[2]} float32, zarr output; "
              f"fixed cost: the run of {2} × {shape[1]} × {shape[2]}, best of "
              f"{options.repeats}\n")
        print("| input | headings | computed by | workers | M estimates/s per worker "
              "| vs the bare ufunc | CPUs busy | per CPU, vs the bare ufunc | total s "
              "| fixed cost s |")
        print("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|")
        for kind in ("zarr", "NetCDF"):
            for headings in (1, 8):
                for label, workers, count in RUNNERS:
                    if options.quick and (kind, headings, workers) != ("zarr", 8, 0):
                        continue
                    whole, estimates, cpu = best_run(inputs[shape[0]][kind], headings,
                                                     workers, directory, options.repeats)
                    fixed, few, fixed_cpu = best_run(inputs[2][kind], headings, workers,
                                                     directory, options.repeats)
                    rate = (estimates - few) / (whole - fixed) / count
                    busy = (cpu - fixed_cpu) / (whole - fixed)
                    print(f"| {kind} | {headings} | {label} | {count} | {rate / 1e6:.1f} | "
                          f"{rate / bare:.2f}× | {busy:.2f} | {rate * count / busy / bare:.2f}× "
                          f"| {whole:.2f} | {fixed:.2f} |", flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print(f"\nload average {load()} at the end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
