"""The hindcast's outputs: the zarr store (its schema, its creation, the check before a
resume, the chunks written), the NetCDF file, and the CF attributes both carry.

The store is zarr format 2, which every zarr reader knows (zarr-python 2 and 3, netCDF-C,
other languages' libraries), with consolidated metadata, so that a reader lists the store
with one request. The speed change is one zarr chunk per chunk of the plan, each compressed
with zstd; a store's chunk files are complete or absent. A store is made under a temporary
name and renamed when its metadata are complete, so that a failed creation leaves nothing
in the way. Each chunk's checksum, bound to its place, is kept beside it (kernel.checksum_file),
and the store records a fingerprint of each input: a resume verifies both.
"""

from __future__ import annotations

import contextlib
import glob
import hashlib
import io
import json
import os
import shutil
import tempfile
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import veltrum_tools
from veltrum_tools.errors import StoreFault, UsageError
from veltrum_tools.hindcast.kernel import checksum_file, chunk_file
from veltrum_tools.hindcast.plan import Plan, size
from veltrum_tools.outputs import umask, write_bytes
from veltrum_tools.runtime import interrupts_deferred
from veltrum_tools.vessel import Vessel

if TYPE_CHECKING:
    import xarray as xr

PROG = "veltrum-hindcast"
ZARR_FORMAT = 2
# A NetCDF output is gathered and made by this process, in its memory: the speed change,
# the attainable speed and the file's image take four times the output, and are refused
# past this share of the machine's memory.
NETCDF_SHARE = 0.5
NETCDF_COPIES = 4
# An input's fingerprint reads the whole of a file up to this size, and samples of a larger
# one: SAMPLES of SAMPLE bytes, evenly spread from its start to its end.
WHOLE = 1 << 24
SAMPLES, SAMPLE = 64, 1 << 16


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


def fingerprint(path: str) -> str:
    """What changes when an input is written again: a hash of its size, modification time
    and content (the whole file up to WHOLE bytes, samples of a larger one). A zarr store's
    is that of its files' names, sizes and modification times and of its metadata."""
    digest = hashlib.sha256()
    if os.path.isdir(path):
        for root, folders, names in os.walk(path):
            folders.sort()
            for name in sorted(names):
                file = os.path.join(root, name)
                status = os.stat(file)
                digest.update(f"{os.path.relpath(file, path)} {status.st_size} "
                              f"{status.st_mtime_ns}\n".encode())
                if name.startswith(".z") or name == "zarr.json":
                    with open(file, "rb") as metadata:
                        digest.update(metadata.read())
        return digest.hexdigest()
    status = os.stat(path)
    digest.update(f"{status.st_size} {status.st_mtime_ns}\n".encode())
    with open(path, "rb") as source:
        if status.st_size <= WHOLE:
            digest.update(source.read())
        else:
            for k in range(SAMPLES):
                source.seek((status.st_size - SAMPLE) * k // (SAMPLES - 1))
                digest.update(source.read(SAMPLE))
    return digest.hexdigest()


def input_fingerprints(inputs: Sequence[str] | None) -> dict[str, str]:
    return {path: fingerprint(path) for path in inputs or ()}


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
                    source: str, arguments: dict[str, Any],
                    fingerprints: dict[str, str]) -> xr.Dataset:
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
        "veltrum_inputs": json.dumps(fingerprints),
        "veltrum_versions": json.dumps(recorded_versions())})
    return dataset


def store_state(path: str) -> str:
    """What is at a zarr output's path: "absent", "empty" (an empty folder, also what an
    earlier failed creation may have left), "store" (one of this tool's) or "other"."""
    if not os.path.lexists(path):
        return "absent"
    if os.path.isdir(path) and not os.listdir(path):
        return "empty"
    try:
        with open(os.path.join(path, ".zattrs"), encoding="utf-8") as attributes:
            ours = "veltrum_arguments" in json.load(attributes)
    except (OSError, ValueError):
        ours = False
    return "store" if ours else "other"


