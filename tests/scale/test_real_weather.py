"""Real files others publish (tests/data/weather/README.md), as they are, in both tools: the
hindcast's cells equal NavCalc.compute with the fields taken and converted by hand as the
README defines them; wind-only files are refused by the hindcast in one line and sailed by
the voyage with the waves typical of the force."""

import pathlib
import shutil

import numpy as np
import pytest
import xarray as xr

from test_at_scale import run
from veltrum import NavCalc
from veltrum_tools.marine import beaufort_forces, relative_angle, wind_speed_and_origin

DATA = pathlib.Path(__file__).parents[1] / "data" / "weather"
HEADINGS = (0.0, 120.0, 240.0)


def copernicus_and_gfs():
    weather = xr.open_dataset(DATA / "52north_WeatherRoutingTool__reduced_testdata_weather.nc",
                              engine="h5netcdf")
    at_10m = weather.sel(height_above_ground=10.0)
    return (at_10m["u-component_of_wind_height_above_ground"],
            at_10m["v-component_of_wind_height_above_ground"], weather["VHM0"], weather["VMDR"])


def gfs_wave():
    weather = xr.open_dataset(DATA / "gribberish__gfswave.t18z.atlocn.0p16.f001.grib2",
                              engine="cfgrib", backend_kwargs={
                                  "indexpath": "", "filter_by_keys": {"typeOfLevel": "surface"}})
    weather = weather.assign_coords(longitude=weather.longitude - 360.0)
    return tuple(weather[name].expand_dims(time=[weather.valid_time.values])
                 for name in ("u", "v", "swh", "dirpw"))


# file, the fields by hand (u, v, swh, mwd), a route inside the grid, what the voyage says
FILES = {
    "52north_WeatherRoutingTool__reduced_testdata_weather.nc": (
        copernicus_and_gfs, [(54.95, 13.1), (54.6, 13.95), (54.2, 13.98)],
        ["mwd: VMDR (standard_name sea_surface_wave_from_direction)",
         "A (5/8) (54.7319, 13.633): waves of the nearest sea point (54.743, 13.66)"]),
    "gribberish__gfswave.t18z.atlocn.0p16.f001.grib2": (
        gfs_wave, [(25.0, -75.0), (24.0, -62.0)],
        ["mwd: dirpw (no mean wave direction: the primary (peak) wave direction)",
         "a forecast of one time, 2023-08-23T19:00: held for the whole voyage"]),
    "pygrib__gfs.t12z.pgrbf120.2p5deg.grib2": (
        None, [(40.0, -60.0), (45.0, -30.0)],
        ["u10: u10 (standard_name eastward_wind)", "no waves in the weather"]),
    "earthkit-data__wind_20x20.grib": (
        None, [(40.0, -60.0), (45.0, -30.0)], ["v10: v10 (product name)"]),
}


@pytest.mark.parametrize("name", FILES)
def test_real_files_in_both_tools(tmp_path, name):
    by_hand, route, says = FILES[name]
    shutil.copy(DATA / name, tmp_path / name)
    (tmp_path / "route.csv").write_text("name,latitude,longitude\n" + "".join(
        f"{chr(65 + k)},{lat},{lon}\n" for k, (lat, lon) in enumerate(route)))
    voyage = run("veltrum-voyage", "route.csv", "--weather", name, "--step-nm", 5,
                 *([] if by_hand else ["--typical-waves"]), cwd=tmp_path)
    assert voyage.returncode == 0, voyage.stderr
    for line in says:
        assert line in voyage.stdout
    hindcast = run("veltrum-hindcast", "--input", name, "--workers", 1, "--headings", 3,
                   "--output", "out.nc", cwd=tmp_path)
    if by_hand is None:
        assert (hindcast.returncode, hindcast.stderr) == (2, (
            f"veltrum-hindcast: error: {name} lacks swh, mwd (ERA5 names u10, v10, swh, mwd; "
            "--var ROLE=NAME names others)\n"))
        assert not (tmp_path / "out.nc").exists()
        return
    assert hindcast.returncode == 0, hindcast.stderr
    change = xr.open_dataset(tmp_path / "out.nc", engine="h5netcdf")["speed_change"]
    u, v, swh, mwd = (field.transpose("time", "latitude", "longitude").values.astype(np.float64)
                      for field in by_hand())
    assert change.dtype == np.dtype(by_hand()[0].dtype)  # float32 stays float32
    speed, wind_from = wind_speed_and_origin(u, v)
    valid = np.isfinite(u) & np.isfinite(v) & np.isfinite(swh) & np.isfinite(mwd)
    assert np.isnan(change.values[~valid]).all()
    cells = np.flatnonzero(valid)[:: max(1, valid.sum() // 200)]
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    forces = beaufort_forces(speed.reshape(-1)[cells])
    for column, heading in enumerate(HEADINGS):
        expected = [vessel.compute(relative_angle(heading, float(wind_from.flat[cell])),
                                   int(force), float(swh.flat[cell]),
                                   relative_angle(heading, float(mwd.flat[cell])))
                    for cell, force in zip(cells, forces)]
        got = change.values[..., column].reshape(-1)[cells]
        assert got.tolist() == np.asarray(expected, dtype=change.dtype).tolist()
