"""Speed change of a 120 m general cargo ship over a range of weather.

The vessel of the module's worked example: 10 000 m³ displacement, 120 m long,
20 m broad, 7 m draught, making 12 knots. For each relative heading and Beaufort
force the table shows the estimated change of speed through the water in knots
(negative for a loss), in head-on and in quartering seas.
"""

import veltrum

HEADINGS = (0, 45, 90, 135, 180)  # relative wind and wave direction, degrees off the bow
FORCES = (2, 4, 6, 8, 10)  # Beaufort
# Typical significant wave height for each force, metres.
WAVE_HEIGHT = {2: 0.2, 4: 1.0, 6: 3.0, 8: 5.5, 10: 9.0}


def main() -> None:
    vessel = veltrum.NavCalc(10000, 120, 20, 7)
    for laden in (True, False):
        vessel.setup(12, laden)
        print(f"12 knots, {'laden' if laden else 'in ballast'}: speed change in knots")
        print("  heading " + "".join(f"  Bft {force:>2}" for force in FORCES))
        for heading in HEADINGS:
            row = (vessel.compute(heading, force, WAVE_HEIGHT[force], heading) for force in FORCES)
            print(f"  {heading:>5}° " + "".join(f"{change:>+8.2f}" for change in row))
        print()


if __name__ == "__main__":
    main()
