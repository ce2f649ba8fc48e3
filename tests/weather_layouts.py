"""The same weather in every layout the tools read: one file, ERA5's names and axes, lat and
lon, split in time or by fields, zarr stores, a file beside a store, a global grid's 0° twice,
NetCDF3, ERA5 beside ERA5T, cfgrib's forecast axes, a CDS zip of two streams on two grids.
Each layout writes its files into a folder and returns their paths."""

import warnings
import zipfile

import numpy as np
import xarray as xr

VARIABLES = ("u10", "v10", "swh", "mwd")
TIMES = np.datetime64("2024-01-10T00:00", "ns") + np.arange(4) * np.timedelta64(6, "h")
LONGITUDES = np.array([-2.0, -1.0, 0.0, 1.0, 2.0])


def base():
    rng = np.random.default_rng(5)
    return xr.Dataset({name: (("time", "latitude", "longitude"),
                              rng.uniform(0, 20, (4, 3, 5)).astype(np.float32))
                       for name in VARIABLES},
                      coords={"time": TIMES, "latitude": [-1.0, 0.0, 1.0],
                              "longitude": LONGITUDES})


def nc(weather, path):
    weather.to_netcdf(path, engine="h5netcdf")
    return str(path)


def store(weather, path):
    weather.to_zarr(path, consolidated=False)
    return str(path)


def era5(weather):
    """ERA5's newer files: valid_time, latitudes north to south, longitudes 0 to 360, and the
    number and expver coordinates."""
    weather = weather.rename(time="valid_time").isel(latitude=slice(None, None, -1))
    weather = weather.assign_coords(longitude=weather.longitude % 360.0).sortby("longitude")
    return weather.assign_coords(number=0, expver=("valid_time", ["0001"] * 4))


LAYOUTS = {
    "one file": lambda d: [nc(base(), d / "w.nc")],
    "ERA5's names and axes": lambda d: [nc(era5(base()), d / "w.nc")],
    "lat and lon": lambda d: [nc(base().rename(latitude="lat", longitude="lon"), d / "w.nc")],
    "two files in time": lambda d: [nc(base().isel(time=slice(2, 4)), d / "b.nc"),
                                    nc(base().isel(time=slice(0, 2)), d / "a.nc")],
    "wind and waves apart": lambda d: [nc(base()[["u10", "v10"]], d / "wind.nc"),
                                       nc(base()[["swh", "mwd"]], d / "waves.nc")],
    "two zarr stores": lambda d: [store(base().isel(time=slice(0, 1)), d / "a.zarr"),
                                  store(base().isel(time=slice(1, 4)), d / "b.zarr")],
    "a file and a store": lambda d: [nc(era5(base()).isel(valid_time=slice(0, 3)), d / "a.nc"),
                                     store(base().isel(time=slice(3, 4)), d / "b.zarr")],
    # a global grid holds 0° twice, at 0 and at 360: the copy is dropped
    "one turn's copy": lambda d: [nc(xr.concat([era5(base()), era5(base()).isel(longitude=[2])
                                                .assign_coords(longitude=[360.0])],
                                               "longitude"), d / "w.nc")],
}


def era5t(weather):
    """ERA5 beside ERA5T on an expver axis: ERA5 lacks the last time, ERA5T has other values
    where ERA5 has its own."""
    era5_part = weather.where(weather.time < TIMES[-1])
    later = xr.where(weather.time < TIMES[-1], weather + 1.0, weather).astype(np.float32)
    return xr.concat([era5_part, later], "expver").assign_coords(expver=["0001", "0005"])


def forecast(weather, valid_axis):
    """As cfgrib gives a forecast: a scalar run time, and a step or valid_time axis."""
    steps = TIMES - TIMES[0]
    if valid_axis:
        return weather.rename(time="valid_time").assign_coords(time=TIMES[0],
                                                               step=("valid_time", steps))
    return weather.assign_coords(step=("time", steps)).swap_dims(time="step").drop_vars(
        "time").assign_coords(time=TIMES[0])


def finer(weather, times=False):
    """The weather on a grid (or times) twice as fine, its own points among them and made-up
    values between."""
    target = {"latitude": np.arange(-1.0, 1.01, 0.5), "longitude": np.arange(-2.0, 2.01, 0.5)}
    if times:
        target = {"time": TIMES[0] + np.arange(7) * np.timedelta64(3, "h")}
    dense = weather.reindex(target)
    made_up = np.random.default_rng(9).uniform(0, 20, dense["u10"].shape).astype(np.float32)
    return dense.fillna(xr.DataArray(made_up, dims=dense["u10"].dims, coords=dense["u10"].coords))


def cds_zip(directory, wind, waves):
    """A CDS download: a zip named .nc of the oper stream's file and the wave stream's."""
    members = {"data_stream-oper_stepType-instant.nc": era5(wind),
               "data_stream-wave_stepType-instant.nc": era5(waves)}
    with zipfile.ZipFile(directory / "era5.nc", "w", zipfile.ZIP_DEFLATED) as archive:
        for name, part in members.items():
            archive.writestr(name, part.to_netcdf(engine="h5netcdf"))
    return [str(directory / "era5.nc")]


LAYOUTS.update({
    "NetCDF3 64-bit offset": lambda d: [nc3(base(), d / "w.nc")],
    "zarr format 3, consolidated": lambda d: [store3(base(), d / "w.zarr")],
    "ERA5 beside ERA5T": lambda d: [nc(era5t(base()), d / "w.nc")],
    "cfgrib's time beside valid_time": lambda d: [nc(forecast(base(), True), d / "w.nc")],
    "forecast steps": lambda d: [nc(forecast(base(), False), d / "w.nc")],
    "CDS zip, two streams on two grids": lambda d: cds_zip(d, finer(base()[["u10", "v10"]]),
                                                           base()[["swh", "mwd"]]),
    "wind at other times": lambda d: [nc(finer(base()[["u10", "v10"]], times=True),
                                         d / "wind.nc"), nc(base()[["swh", "mwd"]], d / "w.nc")],
})


def store3(weather, path):
    with warnings.catch_warnings():  # consolidated metadata is zarr-python's own in format 3
        warnings.simplefilter("ignore")
        weather.to_zarr(path, zarr_format=3, consolidated=True)
    return str(path)


def nc3(weather, path):
    weather.to_netcdf(path, engine="scipy", format="NETCDF3_64BIT")
    return str(path)

