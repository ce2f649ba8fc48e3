"""veltrum-hindcast: the command line, parsed once into a request, and the run.

    veltrum-hindcast --output hindcast.nc --plot mean_speed.png
    veltrum-hindcast --input 'era5/2024-*.nc' --headings 8 --output out.zarr
    veltrum-hindcast --scheduler tcp://10.0.0.5:8786 --input era5.zarr --output /shared/out.zarr
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from veltrum_tools import weather as reader
from veltrum_tools.command import Parser, run_main
from veltrum_tools.errors import UsageError
from veltrum_tools.hindcast import cluster, report, store
from veltrum_tools.hindcast.kernel import has_ufunc
from veltrum_tools.hindcast.plan import make_plan, output_bytes
from veltrum_tools.hindcast.storm import describe as describe_storm
from veltrum_tools.hindcast.storm import synthetic_storm
from veltrum_tools.vessel import Vessel, add_vessel_options, vessel_of

if TYPE_CHECKING:
    import xarray as xr

PROG = "veltrum-hindcast"


@dataclass(frozen=True)
class Request:
    """Everything a run is asked to do, checked."""

    vessel: Vessel
    headings: tuple[float, ...]
    inputs: tuple[str, ...] | None  # absolute paths; None: the synthetic storm
    synthetic_shape: tuple[int, int, int]
    output: str | None
    resume: bool
    plot: str | None
    chunk_hours: int | None
    scheduler: str | None
    connect_timeout: float
    workers: int  # of the local cluster
    engine: str  # "ufunc" or "calls"

    @property
    def zarr_output(self) -> bool:
        return (self.output or "").lower().endswith(".zarr")


def parser() -> Parser:
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
    return parser


def parse_request(argv: Sequence[str] | None) -> Request:
    """The command line as a request; UsageError for anything it cannot ask."""
    args = parser().parse_args(argv)
    vessel = vessel_of(args)
    if not math.isfinite(args.heading):
        raise UsageError("--heading wants a finite number")
    if args.headings is not None and not 1 <= args.headings <= 360:
        raise UsageError("--headings wants a number from 1 to 360")
    if args.workers < 1:
        raise UsageError("--workers wants at least 1")
    if args.chunk_hours is not None and args.chunk_hours < 1:
        raise UsageError("--chunk-hours wants at least 1")
    if not args.connect_timeout > 0:
        raise UsageError("--connect-timeout wants a number of seconds above 0")
    try:
        shape = tuple(int(n) for n in args.synthetic_shape.split(","))
    except ValueError:
        shape = ()
    if len(shape) != 3 or min(shape) < 1:
        raise UsageError(f"--synthetic-shape wants three positive integers, not "
                         f"{args.synthetic_shape!r}")
    inputs = None if args.input is None else tuple(reader.expand(args.input, "--input"))
    for option, suffixes in (("output", (".zarr", ".nc")), ("plot", (".png",))):
        path = getattr(args, option)
        if path is not None:
            if not path.lower().endswith(suffixes):
                raise UsageError(f"--{option} wants a name ending in {' or '.join(suffixes)}, "
                                 f"not {path!r}")
            if not os.path.isdir(os.path.dirname(path) or "."):
                raise UsageError(f"--{option}: no directory for {path!r}")
    if args.resume and not (args.output or "").lower().endswith(".zarr"):
        raise UsageError("--resume finishes a .zarr --output")
    if args.engine == "ufunc" and not has_ufunc():
        raise UsageError("--engine ufunc needs the veltrum_numpy module")
    engine = args.engine if args.engine != "auto" else ("ufunc" if has_ufunc() else "calls")
    headings = ((args.heading % 360.0,) if args.headings is None else
                tuple(360.0 * k / args.headings for k in range(args.headings)))
    return Request(vessel, headings, inputs, (shape[0], shape[1], shape[2]),
                   args.output, args.resume, args.plot, args.chunk_hours, args.scheduler,
                   args.connect_timeout, args.workers, engine)


def open_input(request: Request) -> tuple[str, Callable[[int | None], xr.Dataset]]:
    """The weather's name in the run's output, and the weather in chunks of so many hours
    (in its own chunks when None). The inputs are opened here, once."""
    if request.inputs is None:
        shape = request.synthetic_shape
        return describe_storm(shape), lambda hours: synthetic_storm(shape, hours)
    weather = reader.open_weather(request.inputs, "--input")
    return weather.label, weather.dataset


def run(request: Request) -> None:
    vessel, headings, output = request.vessel, request.headings, request.output
    vessel.checked()  # the client checks the particulars before any worker sees them
    if request.zarr_output and output and os.path.exists(output) and not request.resume:
        raise UsageError(f"--output {output} exists: add --resume to finish it, or name another")
    source, weather_in = open_input(request)
    weather = weather_in(None)
    layout = weather["u10"]
    report.show_header(source, vessel, headings, request.engine)
    dtypes = [weather[name].dtype for name in reader.VARIABLES]
    stored_hours = layout.chunks[0][0] if layout.chunks else layout.shape[0]
    # What can be refused is refused before a cluster starts: a store of other arguments,
    # a NetCDF output too large for this process.
    arguments = store.recorded_arguments(vessel, headings, request.inputs,
                                         request.synthetic_shape)
    resuming = request.zarr_output and output is not None and os.path.exists(output)
    resumed_hours = None
    if resuming and output is not None:
        resumed_hours = store.resumable_hours(output, arguments, layout)
    elif output is not None and not request.zarr_output:
        store.refuse_large_netcdf(output_bytes(layout.shape, dtypes, len(headings)), output)
    client = cluster.start_client(request.scheduler, request.connect_timeout, request.workers)
    interrupted = False
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"Cluster: {workers} workers at {client.scheduler.address}")
        plan = make_plan(layout.shape, dtypes, len(headings), workers, stored_hours=stored_hours,
                         chunk_hours=request.chunk_hours, resumed_hours=resumed_hours)
        report.show_plan(plan, request.engine, output)
        weather = weather_in(plan.hours)
        layout = weather["u10"]
        written = [False] * plan.chunks
        if request.zarr_output and output is not None:
            if resuming:
                written = store.chunks_written(output, plan)
                print(f"Resuming: {sum(written)} of {plan.chunks} chunks written before, "
                      f"{plan.chunks - sum(written)} to write")
            else:
                store.create_store(output, store.output_template(
                    layout, plan, vessel, headings, source, arguments), plan)
        keep = output is not None and not request.zarr_output
        # the workers write to the same path, wherever they were started
        tasks = cluster.chunk_tasks(
            weather, plan, os.path.abspath(output) if request.zarr_output and output else None,
            written, keep, vessel, headings, request.engine)
        try:
            parts, change = cluster.run_chunks(client, tasks, plan, keep)
        except KeyboardInterrupt:
            interrupted = True
    finally:
        cluster.close_client(client)
    if interrupted:
        # counted once the cluster is closed: a local one's workers finish the chunks
        # they are writing first
        sys.stderr.write("\n")
        if request.zarr_output and output is not None:
            count = sum(store.chunks_written(output, plan))
            print(f"{PROG}: interrupted with {count} of {plan.chunks} chunks in "
                  f"{output}; the same command with --resume writes the rest", file=sys.stderr)
        else:
            print(f"{PROG}: interrupted; nothing written", file=sys.stderr)
        raise SystemExit(130)
    report.summary(parts, layout, len(headings))
    if request.zarr_output:
        print(f"Speed change written to {output}")
    elif output is not None:
        store.write_netcdf(output, change, layout, vessel, headings, source)
    if request.plot is not None:
        report.draw_map(parts, layout, vessel, len(headings), source, request.plot)


def main(argv: Sequence[str] | None = None) -> int:
    return run_main(PROG, lambda: run(parse_request(argv)), argv)
