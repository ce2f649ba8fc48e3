"""The ship the tools estimate for: its particulars, speed and loading as one frozen record,
the command-line options that give them (the same in every tool), and what the model's
refusals mean in English."""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass

import veltrum
from veltrum_tools.errors import UsageError

# The model's failure messages, in English.
EXPLANATIONS = {
    "参数必须大于0": "every hull particular must be greater than zero",
    "无效的方形系数": "invalid block coefficient: none follows from these particulars "
    "(one is not a number, or their ratio is infinite)",
    "蒲福风级必须在 0~12": "the Beaufort force must be between 0 and 12",
}


def explained(message: str) -> str:
    """A message of the model with its meaning."""
    return f"{message} — {EXPLANATIONS.get(message, 'the model rejected the input')}"


def is_model_failure(error: BaseException) -> bool:
    """True for the module's PanicException, which derives from BaseException only and is
    not an attribute of the module: recognised by its type's module and name."""
    kind = type(error)
    return kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException"


@contextmanager
def refusals_as_usage() -> Iterator[None]:
    """Around calls of the model with what the user gave: a value it cannot take
    (TypeError, OverflowError) or refuses (its failure) is bad input, explained."""
    try:
        yield
    except (TypeError, OverflowError) as error:
        raise UsageError(str(error)) from None
    except BaseException as error:
        if not is_model_failure(error):
            raise
        raise UsageError(explained(str(error))) from None


def loading(laden: bool) -> str:
    return "laden" if laden else "in ballast"


@dataclass(frozen=True)
class Vessel:
    """A hull (displacement volume in m³, length, breadth and draught in metres) at a speed
    through the water in knots, laden or in ballast."""

    displacement: float
    length: float
    breadth: float
    draught: float
    speed_kts: float
    laden: bool

    @property
    def particulars(self) -> tuple[float, float, float, float]:
        return (self.displacement, self.length, self.breadth, self.draught)

    @property
    def loading(self) -> str:
        return loading(self.laden)

    def hull(self) -> str:
        return (f"{self.displacement:g} m³, {self.length:g} × {self.breadth:g} × "
                f"{self.draught:g} m")

    def __str__(self) -> str:
        return f"{self.hull()}, {self.speed_kts:g} kn, {self.loading}"

    def navcalc(self) -> veltrum.NavCalc:
        """The model's instance for this ship, set to its speed and loading."""
        vessel = veltrum.NavCalc(*self.particulars)
        vessel.setup(self.speed_kts, self.laden)
        return vessel

    def checked(self) -> veltrum.NavCalc:
        """navcalc(), with a refusal of the model turned into bad input."""
        with refusals_as_usage():
            return self.navcalc()


# The particulars and speed as every tool takes them: option, default, metavar, meaning.
VESSEL_OPTIONS = (
    ("--displacement", 10000.0, "M3", "displacement volume in m³ (tonnes / 1.025)"),
    ("--length", 120.0, "M", "length between perpendiculars in metres"),
    ("--breadth", 20.0, "M", "moulded breadth in metres"),
    ("--draught", 7.0, "M", "mean draught in metres"),
    ("--speed-kts", 12.0, "KN", "speed through the water in knots"),
)


def add_vessel_options(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    """--displacement, --length, --breadth, --draught, --speed-kts and --ballast."""
    for option, default, metavar, meaning in VESSEL_OPTIONS:
        parser.add_argument(option, type=float, default=default, metavar=metavar,
                            help=f"{meaning} (default: %(default)g)")
    parser.add_argument("--ballast", action="store_true", help="in ballast instead of laden")


# What the tools take, in every tool, whatever the model itself accepts: particulars from
# 1e-3 to 1e7 (metres, or m³), so that a ratio of two stays far from overflow and a result
# prints as a number, and a speed of at most 100 kn.
PARTICULARS_RANGE = (1e-3, 1e7)
MAX_SPEED_KTS = 100.0


def vessel_of(args: argparse.Namespace, *, under_way: bool = False) -> Vessel:
    """The vessel the options of add_vessel_options give; UsageError for particulars outside
    PARTICULARS_RANGE or a speed outside 0 to MAX_SPEED_KTS (above 0 when `under_way`: the
    tool divides by it)."""
    low, high = PARTICULARS_RANGE
    for option, *_ in VESSEL_OPTIONS[:4]:
        value = getattr(args, option[2:])
        if not low <= value <= high:  # also NaN
            raise UsageError(f"{option} wants a number from {low:g} to {high:g}, not {value:g}")
    speed = args.speed_kts
    if not (speed > 0.0 if under_way else speed >= 0.0) or not speed <= MAX_SPEED_KTS:
        raise UsageError(f"--speed-kts wants a speed {'above' if under_way else 'from'} 0 "
                         f"{'and up ' if under_way else ''}to {MAX_SPEED_KTS:g} kn, not {speed:g}")
    return Vessel(args.displacement, args.length, args.breadth, args.draught, speed,
                  not args.ballast)
