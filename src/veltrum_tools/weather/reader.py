"""Opening weather: every input on its own, normalised to the tools' names and axes, then
combined by their coordinates into one dataset.

Each input is opened once, lazily and without reading its data; a run then asks for the
combined dataset in the chunks of hours it works in, and each chunk reads only its own part
of each input.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from veltrum_tools.errors import UsageError
from veltrum_tools.weather.inputs import describe, expand, is_zarr

if TYPE_CHECKING:
    import xarray as xr

# The fields, in ERA5's single-level names: 10 m wind towards east and north (m/s),
# significant height of combined wind waves and swell (m), mean wave direction (degrees,
# coming from).
VARIABLES = ("u10", "v10", "swh", "mwd")
# What fields that are no real numbers hold, by NumPy's kind.
KINDS = {"c": "complex numbers", "U": "text", "S": "text", "O": "objects", "b": "truth values",
         "M": "dates", "m": "durations"}
# Other names of the axes, and the tools' own.
DIMENSION_NAMES = {"valid_time": "time", "lat": "latitude", "lon": "longitude"}


def first_line(error: BaseException) -> str:
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def open_source(path: str) -> xr.Dataset:
    """One input, lazily: nothing of its fields is read."""
    import xarray as xr

    label = os.path.relpath(path)
    try:
        if is_zarr(path):
            with warnings.catch_warnings():
                # a store without consolidated metadata is read without, quietly
                warnings.filterwarnings("ignore", "Failed to open Zarr store with consolidated",
                                        RuntimeWarning)
                opened = xr.open_dataset(path, engine="zarr", chunks=None, cache=False)
        else:
            opened = xr.open_dataset(path, engine="h5netcdf", chunks=None, cache=False)
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise UsageError(f"cannot read {label}: {first_line(error)}") from None
    return normalised(opened, label)


def normalised(weather: xr.Dataset, label: str) -> xr.Dataset:
    """An input as the tools read it: those of the four fields it holds, on a `time` axis
    (also from `valid_time`) first, `latitude` and `longitude` (also from `lat` and `lon`);
    longitudes from 0 to 360 turned into -180 to 180 in increasing order, the copy of a
    longitude one turn away dropped; no other coordinates (ERA5's `number` and `expver`)."""
    weather = weather.rename({old: new for old, new in DIMENSION_NAMES.items()
                              if old in weather.dims and new not in weather.dims})
    weather = weather[[name for name in VARIABLES if name in weather.data_vars]]
    weather = weather.reset_coords(drop=True)
    for dim in ("time", "latitude", "longitude"):
        if dim in weather.indexes and not weather.indexes[dim].is_unique:
            raise UsageError(f"{label}: a {dim} appears twice")
    if "longitude" in weather.dims and (weather["longitude"] > 180.0).any():
        longitude = weather["longitude"]
        wrapped = longitude.copy(data=(longitude.values + 180.0) % 360.0 - 180.0)
        weather = (weather.assign_coords(longitude=wrapped).sortby("longitude")
                   .drop_duplicates("longitude"))
    if "time" in weather.dims:
        weather = weather.transpose("time", ...)
    return weather


class Weather:
    """The inputs, each open and normalised; `dataset` combines them."""

    def __init__(self, paths: Sequence[str], sources: Sequence[xr.Dataset],
                 option: str) -> None:
        self.paths = list(paths)
        self.sources = [same_latitude_order(source, sources[0]) for source in sources]
        self.option = option
        self.label = describe(paths)
        self.check(self.dataset())

    def dataset(self, hours: int | None = None) -> xr.Dataset:
        """The inputs as one dataset of the four fields, lazily: in chunks of `hours` time
        steps and whole grids, or in each input's own chunks when None."""
        import xarray as xr

        chunked = [source.chunk(stored_chunks(source) if hours is None or is_zarr(path)
                                else {"time": hours})
                   for path, source in zip(self.paths, self.sources)]
        try:
            weather = xr.combine_by_coords(
                chunked, join="exact", data_vars="minimal", coords="minimal",
                compat="override", combine_attrs="drop_conflicts")
        except ValueError as error:
            reason = first_line(error)
            if "join='exact'" in reason:
                reason = self.which_grid_differs() or reason
                raise UsageError(f"{self.option}: the grids of the inputs disagree: "
                                 f"{reason}") from None
            raise UsageError(f"cannot read {self.label}: {reason}") from None
        assert isinstance(weather, xr.Dataset)
        if hours is not None:
            weather = weather.chunk({dim: (hours if dim == "time" else -1)
                                     for dim in weather.dims})
        return weather

    def check(self, weather: xr.Dataset) -> None:
        """The four fields are there, on one grid with a time axis."""
        missing = [name for name in VARIABLES if name not in weather]
        if missing:
            raise UsageError(f"{self.label} lacks {', '.join(missing)} "
                             "(ERA5 names u10, v10, swh, mwd)")
        if len({weather[name].dims for name in VARIABLES}) != 1:
            raise UsageError(f"{self.label}: u10, v10, swh and mwd are not on the same grid")
        if "time" not in weather["u10"].dims:
            raise UsageError(f"{self.label}: no time axis (time or valid_time)")
        for name in VARIABLES:  # complex numbers, strings, dates: refused before any work
            kind = weather[name].dtype
            if kind.kind not in "fiu":
                raise UsageError(f"{self.label}: {name} holds {KINDS.get(kind.kind, 'values')} "
                                 f"({kind}), not real numbers")

    def which_grid_differs(self) -> str | None:
        """Which input's grid differs from the first's, and along which axis."""
        import numpy as np

        first = self.sources[0]
        for path, source in zip(self.paths[1:], self.sources[1:]):
            for name, axis in source.coords.items():
                if name != "time" and (name not in first.coords
                                       or not np.array_equal(first[name].values, axis.values)):
                    return (f"the {name} of {os.path.relpath(path)} differs from "
                            f"{os.path.relpath(self.paths[0])}'s")
        return None


def same_latitude_order(source: xr.Dataset, first: xr.Dataset) -> xr.Dataset:
    """An input with its latitudes in the first input's order (each keeps its own order
    otherwise: north to south, as ERA5 stores them, or south to north)."""
    def descending(weather: xr.Dataset) -> bool:
        latitudes = weather.indexes.get("latitude")
        return latitudes is not None and len(latitudes) > 1 and \
            bool(latitudes.is_monotonic_decreasing)

    if "latitude" in source.indexes and descending(source) != descending(first):
        return source.isel(latitude=slice(None, None, -1))
    return source


def stored_chunks(source: xr.Dataset) -> dict[str, int]:
    """An input's own chunks, by dimension: those its format stores, else whole axes."""
    chunks: dict[str, int] = {}
    for variable in source.data_vars.values():
        chunks.update(variable.encoding.get("preferred_chunks") or {})
    return {str(dim): chunks.get(str(dim), size) for dim, size in source.sizes.items()}


def open_weather(paths: str | Sequence[str], option: str = "--input") -> Weather:
    """The weather of the files and zarr stores that `option` names (glob patterns too),
    each opened once; UsageError, in one line, for anything unusable."""
    found = expand([paths] if isinstance(paths, str) else paths, option)
    return Weather(found, [open_source(path) for path in found], option)
