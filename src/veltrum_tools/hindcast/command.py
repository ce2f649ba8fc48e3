"""veltrum-hindcast: the command line, parsed once into a request, and the run.

    veltrum-hindcast --output hindcast.nc --plot mean_speed.png
    veltrum-hindcast --input 'era5/2024-*.nc' --headings 8 --output out.zarr
    veltrum-hindcast --scheduler tcp://10.0.0.5:8786 --input era5.zarr --output /shared/out.zarr
"""

from __future__ import annotations

import math
import os
import shutil
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from veltrum_tools import outputs
from veltrum_tools import weather as reader
from veltrum_tools.command import Parser, add_overwrite, run_main
from veltrum_tools.errors import Fault, UsageError
from veltrum_tools.hindcast import cluster, report, store
from veltrum_tools.hindcast.kernel import ESTIMATES, has_ufunc
from veltrum_tools.hindcast.plan import Plan, make_plan, output_bytes, runs_here
from veltrum_tools.hindcast.storm import describe as describe_storm
from veltrum_tools.hindcast.storm import synthetic_storm
from veltrum_tools.hindcast.tasks import Runner, chunk_tasks
from veltrum_tools.hindcast.threads import ThreadRunner
from veltrum_tools.vessel import Vessel, add_vessel_options, vessel_of
from veltrum_tools.weather.options import add_weather_options, weather_options

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
    workers: int | None  # of the local cluster; 0: none, this process's threads
    engine: str  # "ufunc" or "calls"
    overwrite: bool
    tls: tuple[str | None, str | None, str | None]  # CA file, certificate, key
    verbose: bool
    weather: dict[str, Any]  # the reader's options: variables, member, grid

    @property
    def zarr_output(self) -> bool:
        return (self.output or "").lower().endswith(".zarr")


def parser() -> Parser:
    parser = Parser(prog=PROG, description="Speed change of a ship over gridded weather, on Dask.",
                    epilog="Headings are true courses in degrees; --headings N takes N evenly "
                    "spaced from 0°.")
    data = parser.add_argument_group("data")
    data.add_argument("--input", metavar="PATH", nargs="+",
                      help="weather with wind and waves: NetCDF or GRIB files, globs of them "
                      "(quoted), zarr stores or CDS zip downloads, opened as one dataset "
                      "(docs/weather.md; default: a synthetic storm)")
    add_weather_options(data)
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
    add_overwrite(data)
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
    for option, meaning in (("--tls-ca-file", "the certificate authority of the cluster"),
                            ("--tls-cert", "this client's certificate"),
                            ("--tls-key", "its private key (unless the certificate's file "
                                          "holds it)")):
        run.add_argument(option, metavar="PEM", help=f"TLS: {meaning} (default: Dask's "
                         "distributed.comm.tls configuration; see docs/cluster.md)")
    run.add_argument("--insecure", action="store_true",
                     help="allow a tcp:// scheduler off this machine, unencrypted and "
                     "unauthenticated")
    run.add_argument("--verbose", action="store_true", help="show Dask's own log lines")
    run.add_argument("--workers", type=int, metavar="N",
                     help="worker processes of a local cluster; 0: none, this process "
                     f"computes in {cores()} threads (default: none for a run whose input and "
                     "output fit in a quarter of this machine's memory, unless a cluster "
                     f"would finish sooner, else {cores()})")
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
    if args.workers is not None and args.workers < 0:
        raise UsageError("--workers wants at least 0")
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
            outputs.refuse_inputs(f"--{option}", path, inputs or ())
    if args.resume and not (args.output or "").lower().endswith(".zarr"):
        raise UsageError("--resume finishes a .zarr --output")
    if args.resume and args.overwrite:
        raise UsageError("--resume finishes a store, --overwrite replaces it: give one")
    if args.scheduler is not None:
        cluster.check_address(args.scheduler, args.insecure,
                              any((args.tls_ca_file, args.tls_cert, args.tls_key)))
    if args.engine == "ufunc" and not has_ufunc():
        raise UsageError("--engine ufunc needs the veltrum_numpy module")
    engine = args.engine if args.engine != "auto" else ("ufunc" if has_ufunc() else "calls")
    headings = ((args.heading % 360.0,) if args.headings is None else
                tuple(360.0 * k / args.headings for k in range(args.headings)))
    return Request(vessel, headings, inputs, (shape[0], shape[1], shape[2]),
                   args.output, args.resume, args.plot, args.chunk_hours, args.scheduler,
                   args.connect_timeout, args.workers, engine, args.overwrite,
                   (args.tls_ca_file, args.tls_cert, args.tls_key), args.verbose,
                   weather_options(args))


