"""What runs on the workers: the speed change of one chunk of hours, its summaries per grid
cell, and its place in the zarr store.

Every worker imports this module from its own installed copy; it needs neither argparse nor
distributed.
"""

from __future__ import annotations

import hashlib
import os
from typing import TYPE_CHECKING, Any

import numpy as np

import veltrum
from veltrum_tools import marine
from veltrum_tools.runtime import hold
from veltrum_tools.vessel import Vessel

if TYPE_CHECKING:
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]
    Fields = NDArray[np.floating[Any]]  # weather in single or double precision

LOSS_THRESHOLD_KN = -1.0  # a loss above one knot is a speed change below -1
# Cells converted and boxed at a time: the Python objects stay in cache, and every
# temporary array (32 KiB) stays below glibc's mmap threshold, which is fixed at 128 KiB
# in dask workers (their nanny sets MALLOC_TRIM_THRESHOLD_): larger ones are mapped
# anew each time and paid for in page faults.
BATCH = 4096

# What each chunk returns besides its output: per cell of the grid, summed over its hours
# and headings, the estimates, those with a loss above a knot, their total, the cell-hours
# skipped for missing or non-finite data, the capped ones, those skipped for physically
# impossible weather, and (last) the lowest speed change.
ESTIMATES, LOSSES, TOTAL, SKIPPED, CAPPED, IMPOSSIBLE, WORST = range(7)
SUMMARIES = WORST + 1
# The name of a chunk's checksum file, before the chunk's index.
CHECKSUM = ".checksum."
# Cells checked at a time by valid_cells: its temporaries in double stay small.
CHECKED = 1 << 16

# One ship per worker process, per vessel: building it is cheap, but the chunks of one run
# all reuse the same.
_SHIPS: dict[Vessel, veltrum.NavCalc] = {}


def ship_for(vessel: Vessel) -> veltrum.NavCalc:
    ship = _SHIPS.get(vessel)
    if ship is None:
        ship = _SHIPS[vessel] = vessel.navcalc()
    return ship


def has_ufunc() -> bool:
    """Whether veltrum_numpy, the ufunc engine, imports here."""
    try:
        import veltrum_numpy  # type: ignore[import-not-found, import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        return False
    return True


def finite_cells(u10: Fields, v10: Fields, swh: Fields, mwd: Fields) -> NDArray[np.bool_]:
    """Cells whose four fields are all finite."""
    return np.isfinite(u10) & np.isfinite(v10) & np.isfinite(swh) & np.isfinite(mwd)


def valid_cells(u10: Fields, v10: Fields, swh: Fields, mwd: Fields) -> NDArray[np.bool_]:
    """Cells that are estimated; the others are skipped. A cell is valid when its four
    fields are finite and its weather physically possible (marine.physically_possible):
    the wind speed sqrt(u10² + v10²), computed in double from the fields converted to
    double, at most 100 m/s, and swh from 0 to 30 m."""
    fields = [np.ravel(field) for field in (u10, v10, swh, mwd)]
    valid = np.empty(fields[0].size, dtype=np.bool_)
    with np.errstate(over="ignore"):  # a square past the largest double is past the limit
        for start in range(0, valid.size, CHECKED):
            u, v, height, wave_from = (field[start:start + CHECKED].astype(np.float64)
                                       for field in fields)
            valid[start:start + CHECKED] = (
                np.isfinite(u) & np.isfinite(v) & np.isfinite(wave_from)
                & marine.physically_possible(np.sqrt(u * u + v * v), height))
    return valid.reshape(np.shape(u10))


