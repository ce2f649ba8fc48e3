"""Access to an instance during a method call: Python code run by a conversion
that calls back into the same instance."""

import sys

import pytest

from veltrum import NavCalc


class Hook:
    """Converts to `value` after running `action`; keeps what the action raised."""

    def __init__(self, action, value=12.0):
        self.action = action
        self.value = value
        self.result = None
        self.raised = None

    def _run(self):
        try:
            self.result = self.action()
        except BaseException as error:
            self.raised = error
            raise
        return self.value

    def __float__(self):
        return float(self._run())

    def __index__(self):
        return int(self._run())


class NumpyBoolHook:
    """Passes for a numpy boolean; its truth slot runs `action`."""

    def __init__(self, action, value=True):
        self.action, self.value, self.raised = action, value, None


def _numpy_truth(self):
    try:
        self.action()
    except BaseException as error:
        self.raised = error
        raise
    return self.value


NumpyBoolHook.__bool__ = _numpy_truth
NumpyBoolHook.__module__ = "numpy"
NumpyBoolHook.__name__ = "bool_"


@pytest.fixture
def vessel():
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    return vessel


def assert_free(vessel):
    """Exclusive access succeeds only when the flag is zero; shared only when it
    is not all bits set."""
    vessel.setup(12, False)
    assert vessel.compute(45, 4, 2.0, 45) == -0.6
    vessel.setup(12, True)
    assert vessel.compute(0, 4, 2.0, 0) == -0.66


def test_setup_inside_setup_is_already_borrowed(vessel):
    hook = Hook(lambda: vessel.setup(1, True))
    with pytest.raises(RuntimeError) as raised:
        vessel.setup(hook, True)
    # The inner refusal passes through the outer conversion unchanged.
    assert type(raised.value) is RuntimeError
    assert raised.value.args == ("Already borrowed",)
    assert raised.value is hook.raised
    assert_free(vessel)


def test_compute_inside_setup_is_already_mutably_borrowed(vessel):
    speed = Hook(lambda: vessel.compute(0, 4, 2.0, 0))
    laden = NumpyBoolHook(lambda: vessel.compute(0, 4, 2.0, 0))
    for hook, call in ((speed, lambda: vessel.setup(speed, True)),
                       (laden, lambda: vessel.setup(12, laden))):
        with pytest.raises(RuntimeError) as raised:
            call()
        assert type(raised.value) is RuntimeError
        assert raised.value.args == ("Already mutably borrowed",)
        assert raised.value is hook.raised
        assert_free(vessel)


def test_setup_inside_compute_is_already_borrowed(vessel):
    for position in range(4):
        hook = Hook(lambda: vessel.setup(1, True), value=[0, 4, 2.0, 0][position])
        args = [0, 4, 2.0, 0]
        args[position] = hook
        with pytest.raises(RuntimeError) as raised:
            vessel.compute(*args)
        assert raised.value.args == ("Already borrowed",)
        assert raised.value is hook.raised
        assert_free(vessel)


def test_compute_inside_compute_succeeds(vessel):
    inner = Hook(lambda: vessel.compute(0, 4, 2.0, 0), value=0.0)
    assert vessel.compute(inner, 4, 2.0, 0) == -0.66
    assert inner.result == -0.66
    scale = Hook(lambda: vessel.compute(0, 4, 2.0, 0), value=4)
    assert vessel.compute(0, scale, 2.0, 0) == -0.66
    assert scale.result == -0.66
    assert_free(vessel)


