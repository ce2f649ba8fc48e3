"""veltrum-voyage and veltrum-hindcast, as installed: totals by hand, and a real Dask cluster
on loopback."""

import csv
import json
import math
import os
import shutil
import subprocess

import numpy as np
import pytest
import xarray as xr
import zarr

from conftest import BIN
from veltrum import NavCalc
from veltrum_tools import marine
from veltrum_tools.hindcast.storm import synthetic_storm
from veltrum_tools.weather import VARIABLES


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


@pytest.fixture(scope="module")
def bad_inputs(tmp_path_factory):
    """A directory of inputs to refuse: a route with a bad line, a store of a finished run
    and that store as another version wrote it; the weather's own refusals are the reader's
    (tests/tools/test_reader.py) and both tools' (test_weather_inputs.py)."""
    directory = tmp_path_factory.mktemp("inputs")
    (directory / "route.csv").write_text(
        "name,latitude,longitude,wind_speed_ms,wind_from_deg,wave_height_m,wave_from_deg\n"
        "A,50,0,5,0,1,0\nB,50,-1,x,0,1,0\nC,50,-2,,,,\n")
    (directory / "high.csv").write_text((directory / "route.csv").read_text().replace("x", "1e6"))
    weather = synthetic_storm((4, 5, 6)).compute(scheduler="synchronous")
    weather.to_netcdf(directory / "weather.nc", engine="h5netcdf")
    weather.to_netcdf(directory / "changed.nc", engine="h5netcdf")
    run("veltrum-hindcast", "--input", "changed.nc", "--output", "changed.zarr", cwd=directory)
    before = os.stat(directory / "changed.nc")  # provisional data replaced, same size and time
    weather.assign(swh=weather["swh"] + 0.5).to_netcdf(directory / "changed.nc", engine="h5netcdf")
    os.utime(directory / "changed.nc", ns=(before.st_atime_ns, before.st_mtime_ns))
    done = run("veltrum-hindcast", "--synthetic-shape", "4,5,6", "--workers", 1, "--output",
               "done.zarr", cwd=directory)
    assert done.returncode == 0, done.stderr
    shutil.copytree(directory / "done.zarr", directory / "older.zarr")
    zarr.open_group(directory / "older.zarr", mode="r+").attrs["veltrum_versions"] = \
        json.dumps({"veltrum": "0.0.1", "veltrum_tools": "0.0.1"})
    zarr.consolidate_metadata(directory / "older.zarr")
    (directory / "other.zarr").mkdir()
    (directory / "other.zarr" / "data").write_text("not ours")
    (directory / "map.png").write_bytes(b"an earlier map")
    return directory


@pytest.mark.parametrize("tool, args, says", [
    ("veltrum-voyage", ["no/such.csv"], "cannot read no/such.csv"),
    ("veltrum-voyage", ["route.csv"], "route.csv, line 3: wind_speed_ms is not a number: 'x'"),
    ("veltrum-voyage", ["high.csv"], "high.csv, line 3: B has a wind of 1e+06 m/s (possible: 0"),
    ("veltrum-voyage", ["--speed-kts", "0"], "--speed-kts wants a speed above 0"),
    ("veltrum-hindcast", ["--speed-kts", "101"], "--speed-kts wants a speed from 0 to 100 kn"),
    ("veltrum-hindcast", ["--input", "route.csv"], "cannot read route.csv"),
    ("veltrum-hindcast", ["--headings", "0"], "--headings wants a number from 1 to 360"),
    ("veltrum-hindcast", ["--synthetic-shape", "4,4"], "--synthetic-shape wants three positive"),
    ("veltrum-hindcast", ["--output", "out.txt"], "--output wants a name ending in .zarr or .nc"),
    ("veltrum-hindcast", ["--resume"], "--resume finishes a .zarr --output"),
    ("veltrum-hindcast", ["--synthetic-shape", "4,5,6", "--output", "done.zarr"],
     "--output done.zarr exists: add --resume to finish it, --overwrite to replace it"),
    ("veltrum-hindcast", ["--plot", "map.png"], "--plot map.png exists: add --overwrite"),
    ("veltrum-polar", ["--plot", "map.png"], "--plot map.png exists: add --overwrite"),
    ("veltrum-voyage", ["--csv", "route.csv"], "--csv route.csv exists: add --overwrite"),
    ("veltrum-hindcast", ["--output", "other.zarr", "--overwrite"],
     "--output other.zarr is not a store of veltrum-hindcast: not replaced"),
    ("veltrum-hindcast", ["--input", "weather.nc", "--output", "./weather.nc", "--overwrite"],
     "--output ./weather.nc is also an input"),
    ("veltrum-hindcast", ["--input", "done.zarr", "--output", "done.zarr/in.zarr"],
     "--output done.zarr/in.zarr is also an input"),
    ("veltrum-voyage", ["high.csv", "--weather", "weather.nc", "--csv", "weather.nc",
                        "--overwrite"], "--csv weather.nc is also an input"),
    ("veltrum-hindcast", ["--synthetic-shape", "4,5,6", "--output", "done.zarr", "--resume",
                          "--speed-kts", "14"], "done.zarr was written with --speed-kts 12, not 14"),
    ("veltrum-hindcast", ["--synthetic-shape", "4,5,7", "--output", "done.zarr", "--resume"],
     "done.zarr was written with --synthetic-shape 4, 5, 6, not 4, 5, 7"),
    ("veltrum-hindcast", ["--input", "weather.nc", "--output", "done.zarr", "--resume"],
     "done.zarr was written with --input (none), not "),
    ("veltrum-hindcast", ["--input", "changed.nc", "--output", "changed.zarr", "--resume"],
     "--resume: changed.nc has changed since changed.zarr was written (its size, time or "
     "content): its numbers would mix with the new ones; write a new output instead"),
    ("veltrum-hindcast", ["--synthetic-shape", "4,5,6", "--output", "older.zarr", "--resume"],
     "older.zarr was written by veltrum 0.0.1, this is veltrum "),
    ("veltrum-hindcast", ["--synthetic-shape", "100000,721,1440", "--output", "big.nc"],
     "a NetCDF file is made in this process's memory, which needs 4 times that"),
    ("veltrum-hindcast", ["--scheduler", "tcp://127.0.0.1:9", "--connect-timeout", "1"],
     "cannot reach the scheduler"),
])
def test_bad_input_is_one_line_and_status_2(bad_inputs, tool, args, says):
    result = run(tool, *args, cwd=bad_inputs)
    assert (result.returncode, result.stderr.count("\n")) == (2, 1), result.stderr
    assert result.stderr.startswith(f"{tool}: error: ") and says in result.stderr