def speed_change_block(u10: Fields, v10: Fields, swh: Fields, mwd: Fields, *,
                       vessel: Vessel, headings: tuple[float, ...],
                       dtype: Any = np.float64) -> tuple[FloatArray, NDArray[np.bool_]]:
    """The `calls` engine: speed change in knots for one block of the grid, a last axis of
    headings added, and the cells whose wind is of force 13 or more (taken as 12).

    Invalid cells give NaN. Every estimate is made in double from the fields converted to
    double, whatever their type, and stored as `dtype`, by one call of `compute` per
    estimate over Python lists, boxing the fields that all headings share once."""
    shape = u10.shape
    u10, v10, swh, mwd = (np.ascontiguousarray(field).reshape(-1)
                          for field in (u10, v10, swh, mwd))
    out = np.full((u10.size, len(headings)), np.nan, dtype=dtype)
    capped = np.zeros(u10.size, dtype=np.bool_)
    courses = np.asarray(headings, dtype=np.float64)
    compute = ship_for(vessel).compute
    for start in range(0, u10.size, BATCH):
        rows: slice | NDArray[np.intp] = slice(start, start + BATCH)
        batch = [field[rows].astype(np.float64) for field in (u10, v10, swh, mwd)]
        valid = valid_cells(*batch)
        if not valid.all():
            rows = start + np.flatnonzero(valid)
            batch = [field[valid] for field in batch]
        wind_u, wind_v, height, wave_from = batch
        speed, wind_from = marine.wind_speed_and_origin(wind_u, wind_v)
        capped[rows] = speed >= marine.FORCE_13_LOWER_BOUND_MS
        forces = marine.beaufort_forces(speed).tolist()  # 0 to 12: only valid cells come here
        heights = height.tolist()
        for column in range(len(courses)):
            heading = courses[column:column + 1]
            out[rows, column] = np.fromiter(
                map(compute, marine.relative_angle(heading, wind_from).tolist(), forces,
                    heights, marine.relative_angle(heading, wave_from).tolist()),
                np.float64, height.size)
    return out.reshape(*shape, len(headings)), capped.reshape(shape)


def chunk_summary(change: Any, finite: NDArray[np.bool_], valid: NDArray[np.bool_],
                  capped: NDArray[np.bool_]) -> FloatArray:
    """The summaries of one chunk (time, grid..., heading), per cell of the grid, of the
    cells whose fields are `finite` and of the `valid` ones: the kernel's, to the bit (the
    total added and the lowest change taken hour by hour, heading by heading)."""
    parts = np.empty((SUMMARIES, *change.shape[1:-1]))
    parts[ESTIMATES] = (~np.isnan(change)).sum(axis=(0, change.ndim - 1))
    parts[LOSSES] = (change < LOSS_THRESHOLD_KN).sum(axis=(0, change.ndim - 1))
    parts[TOTAL], parts[WORST] = 0.0, np.inf
    for hour in change:
        for column in np.moveaxis(hour, -1, 0).astype(np.float64):
            parts[TOTAL] += np.where(np.isnan(column), 0.0, column)
            parts[WORST] = np.where(column < parts[WORST], column, parts[WORST])
    parts[SKIPPED] = (~finite).sum(axis=0)
    parts[CAPPED] = (valid & capped).sum(axis=0)
    parts[IMPOSSIBLE] = (finite & ~valid).sum(axis=0)
    return parts


def kernel_estimates(u10: Fields, v10: Fields, swh: Fields, mwd: Fields, *, vessel: Vessel,
                     headings: tuple[float, ...], dtype: Any) -> tuple[Any, FloatArray]:
    """The `ufunc` engine: the speed change (time, grid..., heading) as `dtype` and the
    summaries per cell, in one pass of veltrum_numpy.speed_change_from_weather over the
    fields as they come. Fields of single precision or less, for a single precision output,
    take its float32 loop; any others its loop of doubles, which gives the output's type."""
    import veltrum_numpy

    out = np.dtype(dtype)
    fields = [np.asarray(field) for field in (u10, v10, swh, mwd)]
    single = out == np.float32 and all(np.can_cast(field.dtype, np.float32) for field in fields)
    change = np.empty((*fields[0].shape, len(headings)), out)
    parts = np.empty((SUMMARIES, *fields[0].shape[1:]))
    veltrum_numpy.speed_change_from_weather(
        *vessel.particulars, vessel.speed_kts, vessel.laden, np.asarray(headings, np.float64),
        *(np.moveaxis(field, 0, -1) for field in fields),
        out=(np.moveaxis(change, 0, -2), np.moveaxis(parts, 0, -1)),
        signature=(None,) * 7 + ("f4" if single else "f8",) * 4 + (out.str, "f8"))
    return change, parts


