"""The same weather in every layout the tools read: one file, ERA5's names and axes, lat and
lon, split in time or by fields, zarr stores, a file beside a store, a global grid's 0° twice.
Each layout writes its files into a folder and returns their paths."""

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


