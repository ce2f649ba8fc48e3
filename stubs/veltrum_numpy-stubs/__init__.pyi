"""Whole arrays of veltrum estimates: the NumPy ufunc :data:`speed_change`, and
:data:`speed_change_from_weather`, the estimates and their summaries over grid cells of
true weather.

Needs NumPy at run time (``pip install veltrum[numpy]``); ``import veltrum``
does not.
"""

from typing import Final

import numpy

__all__ = ["speed_change", "speed_change_from_weather"]

speed_change: Final[numpy.ufunc]
"""speed_change(displacement, length, breadth, draught, speed_kts, laden,
wind_beta, wind_scale, wave_height, wave_beta, /, out=None, *, where=True, ...)

The speed change through the water in knots (negative for a loss), element by
element, to the bit what ``NavCalc(displacement, length, breadth, draught)``,
then ``setup(speed_kts, laden)``, then ``compute(wind_beta, wind_scale,
wave_height, wave_beta)`` returns. Ten inputs, broadcast against each other;
one float64 output.

Loops: float64 for every input but ``laden`` (bool) and ``wind_scale`` (int32
or int64). Other dtypes go through NumPy's safe casting, so a floating-point
``wind_scale`` and an integer ``laden`` raise TypeError.

An element whose particulars are not all greater than zero, whose particulars
give no block coefficient, or whose ``wind_scale`` is outside 0 to 12 is NaN
and raises the floating-point "invalid" flag: ``numpy.errstate(invalid=...)``
chooses silence, a RuntimeWarning or FloatingPointError.
"""

speed_change_from_weather: Final[numpy.ufunc]
"""speed_change_from_weather(displacement, length, breadth, draught, speed_kts, laden,
headings, u10, v10, swh, mwd, /, out=(None, None), *, axes=None, ...) -> (change, summaries)

A generalized ufunc of signature ``(),(),(),(),(),(),(h),(t),(t),(t),(t)->(t,h),(7)``: for
each grid cell, the time series of its t hours of ``u10`` and ``v10`` (wind towards east and
north, m/s), ``swh`` (significant wave height, m) and ``mwd`` (the true direction the waves
come from, degrees), estimated at h ``headings`` (true courses, degrees) on the vessel of
the first six inputs. Fields stored as (t, y, x) go in as ``numpy.moveaxis(field, 0, -1)``,
and ``out=(numpy.moveaxis(change, 0, -2), summaries)`` writes a change of shape
(t, y, x, h) in place.

A cell-hour with a field that is not finite is skipped: NaN at every heading; so is one of
physically impossible weather, a wind speed ``math.sqrt(u * u + v * v)`` above 100 m/s or
``swh`` below 0 or above 30 m (``marine.physically_possible``). Otherwise each change is, to the bit, what ``NavCalc.compute`` gives on Python floats for
``marine.relative_angle(heading, math.degrees(math.atan2(u, v)) + 180.0)``, the Beaufort
force ``marine.beaufort_force(math.sqrt(u * u + v * v))`` (force 13 and over taken as 12),
``swh`` and ``marine.relative_angle(heading, mwd)``.

Loops: the four fields float32 (the change float32) or float64 (the change float64), the
other inputs float64 but ``laden`` (bool); other dtypes through NumPy's safe casting. And
float64 fields with a float32 change, only when asked for:
``signature=(None,) * 11 + ("f4", "f8")``.

``summaries[..., :]`` per cell, over its hours and headings, from the stored changes:
0 estimates (changes that are not NaN), 1 losses (below -1.0 kn), 2 their total (summed
in double, hour by hour, heading by heading), 3 skipped cell-hours (a field not finite),
4 capped cell-hours (possible weather, wind of 37.0 m/s or more), 5 cell-hours of
impossible weather, 6 the lowest change, ``+inf`` when there is none (veltrum-hindcast
shows NaN there).

Particulars not all greater than zero, or giving no block coefficient, make every change
NaN and raise the floating-point "invalid" flag (``numpy.errstate(invalid=...)``); no
other input raises a floating-point flag.
"""
