"""Which inputs the command line names: files and zarr stores, glob patterns expanded."""

from __future__ import annotations

import glob
import os
from collections.abc import Sequence

from veltrum_tools.errors import UsageError


def is_zarr(path: str) -> bool:
    """A zarr store: a directory with zarr's metadata (format 2 or 3) or named *.zarr."""
    return os.path.isdir(path) and (
        path.rstrip(os.sep).endswith(".zarr")
        or any(os.path.exists(os.path.join(path, name))
               for name in (".zgroup", ".zattrs", ".zmetadata", "zarr.json")))


def expand(patterns: Sequence[str], option: str) -> list[str]:
    """The files and stores that `option` names, as absolute paths in the order given, each
    glob's matches sorted, none twice."""
    paths: list[str] = []
    for pattern in patterns:
        if glob.has_magic(pattern):
            found = sorted(path for path in glob.glob(pattern)
                           if os.path.isfile(path) or is_zarr(path))
            if not found:
                raise UsageError(f"{option}: nothing matches {pattern!r}")
        elif os.path.isfile(pattern) or is_zarr(pattern):
            found = [pattern]
        else:
            raise UsageError(f"{option}: no file or zarr store {pattern!r}")
        paths.extend(os.path.abspath(path) for path in found)
    return list(dict.fromkeys(paths))


def describe(paths: Sequence[str]) -> str:
    """The inputs as a run names them: the first, and how many more."""
    names = [os.path.relpath(path) for path in paths]
    return names[0] if len(names) == 1 else f"{names[0]} and {len(names) - 1} more"
