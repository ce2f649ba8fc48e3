"""The veltrum tools: the voyage planner, the hindcast over gridded weather and the polar
diagram, installed with the module as the commands veltrum-voyage, veltrum-hindcast and
veltrum-polar. They only use the module; they never add anything to it."""

from importlib.metadata import PackageNotFoundError, version

try:
    # The tools are shipped in the module's distribution and carry its version.
    __version__ = version("veltrum")
except PackageNotFoundError:  # imported from a source tree without an installed copy
    __version__ = "0+unknown"
