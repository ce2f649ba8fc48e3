"""The voyage and the hindcast read weather through one reader: every layout of the same
weather gives each tool the same result, and both refuse the same inputs in the same words."""

from fractions import Fraction

import numpy as np
import pytest
import xarray as xr

from test_at_scale import run
from weather_layouts import LAYOUTS, base, era5t, nc, store3


def both(directory, paths):
    """The voyage's legs and the hindcast's summary over the inputs, or their errors."""
    (directory / "route.csv").write_text("name,latitude,longitude\nA,0,-1\nB,0,1\n")
    voyage = run("veltrum-voyage", "route.csv", "--weather", *paths, "--step-nm", 20,
                 "--csv", "legs.csv", cwd=directory)
    hindcast = run("veltrum-hindcast", "--input", *paths, "--workers", 1, "--headings", 2,
                   cwd=directory)
    if voyage.returncode or hindcast.returncode:  # the error, in the hindcast's words
        return [(result.returncode, result.stderr.split(": ", 1)[-1].replace("--weather",
                                                                             "--input"))
                for result in (voyage, hindcast)]
    return (directory / "legs.csv").read_text(), hindcast.stdout.split("Estimates:")[1]


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    directory = tmp_path_factory.mktemp("reference")
    return both(directory, LAYOUTS["one file"](directory))


@pytest.mark.parametrize("layout", [name for name in LAYOUTS if name != "one file"])
def test_every_layout_gives_both_tools_the_same_result(tmp_path, reference, layout):
    assert both(tmp_path, LAYOUTS[layout](tmp_path)) == reference


@pytest.mark.parametrize("inputs, says", [
    (lambda d: [nc(base().isel(longitude=[0, 1, 1, 2, 3, 4]), d / "w.nc")],
     "w.nc: a longitude appears twice"),
    (lambda d: [nc(base().isel(time=[0, 1]), d / "a.nc"),
                nc(base().isel(time=[2, 3], latitude=[0, 1]), d / "b.nc")],
     "--input: the grids of the inputs disagree: the latitude of b.nc differs from a.nc's"),
    (lambda d: [nc(base().assign(u10=base()["u10"].assign_attrs(units="K")), d / "w.nc")],
     "w.nc: u10 is in 'K', not a unit of a wind speed (m/s or another)"),
    (lambda d: [nc(base().assign_coords(latitude=[-1449.0, 0.0, 1.0]), d / "w.nc")],
     "w.nc: latitudes from -1449 to 1, beyond ±90 (a wrong grid in the file?)"),
    (lambda d: [nc(xr.concat([base(), base()], "number"), d / "w.nc")],
     "w.nc holds 2 ensemble members (number 0 to 1): choose one with --member N"),
    (lambda d: [nc(base()[["swh", "mwd"]], d / "w.nc")],
     "w.nc lacks u10, v10 (ERA5 names u10, v10, swh, mwd; --var ROLE=NAME names others)"),
    (lambda d: [nc(base().assign(swh=base()["swh"] * (1 + 1j)), d / "w.nc")],
     "w.nc: swh holds complex numbers (complex64), not real numbers"),
    (lambda d: [nc(base().assign(mwd=base()["mwd"].astype(str)), d / "w.nc")],
     "w.nc: mwd holds text (<U13), not real numbers"),
])
def test_both_tools_refuse_the_same_inputs(tmp_path, inputs, says):
    assert both(tmp_path, inputs(tmp_path)) == [(2, f"error: {says}\n")] * 2


def knots_and_ms(directory):
    # the same wind in knots (single precision) and in m/s correctly rounded (double)
    in_knots = base().assign(u10=base()["u10"] * 3, v10=base()["v10"] * 3)
    exact = np.vectorize(lambda k: float(Fraction(float(k)) * Fraction(1852, 3600)))
    in_ms = base().assign(u10=(in_knots["u10"].dims, exact(in_knots["u10"].values)),
                          v10=(in_knots["v10"].dims, exact(in_knots["v10"].values)))
    for name in ("u10", "v10"):
        in_knots[name].attrs["units"] = "knots"
    (directory / "kn").mkdir()
    (directory / "ms").mkdir()
    return [nc(in_knots, directory / "kn" / "w.nc")], [nc(in_ms, directory / "ms" / "w.nc")]


def test_wind_in_knots_gives_the_numbers_of_the_same_wind_in_ms(tmp_path):
    changes = []
    for directory, paths in zip(("kn", "ms"), knots_and_ms(tmp_path)):
        legs, _ = both(tmp_path / directory, paths)
        result = run("veltrum-hindcast", "--input", *paths, "--workers", 1, "--headings", 4,
                     "--output", "o.nc", cwd=tmp_path / directory)
        assert result.returncode == 0, result.stderr
        change = xr.open_dataset(tmp_path / directory / "o.nc", engine="h5netcdf")
        changes.append((legs, change["speed_change"].values.astype(np.float32)))
    # the output is single precision for the knots, double for the m/s: the same numbers
    assert changes[0][0] == changes[1][0]
    np.testing.assert_array_equal(changes[0][1], changes[1][1])


def test_packed_legacy_era5_in_both_tools(tmp_path):
    # NetCDF3 64-bit offset, int16 packed, hours since 1900, ERA5 beside ERA5T: the output
    # in single precision, on time, latitude and longitude (expver is no axis of it)
    encoding = {name: {"dtype": "int16", "scale_factor": 0.001, "add_offset": 10.0,
                       "_FillValue": -32767} for name in ("u10", "v10", "swh", "mwd")}
    encoding["time"] = {"units": "hours since 1900-01-01", "dtype": "int32"}
    era5t(base()).to_netcdf(tmp_path / "w.nc", engine="scipy", format="NETCDF3_64BIT",
                            encoding=encoding)
    legs, summary = both(tmp_path, ["w.nc"])
    assert "Estimates: 120 (60 cell-hours × 2 headings)" in "Estimates:" + summary
    result = run("veltrum-hindcast", "--input", "w.nc", "--workers", 1, "--output", "o.nc",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    change = xr.open_dataset(tmp_path / "o.nc", engine="h5netcdf")["speed_change"]
    assert (change.dtype, change.dims) == (np.float32, ("time", "latitude", "longitude",
                                                        "heading"))


def test_hindcast_outputs_of_a_zarr_3_input_and_of_no_valid_cell(tmp_path):
    store3(base(), tmp_path / "in.zarr")
    result = run("veltrum-hindcast", "--input", "in.zarr", "--workers", 1, "--output",
                 "out.zarr", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert xr.open_zarr(tmp_path / "out.zarr")["speed_change"].dtype == np.float32
    nc(base().assign(swh=base()["swh"] * np.nan), tmp_path / "land.nc")
    for output in ("none.zarr", "none.nc"):
        result = run("veltrum-hindcast", "--input", "land.nc", "--workers", 1, "--output",
                     output, cwd=tmp_path)
        assert (result.returncode, result.stderr.splitlines()[-1]) == (2, (
            "veltrum-hindcast: error: no valid cell in the weather: every cell-hour lacks a "
            "finite wind or waves; nothing written"))
        assert not (tmp_path / output).exists()
