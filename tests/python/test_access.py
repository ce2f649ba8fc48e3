"""Re-entry: Python code run by a conversion that calls back into the same instance."""

import pytest
from conftest import Hook, make_vessel, raised

ARGS = {"setup": (12, True), "compute": (0, 4, 2.0, 0)}
SETUP, COMPUTE = (lambda v: v.setup(12, True)), (lambda v: v.compute(0, 4, 2.0, 0))


def assert_free(vessel):
    """Exclusive access needs the flag at zero, shared access needs it below all bits set."""
    vessel.setup(12, True)
    assert vessel.compute(0, 4, 2.0, 0) == -0.66


# (outer method, position of the hook among its arguments, what the hook does, the refusal)
@pytest.mark.parametrize(("outer", "position", "inner", "message"), [
    ("setup", 0, SETUP, "Already borrowed"), ("setup", 0, COMPUTE, "Already mutably borrowed"),
    ("setup", 1, COMPUTE, "Already mutably borrowed"), ("compute", 0, SETUP, "Already borrowed"),
    ("compute", 1, SETUP, "Already borrowed"), ("compute", 3, SETUP, "Already borrowed"),
    ("compute", 2, lambda v: (COMPUTE(v), SETUP(v)), "Already borrowed"),  # outer still holds
    ("compute", 2, lambda v: v.compute(0, 4, 2.0, Hook(lambda: SETUP(v), 0)), "Already borrowed"),
    ("compute", 0, COMPUTE, None), ("compute", 1, COMPUTE, None),
    ("compute", 3, lambda v: v.compute(0, 4, Hook(lambda: COMPUTE(v), 2.0), 0), None),
    ("setup", 0, lambda v: COMPUTE(make_vessel()), None)])  # other instances: not affected
def test_reentry(vessel, outer, position, inner, message):
    args = list(ARGS[outer])
    hook = args[position] = Hook(lambda: inner(vessel), args[position])
    if message is None:
        assert getattr(vessel, outer)(*args) in (None, -0.66) and hook.result == -0.66
    else:  # the refusal passes through the outer conversions unchanged
        error = raised(getattr(vessel, outer), *args)
        assert (type(error), error.args, error) == (RuntimeError, (message,), hook.raised)
    assert_free(vessel)


def test_binding_comes_before_access_and_access_before_conversion(vessel):
    # A nested call refused by binding raises TypeError, wrapped by the outer conversion.
    error = raised(vessel.setup, Hook(lambda: vessel.compute(1)), True)
    assert error.args == ("argument 'speed_kts': NavCalc.compute() missing 3 required positional "
                          "arguments: 'wind_scale', 'wave_height', and 'wave_beta'",)
    spy = Hook(lambda: pytest.fail("converted"))
    assert str(raised(vessel.setup, Hook(lambda: vessel.compute(spy, 4, 2.0, 0)), True)) == (
        "Already mutably borrowed")
    assert str(raised(vessel.compute, Hook(lambda: vessel.setup(spy, True)), 4, 2.0, 0)) == (
        "Already borrowed")
    assert_free(vessel)


def test_access_is_given_back_after_every_kind_of_failure(vessel):
    for failing in (lambda: vessel.setup("x", True), lambda: vessel.setup(12, 1),
                    lambda: vessel.compute(0, 2**31, 2.0, 0), lambda: vessel.compute(0, 13, 2.0, 0),
                    lambda: vessel.compute(Hook(lambda: 1 / 0), 4, 2.0, 0)):
        raised(failing)
        assert_free(vessel)
