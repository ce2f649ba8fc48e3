"""The one weather reader: every layout of the same weather normalised to the same dataset,
whatever the names, formats, longitudes and splitting into files; unusable inputs refused in
one line."""

import sys
from fractions import Fraction

import numpy as np
import pytest
import xarray as xr

from veltrum_tools.errors import MissingExtra, UsageError
from veltrum_tools.marine import beaufort_forces, wind_speed_and_origin
from veltrum_tools.weather import VARIABLES, open_weather
from veltrum_tools.weather.units import OWN, TARGETS
from weather_layouts import LAYOUTS, TIMES, base, era5t, nc


@pytest.mark.parametrize("layout", LAYOUTS)
def test_every_layout_gives_the_same_weather(tmp_path, layout):
    weather = open_weather(LAYOUTS[layout](tmp_path)).dataset(2)
    assert dict(weather.chunks)["time"] == (2, 2)
    xr.testing.assert_equal(weather.compute().sortby("latitude"), base())


@pytest.mark.parametrize("inputs, says", [
    (lambda d: [nc(base().drop_vars("mwd"), d / "w.nc")], "w.nc lacks mwd (ERA5 names"),
    (lambda d: [nc(base().isel(time=[0, 0]), d / "w.nc")], "w.nc: a time appears twice"),
    (lambda d: [nc(base()["u10"].to_dataset().expand_dims("level"), d / "w.nc"),
                nc(base()[["v10", "swh", "mwd"]], d / "x.nc")],
     "w.nc: u10 has an axis level besides time, latitude and longitude"),
    (lambda d: [str(d / "no.nc")], "--input: no file or zarr store"),
    (lambda d: [str(d / "*.grb")], "--input: nothing matches"),
])
def test_unusable_inputs_are_refused(tmp_path, monkeypatch, inputs, says):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(UsageError) as refused:
        open_weather(inputs(tmp_path))
    assert says in str(refused.value)


def field_file(d, name="w.nc", **fields):
    """base()'s grid with the given fields, each (values, attributes)."""
    grid = base()
    dataset = xr.Dataset({key: (grid["u10"].dims, values, attrs)
                          for key, (values, attrs) in fields.items()}, coords=grid.coords)
    return nc(dataset, d / name)


def knots():
    return np.random.default_rng(3).uniform(0, 60, (4, 3, 5)).astype(np.float32)


ALL = {name: base()[name].values for name in VARIABLES}


@pytest.mark.parametrize("role, values, units, expected", [
    # correctly rounded from the exact ratio: what Fraction gives
    ("u10", knots(), "knots", [float(Fraction(float(k)) * Fraction(1852, 3600))
                               for k in knots().reshape(-1)]),
    ("v10", knots(), "km h-1", [float(Fraction(float(k)) / Fraction(36, 10))
                                for k in knots().reshape(-1)]),
    ("u10", knots(), "m s**-1", knots().reshape(-1).tolist()),
    ("swh", knots(), "cm", [float(Fraction(float(k)) / 100) for k in knots().reshape(-1)]),
    ("mwd", knots(), "Degree true", knots().reshape(-1).tolist()),
    ("mwd", knots() / 10, "radian", np.degrees((knots() / 10).astype(np.float64)).reshape(-1)),
])
def test_units_become_the_tools_own(tmp_path, role, values, units, expected):
    fields = {key: (value, {}) for key, value in ALL.items()}
    fields[role] = (values, {"units": units})
    weather = open_weather(field_file(tmp_path, **fields)).dataset().compute()
    assert weather[role].values.reshape(-1).tolist() == list(expected)


def test_the_spellings_read_without_pint_are_the_tools_own_units():
    from cf_xarray.units import units as registry

    factors = {(kind, spelled): registry.Quantity(1.0, spelled).to(TARGETS[kind]).magnitude
               for kind, spellings in OWN.items() for spelled in spellings}
    assert factors == dict.fromkeys(factors, 1.0)