def cores() -> int:
    """The cores this process may run on."""
    affinity = getattr(os, "sched_getaffinity", None)
    return len(affinity(0)) if affinity else os.cpu_count() or 1


def runs_in_threads(request: Request, shape: tuple[int, ...], dtypes: list[Any]) -> bool:
    """Whether this process's threads compute the run, rather than a cluster: as --workers
    0 asks, or by default when plan.runs_here finds it best; never with --scheduler."""
    if request.scheduler is not None:
        return False
    if request.workers is not None:
        return request.workers == 0
    import psutil  # type: ignore[import-untyped, unused-ignore]

    return runs_here(shape, dtypes, len(request.headings), request.engine, cores(),
                     psutil.virtual_memory().total)


def start_runner(request: Request, here: bool) -> Runner:
    """This process's threads, or a client of the scheduler or of a new local cluster."""
    if here:
        return ThreadRunner(cores())
    cluster.quiet_dask(request.verbose)
    security = cluster.security_of(*request.tls)
    return cluster.ClusterRunner(cluster.start_client(
        request.scheduler, request.connect_timeout, request.workers or cores(), security,
        request.verbose))


def open_input(request: Request) -> tuple[str, Callable[[int | None], xr.Dataset],
                                          list[Any], list[str]]:
    """The weather's name in the run's output, the weather in chunks of so many hours (in
    its own chunks when None), the types its fields were stored in and the lines that say
    what was taken from them. The inputs are opened here, once."""
    if request.inputs is None:
        shape = request.synthetic_shape
        storm = synthetic_storm(shape)
        return (describe_storm(shape), lambda hours: synthetic_storm(shape, hours),
                [storm[name].dtype for name in reader.VARIABLES], [])
    weather = reader.open_weather(request.inputs, "--input", **request.weather)
    lines = [*weather.lines, *weather.notes, *([weather.note] if weather.note else [])]
    return weather.label, weather.dataset, weather.out_dtypes, lines


def check_outputs(request: Request, out_bytes: int) -> None:
    """Before the cluster starts: no output replaced unless asked, and room for each."""
    output = request.output
    if output is not None and request.zarr_output:
        state = store.store_state(output)
        if state in ("store", "other") and not (request.resume or request.overwrite):
            raise UsageError(f"--output {output} exists: add --resume to finish it, "
                             "--overwrite to replace it, or name another")
        if state == "other" and request.overwrite:
            raise UsageError(f"--output {output} is not a store of {PROG}: not replaced")
    elif output is not None:
        outputs.refuse_existing("--output", output, request.overwrite)
    if request.plot is not None:
        outputs.refuse_existing("--plot", request.plot, request.overwrite)
        outputs.check_room("--plot", request.plot, outputs.FIGURE_BYTES)
    if output is not None:
        # a NetCDF file holds the speed change and the attainable speed
        outputs.check_room("--output", output, out_bytes * (1 if request.zarr_output else 2))


