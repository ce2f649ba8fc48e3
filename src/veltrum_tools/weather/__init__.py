"""Gridded weather in: the one reader of every tool.

The inputs are ERA5-style single-level fields: `u10` and `v10` (10 m wind towards east
and north, m/s), `swh` (significant wave height, m) and `mwd` (mean wave direction,
degrees, coming from), on a grid with a time axis. They come as NetCDF files and zarr
stores, several of them (names or glob patterns) combined by their coordinates: along
time, or fields of one grid from several files. Whatever the inputs call them, the
dataset has the dimension `time` (also from `valid_time`) first, and `latitude` and
`longitude` (also from `lat` and `lon`), longitudes from 0 to 360 turned into −180 to
180. Needs the grid extra.
"""

from veltrum_tools.weather.inputs import describe, expand, is_zarr
from veltrum_tools.weather.reader import GRIDS, VARIABLES, Weather, open_weather
from veltrum_tools.weather.sampler import Sampler

__all__ = ["GRIDS", "VARIABLES", "Sampler", "Weather", "describe", "expand", "is_zarr", "open_weather"]
