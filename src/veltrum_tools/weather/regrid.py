# Dask declares types for part of its API only.
# mypy: untyped-calls-exclude="dask"

"""Wind and waves of two grids put on one: bilinear in space, linear in time, lazily.

The target is the waves' grid and times unless --grid wind asks for the wind's, cut to
where the other grid reaches (its latitudes, longitudes unless it goes round the globe,
and times). The waves' grid by default, because the waves weigh most in the estimate and
their grid says where the sea is: their cells keep their own values, land included, and
only the wind, smooth over land and sea, is interpolated.

Each target point takes the two source points around it along each axis, with weight
w = (x − x₀) / (x₁ − x₀) towards the second, as a + w × (b − a): a point on a source point
takes its value exactly (the two are the same point). Wind components are interpolated as
they are; a direction as the vector of its sine and cosine, so that 350° and 10° give 0°,
except at a point that coincides with a source point in every axis, which keeps the
source's direction to the bit. A point with a missing (NaN) value among its neighbours is
missing: land in the waves spreads to the cells at the coast.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from veltrum_tools.errors import UsageError

if TYPE_CHECKING:
    import xarray as xr
    from numpy.typing import NDArray

DIRECTIONS = ("mwd",)


def numeric(values: Any) -> NDArray[Any]:
    """An axis as doubles: times as seconds."""
    import numpy as np

    if np.issubdtype(values.dtype, np.datetime64):
        values = values.astype("datetime64[ns]").astype(np.int64) / 1e9
    converted: NDArray[Any] = np.asarray(values, dtype=np.float64)
    return converted


def globe(longitudes: NDArray[Any]) -> bool:
    """Longitudes going round the globe: the last one step short of the first plus 360."""
    import numpy as np

    if len(longitudes) < 2:
        return False
    spacing = float(np.diff(np.sort(longitudes)).max())
    return 360.0 - (float(longitudes.max()) - float(longitudes.min())) <= spacing * (1 + 1e-9)


def brackets(source: NDArray[Any], target: NDArray[Any],
             period: float | None = None) -> tuple[Any, Any, Any]:
    """For each target value, the indices of the source values around it and its weight
    towards the second; the same index twice with weight 0 on a source value. The source
    in either order; with a period, the last and the first value are neighbours."""
    import numpy as np

    order = np.argsort(source, kind="stable")
    ascending = source[order]
    position = np.searchsorted(ascending, target, side="right") - 1
    low = np.clip(position, 0, len(ascending) - 1)
    high = np.clip(position + 1, 0, len(ascending) - 1)
    exact = ascending[low] == target
    high = np.where(exact, low, high)
    start, end = ascending[low], ascending[high]
    if period is not None:
        beyond = (target > ascending[-1]) | (target < ascending[0])
        low = np.where(beyond, len(ascending) - 1, low)
        high = np.where(beyond, 0, high)
        start = np.where(beyond, ascending[-1], start)
        end = np.where(beyond, ascending[0] + period, end)
        target = np.where(beyond & (target < ascending[0]), target + period, target)
    span = end - start
    weight = np.where(span > 0, (target - start) / np.where(span > 0, span, 1.0), 0.0)
    return order[low], order[high], weight


def covered(source: NDArray[Any], target: NDArray[Any]) -> Any:
    """Which target values lie within the source's range."""
    return (target >= source.min()) & (target <= source.max())


def target_of(wind: xr.Dataset, waves: xr.Dataset, grid: str) -> xr.Dataset:
    """The target grid's coordinates: the chosen dataset's, cut to where the other reaches."""
    ours, other = (waves, wind) if grid == "waves" else (wind, waves)
    cut = {}
    for axis in ("time", "latitude", "longitude"):
        if axis == "longitude" and globe(numeric(other[axis].values)):
            continue
        inside = covered(numeric(other[axis].values), numeric(ours[axis].values))
        if not inside.any():
            raise UsageError(f"the wind and the waves share no {axis}s: the wind from "
                             f"{text(wind[axis])}, the waves from {text(waves[axis])}")
        cut[axis] = inside
    return ours.isel(cut).coords.to_dataset()


def text(axis: xr.DataArray) -> str:
    import numpy as np

    values = axis.values
    if np.issubdtype(values.dtype, np.datetime64):
        return (f"{np.datetime_as_string(values.min(), unit='m')} to "
                f"{np.datetime_as_string(values.max(), unit='m')}")
    return f"{values.min():g} to {values.max():g}"


def interpolated(dataset: xr.Dataset, target: xr.Dataset) -> xr.Dataset:
    """Every field of `dataset` on the target's grid and times."""
    import dask.array as da
    import numpy as np
    import xarray as xr

    axes = []
    for axis in ("time", "latitude", "longitude"):
        source = numeric(dataset[axis].values)
        period = 360.0 if axis == "longitude" and globe(source) else None
        axes.append(brackets(source, numeric(target[axis].values), period))
    fields = {}
    for name, field in dataset.data_vars.items():
        data = field.data if isinstance(field.data, da.Array) else da.from_array(field.data)
        data = data.astype(np.float64)
        if name in DIRECTIONS:
            radians = da.radians(data)
            sine, cosine = (linear(part, axes) for part in (da.sin(radians), da.cos(radians)))
            vector = da.degrees(da.arctan2(sine, cosine)) % 360.0
            vector = da.where(vector == 360.0, 0.0, vector)  # a tiny negative angle
            (_, _, at_time), (_, _, at_lat), (_, _, at_lon) = axes
            exact = ((at_time == 0)[:, None, None] & (at_lat == 0)[None, :, None]
                     & (at_lon == 0)[None, None, :])
            direct = data
            for number, (low, _, _) in enumerate(axes):
                direct = da.take(direct, low, axis=number)
            result = da.where(exact, direct, vector)
        else:
            result = linear(data, axes)
        fields[name] = (("time", "latitude", "longitude"), result, field.attrs)
    return xr.Dataset(fields, coords=target.coords)


def linear(data: Any, axes: list[tuple[Any, Any, Any]]) -> Any:
    """Linear along each axis in turn: time, then latitude, then longitude."""
    import dask.array as da

    for axis, (low, high, weight) in enumerate(axes):
        shape = [1, 1, 1]
        shape[axis] = len(weight)
        start = da.take(data, low, axis=axis)
        data = start + weight.reshape(shape) * (da.take(data, high, axis=axis) - start)
    return data


def combined(wind: xr.Dataset, waves: xr.Dataset, grid: str) -> tuple[xr.Dataset, str]:
    """Wind and waves on one grid, and how they were put there (for the run's notes)."""
    import xarray as xr

    same = all(wind[axis].equals(waves[axis]) for axis in ("time", "latitude", "longitude"))
    if same:
        return xr.merge([wind, waves], compat="override", join="exact",
                        combine_attrs="drop"), ""
    target = target_of(wind, waves, grid)
    moved, kept = (wind, waves) if grid == "waves" else (waves, wind)
    kept = kept.sel({axis: target[axis] for axis in ("time", "latitude", "longitude")})
    moved = interpolated(moved, target)
    note = (f"wind and waves on two grids: the {'wind' if grid == 'waves' else 'waves'} "
            f"interpolated onto the {grid}' grid ({len(target['latitude'])} × "
            f"{len(target['longitude'])} cells, {len(target['time'])} times; bilinear in "
            "space, linear in time)")
    return xr.merge([moved, kept], compat="override", join="exact",
                    combine_attrs="drop"), note
