"""The one weather reader: every layout of the same weather normalised to the same dataset,
whatever the names, formats, longitudes and splitting into files; unusable inputs refused in
one line."""

import pytest
import xarray as xr

from veltrum_tools.errors import UsageError
from veltrum_tools.weather import open_weather
from weather_layouts import LAYOUTS, base, nc


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
