"""What the weather along a route costs in hours: leg by leg, and for the voyage.

The route is a CSV file of waypoints, `name,latitude,longitude`, with the weather
on the leg that starts at each one in true terms: `wind_speed_ms`,
`wind_from_deg`, `wave_height_m` (significant) and `wave_from_deg`, directions
the wind and the waves come from. Lines starting with # are notes, printed with
the result. Without a file, the sample crossing shipped with the package is used.

    veltrum-voyage
    veltrum-voyage my_route.csv --speed-kts 14 --ballast --csv legs.csv
    veltrum-voyage my_route.csv --weather 'era5/*.nc' --departure 2024-01-10T06:00

Each leg is sailed on the great circle at its initial course; the estimate is
the speed change at that course, and the leg takes its distance over the
attainable speed.

With --weather (gridded weather, as veltrum-hindcast reads it: NetCDF, GRIB, zarr or
CDS zip downloads, docs/weather.md; the grid extra, and the grib extra for GRIB) the route
file needs only its first three columns. Each leg is cut into steps of at most --step-nm,
and the weather of each step is taken where and when the ship starts it: bilinear between
the four grid points around it, linear between the two time steps around the time the ship
gets there, which follows from the attainable speeds of the steps before. A forecast of a
single time is held for the whole voyage; a point whose waves are missing (land nearby)
takes the nearest grid point's that has them; wind-only weather takes, with
--typical-waves, the wave height typical of each force. The run says so each time.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import asdict
from typing import Any

from veltrum_tools import marine
from veltrum_tools.command import Parser, add_overwrite, run_main
from veltrum_tools.errors import require_extra
from veltrum_tools.outputs import check_room, refuse_existing, refuse_inputs, write_atomically
from veltrum_tools.route import Leg, Waypoint, in_steps, read_route, sail
from veltrum_tools.vessel import add_vessel_options, vessel_of
from veltrum_tools.weather.options import add_weather_options, weather_options

PROG = "veltrum-voyage"
# The shortest step between two samples of the weather: some 18 m, far below any grid's
# spacing; shorter ones only make a long route's steps countless.
MIN_STEP_NM = 0.01
CSV_BYTES = 1_000_000  # the room the legs take, about (a long route in short steps)
SAMPLE_ROUTE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                            "north_atlantic_route.csv")


def print_legs(legs: Sequence[Leg], speed_kts: float) -> None:
    name_width = max(len(f"{leg.start} → {leg.end}") for leg in legs)
    print(f"{'leg':<{name_width}} {'nm':>7} {'course':>6} {'wind':>11} {'waves':>11} "
          f"{'change':>7} {'speed':>6} {'hours':>6}")
    for leg in legs:
        capped = "*" if leg.wind_speed_ms >= marine.FORCE_13_LOWER_BOUND_MS else " "
        print(f"{leg.start + ' → ' + leg.end:<{name_width}} {leg.distance_nm:>7.1f} "
              f"{leg.course_deg:>5.0f}° {'Bft ' + str(leg.beaufort) + capped:>6}"
              f"{leg.wind_relative_deg:>4.0f}° {leg.wave_height_m:>5.1f} m"
              f"{leg.wave_relative_deg:>4.0f}° {leg.speed_change_kn:>+7.2f} {leg.attainable_speed_kn:>6.2f} {leg.hours:>6.1f}")
    if any(leg.wind_speed_ms >= marine.FORCE_13_LOWER_BOUND_MS for leg in legs):
        print("* force 13 or more: taken as 12, the model's highest")
    distance = sum(leg.distance_nm for leg in legs)
    in_weather = sum(leg.hours for leg in legs)
    calm = distance / speed_kts
    print()
    print(f"Distance:            {distance:.1f} nm")
    print(f"Time in calm water:  {calm:.1f} h ({calm / 24:.2f} days)")
    print(f"Time in the weather: {in_weather:.1f} h ({in_weather / 24:.2f} days)")
    print(f"Delay:               {in_weather - calm:+.1f} h ({(in_weather / calm - 1):+.1%})")


def write_csv(path: str, legs: Sequence[Leg]) -> None:
    def write(temporary: str) -> None:
        with open(temporary, "w", newline="", encoding="utf-8") as sink:
            writer = csv.DictWriter(sink, fieldnames=list(asdict(legs[0])))
            writer.writeheader()
            for leg in legs:
                writer.writerow({key: repr(value) if isinstance(value, float) else value
                                 for key, value in asdict(leg).items()})

    write_atomically(path, write)
    print(f"Legs written to {path}")


def check_csv(args: argparse.Namespace) -> None:
    """--csv: never the route or a weather input, an existing file only with --overwrite,
    and room for it, before any work."""
    if args.csv is None:
        return
    inputs = [args.route]
    if args.weather is not None:
        from veltrum_tools.weather.inputs import expand

        inputs += expand(args.weather, "--weather")
    refuse_inputs("--csv", args.csv, inputs)
    refuse_existing("--csv", args.csv, args.overwrite)
    check_room("--csv", args.csv, CSV_BYTES)


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = Parser(prog=PROG, description="Time lost to the weather along a route, from the veltrum model.")
    parser.add_argument("route", nargs="?", default=SAMPLE_ROUTE,
                        help="route CSV file (default: the sample North Atlantic crossing)")
    add_vessel_options(parser)
    parser.add_argument("--csv", metavar="FILE", help="also write the legs to FILE")
    add_overwrite(parser)
    gridded = parser.add_argument_group("gridded weather (the grid extra)")
    gridded.add_argument("--weather", nargs="+", metavar="FILES",
                         help="weather along the route from NetCDF or GRIB files (names or "
                         "glob patterns), zarr stores or CDS zip downloads, instead of the "
                         "route file's")
    gridded.add_argument("--departure", metavar="TIME",
                         help="departure, UTC, e.g. 2024-01-10T06:00 (default: the weather's "
                         "first time)")
    gridded.add_argument("--step-nm", type=float, default=30.0, metavar="NM",
                         help="longest step between two samples of the weather (default: "
                         "%(default)g)")
    gridded.add_argument("--typical-waves", action="store_true",
                         help="for weather with wind but no waves: the wave height typical "
                         "of each Beaufort force, from the wind's direction")
    add_weather_options(gridded)
    args = parser.parse_args(argv)
    args.vessel = vessel_of(args, under_way=True)
    if not (math.isfinite(args.step_nm) and args.step_nm >= MIN_STEP_NM):
        parser.error(f"--step-nm wants a distance of at least {MIN_STEP_NM:g} nm, "
                     f"not {args.step_nm:g}")
    for option in ("departure", "var", "member", "typical_waves"):
        if args.weather is None and getattr(args, option) not in (None, False):
            parser.error(f"--{option.replace('_', '-')} goes with --weather")
    return args


def gridded_weather(args: argparse.Namespace) -> tuple[Any, float, list[str]]:
    """The sampler of the --weather inputs, the departure in hours after their first time,
    and the lines that say what was taken from them."""
    require_extra("grid", "--weather")
    from veltrum_tools.weather import Sampler, open_weather

    weather = open_weather(args.weather, option="--weather", wind_only=args.typical_waves,
                           **weather_options(args))
    sampler = Sampler(weather.dataset(), typical_waves=args.typical_waves)
    lines = [*weather.lines, *weather.notes, *([weather.note] if weather.note else [])]
    if weather.wind_only:
        lines.append("no waves in the weather: wave heights typical of each Beaufort force "
                     "(as veltrum-polar takes them), from the wind's direction")
    if sampler.held:
        lines.append(f"a forecast of one time, {sampler.time_text(0.0)}: held for the whole "
                     "voyage")
    return sampler, sampler.hours_of(args.departure), lines


def run(args: argparse.Namespace) -> None:
    vessel = args.vessel
    check_csv(args)
    waypoints, notes = read_route(args.route, with_weather=args.weather is None)
    model = vessel.checked()
    if args.weather is None:
        legs = sail(model, vessel.speed_kts, waypoints)
    else:
        sampler, departure, lines = gridded_weather(args)

        def weather_at(point: Waypoint, hours: float) -> Waypoint:
            return Waypoint(point.name, point.latitude, point.longitude,
                            *sampler.at(point.latitude, point.longitude, departure + hours,
                                        point.name))

        legs = sail(model, vessel.speed_kts, in_steps(waypoints, args.step_nm), weather_at)
    print(f"Route: {args.route}")
    for note in notes:
        print(f"  {note}")
    if args.weather is not None:
        print("Weather:")
        for line in lines:
            print(f"  {line}")
    print(f"Vessel: {vessel}")
    print("Wind and waves: Beaufort force and height, direction off the bow (0° head on)\n")
    print_legs(legs, vessel.speed_kts)
    if args.weather is not None:
        hours = sum(leg.hours for leg in legs)
        print(f"Departure:           {sampler.time_text(departure)} UTC")
        print(f"Arrival:             {sampler.time_text(departure + hours)} UTC")
        print(f"Weather: {' '.join(args.weather)}, sampled every {args.step_nm:g} nm at most")
        for note in dict.fromkeys(sampler.notes):
            print(f"  {note}")
    if args.csv is not None:
        write_csv(args.csv, legs)


def main(argv: Sequence[str] | None = None) -> int:
    return run_main(PROG, lambda: run(parse_args(argv)), argv)


if __name__ == "__main__":
    sys.exit(main())
