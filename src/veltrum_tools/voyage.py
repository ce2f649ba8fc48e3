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

With --weather (gridded weather, as veltrum-hindcast reads it; the grid extra) the
route file needs only its first three columns. Each leg is cut into steps of at most
--step-nm, and the weather of each step is taken where and when the ship starts it:
bilinear between the four grid points around it, linear between the two time steps
around the time the ship gets there, which follows from the attainable speeds of the
steps before.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass
from typing import Any

import veltrum
from veltrum_tools import marine
from veltrum_tools.cli import (Parser, UsageError, add_vessel_options, refused_vessel as refused,
                               require_extra, run_main)

PROG = "veltrum-voyage"
SAMPLE_ROUTE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                            "north_atlantic_route.csv")
EARTH_RADIUS_NM = 6371.0088 / 1.852  # mean radius of the Earth (IUGG), nautical miles
COLUMNS = ("name", "latitude", "longitude", "wind_speed_ms", "wind_from_deg", "wave_height_m",
           "wave_from_deg")


@dataclass
class Waypoint:
    name: str
    latitude: float
    longitude: float
    # the weather on the leg from here; none at the last waypoint
    wind_speed_ms: float = math.nan
    wind_from_deg: float = math.nan
    wave_height_m: float = math.nan
    wave_from_deg: float = math.nan


# The weather of a waypoint this many hours after departure: the waypoint, its weather
# filled in.
WeatherAt = Callable[[Waypoint, float], Waypoint]

@dataclass
class Leg:
    start: str
    end: str
    start_hours: float  # since departure
    distance_nm: float
    course_deg: float
    wind_speed_ms: float
    beaufort: int
    wind_relative_deg: float
    wave_height_m: float
    wave_relative_deg: float
    speed_change_kn: float
    attainable_speed_kn: float
    hours: float


def great_circle(start: Waypoint, end: Waypoint) -> tuple[float, float]:
    """Distance in nautical miles (haversine) and initial true course in degrees."""
    lat1, lat2 = math.radians(start.latitude), math.radians(end.latitude)
    dlon = math.radians(end.longitude - start.longitude)
    haversine = (math.sin((lat2 - lat1) / 2) ** 2
                 + math.cos(lat1) * math.cos(lat2) * math.sin(dlon / 2) ** 2)
    distance = 2 * EARTH_RADIUS_NM * math.asin(math.sqrt(min(1.0, haversine)))
    course = math.degrees(math.atan2(
        math.sin(dlon) * math.cos(lat2),
        math.cos(lat1) * math.sin(lat2) - math.sin(lat1) * math.cos(lat2) * math.cos(dlon)))
    return distance, course % 360.0


def intermediate(start: Waypoint, end: Waypoint, fraction: float) -> tuple[float, float]:
    """Latitude and longitude of the point that far along the great circle between two."""
    lat1, lon1 = math.radians(start.latitude), math.radians(start.longitude)
    lat2, lon2 = math.radians(end.latitude), math.radians(end.longitude)
    angle = great_circle(start, end)[0] / EARTH_RADIUS_NM
    a, b = (math.sin(share * angle) / math.sin(angle) for share in (1.0 - fraction, fraction))
    x = a * math.cos(lat1) * math.cos(lon1) + b * math.cos(lat2) * math.cos(lon2)
    y = a * math.cos(lat1) * math.sin(lon1) + b * math.cos(lat2) * math.sin(lon2)
    z = a * math.sin(lat1) + b * math.sin(lat2)
    return math.degrees(math.atan2(z, math.hypot(x, y))), math.degrees(math.atan2(y, x))


def in_steps(waypoints: Sequence[Waypoint], step_nm: float) -> list[Waypoint]:
    """The waypoints, with points added on the great circle of each leg so that none is
    longer than step_nm; the k-th of n steps after waypoint A starts at "A (k/n)"."""
    points = [waypoints[0]]
    for start, end in zip(waypoints, waypoints[1:]):
        distance = great_circle(start, end)[0]
        steps = max(1, math.ceil(distance / step_nm))
        for k in range(1, steps):
            points.append(Waypoint(f"{start.name} ({k}/{steps})",
                                   *intermediate(start, end, k / steps)))
        points.append(end)
    return points