def run(request: Request) -> None:
    vessel, headings, output = request.vessel, request.headings, request.output
    vessel.checked()  # the client checks the particulars before any worker sees them
    source, weather_in, dtypes, lines = open_input(request)
    weather = weather_in(None)
    layout = weather["u10"]
    report.show_header(source, vessel, headings, request.engine)
    for line in lines:
        print(f"  {line}")
    stored_hours = layout.chunks[0][0] if layout.chunks else layout.shape[0]
    # What can be refused is refused before a cluster starts: a store of other arguments or
    # inputs, an output that exists or has no room, a NetCDF output too large for this process.
    arguments = store.recorded_arguments(vessel, headings, request.inputs,
                                         request.synthetic_shape)
    resuming = (request.zarr_output and request.resume and output is not None
                and store.store_state(output) in ("store", "other"))
    resumed_hours = None
    out_bytes = output_bytes(layout.shape, dtypes, len(headings))
    if resuming and output is not None:
        resumed_hours = store.resumable_hours(output, arguments, layout)
        chunks = -(-layout.shape[0] // resumed_hours)
        present = sum(store.chunks_present(output, chunks, layout.ndim + 1))
        out_bytes = out_bytes * (chunks - present) // chunks
    elif output is not None and not request.zarr_output:
        store.refuse_large_netcdf(out_bytes, output)
    check_outputs(request, out_bytes)
    here = runs_in_threads(request, layout.shape, dtypes)
    plan = None
    try:
        runner = start_runner(request, here)
        try:
            print(runner.describe())
            plan = make_plan(layout.shape, dtypes, len(headings), runner.workers,
                             stored_hours=stored_hours, chunk_hours=request.chunk_hours,
                             resumed_hours=resumed_hours)
            report.show_plan(plan, request.engine, output, here)
            weather = weather_in(plan.hours)
            layout = weather["u10"]
            written = prepare_store(request, runner, plan, layout, source, arguments, resuming)
            keep = output is not None and not request.zarr_output
            # the workers write to the same path, wherever they were started
            tasks = chunk_tasks(weather, plan,
                                os.path.abspath(output) if request.zarr_output and output
                                else None, written, keep, vessel, headings, request.engine)
            parts, change = runner.run_chunks(tasks, plan, keep)
        finally:
            runner.close()
    except KeyboardInterrupt:
        # counted once the cluster is closed: a local one's workers finish the chunks they
        # are writing first
        sys.stderr.write("\n")
        print(f"{PROG}: interrupted{stopped(request, plan) or '; nothing written'}",
              file=sys.stderr)
        raise SystemExit(130) from None
    except Fault as fault:
        where = stopped(request, plan)
        if where:
            fault.args = (f"{fault}; stopped{where}",)
        raise
    report.summary(parts, layout, len(headings))
    if not parts[ESTIMATES].sum():
        if request.zarr_output and output is not None and not resuming:
            shutil.rmtree(output, ignore_errors=True)  # the store this run made, empty
        raise UsageError("no valid cell in the weather: every cell-hour lacks a finite wind "
                         "or waves; nothing written")
    if request.zarr_output:
        print(f"Speed change written to {output}")
    elif output is not None:
        store.write_netcdf(output, change, layout, vessel, headings, source)
    if request.plot is not None:
        report.draw_map(parts, layout, vessel, len(headings), source, request.plot)


def prepare_store(request: Request, runner: Runner, plan: Plan, layout: xr.DataArray,
                  source: str, arguments: dict[str, object], resuming: bool) -> list[bool]:
    """The zarr output made, or the chunks of a resumed one verified; which chunks it holds."""
    output = request.output
    if not (request.zarr_output and output is not None):
        return [False] * plan.chunks
    if not resuming:
        store.create_store(output, store.output_template(
            layout, plan, request.vessel, request.headings, source, arguments,
            store.input_fingerprints(request.inputs)), plan)
        return [False] * plan.chunks
    states = runner.verify_chunks(os.path.abspath(output), plan)
    for index, state in sorted(states.items()):
        if state in ("corrupt", "unchecked"):
            hours = f"time steps {index * plan.hours} to " \
                    f"{min(plan.steps, (index + 1) * plan.hours) - 1}"
            print(f"Chunk {index} of {output} ({hours}) "
                  + ("fails its checksum (changed, truncated or misplaced)"
                     if state == "corrupt" else "has no checksum")
                  + ": computed again")
            store.discard_chunk(output, index, len(plan.grid) + 2)
    written = [states[index] == "verified" for index in range(plan.chunks)]
    print(f"Resuming: {sum(written)} of {plan.chunks} chunks written before and verified, "
          f"{plan.chunks - sum(written)} to write")
    return written


def stopped(request: Request, plan: Plan | None) -> str:
    """Where a run stopped before its end left its store, and how to finish it; empty
    without one."""
    output = request.output
    if not (request.zarr_output and output is not None
            and store.store_state(output) == "store"):
        return ""
    hint = "the same command with --resume writes the rest"
    if plan is None:
        return f" before its work on {output}; {hint}"
    count = sum(store.chunks_written(output, plan))
    return f" with {count} of {plan.chunks} chunks in {output}; {hint}"


def main(argv: Sequence[str] | None = None) -> int:
    return run_main(PROG, lambda: run(parse_request(argv)), argv)
