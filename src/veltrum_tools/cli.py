"""What the tools' command lines share: bad input, a missing extra and model failures
reported in one line with exit status 2, a closed pipe ended quietly, figures written the
same way."""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, NoReturn

if TYPE_CHECKING:
    from matplotlib.figure import Figure


class UsageError(Exception):
    """Bad input: reported in one line, exit status 2."""


# The modules each extra of the package installs, by their import names: a tool checks
# those of its extra before it starts, so that a missing one is named in one line.
EXTRAS = {
    "numpy": ("numpy",),
    "plot": ("matplotlib",),
    "grid": ("numpy", "xarray", "dask", "distributed", "h5netcdf", "h5py", "zarr",
             "matplotlib"),
}


class MissingExtra(UsageError):
    """A tool, or one of its options, needs an extra that is not installed."""


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


class Parser(argparse.ArgumentParser):
    """argparse, with its errors raised as UsageError instead of printed with the usage."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


# The vessel's particulars, speed and loading as the voyage and hindcast tools take them.
VESSEL_OPTIONS = (("--displacement", 10000.0, "displacement volume in m³"),
                  ("--length", 120.0, "length in metres"),
                  ("--breadth", 20.0, "breadth in metres"),
                  ("--draught", 7.0, "draught in metres"),
                  ("--speed-kts", 12.0, "speed through the water in knots"))


def add_vessel_options(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    """--displacement, --length, --breadth, --draught, --speed-kts and --ballast."""
    for option, default, meaning in VESSEL_OPTIONS:
        parser.add_argument(option, type=float, default=default,
                            help=f"{meaning} (default: %(default)g)")
    parser.add_argument("--ballast", action="store_true", help="in ballast instead of laden")


def is_model_failure(error: BaseException) -> bool:
    """True for the module's PanicException, which derives from BaseException only and is
    not an attribute of the module: recognised by its type's module and name."""
    kind = type(error)
    return kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException"


def run_main(prog: str, body: Callable[[], None], refused: Callable[[str], str]) -> int:
    """Runs a command's body: 0 when it succeeds; 2 with one line `prog: error: ...` on
    standard error for bad input, a value the module refuses (TypeError, OverflowError) or
    a model failure (worded by `refused` from its message); 1, quietly, when the reader of
    standard output went away (`| head`)."""
    try:
        body()
    except MissingExtra as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 2
    except (UsageError, TypeError, OverflowError) as error:
        print(f"{prog}: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BaseException as error:
        if not is_model_failure(error):
            raise
        print(f"{prog}: error: {refused(str(error))}", file=sys.stderr)
        return 2
    return 0


def refused_vessel(message: str) -> str:
    """How the voyage and the hindcast word a model failure: only the vessel can cause one."""
    return f"the model refused the vessel: {message}"


def save_figure(figure: Figure, path: str) -> None:
    """Writes a PNG without the tool's version in it, so the same data gives the same
    file; a failed write is bad input."""
    from matplotlib import pyplot

    try:
        figure.savefig(path, dpi=90, metadata={"Software": None})
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None
    finally:
        pyplot.close(figure)


# -- the console scripts ------------------------------------------------------------------------
# Each imports its tool only once the tool's extra is known to be there, so that a missing
# one is named in one line instead of failing an import with a traceback.

def voyage() -> int:
    """veltrum-voyage: needs no extra; its --weather option needs the grid extra."""
    from veltrum_tools import voyage as tool

    return tool.main()


def hindcast() -> int:
    """veltrum-hindcast: needs the grid extra."""
    try:
        require_extra("grid")
    except MissingExtra as error:
        print(f"veltrum-hindcast: {error}", file=sys.stderr)
        return 2
    from veltrum_tools import hindcast as tool

    return tool.main()


def polar() -> int:
    """veltrum-polar: needs no extra; its --plot option needs the plot extra."""
    from veltrum_tools import polar as tool

    return tool.main()