def read_route(path: str, with_weather: bool = True) -> tuple[list[Waypoint], list[str]]:
    """The waypoints and the notes (# lines) of a route file; without its weather, only
    the first three columns are read."""
    try:
        with open(path, newline="", encoding="utf-8") as source:
            lines = source.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise UsageError(f"cannot read {path}: {getattr(error, 'strerror', None) or error}") \
            from None
    notes = [line.lstrip("#").strip() for line in lines if line.startswith("#")]
    numbered = [(number, line) for number, line in enumerate(lines, 1)
                if line.strip() and not line.startswith("#")]
    rows = list(csv.reader(line for _, line in numbered))
    columns = COLUMNS if with_weather else COLUMNS[:3]
    if not rows or tuple(cell.strip() for cell in rows[0][:len(columns)]) != columns or (
            with_weather and len(rows[0]) != len(columns)):
        raise UsageError(f"{path}: the first row must name the columns {','.join(columns)}")
    waypoints = []
    for (number, _), row in zip(numbered[1:], rows[1:]):
        last = number == numbered[-1][0]
        if len(row) != len(COLUMNS) and (with_weather or len(row) < len(columns)):
            raise UsageError(f"{path}, line {number}: {len(row)} fields, not {len(columns)}")
        values = []
        for column, cell in zip(columns[1:], row[1:]):
            if last and column not in ("latitude", "longitude") and not cell.strip():
                values.append(math.nan)
                continue
            try:
                value = float(cell)
            except ValueError:
                raise UsageError(f"{path}, line {number}: {column} is not a number: "
                                 f"{cell!r}") from None
            if not math.isfinite(value):
                raise UsageError(f"{path}, line {number}: {column} is not finite: {cell!r}")
            values.append(value)
        point = Waypoint(row[0].strip(), *values)
        if not (-90.0 <= point.latitude <= 90.0 and -180.0 <= point.longitude <= 360.0):
            raise UsageError(f"{path}, line {number}: no such position "
                             f"({point.latitude:g}, {point.longitude:g})")
        if point.wind_speed_ms < 0.0 or point.wave_height_m < 0.0:
            raise UsageError(f"{path}, line {number}: a wind speed or wave height below 0")
        waypoints.append(point)
    if len(waypoints) < 2:
        raise UsageError(f"{path}: a route needs at least two waypoints")
    return waypoints, notes


