"""Estimate how much a ship's speed through the water changes in wind and waves.

Run with no arguments for the 120 m general cargo ship of the module's worked
example (10 000 m³ displacement, 20 m breadth, 7 m draught) at 12 knots, laden,
in a Beaufort 4 head wind and 2 m head seas:

    python examples/speed_loss.py
    python examples/speed_loss.py --ballast --wind-scale 8 --wave-height 5.5 --table
    python examples/speed_loss.py --plot polar.png     # needs matplotlib (veltrum[plot])

One estimate is printed as the speed change in knots, as a share of the set
speed and as the attainable speed. --table adds the speed change for every
relative heading and Beaufort force, with wind and waves from the same
direction and the wave height typical of each force; --plot draws the same as
a polar diagram, laden and in ballast side by side.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Iterable, Sequence
from typing import NoReturn

import veltrum

# Typical wave height in the open sea for each Beaufort force, metres: the
# wave height the table and the diagram pair with each force.
WAVE_HEIGHT_BY_FORCE = (0.0, 0.1, 0.2, 0.6, 1.0, 2.0, 3.0, 4.0, 5.5, 7.0, 9.0, 11.5, 14.0)
TABLE_HEADINGS = range(0, 181, 15)  # degrees off the bow
PLOT_HEADINGS = range(0, 181, 5)
PLOT_FORCES = (2, 4, 6, 8, 10, 12)

# The model's failure messages, in English.
EXPLANATIONS = {
    "参数必须大于0": "every hull particular must be greater than zero",
    "无效的方形系数": "invalid block coefficient: none follows from these particulars "
    "(one is not a number, or their ratio is infinite)",
    "蒲福风级必须在 0~12": "the Beaufort force must be between 0 and 12",
}


NUMERIC_OPTIONS: dict[str, list[tuple[str, type, float, str, str]]] = {
    "vessel": [
        ("--displacement", float, 10000.0, "M3", "displacement volume in m³"),
        ("--length", float, 120.0, "M", "length in metres"),
        ("--breadth", float, 20.0, "M", "breadth in metres"),
        ("--draught", float, 7.0, "M", "draught in metres"),
        ("--speed-kts", float, 12.0, "KN", "speed through the water in knots"),
    ],
    "weather": [
        ("--wind-beta", float, 0.0, "DEG", "relative wind direction"),
        ("--wind-scale", int, 4, "BFT", "Beaufort force, 0 to 12"),
        ("--wave-height", float, 2.0, "M", "wave height in metres"),
        ("--wave-beta", float, 0.0, "DEG", "relative wave direction"),
    ],
}


class UsageError(Exception):
    """Bad command-line input: reported in one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = Parser(
        description="Speed change of a ship in wind and waves, from the veltrum model.",
        epilog="Angles are degrees off the bow: 0 is head on, 180 from astern.",
    )
    for group_name, options in NUMERIC_OPTIONS.items():
        group = parser.add_argument_group(group_name)
        for option, kind, default, metavar, meaning in options:
            group.add_argument(option, type=kind, default=default, metavar=metavar,
                               help=f"{meaning} (default: %(default)g)")
        if group_name == "vessel":
            group.add_argument("--ballast", action="store_true", help="in ballast instead of laden")
    output = parser.add_argument_group("output")
    output.add_argument("--table", action="store_true",
                        help="also print the speed change by heading and Beaufort force")
    output.add_argument("--plot", metavar="FILE.png",
                        help="also draw a polar diagram of speed change into FILE.png")
    args = parser.parse_args(argv)
    if not math.isfinite(args.speed_kts):
        parser.error(f"--speed-kts wants a finite speed, not {args.speed_kts}")
    if args.plot is not None:
        if not args.plot.lower().endswith(".png"):
            parser.error(f"--plot wants a file name ending in .png, not {args.plot!r}")
        if not os.path.isdir(os.path.dirname(args.plot) or "."):
            parser.error(f"--plot: no directory for {args.plot!r}")
    return args


def loading(laden: bool) -> str:
    return "laden" if laden else "in ballast"


def hull(args: argparse.Namespace) -> str:
    return f"{args.displacement:g} m³, {args.length:g} × {args.breadth:g} × {args.draught:g} m"


def report(vessel: veltrum.NavCalc, args: argparse.Namespace) -> None:
    """Prints the one estimate the command line asks for."""
    change = vessel.compute(args.wind_beta, args.wind_scale, args.wave_height, args.wave_beta)
    speed = args.speed_kts
    share = f"{change / speed * 100:+.1f} %" if speed != 0 else "n/a"
    print(f"Vessel:  {hull(args)}, {loading(not args.ballast)}, {speed:g} kn")
    print(f"Weather: Beaufort {args.wind_scale} wind at {args.wind_beta:g}°, "
          f"{args.wave_height:g} m waves at {args.wave_beta:g}° off the bow")
    print(f"Speed change:     {change:+.2f} kn ({share} of the set speed)")
    print(f"Attainable speed: {speed + change:.2f} kn")