def test_packed_legacy_era5_stays_single_precision(tmp_path):
    # the older CDS file: NetCDF3 64-bit offset, int16 packed, hours since 1900, expver
    weather = era5t(base()).rename(time="valid_time")
    weather = weather.assign_coords(valid_time=TIMES)
    encoding = {name: {"dtype": "int16", "scale_factor": 0.001, "add_offset": 10.0,
                       "_FillValue": -32767} for name in VARIABLES}
    encoding["valid_time"] = {"units": "hours since 1900-01-01", "dtype": "int32"}
    weather.to_netcdf(tmp_path / "w.nc", engine="scipy", format="NETCDF3_64BIT",
                      encoding=encoding)
    opened = open_weather(str(tmp_path / "w.nc"))
    assert opened.out_dtypes == [np.dtype(np.float32)] * 4
    decoded = xr.open_dataset(tmp_path / "w.nc", engine="scipy")
    combined = decoded.sel(expver="0001").combine_first(decoded.sel(expver="0005"))
    for name in VARIABLES:
        np.testing.assert_array_equal(opened.dataset()[name].values, combined[name].values)


@pytest.mark.parametrize("speed, coming_from", [
    ([8.0, 5.5, 10.8, 0.3, 32.7, 24.5], [30.0, 60.0, 150.0, 137.0, 359.9, 90.0]),
    (np.random.default_rng(1).uniform(0, 40, 30), np.random.default_rng(2).uniform(0, 360, 30)),
])
def test_speed_and_direction_keep_their_force(tmp_path, speed, coming_from):
    shape = (len(speed), 1, 1)
    dataset = xr.Dataset(
        {"ws": (("time", "lat", "lon"), np.reshape(speed, shape), {"units": "m s-1"}),
         "wdir": (("time", "lat", "lon"), np.reshape(coming_from, shape), {"units": "degree"})},
        coords={"time": TIMES[0] + np.arange(len(speed)) * np.timedelta64(1, "h"),
                "lat": [0.0], "lon": [0.0]})
    weather = open_weather(nc(dataset, tmp_path / "w.nc"), wind_only=True).dataset().compute()
    recovered, origin = wind_speed_and_origin(weather["u10"].values, weather["v10"].values)
    assert beaufort_forces(recovered).reshape(-1).tolist() == \
        beaufort_forces(np.asarray(speed)).tolist()
    np.testing.assert_allclose(origin.reshape(-1) % 360, np.asarray(coming_from), atol=1e-9)


def test_two_grids_meet_by_vectors(tmp_path):
    waves = base()[["swh", "mwd"]].isel(longitude=[0, 2, 4])
    waves["mwd"][:] = np.array([350.0, 10.0, 30.0], dtype=np.float32)
    paths = [nc(base()[["u10", "v10"]], tmp_path / "wind.nc"), nc(waves, tmp_path / "waves.nc")]
    weather = open_weather(paths, grid="wind").dataset().compute()
    # half-way between 350° and 10° is 0°, not 180°; the waves' own points keep theirs
    assert weather["mwd"].values[0, 0].tolist() == pytest.approx([350.0, 0.0, 10.0, 20.0, 30.0])
    assert weather["mwd"].values[0, 0, [0, 2, 4]].tolist() == [350.0, 10.0, 30.0]
    on_waves = open_weather(paths).dataset().compute()
    xr.testing.assert_equal(on_waves["u10"], base()["u10"].isel(longitude=[0, 2, 4]))


def test_a_member_of_an_ensemble(tmp_path):
    members = xr.concat([base() + 5.0, base()], "number").assign_coords(number=[0, 1])
    weather = open_weather(nc(members.astype(np.float32), tmp_path / "w.nc"), member=1)
    xr.testing.assert_equal(weather.dataset().compute().drop_vars("number", errors="ignore"),
                            base())


