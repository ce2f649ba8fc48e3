"""Speed change of one ship over gridded weather: every cell, hour and heading, on Dask.

The weather is in ERA5's single-level naming: `u10` and `v10` (10 m wind towards east
and north, m/s), `swh` (significant height of combined wind waves and swell, m) and `mwd`
(mean wave direction, degrees, coming from), on a grid with a time axis (`time` or
`valid_time`), in NetCDF files or zarr stores: several files, or a glob of them, are
opened as one dataset. Without --input a synthetic storm is made up.

    veltrum-hindcast --output hindcast.nc --plot mean_speed.png
    veltrum-hindcast --input 'era5/2024-*.nc' --headings 8 --output out.zarr
    veltrum-hindcast --scheduler tcp://10.0.0.5:8786 --input era5.zarr --output /shared/out.zarr
    veltrum-hindcast --benchmark

The work is split into chunks of whole time steps. Before any work the plan says the
sizes of the input and the output, the chunking and the time it should take. A `.zarr`
output is written by the workers, chunk by chunk, and never passes through the client,
which only adds up the summaries per cell that each chunk returns; an interrupted run is
finished with --resume. A NetCDF output is written by the client, so it must fit in its
memory. Each worker process builds its ship once and reuses it for every chunk it gets;
every worker needs `veltrum` installed, which brings this package, of the client's version.
Needs the `grid` extra: pip install 'veltrum[grid]'.
"""

# Dask and distributed declare types for part of their API only.
# mypy: untyped-calls-exclude="dask,distributed"

from __future__ import annotations

import argparse
import glob
import importlib
import json
import math
import os
import signal
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

import veltrum
from veltrum_tools import marine
from veltrum_tools.cli import (Parser, UsageError, add_vessel_options, refused_vessel as refused,
                               run_main, save_figure)

if TYPE_CHECKING:
    import xarray as xr
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]
    Fields = NDArray[np.floating[Any]]  # weather in single or double precision

PROG = "veltrum-hindcast"
VARIABLES = ("u10", "v10", "swh", "mwd")
LOSS_THRESHOLD_KN = -1.0  # a loss above one knot is a speed change below -1
# Cells converted and boxed at a time: the Python objects stay in cache, and every
# temporary array (32 KiB) stays below glibc's mmap threshold, which is fixed at 128 KiB
# in dask workers (their nanny sets MALLOC_TRIM_THRESHOLD_): larger ones are mapped
# anew each time and paid for in page faults.
BATCH = 4096


# -- on the workers -----------------------------------------------------------------------------

# One ship per worker process, per vessel and condition: building it is cheap,
# but the chunks of one run all reuse the same.
_VESSELS: dict[tuple[float, float, float, float, float, bool], veltrum.NavCalc] = {}


def vessel_for(particulars: tuple[float, float, float, float], speed_kts: float,
               laden: bool) -> veltrum.NavCalc:
    key = (*particulars, speed_kts, laden)
    vessel = _VESSELS.get(key)
    if vessel is None:
        vessel = veltrum.NavCalc(*particulars)
        vessel.setup(speed_kts, laden)
        _VESSELS[key] = vessel
    return vessel


