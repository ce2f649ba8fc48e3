"""Speed change of a ship through the water in wind and waves.

One class, :class:`NavCalc`: build it from four hull particulars, set the
operating condition with :meth:`NavCalc.setup`, ask :meth:`NavCalc.compute` for
the speed change in knots.

A value the model rejects raises ``pyo3_runtime.PanicException``. That class
derives from ``BaseException``, not ``Exception``, so ``except Exception`` does
not catch it; catch ``BaseException`` and test the type's name, or check the
values before the call. It is not an attribute of this module. The failure is
also reported on standard error (set ``VELTRUM_BACKTRACE`` to ``1`` or ``full``
for a backtrace in that report).
"""

from typing import Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = ["NavCalc"]

# A real number: float, int, bool, or any object with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

class _NumpyBool(Protocol):
    """A numpy boolean scalar (numpy.bool_), described without importing numpy:
    a zero-dimensional value (not an array) whose item is a bool."""

    @property
    def ndim(self) -> Literal[0]: ...
    def item(self, /) -> bool: ...
    def __bool__(self, /) -> bool: ...

@final
class NavCalc:
    """A ship's hull and operating condition, for speed-loss estimates.

    The class cannot be subclassed, and its instances take no attributes.
    """

    def __new__(
        cls, displacement: _Real, length: _Real, breadth: _Real, draught: _Real
    ) -> NavCalc:
        """Build a vessel from its hull particulars.

        Args:
            displacement: displacement volume in cubic metres at the loading
                state used (tonnes / 1.025 in sea water), greater than 0.
            length: length between perpendiculars in metres, greater than 0.
            breadth: moulded breadth in metres, greater than 0.
            draught: mean draught in metres at the loading state used,
                greater than 0.

        The block coefficient displacement / (length * breadth * draught) is
        snapped to the nearest of 0.55, 0.60, ..., 0.85. The vessel starts at
        10 knots, laden.

        Raises:
            TypeError: a missing, surplus, repeated or unknown argument, or an
                argument that is not a real number ("argument 'length': ...").
            OverflowError: an int too large for a float.
            pyo3_runtime.PanicException: "参数必须大于0" (a particular is not
                greater than zero) or "无效的方形系数" (invalid block coefficient:
                a NaN particular, or a ratio that is infinite, as for an infinite
                displacement or a product of the other three that underflows to
                zero). Derives from BaseException: ``except Exception`` does not
                catch it.
        """

    def setup(self, speed_kts: _Real, laden: bool | _NumpyBool) -> None:
        """Set the operating condition.

        The module's own docstring is Chinese:

            动态设置：航速 + 装载状态
            会自动重新计算 fr / af 等依赖项

        "dynamic setting: speed + loading state; fr, af and the other dependent
        values are recomputed automatically" (fr is the Froude number, af the
        speed-reduction coefficient).

        Args:
            speed_kts: speed through the water in knots. Any value is taken:
                zero and negative speeds give the smallest Froude number (and a
                negative speed turns the wind term's sign); with a NaN or
                infinite speed, compute returns NaN or an infinity.
            laden: True for the laden condition, False for ballast; a numpy
                boolean is accepted too, an int is not.

        Raises:
            TypeError: a missing, surplus, repeated or unknown argument, or a
                wrong type ("argument 'laden': 'int' object cannot be converted
                to 'PyBool'").
            OverflowError: an int speed too large for a float.
            RuntimeError: "Already borrowed", when called on this vessel from
                inside one of its own calls (from an argument's __float__).
        """

    def compute(
        self,
        wind_beta: _Real,
        wind_scale: SupportsIndex,
        wave_height: _Real,
        wave_beta: _Real,
    ) -> float:
        """Estimate the change of speed through the water.

        Args:
            wind_beta: direction the true wind comes from, in degrees off the
                bow: 0 for a head wind, 90 on the beam, 180 from astern.
            wind_scale: the true wind's Beaufort force, an integer from 0 to 12
                (an int, bool or object with __index__; a float is refused).
            wave_height: significant wave height in metres. Low, negative and
                NaN heights count as an effective 0.2 m, an infinite height as
                9 m.
            wave_beta: direction the waves come from, in degrees off the bow:
                0 for head seas, 180 for following seas.

        Both angles are meant in 0 to 180 degrees, port and starboard alike.
        They are not folded: outside that range they are compared unchanged
        against the direction sectors, so a negative wind_beta counts as head
        wind, one above 180 (or NaN) as wind from astern, and a wave_beta below
        0, above 180 or NaN as head seas. Fold an angle first, for example
        180 - abs(180 - angle % 360): -170 and 190 give 170, 350 gives 10.

        Returns:
            The speed change in knots, negative for a loss, rounded to two
            decimals (NaN or infinite only after a NaN or infinite speed).

        Raises:
            TypeError: a missing, surplus, repeated or unknown argument, or an
                argument of the wrong type ("argument 'wind_scale': ...").
            OverflowError: "Python int too large to convert to C long", for a
                wind_scale outside the 32-bit range, or an int too large for a
                float.
            RuntimeError: "Already mutably borrowed", when called on this
                vessel from inside its own setup (from an argument's __float__).
            pyo3_runtime.PanicException: "蒲福风级必须在 0~12" (the Beaufort force
                is not within 0 to 12). Derives from BaseException: ``except
                Exception`` does not catch it.
        """