def sail(vessel: veltrum.NavCalc, speed_kts: float, waypoints: Sequence[Waypoint],
         weather_at: WeatherAt | None = None) -> list[Leg]:
    """The legs between the waypoints, each with the weather of its start: the route
    file's, or, given `weather_at`, the weather there when the ship gets there."""
    legs: list[Leg] = []
    hours = 0.0
    for start, end in zip(waypoints, waypoints[1:]):
        distance, course = great_circle(start, end)
        if weather_at is not None:
            start = weather_at(start, hours)
        wind_beta = marine.relative_angle(course, start.wind_from_deg)
        wave_beta = marine.relative_angle(course, start.wave_from_deg)
        force = marine.beaufort_force(start.wind_speed_ms)
        change = vessel.compute(wind_beta, force, start.wave_height_m, wave_beta)
        attainable = speed_kts + change
        if not attainable > 0.0:
            raise UsageError(f"leg {start.name} to {end.name}: no headway in this weather "
                             f"(attainable speed {attainable:.2f} kn)")
        legs.append(Leg(start.name, end.name, hours, distance, course, start.wind_speed_ms,
                        force, wind_beta, start.wave_height_m, wave_beta, change, attainable,
                        distance / attainable))
        hours += distance / attainable
    return legs


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
    try:
        with open(path, "w", newline="", encoding="utf-8") as sink:
            writer = csv.DictWriter(sink, fieldnames=list(asdict(legs[0])))
            writer.writeheader()
            for leg in legs:
                writer.writerow({key: repr(value) if isinstance(value, float) else value
                                 for key, value in asdict(leg).items()})
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None
    print(f"Legs written to {path}")


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = Parser(prog=PROG, description="Time lost to the weather along a route, from the veltrum model.")
    parser.add_argument("route", nargs="?", default=SAMPLE_ROUTE,
                        help="route CSV file (default: the sample North Atlantic crossing)")
    add_vessel_options(parser)
    parser.add_argument("--csv", metavar="FILE", help="also write the legs to FILE")
    gridded = parser.add_argument_group("gridded weather (the grid extra)")
    gridded.add_argument("--weather", nargs="+", metavar="FILES",
                         help="weather along the route from NetCDF files (names or glob "
                         "patterns) or a zarr store, ERA5 names u10, v10, swh, mwd, instead "
                         "of the route file's")
    gridded.add_argument("--departure", metavar="TIME",
                         help="departure, UTC, e.g. 2024-01-10T06:00 (default: the weather's "
                         "first time)")
    gridded.add_argument("--step-nm", type=float, default=30.0, metavar="NM",
                         help="longest step between two samples of the weather (default: "
                         "%(default)g)")
    args = parser.parse_args(argv)
    if not (math.isfinite(args.speed_kts) and args.speed_kts > 0):
        parser.error(f"--speed-kts wants a speed above 0, not {args.speed_kts}")
    if not (math.isfinite(args.step_nm) and args.step_nm > 0):
        parser.error(f"--step-nm wants a distance above 0, not {args.step_nm}")
    if args.weather is None and args.departure is not None:
        parser.error("--departure goes with --weather")
    return args


def gridded_weather(args: argparse.Namespace) -> tuple[Any, float]:
    """The sampler of the --weather inputs and the departure, in hours after their first
    time."""
    require_extra("grid", "--weather")
    from veltrum_tools.weather import Sampler, open_weather

    sampler = Sampler(open_weather(args.weather))
    return sampler, sampler.hours_of(args.departure)


def run(args: argparse.Namespace) -> None:
    waypoints, notes = read_route(args.route, with_weather=args.weather is None)
    vessel = veltrum.NavCalc(args.displacement, args.length, args.breadth, args.draught)
    vessel.setup(args.speed_kts, not args.ballast)
    if args.weather is None:
        legs = sail(vessel, args.speed_kts, waypoints)
    else:
        sampler, departure = gridded_weather(args)

        def weather_at(point: Waypoint, hours: float) -> Waypoint:
            return Waypoint(point.name, point.latitude, point.longitude,
                            *sampler.at(point.latitude, point.longitude, departure + hours,
                                        point.name))

        legs = sail(vessel, args.speed_kts, in_steps(waypoints, args.step_nm), weather_at)
    print(f"Route: {args.route}")
    for note in notes:
        print(f"  {note}")
    print(f"Vessel: {args.displacement:g} m³, {args.length:g} × {args.breadth:g} × "
          f"{args.draught:g} m, {args.speed_kts:g} kn, {'in ballast' if args.ballast else 'laden'}")
    print("Wind and waves: Beaufort force and height, direction off the bow (0° head on)\n")
    print_legs(legs, args.speed_kts)
    if args.weather is not None:
        hours = sum(leg.hours for leg in legs)
        print(f"Departure:           {sampler.time_text(departure)} UTC")
        print(f"Arrival:             {sampler.time_text(departure + hours)} UTC")
        print(f"Weather: {' '.join(args.weather)}, sampled every {args.step_nm:g} nm at most")
    if args.csv is not None:
        write_csv(args.csv, legs)


def main(argv: Sequence[str] | None = None) -> int:
    return run_main(PROG, lambda: run(parse_args(argv)), refused)


if __name__ == "__main__":
    sys.exit(main())