def create_store(path: str, template: xr.Dataset, plan: Plan) -> None:
    """Makes the store's metadata under a temporary name in its folder and renames it into
    place: one of this tool's stores there before (--overwrite) is then removed. A failed
    creation removes what it made; one killed leaves a temporary folder that the next
    creation of the same output removes."""
    import numcodecs  # type: ignore[import-untyped, unused-ignore]

    folder, name = os.path.split(os.path.abspath(path))
    for stale in glob.glob(os.path.join(glob.escape(folder), f".{glob.escape(name)}.creating-*")):
        shutil.rmtree(stale, ignore_errors=True)
    encoding = {"speed_change": {"chunks": (plan.hours, *plan.grid, plan.headings),
                                 "compressors": [numcodecs.Zstd(level=1)],
                                 "_FillValue": np.nan}}
    made = replaced = None
    try:
        made = tempfile.mkdtemp(prefix=f".{name}.creating-", dir=folder)
        template.to_zarr(made, mode="w", compute=False, zarr_format=ZARR_FORMAT,
                         consolidated=True, encoding=encoding)
        os.chmod(made, 0o777 & ~umask())  # not mkdtemp's 0700: workers may be other users
        if store_state(path) == "store":
            replaced = tempfile.mkdtemp(prefix=f".{name}.replaced-", dir=folder)
            os.rename(path, os.path.join(replaced, name))
        os.replace(made, path)  # also over an empty folder
        made = None
    except OSError as error:
        raise StoreFault(f"cannot create {path}: {error.strerror or error}") from None
    finally:
        for left in (made, replaced):
            if left is not None:
                shutil.rmtree(left, ignore_errors=True)


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
        recorded = json.loads(stored.attrs.get("veltrum_inputs", "{}"))
        for name, value in input_fingerprints(arguments["input"]).items():
            if recorded.get(name) != value:
                raise UsageError(f"--resume: {os.path.relpath(name)} has changed since {path} "
                                 "was written (its size, time or content): its numbers would "
                                 "mix with the new ones; write a new output instead")
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


def chunks_present(path: str, chunks: int, ndim: int) -> list[bool]:
    """Which of so many chunks of the store exist, each looked for: one that was all NaN was
    never written, and the chunks of an interrupted run finish in any order."""
    return [os.path.exists(chunk_file(path, index, ndim)) for index in range(chunks)]


def chunks_written(path: str, plan: Plan) -> list[bool]:
    return chunks_present(path, plan.chunks, len(plan.grid) + 2)


def discard_chunk(path: str, index: int, ndim: int) -> None:
    """Removes a chunk that failed its check, and its checksum: it is computed again."""
    for file in (chunk_file(path, index, ndim), checksum_file(path, index)):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(file)


def refuse_large_netcdf(out_bytes: int, path: str) -> None:
    """A NetCDF output is made in this process's memory: refused past half the machine's."""
    import psutil  # type: ignore[import-untyped, unused-ignore]

    limit = NETCDF_SHARE * psutil.virtual_memory().total
    if NETCDF_COPIES * out_bytes > limit:
        raise UsageError(
            f"--output {path}: the output takes {size(out_bytes)}, and a NetCDF file is made "
            f"in this process's memory, which needs {NETCDF_COPIES} times that, more than "
            f"half this machine's memory ({size(2 * limit)}): name a .zarr store instead, "
            "which the workers write")


def write_netcdf(path: str, change: Any, layout: xr.DataArray, vessel: Vessel,
                 headings: Sequence[float], source: str) -> None:
    import xarray as xr

    field = with_headings(xr.DataArray(change, dims=(*layout.dims, "heading"),
                                       coords=layout.coords), headings)
    result = as_dataset(field, vessel, source)
    encoding = {name: {"_FillValue": np.nan} for name in result.data_vars}
    # The file is made in memory (h5netcdf over an in-memory file, which every xarray of the
    # grid extra writes to, unlike to_netcdf), then written by Python's own I/O under a
    # temporary name: HDF5 writing to a full disk ends in a crash of the process after its
    # error, and a Ctrl-C during its write could be lost in it (it waits for the making).
    import h5netcdf  # type: ignore[import-untyped, unused-ignore]
    from xarray.backends import H5NetCDFStore

    image = io.BytesIO()
    with interrupts_deferred(), h5netcdf.File(image, "w") as file:
        result.load().dump_to_store(H5NetCDFStore(file), encoding=encoding)
    write_bytes(path, image.getbuffer())
    print(f"Speed change written to {path}")
