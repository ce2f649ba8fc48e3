"""From a navigator's terms to the model's inputs: wind from its components, Beaufort
forces, relative angles, the wave height typical of a force.

The model takes directions relative to the bow, 0° head on and 180° from astern,
meant in 0–180° with port and starboard alike, and the wind as a Beaufort force.
Weather comes in true terms: wind components or the wind speed, and the directions
the wind and the waves come from. The tools convert with these functions and
nothing else.

Each function takes a float or a NumPy array (elementwise); for floats it uses the
C library through `math`, and this module itself does not need NumPy.
"""

from __future__ import annotations

import bisect
import math
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

# Lower bounds of Beaufort forces 1 to 12 on the WMO scale (WMO-No. 306, code
# table 1100), as its tables give them: in metres per second to a tenth, and in
# knots as whole numbers. A speed at or above the bound of force n and below
# that of n + 1 is force n; 32.7 m/s (64 kn) and more is force 12.
BEAUFORT_LOWER_BOUNDS_MS = (0.3, 1.6, 3.4, 5.5, 8.0, 10.8, 13.9, 17.2, 20.8, 24.5, 28.5, 32.7)
BEAUFORT_LOWER_BOUNDS_KN = (1.0, 4.0, 7.0, 11.0, 17.0, 22.0, 28.0, 34.0, 41.0, 48.0, 56.0, 64.0)

# The extended Beaufort scale (used for tropical cyclones) starts force 13 here;
# the model stops at 12, so such winds are taken as force 12.
FORCE_13_LOWER_BOUND_MS = 37.0

# Typical wave height in the open sea for each Beaufort force, metres: what the polar
# tool pairs with each force where no wave height is given.
WAVE_HEIGHT_BY_FORCE = (0.0, 0.1, 0.2, 0.6, 1.0, 2.0, 3.0, 4.0, 5.5, 7.0, 9.0, 11.5, 14.0)

# Weather no sea has: the tools skip (the hindcast) or refuse (the voyage, the polar tool)
# a significant wave height below 0 or above MAX_WAVE_HEIGHT_M, and a 10 m wind speed above
# MAX_WIND_SPEED_MS, rather than hand them to the model. The highest significant wave
# heights measured are about 20 m and the strongest sustained 10 m winds of tropical
# cyclones under 90 m/s: values past these bounds are a file's error (a wrong scale, a fill
# value taken for data), never weather. The wind speed compared is the one the tools
# compute from the components, sqrt(u² + v²) in double (wind_speed_and_origin).
MAX_WIND_SPEED_MS = 100.0
MAX_WAVE_HEIGHT_M = 30.0

# Degrees: a float, or a NumPy array of them.
Degrees = TypeVar("Degrees", float, "NDArray[np.float64]")


def _is_array(*values: Any) -> bool:
    return any(hasattr(value, "__array__") for value in values)


def wind_speed_and_origin(u: Any, v: Any) -> tuple[Any, Any]:
    """Wind speed (the components' unit) and the true direction it comes from, in degrees
    (0–360, 360 for a wind from due north), of the wind's eastward and northward
    components: sqrt(u² + v²) and atan2(u, v) + 180°, the bearing it blows towards
    turned round."""
    if _is_array(u, v):
        import numpy as np

        return np.sqrt(u * u + v * v), np.degrees(np.arctan2(u, v)) + 180.0
    return math.sqrt(u * u + v * v), math.degrees(math.atan2(u, v)) + 180.0


def physically_possible(wind_speed: Any, wave_height: Any) -> Any:
    """True where a wind speed (m/s) and a significant wave height (m) are weather a sea can
    have: 0 ≤ wind_speed ≤ MAX_WIND_SPEED_MS and 0 ≤ wave_height ≤ MAX_WAVE_HEIGHT_M; False
    for NaN. Elementwise for NumPy arrays."""
    return ((wind_speed >= 0.0) & (wind_speed <= MAX_WIND_SPEED_MS)
            & (wave_height >= 0.0) & (wave_height <= MAX_WAVE_HEIGHT_M))


def impossible_weather(wind_speed: float, wave_height: float) -> str | None:
    """What physically_possible refuses in one wind speed and wave height, in words; None
    when both are possible."""
    if not 0.0 <= wind_speed <= MAX_WIND_SPEED_MS:
        return f"a wind of {wind_speed:g} m/s (possible: 0 to {MAX_WIND_SPEED_MS:g} m/s)"
    if not 0.0 <= wave_height <= MAX_WAVE_HEIGHT_M:
        return f"waves of {wave_height:g} m (possible: 0 to {MAX_WAVE_HEIGHT_M:g} m)"
    return None


def fold_angle(angle: Degrees) -> Degrees:
    """Any angle in degrees, folded into 0–180°: -170 and 190 give 170, 350 gives 10.

    Port and starboard are alike to the model, and it compares angles unchanged
    against its sector bounds, so -170° would count as head wind. NaN stays NaN.
    """
    if _is_array(angle):
        folded: Degrees = _fold_array(angle)
        return folded
    turned = angle % 360.0  # in [0, 360], also for negative angles
    return 180.0 - abs(180.0 - turned)


def _fold_array(angle: Any) -> Any:
    """fold_angle of a NumPy array, to the bit."""
    import numpy as np

    # Within a turn either side of zero, which the differences of directions of one turn
    # always are, the floating remainder by 360 is the angle itself, or the angle plus 360
    # when it is negative: the very sum np.remainder makes, at less than half its cost.
    if np.abs(angle).max(initial=0.0) < 360.0:
        turned = np.where(angle < 0.0, angle + 360.0, angle)
    else:
        turned = angle % 360.0
    return 180.0 - np.abs(180.0 - turned)


def relative_angle(heading: Degrees, coming_from: Degrees) -> Degrees:
    """Direction off the bow, folded into 0–180°, of wind or waves coming from
    `coming_from` (true, degrees) for a ship steering `heading` (true, degrees)."""
    return fold_angle(coming_from - heading)


def beaufort_force(wind_speed: float, *, knots: bool = False) -> int:
    """The Beaufort force of a wind speed in m/s (or knots) by the WMO scale, 0 to 12.

    Raises ValueError for a negative or NaN speed."""
    if not wind_speed >= 0.0:  # also NaN
        raise ValueError(f"a wind speed is a number of at least 0, not {wind_speed!r}")
    bounds = BEAUFORT_LOWER_BOUNDS_KN if knots else BEAUFORT_LOWER_BOUNDS_MS
    return bisect.bisect_right(bounds, wind_speed)


def beaufort_forces(wind_speed: Any, *, knots: bool = False) -> NDArray[np.int32]:
    """beaufort_force for a NumPy array of speeds, as an int32 array; a negative or
    NaN speed gives -1, which the model refuses, so the caller must skip it."""
    import numpy as np

    speed = np.asarray(wind_speed, dtype=np.float64)
    # The number of bounds reached, counted with one comparison per bound: several
    # times faster than a binary search (np.searchsorted) over so few bounds.
    force = np.zeros(speed.shape, dtype=np.int32)
    for bound in BEAUFORT_LOWER_BOUNDS_KN if knots else BEAUFORT_LOWER_BOUNDS_MS:
        force += speed >= bound
    return np.where(speed >= 0.0, force, np.int32(-1))
