"""What each input is, by its content, and how it is opened: NetCDF4/HDF5, NetCDF3 (classic
and 64-bit offset), GRIB 1 and 2, zarr stores (formats 2 and 3) and zip archives of them.

A file's format is told by its first bytes, never by its name: the Climate Data Store
delivers zip archives named `.nc`. A zip's members are unpacked once into the cache
(`VELTRUM_CACHE`, else `$XDG_CACHE_HOME/veltrum` or `~/.cache/veltrum`, under `weather/`)
and read as if they had been given one by one. A GRIB file is opened through cfgrib, one
dataset per kind of level that can hold the tools' fields, its index kept in the same
cache so that it is scanned once. Every input is opened lazily: nothing of its fields is
read here.
"""

from __future__ import annotations

import hashlib
import os
import sys
import warnings
import zipfile
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from veltrum_tools.errors import MissingExtra, UsageError, require_extra
from veltrum_tools.weather.inputs import is_zarr

if TYPE_CHECKING:
    import xarray as xr

# The first bytes of each format.
MAGIC = {b"\x89HDF\r\n\x1a\n": "NetCDF4", b"CDF\x01": "NetCDF3", b"CDF\x02": "NetCDF3",
         b"CDF\x05": "CDF5", b"GRIB": "GRIB", b"PK\x03\x04": "zip"}
# GRIB files may start with a bulletin header: the first message is looked for this far.
GRIB_SEARCH = 4096
# The kinds of GRIB level opened, each on its own: the 10 m wind is on `heightAboveGround`
# (NCEP) or `surface` (ECMWF; WAVEWATCH III's forcing wind), waves on `surface` (NCEP) or
# `meanSea` (ECMWF).
GRIB_LEVELS = ({"typeOfLevel": "heightAboveGround", "level": 10}, {"typeOfLevel": "surface"},
               {"typeOfLevel": "meanSea"})


def cache_directory() -> str:
    """Where unpacked zip members and GRIB indexes are kept."""
    root = os.environ.get("VELTRUM_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"),
        "veltrum")
    return os.path.join(root, "weather")


def identity(path: str) -> str:
    """A name for a file's present content: its path, size and time of change."""
    status = os.stat(path)
    key = f"{os.path.abspath(path)}\0{status.st_size}\0{status.st_mtime_ns}"
    return hashlib.sha256(key.encode()).hexdigest()[:20]


def detect(path: str) -> str:
    """The format of an input: "zarr", "NetCDF4", "NetCDF3", "CDF5", "GRIB", "zip", or
    "unknown"."""
    if is_zarr(path):
        return "zarr"
    try:
        with open(path, "rb") as source:
            head = source.read(GRIB_SEARCH)
    except OSError as error:
        raise UsageError(f"cannot read {os.path.relpath(path)}: "
                         f"{error.strerror or error}") from None
    for magic, kind in MAGIC.items():
        if head.startswith(magic):
            return kind
    return "GRIB" if b"GRIB" in head else "unknown"


def first_line(error: BaseException) -> str:
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def open_sources(path: str, label: str | None = None,
                 names: Sequence[str] = ()) -> list[tuple[str, xr.Dataset]]:
    """The datasets an input holds, each with the label a run gives it: one for most
    files, one per member of a zip and one per kind of level of a GRIB file."""
    label = label or os.path.relpath(path)
    kind = detect(path)
    if kind == "zip":
        return [source for member, unpacked in unzipped(path, label)
                for source in open_sources(unpacked, f"{label}:{member}", names)]
    if kind == "unknown":
        raise UsageError(f"cannot read {label}: it is none of NetCDF, GRIB, zarr or a zip "
                         "of them")
    if kind == "CDF5":
        raise UsageError(f"{label} is NetCDF3 in its 64-bit data format (CDF5), which is not "
                         "read: write it as NetCDF4")
    if kind == "GRIB" and sys.version_info >= (3, 15):
        raise MissingExtra(f"reading GRIB ({label}) needs ecCodes, which has no wheel for "
                           "CPython 3.15 yet: use CPython 3.10 to 3.14, or convert the file "
                           "to NetCDF")
    require_extra("grib" if kind == "GRIB" else "grid", f"reading {kind} ({label})")
    if kind == "GRIB":
        grib_library(label)
    try:
        with warnings.catch_warnings():
            # a store without consolidated metadata is read without, quietly
            warnings.filterwarnings("ignore", "Failed to open Zarr store with consolidated",
                                    RuntimeWarning)
            if kind == "GRIB":
                return grib_sources(path, label, names)
            return [(label, opened(path, kind))]
    except UsageError:
        raise
    except Exception as error:  # noqa: BLE001 - any failure of a reader is a bad input here
        if isinstance(error, MemoryError):
            raise
        raise UsageError(f"cannot read {label}: {first_line(error)}") from None


