"""Whole arrays of veltrum estimates: the NumPy ufunc :data:`speed_change`.

Needs NumPy at run time (``pip install veltrum[numpy]``); ``import veltrum``
does not.
"""

from typing import Final

import numpy

__all__ = ["speed_change"]

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