def wind_speed_and_origin(u10: FloatArray, v10: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Wind speed (m/s) and the true direction it comes from (degrees) of wind components."""
    speed = np.sqrt(u10 * u10 + v10 * v10)
    # arctan2(u, v) is the bearing the wind blows towards; it comes from the opposite one
    coming_from = np.degrees(np.arctan2(u10, v10)) + 180.0
    return speed, coming_from


def valid_cells(u10: Fields, v10: Fields, swh: Fields, mwd: Fields) -> NDArray[np.bool_]:
    """Cells whose four fields are all finite: the others are skipped."""
    return np.isfinite(u10) & np.isfinite(v10) & np.isfinite(swh) & np.isfinite(mwd)



def relative_angles(heading: FloatArray, coming_from: FloatArray) -> FloatArray:
    """marine.relative_angle, to the bit, at less than half its cost where every difference
    of directions lies within ±360° (always, for the directions of one turn that weather
    gives): there the floating remainder by 360 is the difference itself, or the
    difference plus 360 when it is negative, the very sum that np.remainder makes."""
    turned = coming_from - heading
    if not np.abs(turned).max(initial=0.0) < 360.0:
        return marine.relative_angle(heading, coming_from)
    turned = np.where(turned < 0.0, turned + 360.0, turned)
    return 180.0 - np.abs(180.0 - turned)


def wind_speed(u10: FloatArray, v10: FloatArray) -> FloatArray:
    """Wind speed (m/s) of wind components, in double whatever their type."""
    u10, v10 = np.asarray(u10, dtype=np.float64), np.asarray(v10, dtype=np.float64)
    return np.sqrt(u10 * u10 + v10 * v10)


def speed_change_block(u10: Fields, v10: Fields, swh: Fields, mwd: Fields, *,
                       vessel: tuple[float, float, float, float, float, bool],
                       headings: tuple[float, ...], engine: str,
                       dtype: Any = np.float64) -> tuple[FloatArray, NDArray[np.bool_]]:
    """Speed change in knots for one block of the grid, a last axis of headings added, and
    the cells whose wind is of force 13 or more (taken as 12).

    This is what dask runs on the workers; invalid cells give NaN. Every estimate is made
    in double from the fields converted to double, whatever their type, and stored as
    `dtype`. The `calls` engine calls `compute` once per estimate over Python lists,
    boxing the fields that all headings share once; `ufunc` hands the same arrays to
    veltrum_numpy."""
    shape = u10.shape
    u10, v10, swh, mwd = (np.ascontiguousarray(field).reshape(-1)
                          for field in (u10, v10, swh, mwd))
    out = np.full((u10.size, len(headings)), np.nan, dtype=dtype)
    capped = np.zeros(u10.size, dtype=np.bool_)
    courses = np.asarray(headings, dtype=np.float64)
    if engine == "ufunc":
        import veltrum_numpy  # type: ignore[import-not-found, import-untyped, unused-ignore]

        ufunc = veltrum_numpy.speed_change
    else:
        compute = vessel_for(vessel[:4], vessel[4], vessel[5]).compute
    for start in range(0, u10.size, BATCH):
        rows: slice | NDArray[np.intp] = slice(start, start + BATCH)
        batch = [field[rows].astype(np.float64) for field in (u10, v10, swh, mwd)]
        valid = valid_cells(*batch)
        if not valid.all():
            rows = start + np.flatnonzero(valid)
            batch = [field[valid] for field in batch]
        wind_u, wind_v, height, wave_from = batch
        speed, wind_from = wind_speed_and_origin(wind_u, wind_v)
        capped[rows] = speed >= marine.FORCE_13_LOWER_BOUND_MS
        forces = marine.beaufort_forces(speed)  # 0 to 12: only valid cells come here
        if engine != "ufunc":
            forces_boxed, heights_boxed = forces.tolist(), height.tolist()
        for column in range(len(courses)):
            heading = courses[column:column + 1]
            wind_beta = relative_angles(heading, wind_from)
            wave_beta = relative_angles(heading, wave_from)
            if engine == "ufunc":
                out[rows, column] = ufunc(*vessel, wind_beta, forces, height, wave_beta)
            else:
                out[rows, column] = np.fromiter(
                    map(compute, wind_beta.tolist(), forces_boxed, heights_boxed,
                        wave_beta.tolist()), np.float64, height.size)
    return out.reshape(*shape, len(headings)), capped.reshape(shape)


# What each chunk returns besides its output: per cell of the grid, summed over its hours
# and headings, the estimates, those with a loss above a knot, their total, the skipped
# and the capped cell-hours, and (last) the lowest speed change.
ESTIMATES, LOSSES, TOTAL, SKIPPED, CAPPED, WORST = range(6)


def chunk_summary(change: FloatArray, valid: NDArray[np.bool_],
                  capped: NDArray[np.bool_]) -> FloatArray:
    """The summaries of one chunk (time, grid..., heading), per cell of the grid."""
    finite = ~np.isnan(change)
    over = (0, change.ndim - 1)
    parts = np.empty((6, *change.shape[1:-1]))
    parts[ESTIMATES] = finite.sum(axis=over)
    parts[LOSSES] = (change < LOSS_THRESHOLD_KN).sum(axis=over)
    parts[TOTAL] = np.sum(change, axis=over, dtype=np.float64, where=finite)
    parts[SKIPPED] = (~valid).sum(axis=0)
    parts[CAPPED] = (valid & capped).sum(axis=0)
    parts[WORST] = np.min(change, axis=over, initial=np.inf, where=finite)
    return parts


def hindcast_chunk(u10: FloatArray, v10: FloatArray, swh: FloatArray, mwd: FloatArray, *,
                   first: int, store: str | None, written: bool, keep: bool,
                   vessel: tuple[float, float, float, float, float, bool],
                   headings: tuple[float, ...], engine: str,
                   dtype: str) -> tuple[FloatArray, FloatArray | None]:
    """One chunk of hours, from hour `first`, on a worker: its summaries, and its speed
    change when `keep`. With a zarr `store` the worker writes the chunk there itself;
    a chunk `written` before (a resumed run) is read back instead of computed."""
    import zarr

    valid = valid_cells(u10, v10, swh, mwd)
    if written:
        assert store is not None
        output = zarr.open_array(store, path="speed_change", mode="r")
        change = np.asarray(output[first:first + len(u10)])
        capped = wind_speed(u10, v10) >= marine.FORCE_13_LOWER_BOUND_MS
    else:
        change, capped = speed_change_block(u10, v10, swh, mwd, vessel=vessel,
                                            headings=headings, engine=engine, dtype=dtype)
        if store is not None:
            # A whole chunk of the store at once, written by zarr to a new file that is
            # then renamed: a chunk file is complete or absent. A chunk that is all NaN is
            # not written at all.
            zarr.open_array(store, path="speed_change", mode="r+")[first:first + len(u10)] = change
    return chunk_summary(change, valid, capped), (change if keep else None)


# -- on the client ------------------------------------------------------------------------------

def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = Parser(prog=PROG, description="Speed change of a ship over gridded weather, on Dask.",
                    epilog="Headings are true courses in degrees; --headings N takes N evenly "
                    "spaced from 0°.")
    data = parser.add_argument_group("data")
    data.add_argument("--input", metavar="PATH", nargs="+",
                      help="ERA5-style weather with u10, v10, swh, mwd: NetCDF files, globs of "
                      "them (quoted) or zarr stores, opened as one dataset (default: a "
                      "synthetic storm)")
    data.add_argument("--synthetic-shape", metavar="T,Y,X", default="72,41,61",
                      help="time steps, latitudes and longitudes of the synthetic storm "
                      "(default: %(default)s)")
    data.add_argument("--output", metavar="OUT.zarr|OUT.nc",
                      help="write the speed change here: a zarr store, written chunk by chunk "
                      "by the workers, or a NetCDF file, written by this process")
    data.add_argument("--resume", action="store_true",
                      help="finish the zarr store of an interrupted run with the same "
                      "arguments: only the missing chunks are computed")
    data.add_argument("--plot", metavar="FILE.png", help="draw the mean attainable speed here")
    ship = parser.add_argument_group("vessel")
    add_vessel_options(ship)
    course = ship.add_mutually_exclusive_group()
    course.add_argument("--heading", type=float, default=0.0, metavar="DEG",
                        help="true course in degrees (default: %(default)g)")
    course.add_argument("--headings", type=int, metavar="N", help="N evenly spaced courses")
    run = parser.add_argument_group("computation")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="an existing Dask scheduler, e.g. tcp://host:8786 (default: a local "
                     "cluster, one worker process per core)")
    run.add_argument("--connect-timeout", type=float, default=20.0, metavar="S",
                     help="seconds to wait for the scheduler (default: %(default)g)")
    run.add_argument("--workers", type=int, default=os.cpu_count() or 1, metavar="N",
                     help="worker processes of the local cluster (default: %(default)s)")
    run.add_argument("--chunk-hours", type=int, metavar="N",
                     help="time steps per chunk (default: about 8 million estimates a chunk)")
    run.add_argument("--engine", choices=("auto", "calls", "ufunc"), default="auto",
                     help="calls: one NavCalc.compute per estimate; ufunc: veltrum_numpy; "
                     "auto: the ufunc when it imports (default)")
    run.add_argument("--benchmark", action="store_true",
                     help="measure estimates per second of the chunk function instead of a run")
    args = parser.parse_args(argv)
    for name in ("displacement", "length", "breadth", "draught", "speed_kts", "heading"):
        if not math.isfinite(getattr(args, name)):
            parser.error(f"--{name.replace('_', '-')} wants a finite number")
    if args.headings is not None and not 1 <= args.headings <= 360:
        parser.error("--headings wants a number from 1 to 360")
    if args.workers < 1:
        parser.error("--workers wants at least 1")
    if args.chunk_hours is not None and args.chunk_hours < 1:
        parser.error("--chunk-hours wants at least 1")
    if not args.connect_timeout > 0:
        parser.error("--connect-timeout wants a number of seconds above 0")
    try:
        shape = tuple(int(n) for n in args.synthetic_shape.split(","))
    except ValueError:
        shape = ()
    if len(shape) != 3 or min(shape) < 1:
        parser.error(f"--synthetic-shape wants three positive integers, not "
                     f"{args.synthetic_shape!r}")
    args.synthetic_shape = shape
    if args.input is not None:
        args.input = input_paths(args.input)
    for option, suffixes in (("output", (".zarr", ".nc")), ("plot", (".png",))):
        path = getattr(args, option)
        if path is not None:
            if not path.lower().endswith(suffixes):
                parser.error(f"--{option} wants a name ending in {' or '.join(suffixes)}, "
                             f"not {path!r}")
            if not os.path.isdir(os.path.dirname(path) or "."):
                parser.error(f"--{option}: no directory for {path!r}")
    if args.resume and not (args.output or "").lower().endswith(".zarr"):
        parser.error("--resume finishes a .zarr --output")
    if args.benchmark:
        taken = [f"--{name}" for name in ("input", "output", "plot", "scheduler")
                 if getattr(args, name) is not None]
        if taken:
            parser.error(f"--benchmark makes its own storm: no {taken[0]}")
    if args.engine == "ufunc" and not has_ufunc():
        parser.error("--engine ufunc needs the veltrum_numpy module")
    args.engine_used = args.engine if args.engine != "auto" else (
        "ufunc" if has_ufunc() else "calls")
    return args


def has_ufunc() -> bool:
    try:
        importlib.import_module("veltrum_numpy")
    except ImportError:
        return False
    return True


# -- the input ----------------------------------------------------------------------------------

def input_paths(patterns: Sequence[str]) -> list[str]:
    """The files and zarr stores that --input names, globs expanded, as absolute paths in
    the order given (each glob's matches sorted)."""
    paths: list[str] = []
    for pattern in patterns:
        if glob.has_magic(pattern):
            found = sorted(glob.glob(pattern))
            if not found:
                raise UsageError(f"--input: nothing matches {pattern!r}")
        elif os.path.exists(pattern):
            found = [pattern]
        else:
            raise UsageError(f"--input: no file {pattern!r}")
        paths.extend(os.path.abspath(path) for path in found)
    stores = sum(os.path.isdir(path) for path in paths)
    if 0 < stores < len(paths):
        raise UsageError("--input takes NetCDF files or zarr stores (directories), not both")
    return list(dict.fromkeys(paths))


def normalised(weather: xr.Dataset) -> xr.Dataset:
    """One input as the hindcast reads it: the four fields only, on a `time` axis (ERA5's
    newer files name it `valid_time`), longitudes from -180 to 180 in increasing order
    (also when the file has them from 0 to 360)."""
    if "valid_time" in weather.dims and "time" not in weather.dims:
        weather = weather.rename(valid_time="time")
    weather = weather[[name for name in VARIABLES if name in weather.data_vars]]
    weather = weather.reset_coords(drop=True)  # ERA5's `number` and `expver`, say
    if "longitude" in weather.dims and (weather["longitude"] > 180.0).any():
        longitude = weather["longitude"]
        wrapped = longitude.copy(data=(longitude.values + 180.0) % 360.0 - 180.0)
        weather = (weather.assign_coords(longitude=wrapped).sortby("longitude")
                   .drop_duplicates("longitude"))
    return weather


def open_inputs(paths: Sequence[str], hours: int | None = None) -> xr.Dataset:
    """The inputs as one dataset of the four fields, lazily, in chunks of `hours` time
    steps and whole grids (as stored, when None). Bad inputs raise UsageError."""
    import xarray as xr

    engine = "zarr" if os.path.isdir(paths[0]) else "h5netcdf"
    # A NetCDF file is read in the run's chunks; a zarr store in its own, merged after.
    chunks = {} if hours is None or engine == "zarr" else {"time": hours}
    try:
        weather = xr.open_mfdataset(
            list(paths), engine=engine, chunks=chunks, preprocess=normalised,
            combine="by_coords", join="exact", data_vars="minimal", coords="minimal",
            compat="override", combine_attrs="drop_conflicts")
    except ValueError as error:
        reason = str(error).splitlines()[0]
        if "join='exact'" in reason:
            reason = grids_differ(paths, engine) or reason
            raise UsageError(f"--input: the grids of the inputs disagree: {reason}") from None
        raise UsageError(f"cannot read {describe(paths)}: {reason}") from None
    except (OSError, KeyError, TypeError) as error:
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UsageError(f"cannot read {describe(paths)}: {reason}") from None
    missing = [name for name in VARIABLES if name not in weather]
    if missing:
        raise UsageError(f"{describe(paths)} lacks {', '.join(missing)} "
                         "(ERA5 names u10, v10, swh, mwd)")
    dims = {weather[name].dims for name in VARIABLES}
    if len(dims) != 1:
        raise UsageError(f"{describe(paths)}: u10, v10, swh and mwd are not on the same grid")
    if "time" not in weather["u10"].dims:
        raise UsageError(f"{describe(paths)}: no time axis (time or valid_time)")
    weather = weather.transpose("time", ...)
    if hours is not None:
        weather = weather.chunk({dim: (hours if dim == "time" else -1) for dim in weather.dims})
    return weather


def grids_differ(paths: Sequence[str], engine: str) -> str | None:
    """Which input's grid differs from the first's, and along which axis."""
    import xarray as xr

    first = None
    for path in paths:
        with xr.open_dataset(path, engine=engine, chunks={}) as opened:
            grid = {name: axis.values for name, axis in normalised(opened).coords.items()
                    if name != "time"}
        if first is None:
            first = grid
            continue
        for name, axis in grid.items():
            if name not in first or not np.array_equal(first[name], axis):
                return f"the {name} of {os.path.relpath(path)} differs from {describe(paths[:1])}'s"
    return None


def describe(paths: Sequence[str]) -> str:
    names = [os.path.relpath(path) for path in paths]
    return names[0] if len(names) == 1 else f"{names[0]} and {len(names) - 1} more"


def load_weather(args: argparse.Namespace, hours: int | None = None) -> tuple[xr.Dataset, str]:
    if args.input is None:
        shape = args.synthetic_shape
        return synthetic_storm(shape, hours), (
            f"synthetic storm, {shape[0]} hours on {shape[1]} × {shape[2]} cells "
            "(invented weather: pass --input for real data)")
    return open_inputs(args.input, hours), describe(args.input)


# -- the plan -----------------------------------------------------------------------------------

# Estimates per chunk, about: whole time steps, as many as make this many estimates (each
# task has a fixed cost), but at least two chunks per worker when there are enough. Eight
# million estimates of one heading take 32 MB as float32 and their input twice as much.
CHUNK_ESTIMATES = 1 << 23
# Chunks in one graph on the scheduler: a long run goes in batches of this many, so that
# the client holds a bounded graph (a year of hourly global weather is some thousand chunks).
BATCH_CHUNKS = 256
# A NetCDF output is gathered and written by this process: refused when it would take more
# than this share of the machine's memory.
NETCDF_SHARE = 0.25
# Estimates per second per worker that the plan assumes, end to end from reading the
# input to the written store: the ufunc's as measured on a shared 2-core machine
# (docs/performance.md), the calls engine's from its chunk function, some 2.5 times slower.
RATE_PER_WORKER = {"ufunc": 5.0e6, "calls": 2.0e6}


@dataclass
class Plan:
    steps: int
    grid: tuple[int, ...]
    headings: int
    hours: int  # per chunk
    in_bytes: int
    out_dtype: np.dtype[Any]
    workers: int

    @property
    def chunks(self) -> int:
        return -(-self.steps // self.hours)

    @property
    def estimates(self) -> int:
        return self.steps * math.prod(self.grid) * self.headings

    @property
    def out_bytes(self) -> int:
        return self.estimates * self.out_dtype.itemsize

    def firsts(self) -> range:
        return range(0, self.steps, self.hours)


def make_plan(weather: xr.Dataset, args: argparse.Namespace, workers: int,
              hours: int | None) -> Plan:
    """The chunking and sizes of a run: `hours` per chunk when given (a resumed store's),
    else --chunk-hours, else CHUNK_ESTIMATES."""
    fields = [weather[name] for name in VARIABLES]
    steps, *grid = fields[0].shape
    headings = len(headings_of(args))
    if hours is None:
        hours = args.chunk_hours or max(1, min(
            CHUNK_ESTIMATES // max(1, math.prod(grid) * headings),
            math.ceil(steps / (2 * workers))))
        stored = fields[0].chunks[0][0] if fields[0].chunks else hours
        if not args.chunk_hours and stored < hours:
            hours -= hours % stored  # whole chunks of the input, each read once
    # float32 input gives float32 output; double stays double
    dtype = np.result_type(np.float32, *(field.dtype for field in fields))
    return Plan(steps, tuple(grid), headings, min(hours, steps),
                sum(field.nbytes for field in fields), np.dtype(dtype), workers)


def size(count: float) -> str:
    for unit in ("bytes", "KB", "MB", "GB", "TB"):
        if count < 1000 or unit == "TB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1000
    raise AssertionError


def show_plan(plan: Plan, args: argparse.Namespace) -> None:
    grid = " × ".join(map(str, plan.grid))
    chunk = plan.hours * math.prod(plan.grid) * plan.headings * plan.out_dtype.itemsize
    batches = -(-plan.chunks // BATCH_CHUNKS)
    rate = RATE_PER_WORKER[args.engine_used] * plan.workers
    print(f"Input: {plan.steps} steps on {grid} cells, 4 fields, {size(plan.in_bytes)}")
    print(f"Output: {plan.estimates} estimates ({plan.headings} heading"
          f"{'s' if plan.headings > 1 else ''}), {plan.out_dtype.name}, "
          f"{size(plan.out_bytes)}" + (f" to {args.output}" if args.output else ""))
    print(f"Chunks: {plan.chunks} of {plan.hours} step{'s' if plan.hours > 1 else ''} "
          f"({size(chunk)} of output each), in {batches} batch{'es' if batches > 1 else ''}")
    print(f"Estimated time: {duration(plan.estimates / rate)} on {plan.workers} worker"
          f"{'s' if plan.workers > 1 else ''} at {rate / plan.workers / 1e6:.0f} million "
          "estimates per second each", flush=True)


def duration(seconds: float) -> str:
    if seconds < 90:
        return f"{max(seconds, 1):.0f} s"
    if seconds < 5400:
        return f"{seconds / 60:.0f} min"
    return f"{seconds / 3600:.1f} h"


def refuse_large_netcdf(plan: Plan, path: str) -> None:
    import psutil  # type: ignore[import-untyped, unused-ignore]

    limit = NETCDF_SHARE * psutil.virtual_memory().total
    if plan.out_bytes > limit:
        raise UsageError(
            f"--output {path}: the output takes {size(plan.out_bytes)}, more than a quarter of "
            f"this machine's memory ({size(limit)}), and a NetCDF file is written from this "
            "process's memory: name a .zarr store instead, which the workers write")


def headings_of(args: argparse.Namespace) -> tuple[float, ...]:
    if args.headings is None:
        return (float(args.heading) % 360.0,)
    return tuple(360.0 * k / args.headings for k in range(args.headings))


STORM_FIELDS = {
    "u10": ("m s**-1", "10 metre U wind component", "eastward_wind"),
    "v10": ("m s**-1", "10 metre V wind component", "northward_wind"),
    "swh": ("m", "Significant height of combined wind waves and swell",
            "sea_surface_wave_significant_height"),
    "mwd": ("degree true", "Mean wave direction", "sea_surface_wave_from_direction"),
}


def storm_axes(shape: tuple[int, int, int]) -> tuple[Any, FloatArray, FloatArray]:
    steps, rows, columns = shape
    hours = np.datetime64("2024-01-10T00:00", "ns") + np.arange(steps) * np.timedelta64(1, "h")
    latitude = np.linspace(60.0, 40.0, rows)  # north to south, as ERA5 stores it
    longitude = np.linspace(-45.0, -15.0, columns)
    return hours, latitude, longitude


def storm_block(first: int, count: int, shape: tuple[int, int, int]) -> NDArray[np.float32]:
    """Hours first to first + count of the synthetic storm: u10, v10, swh, mwd stacked,
    made a few hours at a time, so that its temporaries of doubles stay small."""
    hours = max(1, (1 << 20) // (shape[1] * shape[2]))
    if count <= hours:
        return storm_hours(first, count, shape)
    out = np.empty((4, count, *shape[1:]), dtype=np.float32)
    for start in range(0, count, hours):
        out[:, start:start + hours] = storm_hours(first + start, min(hours, count - start), shape)
    return out


def storm_hours(first: int, count: int, shape: tuple[int, int, int]) -> NDArray[np.float32]:
    _, lat, lon = storm_axes(shape)
    hours = np.arange(first, first + count, dtype=np.float64)[:, None, None]
    progress = hours / max(shape[0] - 1, 1)
    centre_lat, centre_lon = 45.0 + 8.0 * progress, -42.0 + 24.0 * progress
    north = (lat[None, :, None] - centre_lat) * 111.0  # km from the centre
    east = (lon[None, None, :] - centre_lon) * 111.0 * np.cos(np.radians(lat[None, :, None]))
    radius = np.hypot(north, east) + 1e-9
    peak = 26.0 + 12.0 * np.sin(np.pi * progress)  # deepens, then fills
    core = 150.0  # km: radius of the strongest wind
    swirl = peak * np.where(radius < core, radius / core, (core / radius) ** 0.6)
    # anticlockwise round a low in the northern hemisphere, turned 20° towards the centre
    inflow = math.radians(20.0)
    u10 = swirl * (-north * math.cos(inflow) - east * math.sin(inflow)) / radius + 6.0
    v10 = swirl * (east * math.cos(inflow) - north * math.sin(inflow)) / radius
    speed, wind_from = wind_speed_and_origin(u10, v10)
    swh = 0.8 + 0.012 * speed**2 + 0.5 * progress
    mwd = (wind_from + 15.0) % 360.0
    island = (np.abs(lat[:, None] - 52.0) < 0.8) & (np.abs(lon[None, :] + 30.0) < 1.2)
    swh = np.where(island, np.nan, swh)
    mwd = np.where(island, np.nan, mwd)
    # single precision, as ERA5 stores its fields
    return np.stack([np.broadcast_to(field, (count, *shape[1:])) for field in
                     (u10, v10, swh, mwd)]).astype(np.float32)


def synthetic_storm(shape: tuple[int, int, int], hours: int | None = None) -> xr.Dataset:
    """A made-up cyclone crossing the North Atlantic east of Newfoundland, hourly.

    A vortex of up to 38 m/s (past force 12) in a westerly drifts east-north-east;
    waves grow with the wind, and a small island has no wave data. Each chunk of
    hours is made where it is used, on the workers."""
    import dask.array as da
    import xarray as xr
    from dask.delayed import delayed

    steps, rows, columns = shape
    per_chunk = hours or steps
    blocks = [da.from_delayed(delayed(storm_block, pure=True)(first, min(per_chunk,
                                                                           steps - first), shape),
                              (4, min(per_chunk, steps - first), rows, columns), dtype=np.float32)
              for first in range(0, steps, per_chunk)]
    stacked = da.concatenate(blocks, axis=1)
    hours, lat, lon = storm_axes(shape)
    dims = ("time", "latitude", "longitude")
    return xr.Dataset(
        {name: (dims, stacked[index], {"units": units, "long_name": long_name,
                                       "standard_name": standard_name})
         for index, (name, (units, long_name, standard_name)) in enumerate(STORM_FIELDS.items())},
        coords={"time": ("time", hours),
                "latitude": ("latitude", lat, {"units": "degrees_north",
                                               "standard_name": "latitude"}),
                "longitude": ("longitude", lon, {"units": "degrees_east",
                                                 "standard_name": "longitude"})},
        attrs={"title": "Synthetic storm (invented weather, not observations)"})



# -- the zarr store -----------------------------------------------------------------------------
# Written as zarr format 2, which every zarr reader knows (zarr-python 2 and 3, netCDF-C,
# other languages' libraries), with consolidated metadata, so that a reader lists the store
# with one request. The speed change is one zarr chunk per dask chunk, each compressed with
# zstd; a store's chunk files are complete or absent.
ZARR_FORMAT = 2


def recorded_arguments(args: argparse.Namespace) -> dict[str, Any]:
    """What decides the numbers of a store: the inputs, the vessel and the headings (the
    engine and the cluster do not)."""
    return {"input": args.input, "synthetic-shape": None if args.input else
            list(args.synthetic_shape), "displacement": args.displacement,
            "length": args.length, "breadth": args.breadth, "draught": args.draught,
            "speed-kts": args.speed_kts, "ballast": args.ballast,
            "headings": list(headings_of(args))}


def recorded_versions() -> dict[str, str]:
    import veltrum_tools

    return {"veltrum": version(), "veltrum_tools": veltrum_tools.__version__}


def output_template(weather: xr.Dataset, plan: Plan, args: argparse.Namespace,
                    source: str) -> xr.Dataset:
    """The output dataset, its speed change a lazy placeholder never computed."""
    import dask.array as da
    import xarray as xr

    dims = (*weather["u10"].dims, "heading")
    shape = (plan.steps, *plan.grid, plan.headings)
    empty = da.empty(shape, dtype=plan.out_dtype, chunks=(plan.hours, *shape[1:]))
    change = xr.DataArray(empty, dims=dims, coords=weather["u10"].coords)
    change = change.assign_coords(heading=("heading", np.asarray(headings_of(args)), {
        "units": "degree", "long_name": "ship's true course"}))
    dataset = as_dataset(change, args, source, attainable=False)
    dataset.attrs.update({
        "attainable_speed": "speed_through_water_kts + speed_change",
        "veltrum_arguments": json.dumps(recorded_arguments(args)),
        "veltrum_versions": json.dumps(recorded_versions())})
    return dataset


def create_store(path: str, template: xr.Dataset, plan: Plan) -> None:
    import numcodecs  # type: ignore[import-untyped, unused-ignore]

    encoding = {"speed_change": {"chunks": (plan.hours, *plan.grid, plan.headings),
                                 "compressors": [numcodecs.Zstd(level=1)],
                                 "_FillValue": np.nan}}
    try:
        template.to_zarr(path, mode="w-", compute=False, zarr_format=ZARR_FORMAT,
                         consolidated=True, encoding=encoding)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def stored_hours(path: str, template: xr.Dataset) -> int:
    """The hours per chunk of the store of an earlier run of the same arguments, versions,
    inputs and grid; refuses any other store, naming what differs."""
    import xarray as xr

    try:
        stored = xr.open_zarr(path, consolidated=True, decode_timedelta=False)
    except (OSError, ValueError, KeyError) as error:
        raise UsageError(f"--resume: {path} is not a store of {PROG}: "
                         f"{str(error).splitlines()[0] if str(error) else error}") from None
    with stored:
        if "veltrum_arguments" not in stored.attrs or "speed_change" not in stored:
            raise UsageError(f"--resume: {path} is not a store of {PROG}")
        theirs = json.loads(stored.attrs["veltrum_arguments"])
        ours = json.loads(template.attrs["veltrum_arguments"])
        for name, value in ours.items():
            if theirs.get(name) != value:
                raise UsageError(f"--resume: {path} was written with --{name} "
                                 f"{shown(theirs.get(name))}, not {shown(value)}")
        theirs = json.loads(stored.attrs.get("veltrum_versions", "{}"))
        for name, value in recorded_versions().items():
            if theirs.get(name) != value:
                raise UsageError(f"--resume: {path} was written by {name} "
                                 f"{theirs.get(name, '(unknown)')}, this is {name} {value}")
        for name, axis in template.coords.items():
            if name not in stored.coords or not axis.equals(stored.coords[name]):
                raise UsageError(f"--resume: the {name} axis of {path} differs from the input's")
        return int(stored["speed_change"].encoding["chunks"][0])


def shown(value: Any) -> str:
    if value is None:
        return "(none)"
    if isinstance(value, list):
        return ", ".join(map(shown, value)) if value else "(none)"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def chunks_written(path: str, plan: Plan) -> list[bool]:
    """Which chunks of the store exist, each looked for: one that was all NaN was never
    written, and the chunks of an interrupted run finish in any order."""
    rest = ".0" * (len(plan.grid) + 1)
    return [os.path.exists(os.path.join(path, "speed_change", f"{index}{rest}"))
            for index in range(plan.chunks)]


# -- the run ------------------------------------------------------------------------------------

def start_client(args: argparse.Namespace) -> Any:
    """A client of the given scheduler, whose workers must run this client's versions, or of
    a new local cluster. The workers import this module from their own installed copy."""
    from distributed import Client, LocalCluster

    if args.scheduler is not None:
        try:
            client = Client(args.scheduler, timeout=args.connect_timeout)
        except (OSError, TimeoutError, ValueError) as error:
            raise UsageError(f"cannot reach the scheduler at {args.scheduler}: {error}") from None
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
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
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


def chunk_tasks(weather: xr.Dataset, plan: Plan, args: argparse.Namespace, store: str | None,
                written: Sequence[bool], keep: bool) -> list[Any]:
    """One delayed hindcast_chunk per chunk of hours, returning (summaries, speed change)."""
    from dask.delayed import delayed

    blocks = [weather[name].data.to_delayed().reshape(-1) for name in VARIABLES]
    vessel = (args.displacement, args.length, args.breadth, args.draught, args.speed_kts,
              not args.ballast)
    task = delayed(hindcast_chunk, pure=True, nout=2)
    return [task(*(block[index] for block in blocks), first=first, store=store,
                 written=written[index], keep=keep, vessel=vessel, headings=headings_of(args),
                 engine=args.engine_used, dtype=plan.out_dtype.str)
            for index, first in enumerate(plan.firsts())]


def run_chunks(client: Any, tasks: Sequence[Any], plan: Plan,
               keep: bool) -> tuple[FloatArray, FloatArray | None]:
    """Runs the chunks on the cluster, batch by batch, and adds up their summaries there
    (a tree of sums and minima over the chunks, in a fixed order): the client gets the
    summaries per cell, and the speed change itself only when `keep`."""
    import dask.array as da

    totals = np.zeros((WORST, *plan.grid))
    worst = np.full(plan.grid, np.inf)
    kept = []
    done = 0
    for start in range(0, len(tasks), BATCH_CHUNKS):
        batch = tasks[start:start + BATCH_CHUNKS]
        parts = da.stack([da.from_delayed(task[0], (6, *plan.grid), np.float64)
                          for task in batch])
        wanted = [parts[:, :WORST].sum(axis=0, split_every=8),
                  parts[:, WORST].min(axis=0, split_every=8)]
        if keep:
            wanted.append(da.concatenate([
                da.from_delayed(task[1], (min(plan.hours, plan.steps - plan.hours * (start + k)),
                                          *plan.grid, plan.headings), plan.out_dtype)
                for k, task in enumerate(batch)]))
        futures = client.compute(wanted)
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
            raise UsageError(f"a chunk failed on the cluster: {type(error).__name__}: {error}")


def as_dataset(change: xr.DataArray, args: argparse.Namespace, source: str,
               attainable: bool = True) -> xr.Dataset:
    change.attrs.update({
        "units": "knot", "long_name": "change of speed through the water (negative: loss)",
        "comment": "NaN where the weather had a missing or non-finite value"})
    dataset = change.rename("speed_change").to_dataset()
    if attainable:
        speed = (args.speed_kts + change).rename("attainable_speed")
        speed.attrs.update({"units": "knot", "long_name": "attainable speed through the water"})
        dataset = dataset.assign(attainable_speed=speed)
    return dataset.assign_attrs({
        "Conventions": "CF-1.8",
        "title": "Ship speed change in wind and waves (veltrum model)",
        "source": f"veltrum {version()}; weather: {source}",
        "vessel": (f"displacement {args.displacement:g} m3, length {args.length:g} m, "
                   f"breadth {args.breadth:g} m, draught {args.draught:g} m"),
        "speed_through_water_kts": args.speed_kts,
        "loading": "in ballast" if args.ballast else "laden",
        "wind_beaufort_note": "Beaufort forces by the WMO scale; winds of force 13 and over "
                              "counted as 12"})


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as package_version

    try:
        return package_version("veltrum")
    except PackageNotFoundError:
        return "(unknown version)"


def summary(parts: FloatArray, weather: xr.Dataset, headings: int) -> None:
    """Prints the counts and the worst cells from the chunks' summaries."""
    estimates, losses = int(parts[ESTIMATES].sum()), int(parts[LOSSES].sum())
    cells = weather["u10"].size
    print(f"Estimates: {estimates} ({cells} cell-hours × {headings} "
          f"heading{'s' if headings > 1 else ''})")
    print(f"Skipped cell-hours (missing or non-finite data): {int(parts[SKIPPED].sum())}")
    print(f"Cell-hours with wind of force 13 or more, taken as force 12: "
          f"{int(parts[CAPPED].sum())}")
    if estimates == 0:
        print("No valid cell: nothing to summarise.")
        return
    print(f"Share of cell-hours with a loss above 1 kn: {losses / estimates:.1%}")
    dims = weather["u10"].dims[1:]
    if not dims:
        return
    count = parts[ESTIMATES].reshape(-1)
    where = np.flatnonzero(count > 0)
    share = parts[LOSSES].reshape(-1)[where] / count[where]
    mean = parts[TOTAL].reshape(-1)[where] / count[where]
    worst = parts[WORST].reshape(-1)[where]
    axes = np.unravel_index(where, parts.shape[1:])
    order = np.lexsort((mean, -share))
    print("Worst cells:")
    print("  " + "".join(f"{dim:>11}" for dim in dims)
          + f"{'loss > 1 kn':>13}{'mean kn':>9}{'worst kn':>10}")
    for index in order[:5]:
        print("  " + "".join(f"{float(weather[dim].values[axis[index]]):>11.2f}"
                             for dim, axis in zip(dims, axes))
              + f"{share[index]:>13.1%}{mean[index]:>+9.2f}{worst[index]:>+10.2f}")


def draw_map(parts: FloatArray, weather: xr.Dataset, args: argparse.Namespace,
             title: str) -> None:
    """The mean attainable speed per cell, from the chunks' summaries."""
    import matplotlib
    import xarray as xr

    matplotlib.use("Agg")
    from matplotlib import pyplot

    dims = weather["u10"].dims[1:]
    if len(dims) != 2:
        raise UsageError("--plot needs a grid of two dimensions besides time")
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = parts[TOTAL] / parts[ESTIMATES]
    speed = xr.DataArray(args.speed_kts + mean, dims=dims,
                         coords={dim: weather[dim] for dim in dims})
    figure, axes = pyplot.subplots(figsize=(8, 5.5))
    mesh = speed.plot.pcolormesh(ax=axes, cmap="viridis", add_colorbar=False)
    figure.colorbar(mesh, ax=axes, label="knots")
    axes.set_title(title, fontsize=10)
    save_figure(figure, args.plot)
    print(f"Map of the mean attainable speed written to {args.plot}")


def run(args: argparse.Namespace) -> None:
    # The client checks the particulars before any worker sees them.
    veltrum.NavCalc(args.displacement, args.length, args.breadth, args.draught).setup(
        args.speed_kts, not args.ballast)
    zarr_output = (args.output or "").lower().endswith(".zarr")
    if zarr_output and os.path.exists(args.output) and not args.resume:
        raise UsageError(f"--output {args.output} exists: add --resume to finish it, or "
                         "name another")
    weather, source = load_weather(args)
    print(f"Weather: {source}")
    headings = headings_of(args)
    print(f"Vessel: {args.displacement:g} m³, {args.length:g} × {args.breadth:g} × "
          f"{args.draught:g} m, {args.speed_kts:g} kn, {'in ballast' if args.ballast else 'laden'}"
          f"; heading{'s' if len(headings) > 1 else ''} "
          + ", ".join(f"{h:g}°" for h in headings) + f"; engine: {args.engine_used}")
    # What can be refused is refused before a cluster starts: a store of other arguments,
    # a NetCDF output too large for this process.
    resuming = zarr_output and os.path.exists(args.output)
    stored = None
    if resuming:
        stored = stored_hours(args.output, output_template(
            weather, make_plan(weather, args, 1, None), args, source))
    elif args.output is not None and not zarr_output:
        refuse_large_netcdf(make_plan(weather, args, 1, None), args.output)
    client = start_client(args)
    interrupted = False
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"Cluster: {workers} workers at {client.scheduler.address}")
        plan = make_plan(weather, args, workers, stored)
        show_plan(plan, args)
        weather, _ = load_weather(args, plan.hours)
        written = [False] * plan.chunks
        if zarr_output:
            if resuming:
                written = chunks_written(args.output, plan)
                print(f"Resuming: {sum(written)} of {plan.chunks} chunks written before, "
                      f"{plan.chunks - sum(written)} to write")
            else:
                create_store(args.output, output_template(weather, plan, args, source), plan)
        keep = args.output is not None and not zarr_output
        # the workers write to the same path, wherever they were started
        tasks = chunk_tasks(weather, plan, args,
                            os.path.abspath(args.output) if zarr_output else None, written, keep)
        try:
            parts, change = run_chunks(client, tasks, plan, keep)
        except KeyboardInterrupt:
            interrupted = True
    finally:
        close_client(client)
    if interrupted:
        # counted once the cluster is closed: a local one's workers finish the chunks
        # they are writing first
        sys.stderr.write("\n")
        if zarr_output:
            count = sum(chunks_written(args.output, plan))
            print(f"{PROG}: interrupted with {count} of {plan.chunks} chunks in "
                  f"{args.output}; the same command with --resume writes the rest",
                  file=sys.stderr)
        else:
            print(f"{PROG}: interrupted; nothing written", file=sys.stderr)
        raise SystemExit(130)
    summary(parts, weather, len(headings))
    if zarr_output:
        print(f"Speed change written to {args.output}")
    elif args.output is not None:
        write_netcdf(change, weather, args, source)
    if args.plot is not None:
        draw_map(parts, weather, args,
                 f"Mean attainable speed (set {args.speed_kts:g} kn, "
                 f"{'in ballast' if args.ballast else 'laden'}), {len(headings)} heading(s)\n"
                 f"{source}")


def write_netcdf(change: Any, weather: xr.Dataset, args: argparse.Namespace,
                 source: str) -> None:
    import xarray as xr

    field = xr.DataArray(change, dims=(*weather["u10"].dims, "heading"),
                         coords=weather["u10"].coords)
    field = field.assign_coords(heading=("heading", np.asarray(headings_of(args)), {
        "units": "degree", "long_name": "ship's true course"}))
    result = as_dataset(field, args, source)
    encoding = {name: {"_FillValue": np.nan} for name in result.data_vars}
    try:
        result.to_netcdf(args.output, engine="h5netcdf", encoding=encoding)
    except OSError as error:
        raise UsageError(f"cannot write {args.output}: {error}") from None
    print(f"Speed change written to {args.output}")


BENCHMARK_SHAPE = (340, 101, 121)  # 4.2 million cell-hours


def timed(action: Any, cpu_clock: Any, repeats: int = 3) -> tuple[float, float]:
    """Wall and CPU seconds of the fastest of a few runs."""
    best = (math.inf, math.inf)
    for _ in range(repeats):
        cpu, start = cpu_clock(), time.perf_counter()
        action()
        wall = time.perf_counter() - start
        best = min(best, (wall, cpu_clock() - cpu))
    return best


def benchmark(args: argparse.Namespace) -> None:
    """Estimates per second: a Python loop and the chunk function in this process (with
    where its time goes), by the wall clock and by the CPU time, which other work on a
    shared machine changes less."""
    headings = headings_of(args)
    particulars = (args.displacement, args.length, args.breadth, args.draught)
    vessel = vessel_for(particulars, args.speed_kts, not args.ballast)
    cells = math.prod(BENCHMARK_SHAPE)
    first_hours = max(1, (1 << 20) // (BENCHMARK_SHAPE[1] * BENCHMARK_SHAPE[2]))
    fields = list(storm_block(0, first_hours, BENCHMARK_SHAPE).reshape(4, -1))
    engines = [args.engine] if args.engine != "auto" else ["calls"] + (
        ["ufunc"] if has_ufunc() else [])
    print(f"Weather: synthetic storm, {cells} cell-hours; {len(headings)} heading(s); "
          f"{os.cpu_count()} cores, load average "
          + " ".join(f"{load:.1f}" for load in os.getloadavg()))
    print(f"{'million estimates per second':<46}{'wall clock':>11}{'CPU time':>10}")

    def show(label: str, estimates: int, seconds: tuple[float, float]) -> None:
        wall, cpu = seconds
        print(f"{label:<46}{estimates / wall / 1e6:>11.2f}"
              f"{estimates / cpu / 1e6:>10.2f}")

    loop_cells = 200_000
    lists = [field[:loop_cells].tolist() for field in fields]

    def python_loop() -> list[float]:
        compute, out = vessel.compute, []
        for u, v, height, wave_from in zip(*lists):
            if not (math.isfinite(u) and math.isfinite(v) and math.isfinite(height)
                    and math.isfinite(wave_from)):
                out.append(math.nan)
                continue
            force = marine.beaufort_force(math.sqrt(u * u + v * v))
            wind_from = math.degrees(math.atan2(u, v)) + 180.0
            for heading in headings:
                out.append(compute(marine.relative_angle(heading, wind_from), force, height,
                                   marine.relative_angle(heading, wave_from)))
        return out

    show("plain Python loop, this process", loop_cells * len(headings),
         timed(python_loop, time.process_time, 1))

    for engine in engines:
        def chunk_function() -> None:
            speed_change_block(*fields, vessel=(*particulars, args.speed_kts, not args.ballast),
                               headings=headings, engine=engine, dtype=np.float32)

        show(f"{engine}: chunk function, this process", fields[0].size * len(headings),
             timed(chunk_function, time.process_time))
        if engine == "calls":
            print("  of which, CPU time per estimate:")
            for part, nanoseconds in calls_profile(vessel, headings, fields).items():
                print(f"    {part:<42}{nanoseconds:>7.1f} ns")

    print("End to end on a cluster, from the input to the written store: "
          "benchmarks/hindcast_scale.py in a clone.")


def calls_profile(vessel: veltrum.NavCalc, headings: Sequence[float],
                  fields: Sequence[Fields]) -> dict[str, float]:
    """CPU time per estimate of each step of the `calls` engine, batch by batch."""
    parts = dict.fromkeys(("NumPy conversions (marine)", "boxing (.tolist())",
                           "compute calls and the result array"), 0.0)
    u10, v10, swh, mwd = (field[valid_cells(*fields)].astype(np.float64) for field in fields)
    courses = np.asarray(headings, dtype=np.float64)
    for start in range(0, u10.size, BATCH):
        part = slice(start, start + BATCH)
        clock = time.process_time()
        speed, wind_from = wind_speed_and_origin(u10[part], v10[part])
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


def main(argv: Sequence[str] | None = None) -> int:
    def body() -> None:
        args = parse_args(argv)
        try:
            if args.benchmark:
                benchmark(args)
            else:
                run(args)
        except KeyboardInterrupt:  # before or after the chunks: nothing of them is lost
            print(f"\n{PROG}: interrupted", file=sys.stderr)
            raise SystemExit(130) from None

    return run_main(PROG, body, refused)


if __name__ == "__main__":
    # Run as a script (python -m), this module is __main__: the installed module's functions
    # are the ones dask refers to by name, as the workers import them.
    from veltrum_tools import hindcast

    sys.exit(hindcast.main())
