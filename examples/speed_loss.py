"""The library calls behind `veltrum-polar`: one ship, one speed, two estimates.

    python examples/speed_loss.py

The 120 m general cargo ship of the module's worked example at 12 knots, laden: in a
Beaufort 4 head wind and 2 m head seas, then on a true heading with the wind and waves
given as a navigator has them (the direction they come from, the wind speed in m/s),
converted to the model's terms with veltrum_tools.marine.
"""

import veltrum
from veltrum_tools.marine import beaufort_force, relative_angle

vessel = veltrum.NavCalc(10000.0, 120.0, 20.0, 7.0)  # displacement m³, length, breadth, draught m
vessel.setup(12.0, True)  # knots, laden

# Directions off the bow (0° head on), Beaufort force, significant wave height in metres.
change = vessel.compute(0.0, 4, 2.0, 0.0)
print(f"Head wind and seas: {change:+.2f} kn, attainable {12.0 + change:.2f} kn")

heading, wind_from, wind_speed_ms, waves_from, wave_height = 350.0, 20.0, 12.9, 30.0, 3.0
change = vessel.compute(relative_angle(heading, wind_from), beaufort_force(wind_speed_ms),
                        wave_height, relative_angle(heading, waves_from))
print(f"Heading {heading:g}°, wind {wind_speed_ms:g} m/s from {wind_from:g}°, "
      f"{wave_height:g} m waves from {waves_from:g}°: {change:+.2f} kn")
