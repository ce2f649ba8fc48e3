"""veltrum-voyage and veltrum-hindcast, as installed: totals by hand, and a real Dask cluster
on loopback."""

import csv
import json
import math
import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import xarray as xr

from veltrum import NavCalc
from veltrum_tools import hindcast, marine

# The console scripts and dask's, installed beside the interpreter
BIN = pathlib.Path(sys.executable).parent
DASK = BIN / "dask"


def run(tool, *args, cwd=None):
    return subprocess.run([str(BIN / tool), *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=240)


def printed(stdout, label):
    """The first number after `label` in the output."""
    line = next(line for line in stdout.splitlines() if line.startswith(label))
    return float(line[len(label):].split()[0])


def test_voyage_totals_and_a_leg_by_hand(tmp_path):
    result = run("veltrum-voyage", "--csv", tmp_path / "legs.csv")
    assert result.returncode == 0, result.stderr
    assert "THE WEATHER IS INVENTED" in result.stdout
    with open(tmp_path / "legs.csv", newline="") as legs_file:
        legs = list(csv.DictReader(legs_file))
    assert len(legs) == 11
    # Hook of Holland (51.98, 4.05) to Dover Strait (51.03, 1.45): 6.5 m/s from 230°
    # (force 4), 0.9 m waves from 240°; the distance by the spherical law of cosines.
    lat1, lon1, lat2, lon2 = map(math.radians, (51.98, 4.05, 51.03, 1.45))
    distance = 6371.0088 / 1.852 * math.acos(
        math.sin(lat1) * math.sin(lat2) + math.cos(lat1) * math.cos(lat2) * math.cos(lon2 - lon1))
    course = float(legs[0]["course_deg"])
    assert 240.5 < course < 240.7
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    change = vessel.compute(course - 230, 4, 0.9, course - 240)
    first = legs[0]
    assert float(first["distance_nm"]) == pytest.approx(distance, rel=1e-9)
    assert (int(first["beaufort"]), float(first["speed_change_kn"])) == (4, change)
    assert float(first["hours"]) == pytest.approx(distance / (12 + change), rel=1e-9)
    miles = sum(float(leg["distance_nm"]) for leg in legs)
    hours = sum(float(leg["hours"]) for leg in legs)
    assert printed(result.stdout, "Distance:") == round(miles, 1)
    assert printed(result.stdout, "Time in the weather:") == round(hours, 1)
    assert printed(result.stdout, "Time in calm water:") == round(miles / 12, 1)
    assert printed(result.stdout, "Delay:") == round(hours - miles / 12, 1)


@pytest.mark.parametrize("tool, args, says", [
    ("veltrum-voyage", ["no/such.csv"], "cannot read no/such.csv"),
    ("veltrum-voyage", ["route.csv"], "route.csv, line 3: wind_speed_ms is not a number: 'x'"),
    ("veltrum-voyage", ["--speed-kts", "0"], "--speed-kts wants a speed above 0"),
    ("veltrum-hindcast", ["--input", "no/such.nc"], "--input: no file 'no/such.nc'"),
    ("veltrum-hindcast", ["--input", "route.csv"], "cannot read route.csv"),
    ("veltrum-hindcast", ["--headings", "0"], "--headings wants a number from 1 to 360"),
    ("veltrum-hindcast", ["--synthetic-shape", "4,4"], "--synthetic-shape wants three positive"),
    ("veltrum-hindcast", ["--output", "out.txt"], "--output wants a file name ending in .nc"),
    ("veltrum-hindcast", ["--scheduler", "tcp://127.0.0.1:9", "--connect-timeout", "1"],
     "cannot reach the scheduler"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, tool, args, says):
    (tmp_path / "route.csv").write_text(
        "name,latitude,longitude,wind_speed_ms,wind_from_deg,wave_height_m,wave_from_deg\n"
        "A,50,0,5,0,1,0\nB,50,-1,x,0,1,0\nC,50,-2,,,,\n")
    result = run(tool, *args, cwd=tmp_path)
    assert (result.returncode, result.stderr.count("\n")) == (2, 1), result.stderr
    assert result.stderr.startswith(f"{tool}: error: ") and says in result.stderr


def start(*args, log):
    """A process in its own process group, its output and scratch files beside `log`."""
    env = dict(os.environ, DASK_TEMPORARY_DIRECTORY=str(log.parent))
    with open(log, "w") as sink:
        return subprocess.Popen([str(DASK), *args], stdout=sink, stderr=subprocess.STDOUT,
                                env=env, start_new_session=True)


def stop(process):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=15)
            return
        except subprocess.TimeoutExpired:
            continue


def wait_until(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"no {what} after {seconds} s"
        time.sleep(0.2)


@pytest.fixture
def loopback_cluster(tmp_path):
    """`dask scheduler` and two `dask worker`s on 127.0.0.1; yields the scheduler's address."""
    info = tmp_path / "scheduler.json"
    processes = []
    try:
        processes.append(start("scheduler", "--host", "127.0.0.1", "--port", "0",
                               "--no-dashboard", "--scheduler-file", info,
                               log=tmp_path / "scheduler.log"))
        wait_until(lambda: info.exists() and info.stat().st_size > 0, "scheduler file")
        for k in range(2):
            processes.append(start("worker", "--scheduler-file", info, "--nthreads", "1",
                                   "--host", "127.0.0.1", "--no-dashboard", "--death-timeout",
                                   "60", log=tmp_path / f"worker{k}.log"))
        wait_until(lambda: all("Registered to" in (tmp_path / f"worker{k}.log").read_text()
                               for k in range(2)), "two registered workers")
        yield json.loads(info.read_text())["address"]
    finally:
        for process in reversed(processes):
            stop(process)


def test_hindcast_on_a_loopback_cluster_is_bit_exact(tmp_path, loopback_cluster):
    shape, headings = (5, 9, 11), (0.0, 120.0, 240.0)
    weather = hindcast.synthetic_storm(shape).compute(scheduler="synchronous")
    weather["u10"][0, 0, 0] = 45.0  # force 13 and over: taken as 12
    weather["v10"][1, 2, 3] = np.nan  # skipped
    weather.to_netcdf(tmp_path / "weather.nc", engine="h5netcdf")
    common = ["--input", "weather.nc", "--headings", 3, "--speed-kts", 14, "--ballast"]
    remote = run("veltrum-hindcast", *common, "--scheduler", loopback_cluster, "--output", "remote.nc",
                 cwd=tmp_path)
    assert remote.returncode == 0, remote.stderr
    assert "Cluster: 2 workers at " + loopback_cluster in remote.stdout
    local = run("veltrum-hindcast", *common, "--workers", 2, "--output", "local.nc", cwd=tmp_path)
    assert local.returncode == 0, local.stderr
    assert (tmp_path / "remote.nc").read_bytes() == (tmp_path / "local.nc").read_bytes()

    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(14, False)
    expected, skipped, capped = np.full(shape + (3,), np.nan), 0, 0
    for (t, y, x), u in np.ndenumerate(weather["u10"].values):
        v, height, wave_from = (weather[name].values[t, y, x] for name in ("v10", "swh", "mwd"))
        if math.isnan(v) or math.isnan(height):  # the island has no waves
            skipped += 1
            continue
        capped += math.sqrt(u * u + v * v) >= 37.0
        force = marine.beaufort_force(math.sqrt(u * u + v * v))
        wind_from = math.degrees(math.atan2(u, v)) + 180.0
        for k, heading in enumerate(headings):
            expected[t, y, x, k] = vessel.compute(marine.relative_angle(heading, wind_from), force,
                                                  height, marine.relative_angle(heading, wave_from))
    assert expected[0, 0, 0, 0] == vessel.compute(
        marine.relative_angle(0.0, math.degrees(math.atan2(45.0, weather["v10"].values[0, 0, 0]))
                              + 180.0), 12, weather["swh"].values[0, 0, 0],
        marine.relative_angle(0.0, weather["mwd"].values[0, 0, 0]))
    with xr.open_dataset(tmp_path / "remote.nc", engine="h5netcdf") as result:
        got = result["speed_change"].transpose("time", "latitude", "longitude", "heading").values
        assert result["speed_change"].attrs["units"] == "knot"
    assert f"Skipped cell-hours (missing or non-finite data): {skipped}\n" in remote.stdout
    assert f"taken as force 12: {capped}\n" in remote.stdout and capped > 0
    assert np.array_equal(np.isnan(got), np.isnan(expected))
    assert (got.view(np.int64) == expected.view(np.int64))[~np.isnan(got)].all()
