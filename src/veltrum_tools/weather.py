"""Gridded weather in, as one xarray dataset with the names the tools use.

The inputs are ERA5-style single-level fields: `u10` and `v10` (10 m wind towards
east and north, m/s), `swh` (significant wave height, m) and `mwd` (mean wave
direction, degrees, coming from), on a grid of time, latitude and longitude. They
come as one NetCDF file, several (names or glob patterns, joined along time), or a
zarr store (a directory). Whatever the source calls them, the dataset has the
dimensions `time` (also from `valid_time`), `latitude` and `longitude` (also from
`lat` and `lon`), latitudes ascending and longitudes ascending in −180–180 (also
from 0–360). Needs the grid extra.
"""

from __future__ import annotations

import glob
import math
import os
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from veltrum_tools.cli import UsageError

if TYPE_CHECKING:
    import xarray as xr

VARIABLES = ("u10", "v10", "swh", "mwd")
DIMENSION_NAMES = {"valid_time": "time", "lat": "latitude", "lon": "longitude"}


def is_zarr(path: str) -> bool:
    """A zarr store: a directory with zarr's metadata (version 2 or 3) or named *.zarr."""
    return os.path.isdir(path) and (
        path.rstrip(os.sep).endswith(".zarr")
        or any(os.path.exists(os.path.join(path, name))
               for name in (".zgroup", ".zattrs", ".zmetadata", "zarr.json")))


def expand(paths: Sequence[str]) -> list[str]:
    """The files and stores the arguments name, glob patterns expanded, in order."""
    found: list[str] = []
    for pattern in paths:
        matches = sorted(glob.glob(pattern)) if glob.has_magic(pattern) else [pattern]
        matches = [path for path in matches if os.path.isfile(path) or is_zarr(path)]
        if not matches:
            raise UsageError(f"no weather file or zarr store {pattern!r}")
        found.extend(path for path in matches if path not in found)
    return found


def first_line(error: BaseException) -> str:
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def open_weather(paths: str | Sequence[str]) -> xr.Dataset:
    """The weather of one or several NetCDF files or a zarr store, lazily (dask-backed),
    with normalised names; UsageError, in one line, for anything unusable."""
    import xarray as xr

    sources = expand([paths] if isinstance(paths, str) else paths)
    label = sources[0] if len(sources) == 1 else f"{len(sources)} files ({sources[0]}, ...)"
    try:
        if any(is_zarr(path) for path in sources):
            if len(sources) > 1:
                raise UsageError("a zarr store is read alone, not with other inputs")
            with warnings.catch_warnings():
                # a store without consolidated metadata is read without, quietly
                warnings.filterwarnings("ignore", "Failed to open Zarr store with consolidated",
                                        RuntimeWarning)
                weather = xr.open_zarr(sources[0])
        elif len(sources) == 1:
            weather = xr.open_dataset(sources[0], engine="h5netcdf", chunks={})
        else:
            # One after the other along time (sorted below); join="exact": files whose
            # grids disagree are refused, not padded with NaN.
            with xr.open_dataset(sources[0], engine="h5netcdf") as first:
                along = "valid_time" if "valid_time" in first.dims else "time"
            weather = xr.open_mfdataset(sources, engine="h5netcdf", combine="nested",
                                        concat_dim=along, join="exact", data_vars="minimal",
                                        coords="minimal", compat="override")
    except UsageError:
        raise
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise UsageError(f"cannot read {label}: {first_line(error)}") from None
    return normalised(weather, label)


def normalised(weather: xr.Dataset, label: str) -> xr.Dataset:
    """The four fields under the tools' names, checked to share one grid."""
    missing = [name for name in VARIABLES if name not in weather]
    if missing:
        raise UsageError(f"{label} lacks {', '.join(missing)} (ERA5 names u10, v10, swh, mwd)")
    weather = weather[list(VARIABLES)]
    weather = weather.rename({old: new for old, new in DIMENSION_NAMES.items()
                              if old in weather.dims and new not in weather.dims})
    dims = {weather[name].dims for name in VARIABLES}
    if len(dims) != 1:
        raise UsageError(f"{label}: u10, v10, swh and mwd are not on the same grid")
    lacking = [dim for dim in ("time", "latitude", "longitude") if dim not in weather.dims]
    if lacking:
        raise UsageError(f"{label}: no {' or '.join(lacking)} dimension "
                         "(time or valid_time, latitude, longitude)")
    longitude = (weather["longitude"] + 180.0) % 360.0 - 180.0
    weather = weather.assign_coords(longitude=longitude.assign_attrs(weather["longitude"].attrs))
    for dim in ("time", "latitude", "longitude"):
        if not weather.indexes[dim].is_unique:
            raise UsageError(f"{label}: a {dim} appears twice")
    return weather.sortby(["time", "latitude", "longitude"])


def lerp(low: Any, high: Any, weight: float) -> Any:
    """low + weight × (high − low): exactly `low` where the two are equal."""
    return low + weight * (high - low)


