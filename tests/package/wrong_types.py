# Type-checked against the installed stubs: mypy must accept the first block
# and report each call of the second.
import veltrum

vessel = veltrum.NavCalc(10000, 120, 20, 7.0)
vessel.setup(12.5, False)
change: float = vessel.compute(0, 4, 2.0, 0)

vessel.setup(12, 1)  # E: an int is not a loading state
vessel.compute(0, 4.0, 2.0, 0)  # E: a float is not a Beaufort force
veltrum.NavCalc("10000", 120, 20, 7)  # E: a str is not a number
veltrum.NavCalc(10000, 120, 20)  # E: draught missing
wrong: str = vessel.compute(0, 4, 2.0, 0)  # E: the result is a float