def test_hindcast_of_any_input_form_on_a_loopback_cluster_is_bit_exact(tmp_path, two_workers):
    shape, headings = (5, 9, 11), (0.0, 120.0, 240.0)
    weather = synthetic_storm(shape).compute(scheduler="synchronous")
    weather["u10"][0, 0, 0] = 45.0  # force 13 and over: taken as 12
    weather["v10"][1, 2, 3] = np.nan  # skipped
    for t, y, x, name, value in [(2, 1, 1, "swh", -5.0), (2, 1, 2, "swh", 1e6), (3, 4, 4, "u10",
                                  1e30), (4, 0, 1, "v10", 100.001), (4, 0, 2, "swh", 30.0)]:
        weather[name][t, y, x] = value  # physically impossible: skipped, but for 30 m waves
    # ERA5's newer form: valid_time, longitudes from 0 to 360, one file per few hours
    era5 = weather.rename(time="valid_time").assign_coords(longitude=weather.longitude + 360)
    era5.isel(valid_time=slice(0, 2)).to_netcdf(tmp_path / "part-1.nc", engine="h5netcdf")
    era5.isel(valid_time=slice(2, None)).to_netcdf(tmp_path / "part-2.nc", engine="h5netcdf")
    weather.chunk({"time": 1}).to_zarr(tmp_path / "weather.zarr", zarr_format=2,
                                       consolidated=True)
    common = ["--headings", 3, "--speed-kts", 14, "--ballast"]
    remote = run("veltrum-hindcast", "--input", "part-*.nc", *common, "--scheduler",
                 two_workers, "--output", "remote.zarr", cwd=tmp_path)
    assert remote.returncode == 0, remote.stderr
    assert "Cluster: 2 workers at " + two_workers in remote.stdout
    local = run("veltrum-hindcast", "--input", "weather.zarr", *common, "--workers", 2,
                "--chunk-hours", 2, "--output", "local.nc", cwd=tmp_path)
    assert local.returncode == 0, local.stderr
    here = run("veltrum-hindcast", "--input", "weather.zarr", *common, "--workers", 0,
               "--output", "here.zarr", cwd=tmp_path)  # this process's threads
    assert here.returncode == 0 and "No cluster: " in here.stdout, here.stderr
    summaries = {result.stdout.split("Estimates:")[1].split("Speed change written")[0]
                 for result in (remote, local, here)}
    assert len(summaries) == 1

    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(14, False)
    expected, skipped, capped = np.full(shape + (3,), np.nan), 0, 0
    fields = {name: weather[name].values.astype(np.float64) for name in VARIABLES}
    for (t, y, x), u in np.ndenumerate(fields["u10"]):
        v, height, wave_from = (fields[name][t, y, x] for name in ("v10", "swh", "mwd"))
        if math.isnan(v) or math.isnan(height):  # the island has no waves
            skipped += 1
            continue
        if not (0 <= height <= 30 and math.sqrt(u * u + v * v) <= 100):
            continue
        capped += math.sqrt(u * u + v * v) >= 37.0
        force = marine.beaufort_force(math.sqrt(u * u + v * v))
        wind_from = math.degrees(math.atan2(u, v)) + 180.0
        for k, heading in enumerate(headings):
            expected[t, y, x, k] = vessel.compute(marine.relative_angle(heading, wind_from), force,
                                                  height, marine.relative_angle(heading, wave_from))
    assert expected[0, 0, 0, 0] == vessel.compute(
        marine.relative_angle(0.0, math.degrees(math.atan2(45.0, fields["v10"][0, 0, 0]))
                              + 180.0), 12, fields["swh"][0, 0, 0],
        marine.relative_angle(0.0, fields["mwd"][0, 0, 0]))
    expected = expected.astype(np.float32)  # float32 weather gives float32 output
    assert f"Skipped cell-hours (missing or non-finite data): {skipped}\n" in remote.stdout
    assert "wind above 100 m/s): 4\n" in remote.stdout and not np.isnan(expected[4, 0, 2, 0])
    assert f"taken as force 12: {capped}\n" in remote.stdout and capped > 0
    with xr.open_zarr(tmp_path / "remote.zarr") as stored, \
            xr.open_zarr(tmp_path / "here.zarr") as threads, \
            xr.open_dataset(tmp_path / "local.nc", engine="h5netcdf") as written:
        for result in (stored, threads, written):
            assert result["speed_change"].attrs["units"] == "knot"
            assert result["longitude"].equals(weather["longitude"])
            got = result["speed_change"].values
            assert got.dtype == np.float32 and got.shape == expected.shape
            assert np.array_equal(got.view(np.int32), expected.view(np.int32))