class Sampler:
    """The weather at any point and time inside a normalised dataset's grid: bilinear in
    space between the four grid points around it, linear in time between the two time
    steps around it. Wind by its components; the wave direction by its sine and cosine,
    so that 350° and 10° give 0°, not 180°. Reads a block of 2 × 2 × 2 grid points a
    time, so that the dataset can be any size."""

    def __init__(self, weather: xr.Dataset) -> None:
        import numpy as np

        self.weather = weather.transpose("time", "latitude", "longitude")
        self.times = self.weather["time"].values
        if not np.issubdtype(self.times.dtype, np.datetime64):
            raise UsageError("the weather's time axis holds no dates and times")
        self.hours = (self.times - self.times[0]) / np.timedelta64(1, "h")
        self.latitudes = self.weather["latitude"].values.astype(np.float64)
        self.longitudes = self.weather["longitude"].values.astype(np.float64)
        if min(len(self.hours), len(self.latitudes), len(self.longitudes)) < 2:
            raise UsageError("the weather needs at least two times, latitudes and longitudes")
        # a grid round the globe: the points either side of the antimeridian are neighbours
        spacing = float(np.diff(self.longitudes).max())
        self.wraps = 360.0 - (self.longitudes[-1] - self.longitudes[0]) <= spacing * (1 + 1e-9)
        self.cached: tuple[tuple[int, ...], Any] | None = None

    def time_text(self, hours: float) -> str:
        """The time this many hours after the weather's first, to the minute."""
        import numpy as np

        when = self.times[0] + np.timedelta64(round(hours * 60), "m")
        return str(np.datetime_as_string(when, unit="m"))

    def hours_of(self, text: str | None) -> float:
        """Hours from the weather's first time to a time written in ISO 8601 (UTC); its
        first time when none is given."""
        import numpy as np

        if text is None:
            return 0.0
        try:
            when = np.datetime64(text.strip().replace(" ", "T"), "ns")
        except ValueError:
            raise UsageError(f"--departure wants a time such as 2024-01-10T06:00, "
                             f"not {text!r}") from None
        return float((when - self.times[0]) / np.timedelta64(1, "h"))

    def at(self, latitude: float, longitude: float, hours: float, where: str) -> tuple[
            float, float, float, float]:
        """Wind speed (m/s), the direction it comes from, wave height and the direction
        the waves come from at a point, `hours` after the weather's first time."""
        import numpy as np

        lat_index, lat_weight = self.bracket(self.latitudes, latitude)
        lon_indices, lon_weight = self.bracket_longitude((longitude + 180.0) % 360.0 - 180.0)
        if lat_index < 0 or lon_weight < 0:
            raise UsageError(
                f"{where} ({latitude:g}, {longitude:g}) is outside the weather's grid "
                f"(latitudes {self.latitudes[0]:g} to {self.latitudes[-1]:g}, longitudes "
                f"{self.longitudes[0]:g} to {self.longitudes[-1]:g})")
        time_index, time_weight = self.bracket(self.hours, hours)
        if time_index < 0:
            raise UsageError(f"the ship reaches {where} at {self.time_text(hours)}, outside "
                             f"the weather's times ({self.time_text(0.0)} to "
                             f"{self.time_text(self.hours[-1])})")
        key = (time_index, lat_index, *lon_indices)
        if self.cached is None or self.cached[0] != key:
            block = self.weather.isel(time=[time_index, time_index + 1],
                                      latitude=[lat_index, lat_index + 1],
                                      longitude=list(lon_indices)).compute()
            u10, v10, swh, mwd = (block[name].values.astype(np.float64) for name in VARIABLES)
            waves = np.radians(mwd)
            self.cached = (key, np.stack([u10, v10, swh, np.sin(waves), np.cos(waves)]))
        fields = self.cached[1]
        # longitude, then latitude, then time
        along = lerp(fields[..., 0], fields[..., 1], lon_weight)
        along = lerp(along[..., 0], along[..., 1], lat_weight)
        u10, v10, swh, wave_sin, wave_cos = lerp(along[:, 0], along[:, 1], time_weight)
        if not np.isfinite([u10, v10, swh, wave_sin, wave_cos]).all():
            raise UsageError(f"the weather has no value at {where} ({latitude:g}, "
                             f"{longitude:g}) at {self.time_text(hours)} (missing or "
                             "non-finite data around it)")
        wind_from = math.degrees(math.atan2(u10, v10)) + 180.0
        wave_from = math.degrees(math.atan2(wave_sin, wave_cos)) % 360.0
        return math.hypot(u10, v10), wind_from, float(swh), wave_from

    @staticmethod
    def bracket(axis: Any, value: float) -> tuple[int, float]:
        """The index of the grid point at or below a value and the value's weight towards
        the next; index -1 when the value is outside the axis."""
        import numpy as np

        if not axis[0] <= value <= axis[-1]:
            return -1, 0.0
        index = min(int(np.searchsorted(axis, value, side="right")) - 1, len(axis) - 2)
        return index, float((value - axis[index]) / (axis[index + 1] - axis[index]))

    def bracket_longitude(self, longitude: float) -> tuple[tuple[int, int], float]:
        """The two grid longitudes around a longitude in −180–180 and its weight towards
        the second; weight -1 outside the grid."""
        first, last = self.longitudes[0], self.longitudes[-1]
        if first <= longitude <= last:
            index, weight = self.bracket(self.longitudes, longitude)
            return (index, index + 1), weight
        if not self.wraps:
            return (0, 0), -1.0
        east = longitude if longitude > last else longitude + 360.0
        return (len(self.longitudes) - 1, 0), (east - last) / (first + 360.0 - last)
