"""Speed change of one ship over gridded weather: every cell, hour and heading, on Dask.

The weather is a NetCDF dataset in ERA5's single-level naming: `u10` and `v10`
(10 m wind towards east and north, m/s), `swh` (significant height of combined
wind waves and swell, m) and `mwd` (mean wave direction, degrees, coming from),
on a grid with a time axis. Without --input a small synthetic storm is made up.

    veltrum-hindcast --output hindcast.nc --plot mean_speed.png
    veltrum-hindcast --input era5.nc --headings 8 --output out.nc
    veltrum-hindcast --scheduler tcp://10.0.0.5:8786 --input era5.nc
    veltrum-hindcast --benchmark

The work is split into chunks along time. Each worker process builds its ship
once and reuses it for every chunk it gets; every worker needs `veltrum` installed,
which brings this package. Needs the `grid` extra: pip install 'veltrum[grid]'.
"""

# Dask and distributed declare types for part of their API only.
# mypy: untyped-calls-exclude="dask,distributed"

from __future__ import annotations

import argparse
import importlib
import math
import os
import sys
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import veltrum
from veltrum_tools import marine
from veltrum_tools.cli import Parser, UsageError, refused_vessel as refused, run_main, save_figure

if TYPE_CHECKING:
    import xarray as xr
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]

PROG = "veltrum-hindcast"
VARIABLES = ("u10", "v10", "swh", "mwd")
LOSS_THRESHOLD_KN = -1.0  # a loss above one knot is a speed change below -1
# Cells converted and boxed at a time: the Python objects stay in cache, and every
# temporary array (32 KiB) stays below glibc's mmap threshold, which is fixed at 128 KiB
# in dask workers (their nanny sets MALLOC_TRIM_THRESHOLD_): larger ones are mapped
# anew each time and paid for in page faults.
BATCH = 4096
# Cells per dask chunk, at most: whole time steps, as many as make about a million
# (each task has a fixed cost), but at least two chunks per worker when there are enough.
CHUNK_CELLS = 1 << 20


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


def valid_cells(u10: FloatArray, v10: FloatArray, swh: FloatArray,
                mwd: FloatArray) -> NDArray[np.bool_]:
    """Cells whose four fields are all finite: the others are skipped."""
    return np.isfinite(u10) & np.isfinite(v10) & np.isfinite(swh) & np.isfinite(mwd)


def speed_change_block(u10: FloatArray, v10: FloatArray, swh: FloatArray, mwd: FloatArray, *,
                       vessel: tuple[float, float, float, float, float, bool],
                       headings: tuple[float, ...], engine: str) -> FloatArray:
    """Speed change in knots for one block of the grid, a last axis of headings added.

    This is what dask runs on the workers; invalid cells give NaN. The `calls` engine
    calls `compute` once per estimate over Python lists, boxing the fields that all
    headings share once; `ufunc` hands the same arrays to veltrum_numpy."""
    shape = u10.shape
    u10, v10, swh, mwd = (np.ascontiguousarray(field, dtype=np.float64).reshape(-1)
                          for field in (u10, v10, swh, mwd))
    out = np.full((u10.size, len(headings)), np.nan)
    courses = np.asarray(headings, dtype=np.float64)
    if engine == "ufunc":
        import veltrum_numpy  # type: ignore[import-not-found, import-untyped, unused-ignore]

        ufunc = veltrum_numpy.speed_change
    else:
        compute = vessel_for(vessel[:4], vessel[4], vessel[5]).compute
    for start in range(0, u10.size, BATCH):
        rows: slice | NDArray[np.intp] = slice(start, start + BATCH)
        batch = [u10[rows], v10[rows], swh[rows], mwd[rows]]
        valid = valid_cells(*batch)
        if not valid.all():
            rows = start + np.flatnonzero(valid)
            batch = [field[valid] for field in batch]
        wind_u, wind_v, height, wave_from = batch
        speed, wind_from = wind_speed_and_origin(wind_u, wind_v)
        forces = marine.beaufort_forces(speed)  # 0 to 12: only valid cells come here
        if engine != "ufunc":
            forces_boxed, heights_boxed = forces.tolist(), height.tolist()
        for column in range(len(courses)):
            heading = courses[column:column + 1]
            wind_beta = marine.relative_angle(heading, wind_from)
            wave_beta = marine.relative_angle(heading, wave_from)
            if engine == "ufunc":
                out[rows, column] = ufunc(*vessel, wind_beta, forces, height, wave_beta)
            else:
                out[rows, column] = np.fromiter(
                    map(compute, wind_beta.tolist(), forces_boxed, heights_boxed,
                        wave_beta.tolist()), np.float64, height.size)
    return out.reshape(*shape, len(headings))


