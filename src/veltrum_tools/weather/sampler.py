"""The weather at any point and time of a grid, for the voyage: from the dataset the reader
combines, its latitudes in either order.

A forecast of a single time is held for the whole voyage. Where a point's waves are
missing (land among the grid points around it), the nearest of those grid points with
waves is taken, and the voyage says so. Wind-only weather gives, on request, the wave
height typical of the wind's Beaufort force, coming from the wind's direction.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

from veltrum_tools import marine
from veltrum_tools.errors import UsageError
from veltrum_tools.weather.reader import VARIABLES

if TYPE_CHECKING:
    import xarray as xr


def lerp(low: Any, high: Any, weight: float) -> Any:
    """low + weight × (high − low): exactly `low` where the two are equal."""
    return low + weight * (high - low)


class Sampler:
    """The weather at any point and time inside a normalised dataset's grid: bilinear in
    space between the four grid points around it, linear in time between the two time
    steps around it. Wind by its components; the wave direction by its sine and cosine,
    so that 350° and 10° give 0°, not 180°. Reads a block of 2 × 2 × 2 grid points a
    time, so that the dataset can be any size."""

    def __init__(self, weather: xr.Dataset, typical_waves: bool = False) -> None:
        import numpy as np

        self.names = VARIABLES if "swh" in weather else VARIABLES[:2]
        self.typical_waves = typical_waves
        if self.names != VARIABLES and not typical_waves:
            raise UsageError("the weather has wind but no waves (swh, mwd): add "
                             "--typical-waves to take the wave height typical of each force")
        self.notes: list[str] = []

        lacking = [dim for dim in ("latitude", "longitude") if dim not in weather.dims]
        if lacking:
            raise UsageError(f"the weather has no {' or '.join(lacking)} axis")
        self.weather = weather.transpose("time", "latitude", "longitude").sortby(
            ["time", "latitude", "longitude"])
        self.times = self.weather["time"].values
        if not np.issubdtype(self.times.dtype, np.datetime64):
            raise UsageError("the weather's time axis holds no dates and times")
        self.hours = (self.times - self.times[0]) / np.timedelta64(1, "h")
        self.latitudes = self.weather["latitude"].values.astype(np.float64)
        self.longitudes = self.weather["longitude"].values.astype(np.float64)
        if min(len(self.latitudes), len(self.longitudes)) < 2:
            raise UsageError("the weather needs at least two latitudes and longitudes")
        # a forecast of one time: held for the whole voyage
        self.held = len(self.hours) == 1
        # a grid round the globe: the points either side of the antimeridian are neighbours
        spacing = float(np.diff(self.longitudes).max())
        self.wraps = 360.0 - (self.longitudes[-1] - self.longitudes[0]) <= spacing * (1 + 1e-9)
        self.cached: tuple[tuple[int, ...], Any] | None = None
        # the grid's spacing in degrees, latitude and longitude
        self.cell = (float(np.diff(self.latitudes).max()), spacing)

    def time_text(self, hours: float) -> str:
        """The time this many hours after the weather's first, to the minute."""
        import numpy as np

        when = self.times[0] + np.timedelta64(round(hours * 60), "m")
        return str(np.datetime_as_string(when, unit="m"))

    def hours_of(self, text: str | None) -> float:
        """Hours from the weather's first time to a time written in ISO 8601 (UTC); its
        first time when none is given."""
        import numpy as np

        if text is None:
            return 0.0
        try:
            when = np.datetime64(text.strip().replace(" ", "T"), "ns")
        except ValueError:
            raise UsageError(f"--departure wants a time such as 2024-01-10T06:00, "
                             f"not {text!r}") from None
        return float((when - self.times[0]) / np.timedelta64(1, "h"))

    def at(self, latitude: float, longitude: float, hours: float, where: str) -> tuple[
            float, float, float, float]:
        """Wind speed (m/s), the direction it comes from, wave height and the direction
        the waves come from at a point, `hours` after the weather's first time."""
        import numpy as np

        lat_index, lat_weight = self.bracket(self.latitudes, latitude)
        lon_indices, lon_weight = self.bracket_longitude((longitude + 180.0) % 360.0 - 180.0)
        if lat_index < 0 or lon_weight < 0:
            raise UsageError(
                f"{where} ({latitude:g}, {longitude:g}) is outside the weather's grid "
                f"(latitudes {self.latitudes[0]:g} to {self.latitudes[-1]:g}, longitudes "
                f"{self.longitudes[0]:g} to {self.longitudes[-1]:g})")
        time_index, time_weight = (0, 0.0) if self.held else self.bracket(self.hours, hours)
        if time_index < 0:
            raise UsageError(f"the ship reaches {where} at {self.time_text(hours)}, outside "
                             f"the weather's times ({self.time_text(0.0)} to "
                             f"{self.time_text(self.hours[-1])})")
        key = (time_index, lat_index, *lon_indices)
        if self.cached is None or self.cached[0] != key:
            times = [time_index, time_index + (0 if self.held else 1)]
            block = self.weather.isel(time=times, latitude=[lat_index, lat_index + 1],
                                      longitude=list(lon_indices)).compute()
            values = [block[name].values.astype(np.float64) for name in self.names]
            if len(values) == 2:
                values += [np.zeros_like(values[0])] * 2
            u10, v10, swh, mwd = values
            # physically impossible weather is no value, as the hindcast skips it: wind that
            # no sea has is missing wind, such waves are missing waves
            with np.errstate(over="ignore"):
                wind = marine.physically_possible(np.sqrt(u10 * u10 + v10 * v10), 0.0)
            u10, v10 = (np.where(wind, field, np.nan) for field in (u10, v10))
            swh = np.where(marine.physically_possible(0.0, swh), swh, np.nan)
            waves = np.radians(mwd)
            self.cached = (key, np.stack([u10, v10, swh, np.sin(waves), np.cos(waves)]))
        fields = self.cached[1]
        # longitude, then latitude, then time
        along = lerp(fields[..., 0], fields[..., 1], lon_weight)
        along = lerp(along[..., 0], along[..., 1], lat_weight)
        u10, v10, swh, wave_sin, wave_cos = lerp(along[:, 0], along[:, 1], time_weight)
        if not np.isfinite([u10, v10]).all():
            raise UsageError(f"the weather has no wind at {where} ({latitude:g}, "
                             f"{longitude:g}) at {self.time_text(hours)} (missing, non-finite "
                             "or physically impossible data around it)")
        speed, wind_from = marine.wind_speed_and_origin(float(u10), float(v10))
        if self.names != VARIABLES:
            height = marine.WAVE_HEIGHT_BY_FORCE[marine.beaufort_force(speed)]
            return speed, wind_from, height, wind_from
        sea = (float(swh), float(wave_sin), float(wave_cos))
        if not np.isfinite(sea).all():
            sea = self.nearest_sea(fields, (lat_index, *lon_indices),
                                   (lat_weight, lon_weight), time_weight, where, latitude,
                                   longitude)
        height, wave_sin, wave_cos = sea
        wave_from = math.degrees(math.atan2(wave_sin, wave_cos)) % 360.0
        return speed, wind_from, height, wave_from

    def nearest_sea(self, fields: Any, corner: tuple[int, int, int], weights: tuple[float, float],
                    time_weight: float, where: str, latitude: float,
                    longitude: float) -> tuple[float, float, float]:
        """The waves of the nearest of the four grid points around a point that has them at
        both times, linear in time; UsageError naming the point when none has."""
        import numpy as np

        lat_weight, lon_weight = weights
        shrink = math.cos(math.radians(latitude))
        best: tuple[float, int, int] | None = None
        for row in (0, 1):
            for column in (0, 1):
                if not np.isfinite(fields[2:, :, row, column]).all():
                    continue
                distance = math.hypot((row - lat_weight) * self.cell[0],
                                      (column - lon_weight) * self.cell[1] * shrink)
                if best is None or distance < best[0]:
                    best = (distance, row, column)
        if best is None:
            raise UsageError(f"no wave data within one grid cell of {where} ({latitude:g}, "
                             f"{longitude:g}): land, or missing or physically impossible data")
        _, row, column = best
        swh, wave_sin, wave_cos = lerp(fields[2:, 0, row, column], fields[2:, 1, row, column],
                                       time_weight)
        point = (self.latitudes[corner[0] + row], self.longitudes[corner[1 + column]])
        self.notes.append(f"{where} ({latitude:g}, {longitude:g}): waves of the nearest sea "
                          f"point ({point[0]:g}, {point[1]:g})")
        return float(swh), float(wave_sin), float(wave_cos)

    @staticmethod
    def bracket(axis: Any, value: float) -> tuple[int, float]:
        """The index of the grid point at or below a value and the value's weight towards
        the next; index -1 when the value is outside the axis."""
        import numpy as np

        if not axis[0] <= value <= axis[-1]:
            return -1, 0.0
        index = min(int(np.searchsorted(axis, value, side="right")) - 1, len(axis) - 2)
        return index, float((value - axis[index]) / (axis[index + 1] - axis[index]))

    def bracket_longitude(self, longitude: float) -> tuple[tuple[int, int], float]:
        """The two grid longitudes around a longitude in −180–180 and its weight towards
        the second; weight -1 outside the grid."""
        first, last = self.longitudes[0], self.longitudes[-1]
        if first <= longitude <= last:
            index, weight = self.bracket(self.longitudes, longitude)
            return (index, index + 1), weight
        if not self.wraps:
            return (0, 0), -1.0
        east = longitude if longitude > last else longitude + 360.0
        return (len(self.longitudes) - 1, 0), (east - last) / (first + 360.0 - last)
