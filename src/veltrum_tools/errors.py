"""What can go wrong in a tool, by whose it is.

The user's: bad input, an option the tool cannot take or an extra that is not installed.
Each is one line on standard error and exit status 2, and nothing is written.

Everything else is a fault (the cluster, the store, the disk, the code) and is reported as
what it is, with exit status 1: never as bad input.

This module imports nothing from the package: every other module may import it.
"""

from __future__ import annotations

import importlib.util


class UsageError(Exception):
    """Bad input: reported in one line, exit status 2."""


class MissingExtra(UsageError):
    """A tool, or one of its options, needs an extra that is not installed."""


class Fault(Exception):
    """A failure that is not the user's: one line naming what failed, exit status 1."""

    what = "failed"


class ClusterFault(Fault):
    """The Dask cluster failed: a lost scheduler, a chunk that raised on a worker."""

    what = "the cluster failed"


class StoreFault(Fault):
    """An output could not be written or read back."""

    what = "the output failed"


# The modules each extra of the package installs, by their import names: a tool checks
# those of its extra before it starts, so that a missing one is named in one line.
EXTRAS = {
    "numpy": ("numpy",),
    "plot": ("matplotlib",),
    "grid": ("numpy", "xarray", "dask", "distributed", "h5netcdf", "h5py", "zarr", "scipy",
             "cf_xarray", "pint", "matplotlib", "cryptography"),
    # GRIB through cfgrib and ecCodes, whose library comes in the eccodeslib wheel
    "grib": ("cfgrib", "eccodes", "eccodeslib"),
}


def require_extra(extra: str, what: str = "") -> None:
    """Raises MissingExtra, naming the extra, unless all its modules can be imported."""
    for name in EXTRAS[extra]:
        try:
            found = importlib.util.find_spec(name) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            raise MissingExtra(f"{what + ' ' if what else ''}needs the {extra} extra "
                               f"({name} is missing): pip install 'veltrum[{extra}]'")
