"""The synthetic input: a made-up storm, for trying the hindcast without weather files."""

# Dask declares types for part of its API only.
# mypy: untyped-calls-exclude="dask"

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from veltrum_tools import marine

if TYPE_CHECKING:
    import xarray as xr
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]


def describe(shape: tuple[int, int, int]) -> str:
    """How a run names the synthetic storm of a shape."""
    return (f"synthetic storm, {shape[0]} hours on {shape[1]} × {shape[2]} cells "
            "(invented weather: pass --input for real data)")


STORM_FIELDS = {
    "u10": ("m s**-1", "10 metre U wind component", "eastward_wind"),
    "v10": ("m s**-1", "10 metre V wind component", "northward_wind"),
    "swh": ("m", "Significant height of combined wind waves and swell",
            "sea_surface_wave_significant_height"),
    "mwd": ("degree true", "Mean wave direction", "sea_surface_wave_from_direction"),
}


def storm_axes(shape: tuple[int, int, int]) -> tuple[Any, FloatArray, FloatArray]:
    steps, rows, columns = shape
    hours = np.datetime64("2024-01-10T00:00", "ns") + np.arange(steps) * np.timedelta64(1, "h")
    latitude = np.linspace(60.0, 40.0, rows)  # north to south, as ERA5 stores it
    longitude = np.linspace(-45.0, -15.0, columns)
    return hours, latitude, longitude


def storm_block(first: int, count: int, shape: tuple[int, int, int]) -> NDArray[np.float32]:
    """Hours first to first + count of the synthetic storm: u10, v10, swh, mwd stacked,
    made a few hours at a time, so that its temporaries of doubles stay small."""
    hours = max(1, (1 << 20) // (shape[1] * shape[2]))
    if count <= hours:
        return storm_hours(first, count, shape)
    out = np.empty((4, count, *shape[1:]), dtype=np.float32)
    for start in range(0, count, hours):
        out[:, start:start + hours] = storm_hours(first + start, min(hours, count - start), shape)
    return out


def storm_hours(first: int, count: int, shape: tuple[int, int, int]) -> NDArray[np.float32]:
    _, lat, lon = storm_axes(shape)
    hours = np.arange(first, first + count, dtype=np.float64)[:, None, None]
    progress = hours / max(shape[0] - 1, 1)
    centre_lat, centre_lon = 45.0 + 8.0 * progress, -42.0 + 24.0 * progress
    north = (lat[None, :, None] - centre_lat) * 111.0  # km from the centre
    east = (lon[None, None, :] - centre_lon) * 111.0 * np.cos(np.radians(lat[None, :, None]))
    radius = np.hypot(north, east) + 1e-9
    peak = 26.0 + 12.0 * np.sin(np.pi * progress)  # deepens, then fills
    core = 150.0  # km: radius of the strongest wind
    swirl = peak * np.where(radius < core, radius / core, (core / radius) ** 0.6)
    # anticlockwise round a low in the northern hemisphere, turned 20° towards the centre
    inflow = math.radians(20.0)
    u10 = swirl * (-north * math.cos(inflow) - east * math.sin(inflow)) / radius + 6.0
    v10 = swirl * (east * math.cos(inflow) - north * math.sin(inflow)) / radius
    speed, wind_from = marine.wind_speed_and_origin(u10, v10)
    swh = 0.8 + 0.012 * speed**2 + 0.5 * progress
    mwd = (wind_from + 15.0) % 360.0
    island = (np.abs(lat[:, None] - 52.0) < 0.8) & (np.abs(lon[None, :] + 30.0) < 1.2)
    swh = np.where(island, np.nan, swh)
    mwd = np.where(island, np.nan, mwd)
    # single precision, as ERA5 stores its fields
    return np.stack([np.broadcast_to(field, (count, *shape[1:])) for field in
                     (u10, v10, swh, mwd)]).astype(np.float32)


def synthetic_storm(shape: tuple[int, int, int], hours: int | None = None) -> xr.Dataset:
    """A made-up cyclone crossing the North Atlantic east of Newfoundland, hourly.

    A vortex of up to 38 m/s (past force 12) in a westerly drifts east-north-east;
    waves grow with the wind, and a small island has no wave data. Each chunk of
    hours is made where it is used, on the workers."""
    import dask.array as da
    import xarray as xr
    from dask.delayed import delayed

    steps, rows, columns = shape
    per_chunk = hours or steps
    blocks = [da.from_delayed(delayed(storm_block, pure=True)(first, min(per_chunk,
                                                                           steps - first), shape),
                              (4, min(per_chunk, steps - first), rows, columns), dtype=np.float32)
              for first in range(0, steps, per_chunk)]
    stacked = da.concatenate(blocks, axis=1)
    hours, lat, lon = storm_axes(shape)
    dims = ("time", "latitude", "longitude")
    return xr.Dataset(
        {name: (dims, stacked[index], {"units": units, "long_name": long_name,
                                       "standard_name": standard_name})
         for index, (name, (units, long_name, standard_name)) in enumerate(STORM_FIELDS.items())},
        coords={"time": ("time", hours),
                "latitude": ("latitude", lat, {"units": "degrees_north",
                                               "standard_name": "latitude"}),
                "longitude": ("longitude", lon, {"units": "degrees_east",
                                                 "standard_name": "longitude"})},
        attrs={"title": "Synthetic storm (invented weather, not observations)"})