# -- on the client ------------------------------------------------------------------------------

def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = Parser(prog=PROG, description="Speed change of a ship over gridded weather, on Dask.",
                    epilog="Headings are true courses in degrees; --headings N takes N evenly "
                    "spaced from 0°.")
    data = parser.add_argument_group("data")
    data.add_argument("--input", metavar="FILE.nc",
                      help="ERA5-style NetCDF with u10, v10, swh, mwd (default: a synthetic storm)")
    data.add_argument("--synthetic-shape", metavar="T,Y,X", default="72,41,61",
                      help="time steps, latitudes and longitudes of the synthetic storm "
                      "(default: %(default)s)")
    data.add_argument("--output", metavar="FILE.nc", help="write the speed change here")
    data.add_argument("--plot", metavar="FILE.png", help="draw the mean attainable speed here")
    ship = parser.add_argument_group("vessel")
    for option, default, meaning in (("--displacement", 10000.0, "displacement volume in m³"),
                                     ("--length", 120.0, "length in metres"),
                                     ("--breadth", 20.0, "breadth in metres"),
                                     ("--draught", 7.0, "draught in metres"),
                                     ("--speed-kts", 12.0, "speed through the water in knots")):
        ship.add_argument(option, type=float, default=default,
                          help=f"{meaning} (default: %(default)g)")
    ship.add_argument("--ballast", action="store_true", help="in ballast instead of laden")
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
    run.add_argument("--engine", choices=("auto", "calls", "ufunc"), default="auto",
                     help="calls: one NavCalc.compute per estimate; ufunc: veltrum_numpy; "
                     "auto: the ufunc when it imports (default)")
    run.add_argument("--benchmark", action="store_true",
                     help="measure estimates per second per worker instead of a run")
    args = parser.parse_args(argv)
    for name in ("displacement", "length", "breadth", "draught", "speed_kts", "heading"):
        if not math.isfinite(getattr(args, name)):
            parser.error(f"--{name.replace('_', '-')} wants a finite number")
    if args.headings is not None and not 1 <= args.headings <= 360:
        parser.error("--headings wants a number from 1 to 360")
    if args.workers < 1:
        parser.error("--workers wants at least 1")
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
    if args.input is not None and not os.path.isfile(args.input):
        parser.error(f"--input: no file {args.input!r}")
    for option, suffix in (("output", ".nc"), ("plot", ".png")):
        path = getattr(args, option)
        if path is not None:
            if not path.lower().endswith(suffix):
                parser.error(f"--{option} wants a file name ending in {suffix}, not {path!r}")
            if not os.path.isdir(os.path.dirname(path) or "."):
                parser.error(f"--{option}: no directory for {path!r}")
    if args.benchmark:
        taken = [f"--{name}" for name in ("input", "output", "plot", "scheduler")
                 if getattr(args, name) is not None]
        if taken:
            parser.error(f"--benchmark makes its own storm and local clusters: no {taken[0]}")
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


def storm_block(first: int, count: int, shape: tuple[int, int, int]) -> FloatArray:
    """Hours first to first + count of the synthetic storm: u10, v10, swh, mwd stacked."""
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
    return np.stack([np.broadcast_to(field, (count, *shape[1:])) for field in
                     (u10, v10, swh, mwd)])