def curvilinear(d):
    grid = base().rename(latitude="y", longitude="x")
    latitude, _ = np.meshgrid(grid.y.values, grid.x.values, indexing="ij")
    return [nc(grid.assign_coords(lat=(("y", "x"), latitude, {"units": "degrees_north"}),
                                  lon=(("y", "x"), latitude, {"units": "degrees_east"})),
               d / "w.nc")]


@pytest.mark.parametrize("inputs, options, says", [
    (lambda d: [field_file(d, **{**{k: (v, {}) for k, v in ALL.items()},
                                 "u10": (ALL["u10"], {"units": "K"})})], {},
     "w.nc: u10 is in 'K', not a unit of a wind speed (m/s or another)"),
    (lambda d: [field_file(d, **{**{k: (v, {}) for k, v in ALL.items()},
                                 "mwd": (ALL["mwd"], {"units": "1"})})], {},
     "w.nc: mwd is in '1', not a unit of a direction (degrees or another)"),
    (lambda d: [nc(base().assign_coords(latitude=[-1449.0, 0.0, 1.0]), d / "w.nc")], {},
     "w.nc: latitudes from -1449 to 1, beyond ±90"),
    (curvilinear, {}, "w.nc: its latitudes form a curvilinear grid (y × x)"),
    (lambda d: [nc(xr.concat([base(), base()], "number"), d / "w.nc")], {},
     "w.nc holds 2 ensemble members (number 0 to 1): choose one with --member N"),
    (lambda d: [nc(base().expand_dims(number=[0, 1]), d / "w.nc")], {"member": 4},
     "w.nc has no member 4 (number 0 to 1)"),
    (lambda d: [nc(base(), d / "w.nc")], {"variables": {"swh": "VHM0"}},
     "--var swh=VHM0: no variable VHM0 in the inputs"),
    (lambda d: [nc(base().assign(u=base()["u10"]), d / "w.nc")],
     {"variables": {}}, None),
    (lambda d: [nc(base()[["swh", "mwd"]], d / "w.nc")], {}, "w.nc lacks u10, v10 (ERA5"),
    (lambda d: [nc(base()[["u10", "v10"]], d / "w.nc")], {}, "w.nc lacks swh, mwd (ERA5"),
    (lambda d: [nc(base().assign(a=base()["u10"].assign_attrs(standard_name="eastward_wind"),
                                 b=base()["u10"].assign_attrs(standard_name="eastward_wind")),
                   d / "w.nc")], {},
     "w.nc: several variables could be u10 (a, b): choose one with --var u10=NAME"),
    (lambda d: [d.joinpath("w.nc").write_bytes(b"CDF\x05" + bytes(60)) and str(d / "w.nc")], {},
     "w.nc is NetCDF3 in its 64-bit data format (CDF5), which is not read"),
    (lambda d: [d.joinpath("w.nc").write_text("not weather") and str(d / "w.nc")], {},
     "cannot read w.nc: it is none of NetCDF, GRIB, zarr or a zip of them"),
])
def test_bad_weather_is_refused_in_one_line(tmp_path, monkeypatch, inputs, options, says):
    monkeypatch.chdir(tmp_path)
    paths = inputs(tmp_path)
    if says is None:  # a product name beside a plainer one: the product's is taken
        assert open_weather(paths, **options).lines[0].startswith("u10: u10 (product name)")
        return
    with pytest.raises(UsageError) as refused:
        open_weather(paths, **options)
    assert says in str(refused.value) and "\n" not in str(refused.value)


def test_grib_without_its_extra_names_it(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(sys.modules, "cfgrib", None)
    (tmp_path / "w.grib").write_bytes(b"GRIB" + bytes(60))
    with pytest.raises(MissingExtra, match=r"reading GRIB \(w.grib\) needs the grib extra "
                       r"\(cfgrib is missing\): pip install 'veltrum\[grib\]'"):
        open_weather(str(tmp_path / "w.grib"))
