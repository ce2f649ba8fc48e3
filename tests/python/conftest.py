"""Helpers shared by the Python tests of the module."""

import sys
import tracemalloc

import pytest

from veltrum import NavCalc

PARAMETERS = {"__new__": ("displacement", "length", "breadth", "draught"),
              "setup": ("speed_kts", "laden"),
              "compute": ("wind_beta", "wind_scale", "wave_height", "wave_beta")}


def make_vessel():
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    return vessel


@pytest.fixture
def vessel():
    return make_vessel()


def returned_wrong_type(method, owner, got):
    """The interpreter's own message for a conversion method of an `owner` (its qualified
    name) that returned a `got`: 3.15 names the method's owner and the type it must return."""
    if sys.version_info >= (3, 15):
        wanted = {"__float__": "a float", "__index__": "an int", "__bool__": "a bool"}[method]
        return f"{owner}.{method}() must return {wanted}, not {got}"
    return {"__float__": f"{owner.rpartition('.')[2]}.__float__ returned non-float (type {got})",
            "__index__": f"__index__ returned non-int (type {got})",
            "__bool__": f"__bool__ should return bool, returned {got}"}[method]


def snapshot(filters):
    """Traced memory, filtered. Taken here, in another file than the caller's: what taking
    it allocates (before 3.11 some of it is traced) never counts against the caller's lines."""
    return tracemalloc.take_snapshot().filter_traces(filters)


def raised(call, *args, **kwargs):
    """The exception the call raised, whatever its type (PanicException is no Exception)."""
    try:
        call(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001
        return error
    pytest.fail("the call did not raise")


def outcome(call):
    """The result's repr, or the exception's type and arguments."""
    try:
        return repr(call())
    except BaseException as error:  # noqa: BLE001
        return type(error), error.args


def refuse(kind, *args, cause=None):
    """An action that raises a new kind(*args), from `cause` if one is given."""

    def action():
        raise kind(*args) from cause

    return action


class Hook:
    """Runs `action` when converted, then converts to `value`; keeps what it returned or raised.
    It passes for numpy's boolean scalar too (by module and type name)."""

    def __init__(self, action, value=12.0):
        self.action, self.value, self.result, self.raised = action, value, None, None

    def _run(self):
        try:
            self.result = self.action()
        except BaseException as error:
            self.raised = error
            raise
        return self.value

    __float__ = lambda self: float(self._run())  # noqa: E731
    __index__ = lambda self: int(self._run())  # noqa: E731
    __bool__ = lambda self: bool(self._run())  # noqa: E731


Hook.__module__, Hook.__name__ = "numpy", "bool_"


Unprintable = type("Unprintable", (str,), {"__str__": lambda self: 1 / 0})  # str() fails