def grib_library(label: str) -> None:
    """ecCodes loads: its Python module finds a library (eccodeslib's, or the system's)."""
    try:
        import cfgrib  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except (ImportError, RuntimeError, OSError) as error:
        raise MissingExtra(f"reading GRIB ({label}) needs the grib extra, whose ecCodes does "
                           f"not load here ({first_line(error)}): pip install "
                           "'veltrum[grib]'") from None


def opened(path: str, kind: str) -> xr.Dataset:
    import xarray as xr

    if kind == "zarr":
        if os.path.exists(os.path.join(path, "zarr.json")):
            import zarr

            if int(zarr.__version__.split(".")[0]) < 3:
                raise UsageError(f"{os.path.relpath(path)} is a zarr format 3 store, which "
                                 f"needs zarr 3 (CPython 3.11 or newer); this is zarr "
                                 f"{zarr.__version__}")
        return xr.open_dataset(path, engine="zarr", chunks=None, cache=False)
    engine = "h5netcdf" if kind == "NetCDF4" else "scipy"
    return xr.open_dataset(path, engine=engine, chunks=None, cache=False)


def unzipped(path: str, label: str) -> list[tuple[str, str]]:
    """The members of a zip, unpacked into the cache once for its present content: each
    member's name and where it lies."""
    try:
        with zipfile.ZipFile(path) as archive:
            members = [info for info in archive.infolist() if not info.is_dir()]
            if not members:
                raise UsageError(f"{label} is an empty zip")
            directory = os.path.join(cache_directory(), "unzipped", identity(path))
            os.makedirs(directory, exist_ok=True)
            found = []
            for info in members:
                name = os.path.basename(info.filename)
                target = os.path.join(directory, name)
                if not os.path.exists(target):
                    partial = f"{target}.{os.getpid()}.part"
                    with archive.open(info) as member, open(partial, "wb") as sink:
                        while block := member.read(1 << 20):
                            sink.write(block)
                    os.replace(partial, target)
                found.append((name, target))
            return found
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError) as error:
        raise UsageError(f"cannot read {label}: {first_line(error)}") from None
    except OSError as error:
        raise UsageError(f"cannot unpack {label} into {cache_directory()}: "
                         f"{error.strerror or error}") from None


def grib_sources(path: str, label: str, names: Sequence[str]) -> list[tuple[str, xr.Dataset]]:
    """A GRIB file as one dataset per kind of level that holds any field of a name the
    tools know or `names` gives (cfgrib's names), lazily; its index kept in the cache, not
    beside the file."""
    import xarray as xr
    from veltrum_tools.weather.roles import grib_names

    directory = os.path.join(cache_directory(), "grib-index")
    os.makedirs(directory, exist_ok=True)
    index = os.path.join(directory, identity(path) + ".{short_hash}.idx")
    found = []
    for level in GRIB_LEVELS:
        keys: dict[str, Any] = {**level, "cfVarName": sorted({*grib_names(), *names})}
        dataset = xr.open_dataset(path, engine="cfgrib", chunks=None, cache=False,
                                  decode_timedelta=True,
                                  backend_kwargs={"indexpath": index, "filter_by_keys": keys,
                                                  "errors": "ignore"})
        if dataset.data_vars:
            found.append((label, dataset))
    return found

