"""The hindcast's outputs: the zarr store (its schema, its creation, the check before a
resume, the chunks written), the NetCDF file, and the CF attributes both carry.

The store is zarr format 2, which every zarr reader knows (zarr-python 2 and 3, netCDF-C,
other languages' libraries), with consolidated metadata, so that a reader lists the store
with one request. The speed change is one zarr chunk per chunk of the plan, each compressed
with zstd; a store's chunk files are complete or absent.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import veltrum_tools
from veltrum_tools.errors import UsageError
from veltrum_tools.hindcast.plan import Plan, size
from veltrum_tools.vessel import Vessel

if TYPE_CHECKING:
    import xarray as xr

PROG = "veltrum-hindcast"
ZARR_FORMAT = 2
# A NetCDF output is gathered and written by this process: refused when it would take more
# than this share of the machine's memory.
NETCDF_SHARE = 0.25


def recorded_versions() -> dict[str, str]:
    """The versions a store records; a resume needs the same."""
    return {"veltrum": veltrum_tools.__version__, "veltrum_tools": veltrum_tools.__version__}


def recorded_arguments(vessel: Vessel, headings: Sequence[float], inputs: Sequence[str] | None,
                       synthetic_shape: Sequence[int]) -> dict[str, Any]:
    """What decides the numbers of a store: the inputs, the vessel and the headings (the
    engine and the cluster do not)."""
    return {"input": None if inputs is None else list(inputs),
            "synthetic-shape": None if inputs else list(synthetic_shape),
            "displacement": vessel.displacement, "length": vessel.length,
            "breadth": vessel.breadth, "draught": vessel.draught,
            "speed-kts": vessel.speed_kts, "ballast": not vessel.laden,
            "headings": list(headings)}


def with_headings(field: xr.DataArray, headings: Sequence[float]) -> xr.DataArray:
    return field.assign_coords(heading=("heading", np.asarray(headings), {
        "units": "degree", "long_name": "ship's true course"}))


def as_dataset(change: xr.DataArray, vessel: Vessel, source: str,
               attainable: bool = True) -> xr.Dataset:
    """The speed change (and the attainable speed) with its CF attributes."""
    change.attrs.update({
        "units": "knot", "long_name": "change of speed through the water (negative: loss)",
        "comment": "NaN where the weather had a missing or non-finite value"})
    dataset = change.rename("speed_change").to_dataset()
    if attainable:
        speed = (vessel.speed_kts + change).rename("attainable_speed")
        speed.attrs.update({"units": "knot", "long_name": "attainable speed through the water"})
        dataset = dataset.assign(attainable_speed=speed)
    return dataset.assign_attrs({
        "Conventions": "CF-1.8",
        "title": "Ship speed change in wind and waves (veltrum model)",
        "source": f"veltrum {veltrum_tools.__version__}; weather: {source}",
        "vessel": (f"displacement {vessel.displacement:g} m3, length {vessel.length:g} m, "
                   f"breadth {vessel.breadth:g} m, draught {vessel.draught:g} m"),
        "speed_through_water_kts": vessel.speed_kts,
        "loading": vessel.loading,
        "wind_beaufort_note": "Beaufort forces by the WMO scale; winds of force 13 and over "
                              "counted as 12"})


def output_template(layout: xr.DataArray, plan: Plan, vessel: Vessel, headings: Sequence[float],
                    source: str, arguments: dict[str, Any]) -> xr.Dataset:
    """The output dataset on the grid of `layout` (a field of the input), its speed change
    a lazy placeholder never computed."""
    import dask.array as da
    import xarray as xr

    shape = (plan.steps, *plan.grid, plan.headings)
    empty = da.empty(shape, dtype=plan.out_dtype, chunks=(plan.hours, *shape[1:]))
    # the input's coordinates without its encodings (its zarr format, codecs, chunks)
    coords = {name: xr.Variable(axis.dims, axis.values, axis.attrs)
              for name, axis in layout.coords.items()}
    change = with_headings(xr.DataArray(empty, dims=(*layout.dims, "heading"),
                                        coords=coords), headings)
    dataset = as_dataset(change, vessel, source, attainable=False)
    dataset.attrs.update({
        "attainable_speed": "speed_through_water_kts + speed_change",
        "veltrum_arguments": json.dumps(arguments),
        "veltrum_versions": json.dumps(recorded_versions())})
    return dataset


def create_store(path: str, template: xr.Dataset, plan: Plan) -> None:
    import numcodecs  # type: ignore[import-untyped, unused-ignore]

    encoding = {"speed_change": {"chunks": (plan.hours, *plan.grid, plan.headings),
                                 "compressors": [numcodecs.Zstd(level=1)],
                                 "_FillValue": np.nan}}
    try:
        template.to_zarr(path, mode="w-", compute=False, zarr_format=ZARR_FORMAT,
                         consolidated=True, encoding=encoding)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def shown(value: Any) -> str:
    if value is None:
        return "(none)"
    if isinstance(value, list):
        return ", ".join(map(shown, value)) if value else "(none)"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def resumable_hours(path: str, arguments: dict[str, Any], layout: xr.DataArray) -> int:
    """The hours per chunk of the store of an earlier run of the same arguments, versions,
    inputs and grid; refuses any other store, naming what differs."""
    import xarray as xr

    try:
        stored = xr.open_zarr(path, consolidated=True, decode_timedelta=False)
    except (OSError, ValueError, KeyError) as error:
        raise UsageError(f"--resume: {path} is not a store of {PROG}: "
                         f"{str(error).splitlines()[0] if str(error) else error}") from None
    with stored:
        if "veltrum_arguments" not in stored.attrs or "speed_change" not in stored:
            raise UsageError(f"--resume: {path} is not a store of {PROG}")
        theirs = json.loads(stored.attrs["veltrum_arguments"])
        for name, value in arguments.items():
            if theirs.get(name) != value:
                raise UsageError(f"--resume: {path} was written with --{name} "
                                 f"{shown(theirs.get(name))}, not {shown(value)}")
        theirs = json.loads(stored.attrs.get("veltrum_versions", "{}"))
        for name, value in recorded_versions().items():
            if theirs.get(name) != value:
                raise UsageError(f"--resume: {path} was written by {name} "
                                 f"{theirs.get(name, '(unknown)')}, this is {name} {value}")
        for coordinate, axis in layout.coords.items():
            if coordinate not in stored.coords or not axis.equals(stored.coords[coordinate]):
                raise UsageError(f"--resume: the {coordinate} axis of {path} differs from the "
                                 "input's")
        return int(stored["speed_change"].encoding["chunks"][0])


def chunks_written(path: str, plan: Plan) -> list[bool]:
    """Which chunks of the store exist, each looked for: one that was all NaN was never
    written, and the chunks of an interrupted run finish in any order."""
    rest = ".0" * (len(plan.grid) + 1)
    return [os.path.exists(os.path.join(path, "speed_change", f"{index}{rest}"))
            for index in range(plan.chunks)]


def refuse_large_netcdf(out_bytes: int, path: str) -> None:
    """A NetCDF output is written from this process's memory: refused past a quarter of
    the machine's."""
    import psutil  # type: ignore[import-untyped, unused-ignore]

    limit = NETCDF_SHARE * psutil.virtual_memory().total
    if out_bytes > limit:
        raise UsageError(
            f"--output {path}: the output takes {size(out_bytes)}, more than a quarter of "
            f"this machine's memory ({size(limit)}), and a NetCDF file is written from this "
            "process's memory: name a .zarr store instead, which the workers write")


def write_netcdf(path: str, change: Any, layout: xr.DataArray, vessel: Vessel,
                 headings: Sequence[float], source: str) -> None:
    import xarray as xr

    field = with_headings(xr.DataArray(change, dims=(*layout.dims, "heading"),
                                       coords=layout.coords), headings)
    result = as_dataset(field, vessel, source)
    encoding = {name: {"_FillValue": np.nan} for name in result.data_vars}
    try:
        result.to_netcdf(path, engine="h5netcdf", encoding=encoding)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error}") from None
    print(f"Speed change written to {path}")
