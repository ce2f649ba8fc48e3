"""Gridded weather in: the one reader of every tool.

Whatever the inputs, the tools get `u10` and `v10` (10 m wind towards east and north,
m/s), `swh` (significant wave height, m) and `mwd` (mean wave direction, degrees, coming
from) on (`time`, `latitude`, `longitude`), longitudes from −180 to 180. The inputs come
as users download them: NetCDF4, NetCDF3, GRIB, zarr stores and CDS zips (formats), the
fields found by CF standard_name or product name (roles), in their own units (units) and
axes (layouts: valid times, forecast steps, expver, ensembles), several of them (names or
glob patterns) combined by their coordinates, and wind and waves of two grids put on one
(regrid). docs/weather.md has the tables. Needs the grid extra; GRIB the grib extra.
"""

from veltrum_tools.weather.inputs import describe, expand, is_zarr
from veltrum_tools.weather.reader import GRIDS, VARIABLES, Weather, open_weather
from veltrum_tools.weather.sampler import Sampler

__all__ = ["GRIDS", "VARIABLES", "Sampler", "Weather", "describe", "expand", "is_zarr", "open_weather"]