def sweep(vessel: veltrum.NavCalc, headings: Iterable[int], force: int) -> list[float]:
    """Speed change at each heading, wind and waves of the force from that heading."""
    height = WAVE_HEIGHT_BY_FORCE[force]
    return [vessel.compute(heading, force, height, heading) for heading in headings]


def print_table(vessel: veltrum.NavCalc, args: argparse.Namespace) -> None:
    forces = range(13)
    columns = [sweep(vessel, TABLE_HEADINGS, force) for force in forces]
    print()
    print(f"Speed change in knots at {args.speed_kts:g} kn, {loading(not args.ballast)}; "
          "wind and waves from the same direction,")
    print("wave height typical of the force (Bft: metres): "
          + ", ".join(f"{force}: {WAVE_HEIGHT_BY_FORCE[force]:g}" for force in forces[1:]))
    print("heading" + "".join(f"{'Bft ' + str(force):>7}" for force in forces))
    for row, heading in enumerate(TABLE_HEADINGS):
        print(f"{heading:>6}°" + "".join(f"{column[row]:>+7.2f}" for column in columns))


def draw_plot(vessel: veltrum.NavCalc, args: argparse.Namespace) -> None:
    """Polar diagram: speed change against relative heading, laden and in ballast."""
    path = args.plot
    try:
        import matplotlib
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'veltrum[plot]'") from None
    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import MaxNLocator

    # Port and starboard are alike: headings 0..180 are drawn on both sides.
    angles = [math.radians(h) for h in PLOT_HEADINGS]
    angles += [2 * math.pi - a for a in reversed(angles)]
    curves: dict[bool, dict[int, list[float]]] = {}
    for laden in (True, False):
        vessel.setup(args.speed_kts, laden)
        curves[laden] = {}
        for force in PLOT_FORCES:
            values = sweep(vessel, PLOT_HEADINGS, force)
            curves[laden][force] = values + values[::-1]
    everything = [v for by_force in curves.values() for values in by_force.values()
                  for v in values if math.isfinite(v)]
    if not everything:
        raise UsageError("nothing to draw: no finite speed change for this vessel")
    inner = math.floor(min(everything) * 2) / 2 - 0.5
    outer = max(0.5, math.ceil(max(everything) * 2) / 2)

    figure, axes = pyplot.subplots(1, 2, figsize=(11, 5.8), subplot_kw={"projection": "polar"})
    colours = pyplot.get_cmap("viridis")
    for ax, laden in zip(axes, (True, False)):
        for index, force in enumerate(PLOT_FORCES):
            ax.plot(angles, curves[laden][force], color=colours(index / (len(PLOT_FORCES) - 1)),
                    linewidth=1.6, label=f"Bft {force} ({WAVE_HEIGHT_BY_FORCE[force]:g} m)")
        ax.plot(angles, [0.0] * len(angles), color="black", linewidth=0.8,
                linestyle="--")
        ax.set_theta_zero_location("N")
        ax.set_theta_direction(-1)
        ax.set_rlim(inner, outer)
        ax.yaxis.set_major_locator(MaxNLocator(nbins=5, integer=True))
        ax.set_rlabel_position(22.5)
        ax.tick_params(axis="y", labelsize=8)
        ax.set_title(f"{loading(laden).capitalize()}, {args.speed_kts:g} kn", pad=18)
    axes[1].legend(loc="upper left", bbox_to_anchor=(1.08, 1.0), title="wind and waves")
    figure.suptitle(
        "Speed change in knots by relative heading (0° = head on), "
        f"{hull(args)} hull")
    figure.tight_layout()
    # No tool version in the file: the same data gives the same picture.
    try:
        figure.savefig(path, dpi=90, metadata={"Software": None})
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None
    finally:
        pyplot.close(figure)
    print(f"\nPolar diagram written to {path}")


def is_model_failure(error: BaseException) -> bool:
    """True for the module's PanicException, which is not an Exception."""
    kind = type(error)
    return kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException"


def run(args: argparse.Namespace) -> None:
    vessel = veltrum.NavCalc(args.displacement, args.length, args.breadth, args.draught)
    vessel.setup(args.speed_kts, not args.ballast)
    report(vessel, args)
    if args.table:
        print_table(vessel, args)
    if args.plot is not None:
        draw_plot(vessel, args)


def main(argv: Sequence[str] | None = None) -> int:
    prog = "speed_loss.py"
    try:
        run(parse_args(argv))
    except (UsageError, TypeError, OverflowError) as error:  # or a value the module can't take
        print(f"{prog}: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BaseException as error:
        if not is_model_failure(error):
            raise
        message = str(error)
        meaning = EXPLANATIONS.get(message, "the model rejected the input")
        print(f"{prog}: error: {message} — {meaning}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