def synthetic_storm(shape: tuple[int, int, int]) -> xr.Dataset:
    """A made-up cyclone crossing the North Atlantic east of Newfoundland, hourly.

    A vortex of up to 38 m/s (past force 12) in a westerly drifts east-north-east;
    waves grow with the wind, and a small island has no wave data. Each chunk of
    hours is made where it is used, on the workers."""
    import dask.array as da
    import xarray as xr
    from dask.delayed import delayed

    steps, rows, columns = shape
    per_chunk = max(1, CHUNK_CELLS // (rows * columns))
    blocks = [da.from_delayed(delayed(storm_block, pure=True)(first, min(per_chunk,
                                                                           steps - first), shape),
                              (4, min(per_chunk, steps - first), rows, columns), dtype=np.float64)
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


def load_weather(args: argparse.Namespace) -> tuple[xr.Dataset, str]:
    import xarray as xr

    if args.input is None:
        shape = args.synthetic_shape
        return synthetic_storm(shape), (
            f"synthetic storm, {shape[0]} hours on {shape[1]} × {shape[2]} cells "
            "(invented weather: pass --input for real data)")
    try:
        weather = xr.open_dataset(args.input, chunks={})
    except (OSError, ValueError) as error:
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UsageError(f"cannot read {args.input}: {reason}") from None
    missing = [name for name in VARIABLES if name not in weather]
    if missing:
        raise UsageError(f"{args.input} lacks {', '.join(missing)} (ERA5 names u10, v10, swh, mwd)")
    dims = {weather[name].dims for name in VARIABLES}
    if len(dims) != 1:
        raise UsageError(f"{args.input}: u10, v10, swh and mwd are not on the same grid")
    return weather, args.input


def time_dimension(weather: xr.Dataset) -> str:
    dims = weather["u10"].dims
    for name in ("time", "valid_time"):
        if name in dims:
            return name
    return str(dims[0])


def chunked(weather: xr.Dataset, workers: int) -> xr.Dataset:
    """The four fields as doubles (ERA5 files hold single precision), in chunks of whole
    time steps (see CHUNK_CELLS)."""
    time_dim = time_dimension(weather)
    steps = max(1, weather.sizes[time_dim])
    per_step = max(1, weather["u10"].size // steps)
    hours = max(1, min(CHUNK_CELLS // per_step, math.ceil(steps / (2 * max(1, workers)))))
    return weather[list(VARIABLES)].astype(np.float64).chunk(
        {dim: (hours if dim == time_dim else -1) for dim in weather["u10"].dims})


def speed_change(weather: xr.Dataset, args: argparse.Namespace) -> xr.DataArray:
    """The lazy speed change on dask, dims of the weather plus `heading`."""
    import xarray as xr

    headings = headings_of(args)
    vessel = (args.displacement, args.length, args.breadth, args.draught, args.speed_kts,
              not args.ballast)
    change: xr.DataArray = xr.apply_ufunc(
        speed_change_block, *(weather[name] for name in VARIABLES),
        kwargs={"vessel": vessel, "headings": headings, "engine": args.engine_used},
        output_core_dims=[["heading"]], dask="parallelized", output_dtypes=[np.float64],
        dask_gufunc_kwargs={"output_sizes": {"heading": len(headings)}})
    change = change.assign_coords(heading=("heading", np.asarray(headings), {
        "units": "degree", "long_name": "ship's true course"}))
    return change


def start_client(args: argparse.Namespace) -> Any:
    """A client of the given scheduler or of a new local cluster. The workers import this
    module from their own installed copy of the package."""
    from distributed import Client, LocalCluster

    if args.scheduler is not None:
        try:
            client = Client(args.scheduler, timeout=args.connect_timeout)
        except (OSError, TimeoutError, ValueError) as error:
            raise UsageError(f"cannot reach the scheduler at {args.scheduler}: {error}") from None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    return client


def close_client(client: Any) -> None:
    cluster = client.cluster
    client.close()
    if cluster is not None:
        cluster.close()


def with_progress(client: Any, collections: Sequence[Any]) -> list[Any]:
    """Persists the collections on the cluster with a progress bar on standard error."""
    from distributed import futures_of

    persisted: list[Any] = client.persist(list(collections))
    futures = futures_of(persisted)
    total = len(futures)
    draw = sys.stderr.isatty()
    while True:
        done = sum(future.done() for future in futures)
        if draw or done == total:
            bar = "#" * (40 * done // max(total, 1))
            sys.stderr.write(f"\r[{bar:<40}] {done}/{total} results")
            sys.stderr.flush()
        if done == total:
            break
        time.sleep(0.2)
    sys.stderr.write("\n")
    for future in futures:
        if future.status == "error":
            error = future.exception()
            raise UsageError(f"a chunk failed on the cluster: {type(error).__name__}: {error}")
    return persisted


def as_dataset(change: xr.DataArray, args: argparse.Namespace, source: str) -> xr.Dataset:
    change.attrs.update({
        "units": "knot", "long_name": "change of speed through the water (negative: loss)",
        "comment": "NaN where the weather had a missing or non-finite value"})
    attainable = (args.speed_kts + change).rename("attainable_speed")
    attainable.attrs.update({"units": "knot", "long_name": "attainable speed through the water"})
    dataset = change.rename("speed_change").to_dataset().assign(attainable_speed=attainable)
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


def summary(result: xr.Dataset, weather: xr.Dataset, counts: dict[str, int]) -> None:
    change = result["speed_change"]
    time_dim = time_dimension(weather)
    estimates = int(change.count())
    losses = int((change < LOSS_THRESHOLD_KN).sum())
    print(f"Estimates: {estimates} ({counts['cells']} cell-hours × {change.sizes['heading']} "
          f"heading{'s' if change.sizes['heading'] > 1 else ''})")
    print(f"Skipped cell-hours (missing or non-finite data): {counts['skipped']}")
    print(f"Cell-hours with wind of force 13 or more, taken as force 12: {counts['capped']}")
    if estimates == 0:
        print("No valid cell: nothing to summarise.")
        return
    print(f"Share of cell-hours with a loss above 1 kn: {losses / estimates:.1%}")
    cells = [dim for dim in change.dims if dim not in (time_dim, "heading")]
    if not cells:
        return
    valid = change.count([time_dim, "heading"])
    share = ((change < LOSS_THRESHOLD_KN).sum([time_dim, "heading"]) / valid).where(valid > 0)
    mean = change.mean([time_dim, "heading"])
    worst = change.min([time_dim, "heading"])
    flat = share.stack(cell=cells).dropna("cell")
    order = np.lexsort((mean.stack(cell=cells).sel(cell=flat["cell"]).values, -flat.values))
    print("Worst cells:")
    print("  " + "".join(f"{dim:>11}" for dim in cells)
          + f"{'loss > 1 kn':>13}{'mean kn':>9}{'worst kn':>10}")
    for index in order[:5]:
        where = {dim: flat[dim].values[index] for dim in cells}
        print("  " + "".join(f"{float(where[dim]):>11.2f}" for dim in cells)
              + f"{float(flat.values[index]):>13.1%}{float(mean.sel(where)):>+9.2f}"
              f"{float(worst.sel(where)):>+10.2f}")


def draw_map(result: xr.Dataset, weather: xr.Dataset, path: str, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    speed = result["attainable_speed"].mean([time_dimension(weather), "heading"])
    if speed.ndim != 2:
        raise UsageError("--plot needs a grid of two dimensions besides time")
    figure, axes = pyplot.subplots(figsize=(8, 5.5))
    mesh = speed.plot.pcolormesh(ax=axes, cmap="viridis", add_colorbar=False)
    figure.colorbar(mesh, ax=axes, label="knots")
    axes.set_title(title, fontsize=10)
    save_figure(figure, path)
    print(f"Map of the mean attainable speed written to {path}")


def run(args: argparse.Namespace) -> None:
    import dask

    # The client checks the particulars before any worker sees them.
    veltrum.NavCalc(args.displacement, args.length, args.breadth, args.draught).setup(
        args.speed_kts, not args.ballast)
    weather, source = load_weather(args)
    print(f"Weather: {source}")
    headings = headings_of(args)
    print(f"Vessel: {args.displacement:g} m³, {args.length:g} × {args.breadth:g} × "
          f"{args.draught:g} m, {args.speed_kts:g} kn, {'in ballast' if args.ballast else 'laden'}"
          f"; heading{'s' if len(headings) > 1 else ''} "
          + ", ".join(f"{h:g}°" for h in headings) + f"; engine: {args.engine_used}")
    client = start_client(args)
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"Cluster: {workers} workers at {client.scheduler.address}")
        weather = chunked(weather, workers)
        change = speed_change(weather, args)
        valid = valid_cells(*(weather[name].data for name in VARIABLES))
        speed, _ = wind_speed_and_origin(weather["u10"].data, weather["v10"].data)
        change, skipped, capped = with_progress(client, [
            change, (~valid).sum(), (valid & (speed >= marine.FORCE_13_LOWER_BOUND_MS)).sum()])
        result = as_dataset(change, args, source)
        result = result.compute()
        counts = {"cells": int(valid.size), "skipped": int(skipped.compute()),
                  "capped": int(capped.compute())}
    finally:
        close_client(client)
    with dask.config.set(scheduler="synchronous"):
        summary(result, weather, counts)
    if args.output is not None:
        encoding = {name: {"_FillValue": np.nan} for name in result.data_vars}
        try:
            result.to_netcdf(args.output, engine="h5netcdf", encoding=encoding)
        except OSError as error:
            raise UsageError(f"cannot write {args.output}: {error}") from None
        print(f"Speed change written to {args.output}")
    if args.plot is not None:
        draw_map(result, weather, args.plot,
                 f"Mean attainable speed (set {args.speed_kts:g} kn, "
                 f"{'in ballast' if args.ballast else 'laden'}), {len(headings)} heading(s)\n"
                 f"{source}")


BENCHMARK_SHAPE = (340, 101, 121)  # 4.2 million cell-hours, in 4 chunks of 85 hours


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
    """Estimates per second per worker: a Python loop, the chunk function in this process
    (with where its time goes), and local clusters of 1 and 2 workers.

    Each is given by the wall clock and by the CPU time the worker processes spent,
    which other work on a shared machine changes less."""
    from dask.graph_manipulation import clone
    from distributed import Client, LocalCluster, wait

    headings = headings_of(args)
    particulars = (args.displacement, args.length, args.breadth, args.draught)
    vessel = vessel_for(particulars, args.speed_kts, not args.ballast)
    weather = synthetic_storm(BENCHMARK_SHAPE)
    cells = weather["u10"].size
    first_hours = max(1, (1 << 20) // (BENCHMARK_SHAPE[1] * BENCHMARK_SHAPE[2]))
    fields = list(storm_block(0, first_hours, BENCHMARK_SHAPE).reshape(4, -1))
    engines = [args.engine] if args.engine != "auto" else ["calls"] + (
        ["ufunc"] if has_ufunc() else [])
    print(f"Weather: synthetic storm, {cells} cell-hours; {len(headings)} heading(s); "
          f"{os.cpu_count()} cores, load average "
          + " ".join(f"{load:.1f}" for load in os.getloadavg()))
    print(f"{'million estimates per second per worker':<46}{'wall clock':>11}{'CPU time':>10}")

    def show(label: str, estimates: int, seconds: tuple[float, float], workers: int = 1) -> None:
        wall, cpu = seconds
        print(f"{label:<46}{estimates / wall / workers / 1e6:>11.2f}"
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
                               headings=headings, engine=engine)

        show(f"{engine}: chunk function, this process", fields[0].size * len(headings),
             timed(chunk_function, time.process_time))
        if engine == "calls":
            print("  of which, CPU time per estimate:")
            for part, nanoseconds in calls_profile(vessel, headings, fields).items():
                print(f"    {part:<42}{nanoseconds:>7.1f} ns")

    for engine, workers in ((engine, workers) for engine in engines for workers in (1, 2)):
        args.engine_used = engine
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
        try:
            inputs = client.persist(chunked(weather, workers))
            wait(inputs)
            persisted = [inputs[name].data for name in VARIABLES]
            change = speed_change(inputs, args)

            def on_cluster() -> None:
                # new keys each time, so that the cluster computes anew
                result = client.persist(clone(change.data, omit=persisted))
                wait(result)
                del result

            def workers_cpu() -> float:
                return float(sum(client.run(time.process_time).values()))

            on_cluster()  # the first run builds the ships and warms the workers
            seconds = timed(on_cluster, workers_cpu)
        finally:
            close_client(client)
        show(f"{engine}: local cluster, {workers} worker{'s' if workers > 1 else ''}",
             cells * len(headings), seconds, workers)


def calls_profile(vessel: veltrum.NavCalc, headings: Sequence[float],
                  fields: Sequence[FloatArray]) -> dict[str, float]:
    """CPU time per estimate of each step of the `calls` engine, batch by batch."""
    parts = dict.fromkeys(("NumPy conversions (marine)", "boxing (.tolist())",
                           "compute calls and the result array"), 0.0)
    u10, v10, swh, mwd = (field[valid_cells(*fields)] for field in fields)
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
        if args.benchmark:
            benchmark(args)
        else:
            run(args)

    return run_main(PROG, body, refused)


if __name__ == "__main__":
    # Run as a script (python -m), this module is __main__: the installed module's functions
    # are the ones dask refers to by name, as the workers import them.
    from veltrum_tools import hindcast

    sys.exit(hindcast.main())
