"""Every input's axes as the tools read them: `time`, `latitude`, `longitude`.

- Latitude and longitude are found by cf_xarray (CF's names, units and standard names);
  grids of two-dimensional (curvilinear) coordinates are refused, and so are latitudes
  beyond ±90 (a GRIB header with a wrong increment gives such). Longitudes from 0 to 360
  become −180 to 180, in increasing order, a global grid's copy of its first longitude one
  turn away dropped; latitudes keep their order (north to south or south to north).
- Time is the valid time: a `valid_time` axis (beside which cfgrib keeps the forecast's
  scalar `time` and `step`), a `step` axis after a scalar `time` (valid time = time +
  step), both `time` and `step` (as long as no valid time appears twice), or a `time`
  axis. A file of a single time without a time axis (a forecast GRIB) gets an axis of one.
- ERA5 beside ERA5T (an `expver` axis): ERA5 where it has a value, ERA5T where not.
  ERA5's newer files keep `expver` as a label of each time, which is dropped.
- Ensembles (a `number` axis of several members): the member that --member names; none
  chosen is refused.
- A height axis is cut at 10 m; any other axis of a field is refused.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from veltrum_tools.errors import UsageError
from veltrum_tools.weather.roles import HEIGHT_AXES, WIND_LEVEL

if TYPE_CHECKING:
    import xarray as xr

GRID = ("time", "latitude", "longitude")


def horizontal(dataset: xr.Dataset, label: str) -> xr.Dataset:
    """The dataset with its latitude and longitude axes named so, checked."""
    import cf_xarray  # noqa: F401 - the .cf accessor

    guessed = dataset.cf.guess_coord_axis(verbose=False)
    found = guessed.cf.coordinates
    renames = {}
    for axis in ("latitude", "longitude"):
        names = [name for name in found.get(axis, []) if name in dataset.coords]
        if not names:
            raise UsageError(f"{label}: no {axis} axis")
        name = next((name for name in names if name in dataset.dims), names[0])
        coordinate = dataset[name]
        if coordinate.ndim != 1:
            raise UsageError(f"{label}: its {axis}s form a curvilinear grid "
                             f"({' × '.join(map(str, coordinate.dims))}); the tools read "
                             "regular latitude-longitude grids only")
        if coordinate.dims[0] != name:
            dataset = dataset.swap_dims({coordinate.dims[0]: name})
        if name != axis:
            renames[name] = axis
    dataset = dataset.rename(renames) if renames else dataset
    import numpy as np

    latitudes = dataset["latitude"].values.astype(np.float64)
    if latitudes.size and not (np.abs(latitudes) <= 90.0).all():
        raise UsageError(f"{label}: latitudes from {np.nanmin(latitudes):g} to "
                         f"{np.nanmax(latitudes):g}, beyond ±90 (a wrong grid in the file?)")
    return wrapped(dataset, label)


def wrapped(dataset: xr.Dataset, label: str) -> xr.Dataset:
    for dim in ("latitude", "longitude"):
        if not dataset.indexes[dim].is_unique:
            raise UsageError(f"{label}: a {dim} appears twice")
    if (dataset["longitude"] > 180.0).any():
        longitude = dataset["longitude"]
        turned = longitude.copy(data=(longitude.values + 180.0) % 360.0 - 180.0)
        dataset = (dataset.assign_coords(longitude=turned).sortby("longitude")
                   .drop_duplicates("longitude"))
    return dataset


def valid_times(dataset: xr.Dataset, label: str) -> xr.Dataset:
    """The dataset on a `time` axis of valid times."""
    import numpy as np

    scalar = [name for name in ("time", "step", "valid_time")
              if name in dataset.coords and name not in dataset.dims]
    if "valid_time" in dataset.dims:
        dataset = dataset.drop_vars([n for n in ("time", "step") if n in scalar])
        dataset = dataset.rename(valid_time="time")
    elif "step" in dataset.dims and "time" in dataset.dims:
        stacked = dataset.stack(forecast=("time", "step"))
        valid = (stacked["time"].values + stacked["step"].values)
        if len(np.unique(valid)) != len(valid):
            raise UsageError(f"{label}: forecasts of several runs for the same times; give "
                             "one run, or the latest step of each")
        stacked = stacked.drop_vars(["forecast", "time", "step", "valid_time"],
                                    errors="ignore")
        dataset = stacked.assign_coords(time=("forecast", valid)).swap_dims(forecast="time")
    elif "step" in dataset.dims:
        if "valid_time" in dataset.coords:
            valid = dataset["valid_time"].values
        elif "time" in dataset.coords:
            valid = dataset["time"].values + dataset["step"].values
        else:
            raise UsageError(f"{label}: forecast steps without the time of the run")
        dataset = dataset.drop_vars(["time", "valid_time"], errors="ignore")
        dataset = dataset.assign_coords(time=("step", valid)).swap_dims(step="time")
        dataset = dataset.drop_vars("step")
    elif "time" in dataset.dims:
        dataset = dataset.drop_vars([n for n in ("step", "valid_time") if n in scalar])
    else:
        single = next((name for name in ("valid_time", "time") if name in scalar), None)
        if single is None:
            raise UsageError(f"{label}: no time axis (time or valid_time)")
        when = dataset[single].values
        dataset = dataset.drop_vars(scalar).expand_dims(time=[when])
    if not np.issubdtype(dataset["time"].dtype, np.datetime64):
        raise UsageError(f"{label}: its times are not dates and times")
    if not dataset.indexes["time"].is_unique:
        raise UsageError(f"{label}: a time appears twice")
    return dataset


def ensembles_and_versions(dataset: xr.Dataset, label: str, member: int | None) -> xr.Dataset:
    """ERA5 where present, else ERA5T; the chosen member of an ensemble."""
    if "expver" in dataset.dims:
        versions = sorted(dataset["expver"].values.tolist())
        combined = dataset.sel(expver=versions[0], drop=True)
        for version in versions[1:]:
            combined = combined.combine_first(dataset.sel(expver=version, drop=True))
        dataset = combined
    if "number" in dataset.dims and dataset.sizes["number"] > 1:
        members = dataset["number"].values.tolist()
        if member is None:
            raise UsageError(f"{label} holds {len(members)} ensemble members (number "
                             f"{members[0]} to {members[-1]}): choose one with --member N")
        if member not in members:
            raise UsageError(f"{label} has no member {member} (number {members[0]} to "
                             f"{members[-1]})")
        dataset = dataset.sel(number=member, drop=True)
    elif "number" in dataset.dims:
        dataset = dataset.isel(number=0, drop=True)
    return dataset


def normalised(dataset: xr.Dataset, label: str, member: int | None) -> xr.Dataset:
    """An input on the tools' axes; its fields still under their own names."""
    dataset = ensembles_and_versions(valid_times(horizontal(dataset, label), label),
                                     label, member)
    return dataset.transpose("time", ...)


def on_grid(field: xr.DataArray, name: str, label: str) -> xr.DataArray:
    """A field on (time, latitude, longitude) alone: a height axis cut at 10 m, every
    other coordinate dropped."""
    for axis in field.dims:
        if axis in GRID:
            continue
        if axis in HEIGHT_AXES and (field[axis].values == WIND_LEVEL).any():
            field = field.sel({axis: WIND_LEVEL})
        else:
            raise UsageError(f"{label}: {name} has an axis {axis} besides time, latitude "
                             "and longitude")
    missing = [axis for axis in GRID if axis not in field.dims]
    if missing:
        raise UsageError(f"{label}: {name} has no {' or '.join(missing)} axis")
    field = field.reset_coords(drop=True).transpose(*GRID)
    return field


def same_latitude_order(field: xr.DataArray, first: xr.DataArray) -> xr.DataArray:
    """A field with its latitudes in the order of another's (each input keeps its own
    order otherwise: north to south, as ERA5 stores them, or south to north)."""
    def descending(latitudes: xr.DataArray) -> bool:
        return len(latitudes) > 1 and bool(latitudes[0] > latitudes[-1])

    if descending(field["latitude"]) != descending(first["latitude"]):
        return field.isel(latitude=slice(None, None, -1))
    return field
