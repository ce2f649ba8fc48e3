"""Estimate how much a ship's speed through the water changes in wind and waves.

Run with no arguments for the 120 m general cargo ship of the module's worked
example (10 000 m³ displacement, 20 m breadth, 7 m draught) at 12 knots, laden,
in a Beaufort 4 head wind and 2 m head seas:

    veltrum-polar
    veltrum-polar --ballast --wind-scale 8 --wave-height 5.5 --table
    veltrum-polar --heading 90 --wind-from 270 --wind-speed 25 --knots
    veltrum-polar --plot polar.png     # needs matplotlib: pip install 'veltrum[plot]'

The weather is given either relative to the bow (--wind-beta, --wave-beta,
--wind-scale) or as a navigator has it: the ship's true heading, the true
directions the wind and the waves come from, and the wind speed, which is
turned into a Beaufort force by the WMO scale. Relative angles outside 0–180°
are folded into it, with a note. Without --wave-height, the wave height is the
one typical of the force (2 m for the worked example's default force 4).

One estimate is printed as the speed change in knots, as a share of the set
speed and as the attainable speed. --table adds the speed change for every
relative heading and Beaufort force, with wind and waves from the same
direction and the wave height typical of each force; --plot draws the
attainable speed for the same as a polar diagram, laden and in ballast side by
side.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

import veltrum
from veltrum_tools.command import Parser, add_overwrite, run_main
from veltrum_tools.errors import UsageError, require_extra
from veltrum_tools.marine import (WAVE_HEIGHT_BY_FORCE, beaufort_force, fold_angle,
                                  impossible_weather, relative_angle)
from veltrum_tools.outputs import FIGURE_BYTES, check_room, refuse_existing, save_figure
from veltrum_tools.vessel import Vessel, add_vessel_options, loading, refusals_as_usage, vessel_of

if TYPE_CHECKING:
    from matplotlib.figure import Figure

PROG = "veltrum-polar"

TABLE_HEADINGS = range(0, 181, 15)  # degrees off the bow
PLOT_HEADINGS = range(0, 181, 5)
PLOT_FORCES = (2, 4, 6, 8, 10, 12)

WEATHER_OPTIONS: list[tuple[str, type, float, str, str]] = [
    ("--wind-beta", float, 0.0, "DEG", "direction the wind comes from, off the bow"),
    ("--wind-scale", int, 4, "BFT", "true wind's Beaufort force, 0 to 12"),
    ("--wave-beta", float, 0.0, "DEG", "direction the waves come from, off the bow"),
]
# Options with no default of their own: each replaces one of the above.
TRUE_WEATHER_OPTIONS: list[tuple[str, str, str]] = [
    ("--heading", "DEG", "the ship's true heading, for --wind-from and --waves-from"),
    ("--wind-from", "DEG", "true direction the wind comes from (instead of --wind-beta)"),
    ("--waves-from", "DEG", "true direction the waves come from (default: the wind's)"),
    ("--wind-speed", "SPEED", "true wind speed in m/s, as a Beaufort force by the WMO scale "
                              "(instead of --wind-scale)"),
    ("--wave-height", "M", "significant wave height in metres (default: typical of the "
                           "force; 2 with the default force)"),
]
WORKED_EXAMPLE_WAVE_HEIGHT = 2.0
KNOT_MS = 1852.0 / 3600.0  # metres per second in a knot


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = Parser(
        prog=PROG,
        description="Speed change of a ship in wind and waves, from the veltrum model.",
        epilog="Angles are degrees off the bow: 0 is head on, 180 from astern, port and "
        "starboard alike; others are folded into 0-180.",
    )
    add_vessel_options(parser.add_argument_group("vessel"))
    group = parser.add_argument_group("weather")
    for option, kind, default, metavar, meaning in WEATHER_OPTIONS:
        group.add_argument(option, type=kind, default=default, metavar=metavar,
                           help=f"{meaning} (default: %(default)g)")
    for option, metavar, meaning in TRUE_WEATHER_OPTIONS:
        group.add_argument(option, type=float, metavar=metavar, help=meaning)
    group.add_argument("--knots", action="store_true", help="--wind-speed is in knots")
    output = parser.add_argument_group("output")
    output.add_argument("--table", action="store_true",
                        help="also print the speed change by heading and Beaufort force")
    output.add_argument("--plot", metavar="FILE.png",
                        help="also draw a polar diagram of the attainable speed into FILE.png")
    add_overwrite(output)
    args = parser.parse_args(argv)
    args.vessel = vessel_of(args)
    resolve_weather(parser, args, argv)
    if args.plot is not None:
        if not args.plot.lower().endswith(".png"):
            parser.error(f"--plot wants a file name ending in .png, not {args.plot!r}")
        if not os.path.isdir(os.path.dirname(args.plot) or "."):
            parser.error(f"--plot: no directory for {args.plot!r}")
        refuse_existing("--plot", args.plot, args.overwrite)
        check_room("--plot", args.plot, FIGURE_BYTES)
        require_extra("plot", "--plot")
    return args


def given(argv: Sequence[str], option: str) -> bool:
    """Whether the command line names the option (argparse's defaults hide it)."""
    return any(arg == option or arg.startswith(option + "=") for arg in argv)


def resolve_weather(parser: Parser, args: argparse.Namespace, argv: Sequence[str] | None) -> None:
    """Turns true directions and the wind speed into the model's inputs, folds
    relative angles into 0–180° and fills in the wave height. Sets args.notes."""
    named = sys.argv[1:] if argv is None else argv
    for true_option, relative in (("--wind-from", "--wind-beta"), ("--waves-from", "--wave-beta"),
                                  ("--wind-speed", "--wind-scale")):
        if given(named, true_option) and given(named, relative):
            parser.error(f"{true_option} and {relative} say the same thing: give one of them")
    args.notes = []
    if args.wind_from is not None or args.waves_from is not None:
        if args.heading is None:
            parser.error("--wind-from and --waves-from need the ship's --heading")
        wind_from = args.wind_from
        waves_from = args.waves_from if args.waves_from is not None else wind_from
        if wind_from is not None:
            args.wind_beta = relative_angle(args.heading, wind_from)
        if waves_from is not None:
            args.wave_beta = relative_angle(args.heading, waves_from)
    elif args.heading is not None:
        parser.error("--heading needs --wind-from or --waves-from")
    folded = []
    for name, plural, attribute in (("wind", "wind", "wind_beta"), ("wave", "waves", "wave_beta")):
        angle = getattr(args, attribute)
        if not math.isfinite(angle):
            parser.error(f"the {name} direction must be a finite angle, not {angle:g}")
        if not 0.0 <= angle <= 180.0:
            setattr(args, attribute, fold_angle(angle))
            folded.append(f"{plural} {angle:g}° → {getattr(args, attribute):g}°")
    if folded:
        args.notes.append("Note: relative angles folded into 0–180° off the bow (port and "
                          "starboard alike): " + ", ".join(folded))
    if args.wind_speed is not None:
        try:
            args.wind_scale = beaufort_force(args.wind_speed, knots=args.knots)
        except ValueError as error:
            parser.error(f"--wind-speed: {error}")
    elif args.knots:
        parser.error("--knots goes with --wind-speed")
    if not 0 <= args.wind_scale <= 12:  # refused here, before the model would refuse it
        parser.error(f"--wind-scale wants a Beaufort force from 0 to 12, not {args.wind_scale}")
    if args.wave_height is None:
        default_weather = not any(given(named, o) for o in ("--wind-scale", "--wind-speed"))
        args.wave_height = (WORKED_EXAMPLE_WAVE_HEIGHT if default_weather
                            else WAVE_HEIGHT_BY_FORCE[args.wind_scale])
    wind_ms = (args.wind_speed or 0.0) * (KNOT_MS if args.knots else 1.0)
    impossible = impossible_weather(wind_ms, args.wave_height)
    if impossible:
        parser.error(f"no sea has {impossible}")


def report(model: veltrum.NavCalc, vessel: Vessel, args: argparse.Namespace) -> None:
    """Prints the one estimate the command line asks for."""
    with refusals_as_usage():
        change = model.compute(args.wind_beta, args.wind_scale, args.wave_height,
                               args.wave_beta)
    speed = vessel.speed_kts
    share = f"{change / speed * 100:+.1f} %" if speed != 0 else "n/a"
    for note in args.notes:
        print(note)
    print(f"Vessel:  {vessel.hull()}, {vessel.loading}, {speed:g} kn")
    print(f"Weather: Beaufort {args.wind_scale} wind at {args.wind_beta:g}°, "
          f"{args.wave_height:g} m waves at {args.wave_beta:g}° off the bow")
    if args.heading is not None:
        wind_from = "" if args.wind_from is None else f"wind from {args.wind_from:g}°, "
        waves_from = args.waves_from if args.waves_from is not None else args.wind_from
        print(f"         (heading {args.heading:g}°, {wind_from}waves from {waves_from:g}° true)")
    if args.wind_speed is not None:
        unit = "kn" if args.knots else "m/s"
        print(f"         (wind {args.wind_speed:g} {unit}: Beaufort {args.wind_scale} "
              "by the WMO scale)")
    print(f"Speed change:     {change:+.2f} kn ({share} of the set speed)")
    print(f"Attainable speed: {speed + change:.2f} kn")


def sweep(vessel: veltrum.NavCalc, headings: Iterable[int], force: int) -> list[float]:
    """Speed change at each heading, wind and waves of the force from that heading."""
    height = WAVE_HEIGHT_BY_FORCE[force]
    return [vessel.compute(heading, force, height, heading) for heading in headings]


def print_table(model: veltrum.NavCalc, vessel: Vessel) -> None:
    forces = range(13)
    columns = [sweep(model, TABLE_HEADINGS, force) for force in forces]
    print()
    print(f"Speed change in knots at {vessel.speed_kts:g} kn, {vessel.loading}; "
          "wind and waves from the same direction,")
    print("wave height typical of the force (Bft: metres): "
          + ", ".join(f"{force}: {WAVE_HEIGHT_BY_FORCE[force]:g}" for force in forces[1:]))
    print("heading" + "".join(f"{'Bft ' + str(force):>7}" for force in forces))
    for row, heading in enumerate(TABLE_HEADINGS):
        print(f"{heading:>6}°" + "".join(f"{column[row]:>+7.2f}" for column in columns))


# Okabe–Ito colours, told apart with the common colour-vision deficiencies, and a
# line style of its own for each force, so that no curve depends on colour alone.
PLOT_STYLES = (("#56B4E9", "solid"), ("#009E73", (0, (6, 2))), ("#E69F00", "dashdot"),
               ("#0072B2", (0, (1, 1.5))), ("#D55E00", (0, (8, 2, 1, 2, 1, 2))),
               ("#CC79A7", (0, (3, 2))))


def polar_curves(vessel: veltrum.NavCalc, speed: float) -> dict[bool, dict[int, list[float]]]:
    """Attainable speed in knots at each of PLOT_HEADINGS, by loading state and
    force, wind and waves of the force from that heading. Leaves the vessel in
    ballast at this speed."""
    curves: dict[bool, dict[int, list[float]]] = {}
    for laden in (True, False):
        vessel.setup(speed, laden)
        curves[laden] = {force: [speed + change for change in sweep(vessel, PLOT_HEADINGS, force)]
                         for force in PLOT_FORCES}
    return curves


def polar_figure(model: veltrum.NavCalc, vessel: Vessel) -> Figure:
    """Polar diagram like a sailing polar: the attainable speed by relative
    heading, laden and in ballast side by side, the set speed as a circle."""
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    speed = vessel.speed_kts
    curves = polar_curves(model, speed)
    everything = [v for by_force in curves.values() for values in by_force.values()
                  for v in values if math.isfinite(v)]
    if not everything:
        raise UsageError("nothing to draw: no finite speed change for this vessel")
    low, high = min(everything), max(everything + [speed])
    # A centre just inside the slowest curve keeps the differences readable; it
    # is zero when the losses are a large part of the speed.
    centre = float(math.floor(low) - 1 if low > speed / 2 else min(0, math.floor(low)))
    outer = float(math.ceil(high)) + 0.5
    # Port and starboard are alike: headings 0..180 are drawn on both sides.
    angles = [math.radians(h) for h in PLOT_HEADINGS]
    angles += [2 * math.pi - a for a in reversed(angles)]
    circle = [math.radians(h) for h in range(0, 361, 2)]

    figure, axes = pyplot.subplots(1, 2, figsize=(12, 6.6), subplot_kw={"projection": "polar"})
    for ax, laden in zip(axes, (True, False)):
        for (colour, style), force in zip(PLOT_STYLES, PLOT_FORCES):
            values = curves[laden][force]
            ax.plot(angles, values + values[::-1], color=colour, linestyle=style, linewidth=1.8,
                    label=f"Bft {force}, {WAVE_HEIGHT_BY_FORCE[force]:g} m waves",
                    gid=f"{loading(laden)} {force}")
        ax.plot(circle, [speed] * len(circle), color="black", linewidth=1.0,
                label=f"set speed, {speed:g} kn")
        ax.annotate(f"set speed {speed:g} kn", xy=(math.radians(72), speed),
                    xytext=(3, 3), textcoords="offset points", fontsize=8, va="bottom",
                    bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.85, "pad": 1})
        ax.set_theta_zero_location("N")
        ax.set_theta_direction(-1)
        ax.set_thetagrids(range(0, 360, 30))
        ax.set_rlim(centre, outer)
        ax.yaxis.set_major_locator(MaxNLocator(nbins=5))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g} kn"))
        ax.set_rlabel_position(202.5)  # abaft the port beam, where the curves are closest
        ax.tick_params(axis="y", labelsize=8)
        for label in ax.get_yticklabels():
            label.set_bbox({"facecolor": "white", "edgecolor": "none", "alpha": 0.85, "pad": 1})
        ax.set_title(f"{loading(laden).capitalize()}", pad=16)
    axes[1].legend(loc="upper left", bbox_to_anchor=(1.08, 1.0), title="wind and waves")
    figure.suptitle(f"Attainable speed by relative heading (0° = head on), {vessel.hull()} hull, "
                    f"set speed {speed:g} kn")
    figure.text(
        0.5, 0.015,
        f"Radius: attainable speed through the water in knots; the centre is {centre:g} kn. "
        "Wind and waves come from the same direction, the wave height is typical of the force.\n"
        "The steps are the model's direction sectors: the wind's at 30°, 60° and 150°, the "
        "waves' every 30° from 30° to 150°.",
        ha="center", va="bottom", fontsize=9)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    return figure


def draw_plot(model: veltrum.NavCalc, vessel: Vessel, path: str) -> None:
    """Writes the polar diagram to path."""
    save_figure(polar_figure(model, vessel), path)
    print(f"\nPolar diagram written to {path}")


def run(args: argparse.Namespace) -> None:
    vessel = args.vessel
    model = vessel.checked()
    report(model, vessel, args)
    if args.table:
        print_table(model, vessel)
    if args.plot is not None:
        draw_plot(model, vessel, args.plot)


def main(argv: Sequence[str] | None = None) -> int:
    return run_main(PROG, lambda: run(parse_args(argv)), argv)


if __name__ == "__main__":
    sys.exit(main())