def chunk_estimates(u10: Fields, v10: Fields, swh: Fields, mwd: Fields, *, vessel: Vessel,
                    headings: tuple[float, ...], engine: str,
                    dtype: Any) -> tuple[Any, FloatArray]:
    """The speed change of a chunk of hours and its summaries, by either engine."""
    if engine == "ufunc":
        return kernel_estimates(u10, v10, swh, mwd, vessel=vessel, headings=headings,
                                dtype=dtype)
    change, capped = speed_change_block(u10, v10, swh, mwd, vessel=vessel, headings=headings,
                                        dtype=dtype)
    return change, chunk_summary(change, finite_cells(u10, v10, swh, mwd),
                                 valid_cells(u10, v10, swh, mwd), capped)


def chunk_file(store: str, index: int, ndim: int) -> str:
    """The file of the store's chunk `index` of the speed change (of `ndim` dimensions, the
    time first), as zarr format 2 names it."""
    return os.path.join(store, "speed_change", f"{index}" + ".0" * (ndim - 1))


def checksum_file(store: str, index: int) -> str:
    """Where the checksum of chunk `index` is kept: beside the chunk, under a hidden name
    that is no zarr key, which zarr readers ignore (also when they list the store)."""
    return os.path.join(store, "speed_change", f"{CHECKSUM}{index}")


def checksum(index: int, data: bytes) -> str:
    """A chunk's checksum: SHA-256 of its place and its bytes, so that a chunk moved to
    another place fails it as a changed one does."""
    return hashlib.sha256(f"veltrum chunk {index}\n".encode() + data).hexdigest()


def record_checksum(store: str, index: int, ndim: int) -> None:
    """Writes the checksum of a chunk just written (none for a chunk zarr did not write, all
    NaN): to a temporary name, then renamed, like the chunk."""
    try:
        with open(chunk_file(store, index, ndim), "rb") as chunk:
            data = chunk.read()
    except FileNotFoundError:
        return
    path = checksum_file(store, index)
    temporary = f"{path}.{os.getpid()}.partial"
    with open(temporary, "w", encoding="ascii") as sink:
        sink.write(checksum(index, data) + "\n")
    os.replace(temporary, path)


def chunk_state(store: str, index: int, ndim: int) -> str:
    """What a resumed run finds of a chunk: "missing", "verified" (its bytes match its
    checksum), "unchecked" (no checksum: the writer stopped in between) or "corrupt"
    (changed, truncated or moved from another place)."""
    try:
        with open(chunk_file(store, index, ndim), "rb") as chunk:
            data = chunk.read()
    except FileNotFoundError:
        return "missing"
    try:
        with open(checksum_file(store, index), encoding="ascii") as recorded:
            expected = recorded.read().strip()
    except (FileNotFoundError, UnicodeDecodeError):
        return "unchecked"
    return "verified" if checksum(index, data) == expected else "corrupt"


def hindcast_chunk(u10: Fields, v10: Fields, swh: Fields, mwd: Fields, *,
                   first: int, index: int, store: str | None, written: bool, keep: bool,
                   vessel: Vessel, headings: tuple[float, ...], engine: str,
                   dtype: str) -> tuple[FloatArray, FloatArray | None]:
    """Chunk `index` of hours, from hour `first`, on a worker: its summaries, and its speed
    change when `keep`. With a zarr `store` the worker writes the chunk there itself, then
    its checksum. A chunk `written` and verified before (a resumed run) is computed all the
    same, for its summaries, and compared with the stored one, which is written again only
    if it differs."""
    import zarr

    hold("chunk")
    change, parts = chunk_estimates(u10, v10, swh, mwd, vessel=vessel, headings=headings,
                                    engine=engine, dtype=dtype)
    if store is not None:
        output = zarr.open_array(store, path="speed_change", mode="r+")
        rows = slice(first, first + len(change))
        # the very bits, NaN's included
        if not (written and np.array_equal(np.asarray(output[rows]).view(np.uint8),
                                           change.view(np.uint8))):
            # A whole chunk of the store at once, written by zarr to a new file that is
            # then renamed: a chunk file is complete or absent. A chunk that is all NaN is
            # not written at all.
            output[rows] = change
            record_checksum(store, index, change.ndim)
    return parts, (change if keep else None)
