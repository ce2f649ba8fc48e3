"""veltrum-voyage --weather: speed changes and arrival times by hand over made-up fields,
and its bad inputs."""

import csv
import math
import pathlib
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

from veltrum import NavCalc
from veltrum_tools.marine import beaufort_force

TOOL = pathlib.Path(sys.executable).parent / "veltrum-voyage"
EARTH_RADIUS_NM = 6371.0088 / 1.852
FIRST = np.datetime64("2024-01-10T00:00", "ns")
# Along the equator, eastwards (course 90°): waypoints between the grid's longitudes
ROUTE = [0.5, 1.5, 2.5, 3.5, 4.0]


def run(*args, cwd):
    return subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          timeout=120)


def write_weather(path, wind, height, longitudes=(0.0, 1.0, 2.0, 3.0, 4.0)):
    """Wind of speed wind(longitude, hour) from the north, waves of height(longitude, hour)
    from the north, on latitudes -1, 0, 1 and hours 0, 24 and 48 after FIRST."""
    hours, _, lon = np.meshgrid([0.0, 24.0, 48.0], [1.0, 0.0, -1.0], longitudes, indexing="ij")
    fields = {"u10": np.zeros_like(lon), "v10": -wind(lon, hours), "swh": height(lon, hours),
              "mwd": np.zeros_like(lon)}
    xr.Dataset({name: (("valid_time", "latitude", "longitude"), values)
                for name, values in fields.items()},
               coords={"valid_time": FIRST + np.array([0, 24, 48]) * np.timedelta64(1, "h"),
                       "latitude": [1.0, 0.0, -1.0], "longitude": list(longitudes)}
               ).to_netcdf(path, engine="h5netcdf")


def write_route(path, longitudes, latitude=0.0):
    path.write_text("name,latitude,longitude\n"
                    + "".join(f"P{k},{latitude},{lon}\n" for k, lon in enumerate(longitudes)))


def legs_of(csv_path):
    with open(csv_path, newline="") as source:
        return list(csv.DictReader(source))


# The weather at each leg's start, worked out from the field: (wind m/s, wave height m)
# by leg number and hours since the weather's first time.
FIELDS = {
    "uniform": (lambda lon, t: np.full_like(lon, 9.0), lambda lon, t: np.full_like(lon, 2.0),
                [], lambda k, t: (9.0, 2.0)),
    # 5 m/s and 1 m west of 2°E, 20 m/s and 5 m from 3°E: 2.5°E is half-way
    "front in longitude": (lambda lon, t: np.where(lon <= 2.0, 5.0, 20.0),
                           lambda lon, t: np.where(lon <= 2.0, 1.0, 5.0), [],
                           lambda k, t: [(5.0, 1.0), (5.0, 1.0), (12.5, 3.0), (20.0, 5.0)][k]),
    # the wind rises by half a metre per second an hour; departure 6 hours in
    "front in time": (lambda lon, t: 4.0 + t / 2.0, lambda lon, t: np.full_like(lon, 2.0),
                      ["--departure", "2024-01-10 06:00"], lambda k, t: (4.0 + t / 2.0, 2.0)),
}


@pytest.mark.parametrize("field", FIELDS)
def test_speed_changes_and_arrival_times_by_hand(tmp_path, field):
    wind, height, options, expected = FIELDS[field]
    write_weather(tmp_path / "weather.nc", wind, height)
    write_route(tmp_path / "route.csv", ROUTE)
    result = run("route.csv", "--weather", "weather.nc", "--step-nm", 100, "--csv", "legs.csv",
                 *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    legs = legs_of(tmp_path / "legs.csv")
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    departure = 6.0 if options else 0.0
    hours = 0.0
    for k, leg in enumerate(legs):
        wind_ms, wave_height = expected(k, departure + hours)
        change = vessel.compute(90.0, beaufort_force(wind_ms), wave_height, 90.0)
        assert float(leg["course_deg"]) == 90.0
        assert (float(leg["speed_change_kn"]), float(leg["wave_height_m"])) == (change, wave_height)
        assert float(leg["start_hours"]) == pytest.approx(hours, rel=1e-12, abs=1e-12)
        distance = EARTH_RADIUS_NM * math.radians(ROUTE[k + 1] - ROUTE[k])
        hours += distance / (12 + change)
    assert len(legs) == len(ROUTE) - 1
    arrival = FIRST + np.timedelta64(round((departure + hours) * 60), "m")
    assert f"Arrival:             {np.datetime_as_string(arrival, unit='m')} UTC" in result.stdout


def test_long_legs_are_sampled_in_steps(tmp_path):
    write_weather(tmp_path / "weather.nc", *FIELDS["front in longitude"][:2])
    write_route(tmp_path / "route.csv", [0.0, 4.0])
    result = run("route.csv", "--weather", "weather.nc", "--step-nm", 31, "--csv", "legs.csv",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    # 240 nm in 8 steps of half a degree: the front at 2.5°E, between the grid's columns
    legs = legs_of(tmp_path / "legs.csv")
    assert [leg["start"] for leg in legs] == ["P0"] + [f"P0 ({k}/8)" for k in range(1, 8)]
    assert [float(leg["wave_height_m"]) for leg in legs] == pytest.approx(
        [1.0] * 5 + [3.0, 5.0, 5.0], rel=1e-9)


def uniform(path, **options):
    write_weather(path, *FIELDS["uniform"][:2], **options)


@pytest.mark.parametrize("prepare, args, says", [
    (lambda d: uniform(d / "w.nc", longitudes=(0.0, 1.0, 2.0, 3.0)), ["--weather", "w.nc"],
     "P3 (0, 3.5) is outside the weather's grid (latitudes -1 to 1, longitudes 0 to 3)"),
    (lambda d: uniform(d / "w.nc"), ["--weather", "w.nc", "--departure", "2024-01-11T23:00"],
     "outside the weather's times (2024-01-10T00:00 to 2024-01-12T00:00)"),
    (lambda d: uniform(d / "w.nc"), ["--weather", "w.nc", "--departure", "Tuesday"],
     "--departure wants a time such as 2024-01-10T06:00, not 'Tuesday'"),
    (lambda d: None, ["--departure", "2024-01-10"], "--departure goes with --weather"),
    (lambda d: uniform(d / "w.nc"), ["--weather", "w.nc", "--step-nm", "1e-6"],
     "--step-nm wants a distance of at least 0.01 nm, not 1e-06"),
    (lambda d: write_weather(d / "w.nc", lambda lon, hours: 0 * lon, lambda lon, hours: lon - 5),
     ["--weather", "w.nc"], "no wave data within one grid cell of P0 (0, 0.5): land, or "
     "missing or physically impossible data"),  # waves of -5 m
])
def test_bad_input_is_one_line_and_status_2(tmp_path, prepare, args, says):
    prepare(tmp_path)
    write_route(tmp_path / "route.csv", ROUTE)
    result = run("route.csv", "--step-nm", 100, *args, cwd=tmp_path)
    assert (result.returncode, result.stderr.count("\n")) == (2, 1), result.stderr
    assert result.stderr.startswith("veltrum-voyage: error: ") and says in result.stderr
