"""Units from each field's CF `units`, read by pint through cf_xarray's registry (which
knows UDUNITS' spellings such as `m s-1` and `m s**-1`): wind speeds become m/s, wave
heights metres, directions degrees.

A field already in the tools' unit is left as stored. Another is converted in double
precision by the exact ratio its unit's definition gives (1852/3600 for knots, 1000/3600
for km/h), as one multiplication and one division: the result is the correctly rounded
value of the exact product for every stored value of up to 44 significant bits, single
precision and packed fields included, so a wind in knots gives the very numbers of the
same wind in m/s correctly rounded. Radians become degrees by NumPy's `degrees`. A field
without units is taken in the tools' unit, as ERA5's and GRIB's fields always carry
theirs; a unit that is not a speed, a length or an angle is refused, naming the variable.
"""

from __future__ import annotations

import math
from fractions import Fraction
from typing import TYPE_CHECKING, Any

from veltrum_tools.errors import UsageError

if TYPE_CHECKING:
    import xarray as xr

TARGETS = {"speed": "m/s", "height": "m", "direction": "degree"}
SHOWN = {"speed": "m/s", "height": "m", "direction": "degrees"}
# Spellings of the tools' own units that ERA5, GRIB and CF files use, known without pint
# (which takes a third of a second to load its definitions): each is what pint converts to
# its kind's unit by a factor of exactly 1.
OWN = {"speed": {"m s**-1", "m s-1", "m/s", "m s^-1"},
       "height": {"m", "metre", "meter", "metres", "meters"},
       "direction": {"degree", "degrees"}}
# The largest denominator of a unit's exact ratio: pint keeps ratios as doubles, from which
# the fraction of its definition is recovered.
DENOMINATOR = 100_000


def spelled(units: str) -> str:
    """UDUNITS' and GRIB's spellings of a true direction, which pint does not know, as
    degrees."""
    text = units.strip()
    lowered = text.lower().replace("_", " ")
    for true in ("degrees true", "degree true", "deg true"):
        if lowered == true:
            return "degree"
    return text


def ratio(units: str, kind: str, name: str, label: str) -> Fraction | None:
    """The exact factor from `units` to the tools' unit for a kind of field, None when it
    is that unit already or an angle in radians (converted by `degrees`)."""
    if spelled(units) in OWN[kind]:
        return None
    import cf_xarray.units  # noqa: F401 - registers CF's spellings with pint
    import pint

    registry = cf_xarray.units.units
    refused = UsageError(f"{label}: {name} is in {units!r}, not a unit of "
                         f"{'a wind speed' if kind == 'speed' else 'a ' + kind} "
                         f"({SHOWN[kind]} or another)")
    try:
        quantity = registry.Quantity(1.0, spelled(units))
    except (pint.errors.PintError, ValueError, TypeError, AttributeError, KeyError):
        raise refused from None
    try:
        factor = float(quantity.to(TARGETS[kind]).magnitude)
    except pint.errors.DimensionalityError:
        raise refused from None
    if kind == "direction":
        # degrees by any spelling, or radians; not a plain number, a percentage or a turn
        if str(quantity.units) == "dimensionless" or not (
                factor == 1.0 or math.isclose(factor, math.degrees(1.0), rel_tol=1e-12)):
            raise refused
        return None if factor == 1.0 else Fraction(-1)
    exact = Fraction(factor).limit_denominator(DENOMINATOR)
    if float(exact) != factor:
        exact = Fraction(factor)
    return None if exact == 1 else exact


def in_tools_units(field: xr.DataArray, kind: str, name: str, label: str) -> xr.DataArray:
    """A field in m/s, metres or degrees, lazily."""
    import numpy as np

    units = field.attrs.get("units")
    if units is None or str(units).strip() == "":
        return field
    factor = ratio(str(units), kind, name, label)
    if factor is None:
        return field
    wide: Any = field.astype(np.float64)
    if factor == -1:
        converted = np.degrees(wide)
    else:
        converted = wide * float(factor.numerator) / float(factor.denominator)
    result: xr.DataArray = converted.assign_attrs(field.attrs, units=SHOWN[kind])
    return result


def components(speed: xr.DataArray, coming_from: xr.DataArray) -> tuple[xr.DataArray,
                                                                         xr.DataArray]:
    """The wind's components from its speed (m/s) and the direction it comes from
    (degrees): u = −ws·sin(wdir), v = −ws·cos(wdir), in double precision. Where the speed
    the tools recover from them, sqrt(u² + v²), would fall into another Beaufort force than
    the speed given (a speed within a few units in the last place of a force's bound), both
    are scaled by one unit in the last place towards it, up to four times, so that the
    force is the speed's."""
    import numpy as np
    import xarray as xr

    def convert(speed: Any, coming_from: Any) -> tuple[Any, Any]:
        from veltrum_tools.marine import beaufort_forces

        speed = speed.astype(np.float64)
        radians = np.radians(coming_from.astype(np.float64))
        u, v = -speed * np.sin(radians), -speed * np.cos(radians)
        wanted = beaufort_forces(speed)
        for _ in range(4):
            recovered = np.sqrt(u * u + v * v)
            off = beaufort_forces(recovered) != wanted
            if not off.any():
                break
            scale = np.where(off, np.where(recovered < speed, 1.0 + 2.0**-52, 1.0 - 2.0**-53),
                             1.0)
            u, v = u * scale, v * scale
        return u, v

    u, v = xr.apply_ufunc(convert, speed, coming_from, dask="parallelized",
                          output_core_dims=[[], []], output_dtypes=[np.float64, np.float64])
    return u.assign_attrs(units="m/s"), v.assign_attrs(units="m/s")
