"""Prints the README's section "Limitations and validity", every number in it
measured with the installed module.

    python docs/limitations.py            # the section, as Markdown
    python docs/limitations.py --write    # replace the section in README.md

The model is probed through its public calls only. Where a sign or a zero is
asked for, the probe is a hull of tiny breadth and draught: its form term is
about a million, so the wind term cannot round away and its sign is the sign
of the answer's change when the wind is switched on.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import textwrap
from collections.abc import Callable, Iterable, Sequence

import veltrum
from veltrum_tools.marine import beaufort_force  # the tools' WMO scale
from veltrum_tools.marine import WAVE_HEIGHT_BY_FORCE  # veltrum-polar's table

ROOT = pathlib.Path(__file__).resolve().parents[1]

HEADING = "## Limitations and validity"
BLOCK_COEFFICIENTS = (0.55, 0.60, 0.65, 0.70, 0.75, 0.80, 0.85)
KNOT = 1852.0 / 3600.0
GRAVITY = 9.80665


def speed_for_froude(froude: float, length: float) -> float:
    """Knots at which a ship of this length runs at this Froude number."""
    return froude * math.sqrt(GRAVITY * length) / KNOT


def probe(cb: float, length: float = 100.0) -> veltrum.NavCalc:
    return veltrum.NavCalc(cb * length * 1e-4, length, 0.01, 0.01)


def wind_helps(vessel: veltrum.NavCalc) -> bool:
    """Whether a Beaufort 6 head wind raises the speed (force 0 has no wind term)."""
    return vessel.compute(0, 6, 0.0, 0) > vessel.compute(0, 0, 0.0, 0)


def first_true(low: float, high: float, test: Callable[[float], bool], step: float) -> float | None:
    """The lowest x in [low, high] on a grid of `step` for which a monotone test holds."""
    count = round((high - low) / step)
    if not test(low + count * step):
        return None
    lo, hi = 0, count
    while lo < hi:
        mid = (lo + hi) // 2
        if test(low + mid * step):
            hi = mid
        else:
            lo = mid + 1
    return low + lo * step


def gain_from_knots(cb: float, laden: bool, length: float) -> float | None:
    """The lowest speed, to 0.1 kn, at which wind raises the speed of such a ship."""
    vessel = probe(cb, length)

    def helps(knots: float) -> bool:
        vessel.setup(knots, laden)
        return wind_helps(vessel)
    return first_true(0.0, speed_for_froude(0.35, length) + 1, helps, 0.1)


def alpha_sign_change() -> list[str]:
    def threshold(cb: float, laden: bool) -> float | None:
        vessel = probe(cb)

        def helps(froude: float) -> bool:
            vessel.setup(speed_for_froude(froude, 100.0), laden)
            return wind_helps(vessel)
        return first_true(0.05, 0.35, helps, 0.001)

    def cell(value: float | None, form: str, unit: str = "") -> str:
        return "never" if value is None else format(value, form) + unit

    lines = [
        "| CB | laden, from Fn | ballast, from Fn | laden, 100 m long | 200 m long | 300 m long |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for cb in BLOCK_COEFFICIENTS:
        speeds = [cell(gain_from_knots(cb, True, length), ".1f", " kn") for length in
                  (100, 200, 300)]
        lines.append(f"| {cb:.2f} | {cell(threshold(cb, True), '.3f')} | "
                     f"{cell(threshold(cb, False), '.3f')} | " + " | ".join(speeds) + " |")
    return lines


def ranges(numbers: Iterable[int]) -> str:
    """1, 2, 3, 5 -> "1–3, 5"."""
    runs: list[list[int]] = []
    for n in numbers:
        if runs and n == runs[-1][-1] + 1:
            runs[-1].append(n)
        else:
            runs.append([n])
    return ", ".join(f"{r[0]}–{r[-1]}" if len(r) > 2 else ", ".join(map(str, r)) for r in runs) \
        or "none"


def direction_zeros() -> list[str]:
    vessel = probe(0.60)
    vessel.setup(12, True)
    lines = ["| wind from (off the bow) | forces without a wind term |", "|---|---|"]
    for label, angle in (("0–30°", 15.0), ("over 30° to 60°", 45.0),
                         ("over 60° to 150°", 105.0), ("over 150°", 165.0)):
        silent = [force for force in range(1, 13)
                  if vessel.compute(angle, force, 0.0, 0.0) == vessel.compute(angle, 0, 0.0, 0.0)]
        lines.append(f"| {label} | {ranges(silent)} |")
    return lines


def signed(value: float) -> str:
    return f"{value:+.2f}"


def row(values: Iterable[float]) -> str:
    return "| " + " | ".join(signed(v) for v in values) + " |"


def overview_vessel(speed: float = 12.0, laden: bool = True) -> veltrum.NavCalc:
    vessel = veltrum.NavCalc(10000, 120, 20, 7)
    vessel.setup(speed, laden)
    return vessel


def beam_seas() -> list[str]:
    vessel = overview_vessel()
    forces = range(13)
    return ["| Bft | " + " | ".join(map(str, forces)) + " |",
            "|---|" + "---:|" * len(forces),
            "| kn " + row(vessel.compute(90, force, 2.0, 90) for force in forces)]


def soft_limit_and_wave_step() -> list[str]:
    vessel = overview_vessel()
    heights = (1.0, 2.0, 2.99, 3.0, 4.0, 6.0, 9.0, 12.0, 20.0)
    lines = ["| waves from | " + " | ".join(f"{h:g} m" for h in heights) + " |",
             "|---|" + "---:|" * len(heights)]
    for label, angle in (("0–30°", 0.0), ("over 90° to 120°", 105.0),
                         ("over 120° to 150°", 135.0), ("over 150° to 180°", 170.0)):
        lines.append(f"| {label} " + row(vessel.compute(0, 0, h, angle) for h in heights))
    forces = range(4, 13)
    lines += ["", "| head wind and seas, Bft (m) | "
              + " | ".join(f"{f} ({WAVE_HEIGHT_BY_FORCE[f]:g})" for f in forces) + " |",
              "|---|" + "---:|" * len(forces),
              "| kn " + row(vessel.compute(0, f, WAVE_HEIGHT_BY_FORCE[f], 0) for f in forces)]
    return lines


def snapping() -> list[str]:
    # Only the breadth varies: displacement, length and Froude number stay, so
    # the block coefficient alone changes the answer.
    displacement, length, draught = 5760.0, 100.0, 6.0

    def change(raw: float) -> float:
        vessel = veltrum.NavCalc(displacement, length, displacement / (raw * length * draught),
                                 draught)
        vessel.setup(14, True)
        return vessel.compute(0, 6, 3.0, 0)

    raws = (0.3, 0.55, 0.574, 0.575, 0.576, 0.624, 0.625, 0.626, 0.824, 0.825, 0.826, 0.85, 1.2)
    return ["| raw CB | " + " | ".join(f"{raw:g}" for raw in raws) + " |",
            "|---|" + "---:|" * len(raws),
            "| kn " + row(change(raw) for raw in raws)]


def angles_and_speeds() -> list[str]:
    vessel = overview_vessel()
    lines = ["| wind and waves at | -170° | 170° | 350° | 10° | 190° |",
             "|---|---:|---:|---:|---:|---:|",
             "| kn " + row(vessel.compute(a, 6, 3.0, a) for a in (-170, 170, 350, 10, 190))]
    speeds = (12.0, 0.0, -12.0)
    lines += ["", "| set speed | " + " | ".join(f"{s:g} kn" for s in speeds) + " | NaN |",
              "|---|---:|---:|---:|---:|"]
    changes = []
    for speed in speeds:
        vessel.setup(speed, True)
        changes.append(vessel.compute(0, 6, 3.0, 0))
    vessel.setup(math.nan, True)
    lines.append("| change, kn " + row(changes)[:-1] + f"| {vessel.compute(0, 6, 3.0, 0)} |")
    lines.append("| attainable, kn " + row(s + c for s, c in zip(speeds, changes))[:-1]
                 + "| nan |")
    return lines


def small_craft() -> list[str]:
    lengths = (10.0, 20.0, 50.0, 120.0, 250.0)
    forces = (3, 4, 5, 6)
    lines = ["| length (∇) | speed | " + " | ".join(f"Bft {f}" for f in forces) + " |",
             "|---|---:|" + "---:|" * len(forces)]
    for length in lengths:
        breadth, draught = length / 6, length / 17
        displacement = 0.6 * length * breadth * draught
        vessel = veltrum.NavCalc(displacement, length, breadth, draught)
        speed = speed_for_froude(0.2, length)
        vessel.setup(speed, True)
        lines.append(f"| {length:g} m ({displacement:,.0f} m³) | {speed:.1f} kn "
                     + row(vessel.compute(0, f, 0.0, 0) for f in forces))
    return lines


# (name, particulars, speed in knots, capacity, IMO's a and b)
IMO_SHIPS = (
    ("bulk carrier, IMO's sample", (83300.0, 217.0, 32.26, 14.0), 14.5, 73000.0, 0.0429, 0.294),
    ("tanker (VLCC)", (330000.0, 320.0, 60.0, 21.0), 15.0, 300000.0, 0.0238, 0.526),
    ("container ship", (125000.0, 320.0, 42.8, 14.0), 22.0, 0.7 * 100000.0, 0.0208, 0.633),
)


def imo_comparison() -> tuple[list[str], str]:
    """The table, and a sentence on the losses either side expects."""
    lines = ["| ship | ∇ m³, Lpp × B × T m | speed | change | ratio | capacity | fw |",
             "|---|---|---:|---:|---:|---:|---:|"]
    ratios, factors = [], []
    for name, (displacement, length, breadth, draught), speed, capacity, a, b in IMO_SHIPS:
        vessel = veltrum.NavCalc(displacement, length, breadth, draught)
        vessel.setup(speed, True)
        change = vessel.compute(0, 6, 3.0, 0)
        ratios.append((speed + change) / speed)
        factors.append(a * math.log(capacity) + b)
        lines.append(f"| {name} | {displacement:,.0f}, {length:g} × {breadth:g} × {draught:g} | "
                     f"{speed:g} kn | {signed(change)} kn | {ratios[-1]:.3f} | "
                     f"{capacity:,.0f} | {factors[-1]:.3f} |")

    def losses(shares: list[float]) -> str:
        return f"{(1 - max(shares)) * 100:.1f} to {(1 - min(shares)) * 100:.1f} %"
    return lines, (f"IMO's curves expect these ships to lose {losses(factors)} of their speed "
                   f"in this sea; the module gives {losses(ratios)}.")


def section() -> str:
    imo_table, imo_losses = imo_comparison()
    parts = [
        HEADING,
        "",
        "The model is a quick empirical estimate, not a seakeeping calculation. It gives "
        "plausible losses for merchant ships of moderate fullness at moderate speeds in head "
        "and bow weather, and surprising answers elsewhere. Every number in this section is "
        "measured with the module by `docs/limitations.py`, which prints the section; a test "
        "checks that the two agree. \"The vessel\" below is the one of the quick start "
        "(10,000 m³, 120 × 20 × 7 m, CB 0.60) at 12 kn, laden.",
        "",
        "The answers are least surprising for hulls of some thousands of cubic metres and more, "
        "below the Froude numbers of the first table, with angles folded into 0–180° and a "
        "positive speed. Even there, compare them with one another (headings, forces, loading "
        "states of one ship) rather than with measured speeds: the last comparison shows why.",
        "",
        "**Head wind that raises the speed.** The speed-reduction coefficient α is a quadratic "
        "in the Froude number that turns negative at higher speeds for fuller hulls. Above the "
        "thresholds below, wind from any direction that has a wind term (next table) raises "
        "the speed, more so the stronger it is: IMO's sample bulk carrier (CB 0.85, 217 m) "
        f"gains from a head wind from {gain_from_knots(0.85, True, 217.0):.1f} kn on. Fn is "
        "the model's rounded "
        "Froude number; the speeds are the lowest at which the gain starts, laden, for ships "
        "of that length.",
        "",
        *alpha_sign_change(),
        "",
        "**Beam and following winds that cost nothing.** The wind's direction coefficient is "
        "held at zero where its formula goes negative, so these forces have no wind term at "
        "all in these sectors:",
        "",
        *direction_zeros(),
        "",
        "A stronger wind can then cost less than a weaker one. For the vessel, with wind and "
        "2 m waves both from 90°:",
        "",
        *beam_seas(),
        "",
        "**The soft limit and the 3 m step.** Totals beyond 2 kn are cut to a tenth of the "
        "excess, so losses grow slowly once past 2 kn: for the vessel they stay under 3 kn even "
        "in force 12 (small craft are another matter, below). Waves from abaft the beam "
        "raise the speed while they are under 3 m and cost knots from 3 m on; the change is a "
        "jump, not a ramp. Waves alone (Beaufort 0), then head wind and seas with the wave "
        "height typical of the force, for the vessel:",
        "",
        *soft_limit_and_wave_step(),
        "",
        "**Snapping of the block coefficient.** ∇ / (L · B · T) is replaced by the nearest of "
        "0.55, 0.60, …, 0.85 (halfway values go to the multiple of 0.10), so results jump at "
        "0.575, 0.625, 0.675, 0.725, 0.775 and 0.825, and values far outside the table are "
        "accepted as its ends. A hull of 5,760 m³, 100 m long, 6 m draught and the breadth "
        "that gives each raw block coefficient, at 14 kn, laden, in Beaufort 6 and 3 m head "
        "seas:",
        "",
        *snapping(),
        "",
        "**Angles outside 0–180°, and odd speeds.** Angles are compared unchanged against the "
        "sector bounds: a negative angle counts as head wind and head seas, an angle above 180° "
        "as following wind but head seas. Fold them first (see \"Using it in a routing loop\"). "
        "The speed is not checked: zero and negative speeds take the lowest Froude number, a "
        "negative speed turns the wind term's sign, and the attainable speed can come out "
        "negative. The vessel in Beaufort 6 with 3 m waves, by the angle of both, then head on "
        "by the set speed:",
        "",
        *angles_and_speeds(),
        "",
        "**Small craft.** The wind's form term grows as BN^6.5 / ∇^(2/3), so for small "
        "displacements the wind term dominates and passes the soft limit in moderate winds, "
        "with losses beyond the set speed itself, while the wave term does not depend on the "
        "hull at all. Head wind with no waves "
        "given, at Fn 0.2, laden, for hulls of the same shape (L/B 6, L/T 17, CB 0.60):",
        "",
        *small_craft(),
        "",
        "**Against IMO's weather factor.** IMO MEPC.1/Circ.796 (2012) defines a representative "
        "sea condition (Beaufort 6, wind 12.6 m/s head on, significant wave height 3.0 m, head "
        f"waves; 12.6 m/s is force {beaufort_force(12.6)} by the WMO scale) and standard "
        "weather-factor curves fw = a · ln(capacity) + b, fw being the "
        "ratio of the speed in that sea to the calm-water speed at equal power (capacity in "
        "dwt, for container ships 70 % of dwt). The module's ratio is (speed + change) / speed "
        "for `compute(0, 6, 3.0, 0)`, laden. The bulk carrier is IMO's sample; the tanker "
        "and the container ship (100,000 dwt) are plausible particulars of ours:",
        "",
        *imo_table,
        "",
        f"{imo_losses} The module's losses are much smaller, and for the full-form bulk carrier "
        "almost none, because its head wind term is a gain at that speed: a routing tool built "
        "on the module rates heavy head seas as milder than IMO's standard does. Use the "
        "module to compare headings, forces "
        "and loading states for one ship, not as an absolute weather factor, and do not use "
        "its answers where a regulation asks for fw.",
    ]
    # Prose wrapped like the rest of the README; tables and the heading as they are.
    blocks = "\n".join(parts).split("\n\n")
    return "\n\n".join(block if block.startswith(("|", "#")) else textwrap.fill(
        block, 78, break_long_words=False, break_on_hyphens=False) for block in blocks) + "\n"


def write(readme: pathlib.Path, text: str) -> None:
    old = readme.read_text()
    start = old.index(HEADING + "\n")
    end = old.find("\n## ", start + len(HEADING))
    readme.write_text(old[:start] + text + (old[end:] if end != -1 else ""))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="replace the section in README.md")
    args = parser.parse_args(argv)
    text = section()
    if args.write:
        write(ROOT / "README.md", text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