def test_nested_computes_stack_up_and_unwind(vessel):
    # Three computes deep; the innermost tries setup, which every level refuses.
    deepest = Hook(lambda: vessel.setup(1, True), value=0.0)
    middle = Hook(lambda: vessel.compute(0, 4, 2.0, deepest), value=0.0)
    outer = Hook(lambda: vessel.compute(0, 4, 2.0, middle), value=0.0)
    with pytest.raises(RuntimeError) as raised:
        vessel.compute(0, 4, 2.0, outer)
    assert raised.value.args == ("Already borrowed",)
    assert raised.value is deepest.raised is middle.raised is outer.raised
    assert_free(vessel)

    middle = Hook(lambda: vessel.compute(0, 4, 2.0, 0), value=0.0)
    outer = Hook(lambda: vessel.compute(0, 4, 2.0, middle), value=0.0)
    assert vessel.compute(0, 4, 2.0, outer) == -0.66
    assert outer.result == middle.result == -0.66
    assert_free(vessel)


def test_other_instances_are_not_affected(vessel):
    other = NavCalc(10000, 120, 20, 7)

    def use_other():
        other.setup(12, False)
        return other.compute(45, 4, 2.0, 45)

    hook = Hook(use_other)
    vessel.setup(hook, True)
    assert hook.result == -0.6
    hook = Hook(use_other, value=0.0)
    assert vessel.compute(hook, 4, 2.0, 0) == -0.66
    # The constructor holds no access to anything.
    made = Hook(lambda: NavCalc(10000, 120, 20, 7))
    vessel.setup(made, True)
    assert type(made.result) is NavCalc
    assert_free(vessel)


def test_binding_is_checked_before_access(vessel):
    # The nested call is refused by binding, not by access; its TypeError
    # escapes the hook and is wrapped with the outer parameter's name.
    hook = Hook(lambda: vessel.compute(1))
    with pytest.raises(TypeError) as raised:
        vessel.setup(hook, True)
    assert raised.value.args == (
        "argument 'speed_kts': NavCalc.compute() missing 3 required positional arguments: "
        "'wind_scale', 'wave_height', and 'wave_beta'",
    )
    hook = Hook(lambda: vessel.setup(1, True, 3), value=0.0)
    with pytest.raises(TypeError) as raised:
        vessel.compute(hook, 4, 2.0, 0)
    assert raised.value.args == (
        "argument 'wind_beta': NavCalc.setup() takes 2 positional arguments but 3 were given",
    )
    assert_free(vessel)


def test_access_is_checked_before_conversion(vessel):
    converted = []
    spy = Hook(lambda: converted.append("spy"), value=0.0)
    hook = Hook(lambda: vessel.compute(spy, 4, 2.0, 0))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        vessel.setup(hook, True)
    assert converted == []
    spy = Hook(lambda: converted.append("spy"))
    hook = Hook(lambda: vessel.setup(spy, True), value=0.0)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        vessel.compute(hook, 4, 2.0, 0)
    assert converted == []
    assert_free(vessel)


def test_access_is_given_back_after_every_kind_of_failure(vessel):
    failures = [
        lambda: vessel.setup("x", True),
        lambda: vessel.setup(12, 1),
        lambda: vessel.compute(0, 2**31, 2.0, 0),
        lambda: vessel.compute(0, 4, 2.0, "x"),
        lambda: vessel.compute(Hook(lambda: 1 / 0), 4, 2.0, 0),
        lambda: vessel.setup(Hook(lambda: vessel.setup(1, True)), True),
        lambda: vessel.compute(0, 13, 2.0, 0),
        lambda: vessel.compute(0, -1, 2.0, Hook(lambda: vessel.compute(0, 4, 2.0, 0), 0.0)),
    ]
    for failing in failures:
        with pytest.raises(BaseException):
            failing()
        assert_free(vessel)


def test_reentered_instance_keeps_its_reference_count(vessel):
    before = sys.getrefcount(vessel)
    for _ in range(200):
        with pytest.raises(RuntimeError):
            vessel.setup(Hook(lambda: vessel.setup(1, True)), True)
        vessel.compute(Hook(lambda: vessel.compute(0, 4, 2.0, 0), value=0.0), 4, 2.0, 0)
        with pytest.raises(RuntimeError):
            vessel.compute(Hook(lambda: vessel.setup(1, True), value=0.0), 4, 2.0, 0)
    assert sys.getrefcount(vessel) == before
    assert_free(vessel)
