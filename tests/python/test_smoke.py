"""The module's worked example, end to end."""

import veltrum


def test_worked_example():
    vessel = veltrum.NavCalc(10000, 120, 20, 7)
    assert vessel.setup(12, True) is None
    assert vessel.compute(0, 4, 2.0, 0) == -0.66
