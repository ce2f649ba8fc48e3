"""A route and what its weather costs: waypoints read from a CSV file, the great circle
between them, and the legs sailed in the weather, leg by leg.

The route file holds waypoints, `name,latitude,longitude`, with the weather on the leg
that starts at each one in true terms: `wind_speed_ms`, `wind_from_deg`, `wave_height_m`
(significant) and `wave_from_deg`, the directions the wind and the waves come from. Lines
starting with # are notes. Each leg is sailed on the great circle at its initial course;
the estimate is the speed change at that course, and the leg takes its distance over the
attainable speed.
"""

from __future__ import annotations

import csv
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import veltrum
from veltrum_tools import marine
from veltrum_tools.errors import UsageError

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
        impossible = None if last or not with_weather else marine.impossible_weather(
            point.wind_speed_ms, point.wave_height_m)
        if impossible:
            raise UsageError(f"{path}, line {number}: {point.name} has {impossible}")
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
