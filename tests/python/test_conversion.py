"""Conversion of arguments to doubles, 32-bit integers and booleans; wrapping of failures."""

import math

import numpy as np
import pytest
from conftest import (PARAMETERS, Hook, Unprintable, make_vessel, outcome, raised, refuse,
                      returned_wrong_type)

from veltrum import NavCalc


def obj(name="Obj", module=__name__, meta=type, **methods):
    """An instance of a new class `name` with just the given methods."""
    return meta(name, (), {"__module__": module, **methods})()


FloatSub = type("FloatSub", (float,), {"__float__": lambda s: 99.0})  # stored value counts
Knots = type("Knots", (int,), {"__float__": lambda s: 3.0})  # an int subclass: __float__ counts
Scale = type("Scale", (int,), {"__index__": lambda s: 1 / 0})  # an int: __index__ is not called
RaisingModule = type("RaisingModule", (type,), {"__module__": property(lambda c: 1 / 0)})
SurrogateModule = type("SurrogateModule", (type,),
                       {"__module__": property(lambda c: "numpy\udcff")})
TypeErrorSub = type("TypeErrorSub", (TypeError,), {})


def calling(parameter, argument, vessel=None):
    """A call with `argument` for `parameter`, giving an estimate that tells values apart."""
    vessel = vessel or make_vessel()
    return {
        "speed_kts": lambda: (vessel.setup(argument, True), vessel.compute(0, 4, 2.0, 0)),
        "laden": lambda: (vessel.setup(9, argument), vessel.compute(45, 4, 2.0, 45)),
        "wind_beta": lambda: vessel.compute(argument, 5, 2.0, argument),
        "wind_scale": lambda: vessel.compute(0, argument, 2.0, 0),
        "wave_beta": lambda: vessel.compute(0, 13, 2.0, argument),  # Beaufort refused later
        "displacement": lambda: NavCalc(argument, 120, 20, 7).compute(0, 4, 2.0, 0),
        "length": lambda: NavCalc(-1, argument, 20, 7),  # displacement refused later
    }[parameter]


NP = "numpy"
ACCEPTED = [("speed_kts", a, b) for a, b in [  # (parameter, argument, a value it converts like)
    (True, 1.0), (obj(__float__=lambda s: -1.0), -1.0), (obj(__index__=lambda s: -1), -1.0),
    (FloatSub(30.0), 30.0), (Knots(30), 3.0), (np.float64(3.0), 3.0), (np.int64(99), 99.0),
    (math.nan, math.nan), (math.inf, math.inf)]] + [("wind_scale", a, b) for a, b in [
        (True, 1), (np.uint64(1), 1), (obj(__index__=lambda s: 5), 5), (Scale(5), 5),
        (2**31 - 1, 13), (-(2**31), 13), (-1, 13), (obj(__index__=lambda s: -1), 13)]] + [
    ("laden", a, b) for a, b in [
        (np.False_, False), (np.True_, True), (obj("bool_", NP, __bool__=lambda s: True), True),
        (obj("bool", NP, __bool__=lambda s: False), False),
        (obj("bool_", type("Text", (str,), {})(NP), __bool__=lambda s: False), False)]] + [
    (p, n, float(n)) for p in ("speed_kts", "wind_beta", "displacement")  # compact ints: in place
    for n in (0, 1, 7, -1, 1 - 2**30, 2**30 - 1, 2**30, 2**53 + 1, 2**1023)]


@pytest.mark.parametrize(("parameter", "argument", "same_as"), ACCEPTED)
def test_accepted_arguments(parameter, argument, same_as):
    same, other = (outcome(calling(parameter, value)) for value in (same_as, None))
    assert outcome(calling(parameter, argument)) == same != other


BIG, LONG = "int too large to convert to float", "Python int too large to convert to C long"
REAL, NOT_INT = "must be real number, not ", "object cannot be interpreted as an integer"
NOT_BOOL = "object cannot be converted to 'PyBool'"
NO_TRUTH = "does not define a '__bool__' conversion"
T, O = TypeError, OverflowError
REFUSED = [  # (parameter, argument, exception type, message without "argument '{parameter}': ")
    ("speed_kts", "12", T, REAL + "str"), ("speed_kts", None, T, REAL + "NoneType"),
    ("speed_kts", obj(__int__=lambda s: 4), T, REAL + "Obj"),
    ("speed_kts", obj(__float__=lambda s: 12), T,
     returned_wrong_type("__float__", f"{__name__}.Obj", "int")),
    ("speed_kts", obj(__index__=lambda s: 12.0), T,
     returned_wrong_type("__index__", f"{__name__}.Obj", "float")),
    ("speed_kts", 10**400, O, BIG), ("wave_beta", obj(__index__=lambda s: -(10**400)), O, BIG),
    ("wave_beta", "x", T, REAL + "str"), ("length", "x", T, REAL + "str"),  # before model checks
    ("wind_scale", 3.0, T, f"'float' {NOT_INT}"), ("wind_scale", "4", T, f"'str' {NOT_INT}"),
    ("wind_scale", obj(__int__=lambda s: 4), T, f"'Obj' {NOT_INT}"),
    ("wind_scale", FloatSub(4.0), T, f"'FloatSub' {NOT_INT}"),
    ("wind_scale", 2**31, O, LONG), ("wind_scale", -(2**31) - 1, O, LONG),
    ("wind_scale", 2**63, O, LONG), ("wind_scale", np.uint64(2**64 - 1), O, LONG),
    ("wind_scale", obj(__index__=lambda s: 2**31), O, LONG),
    # only bools and numpy booleans (by module and type name) count; nothing is truth-tested
    *[("laden", a, T, f"'{type(a).__qualname__}' {NOT_BOOL}") for a in [
        1, None, 1.0, obj(__bool__=lambda s: True), np.int64(1), np.array(True),
        obj("Bool", NP, __bool__=lambda s: True), obj("bool8", NP, __bool__=lambda s: True),
        obj("bool_", "numpy.core"), obj("bool_", b"numpy"), obj("bool_", meta=RaisingModule),
        obj("bool_", meta=SurrogateModule)]],
    ("laden", obj("bool_", NP), T, f"object of type '<class 'numpy.bool_'>' {NO_TRUTH}"),
    ("laden", obj("bool", NP, __len__=lambda s: 1 / 0), T,
     f"object of type '<class 'numpy.bool'>' {NO_TRUTH}"),
    ("laden", obj("bool_", NP, __bool__=lambda s: 1), T,
     returned_wrong_type("__bool__", "numpy.bool_", "int")),
]


@pytest.mark.parametrize(("parameter", "argument", "kind", "message"), REFUSED)
def test_refused_arguments(vessel, parameter, argument, kind, message):
    error = raised(calling(parameter, argument, vessel))
    wrapped = f"argument '{parameter}': {message}" if kind is TypeError else message
    assert (type(error), error.args) == (kind, (wrapped,))
    assert (error.__cause__, error.__context__, error.__suppress_context__) == (
        None, None, kind is TypeError)
    assert vessel.compute(45, 4, 2.0, 45) == -0.56  # nothing changed


def refuse_while_handling():
    try:
        raise KeyError("while handling")
    except KeyError:
        raise TypeError("refused")  # noqa: B904 - the context is what is dropped


ROOT = ValueError("root")


@pytest.mark.parametrize("parameter", ["speed_kts", "laden", "wind_scale", "displacement"])
@pytest.mark.parametrize(("action", "shown", "cause"), [  # shown None: passed on unchanged
    (refuse(TypeErrorSub, "x"), None, None), (refuse(ValueError), None, None),
    (refuse(KeyboardInterrupt), None, None), (refuse(TypeError, "refused"), "refused", None),
    (refuse(TypeError, "refused", cause=ROOT), "refused", ROOT),
    (refuse_while_handling, "refused", None), (refuse(TypeError), "", None),
    (refuse(TypeError, "a", "b"), "('a', 'b')", None), (refuse(TypeError, "\x00"), "\x00", None),
    (refuse(TypeError, "lone \udcff"), "lone \ufffd\ufffd\ufffd", None),
    (refuse(TypeError, Unprintable()), "<unprintable TypeError object>", None)])
def test_errors_raised_by_hooks(monkeypatch, parameter, action, shown, cause):
    seen = []  # an error whose str() fails goes to the unraisable hook
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    hook = Hook(action)
    error = raised(calling(parameter, hook))
    if shown is None:
        assert error is hook.raised
    else:
        assert type(error) is TypeError and error.args == (f"argument '{parameter}': {shown}",)
        assert (error.__cause__, error.__suppress_context__, error.__context__) == (
            cause, True, None)
    assert [(type(s.exc_value), s.object) for s in seen] == [(ZeroDivisionError, hook.raised)] * (
        shown is not None and "unprintable" in shown)


@pytest.mark.parametrize("entry", PARAMETERS)
def test_conversions_run_in_declaration_order(vessel, entry):
    call = {"__new__": NavCalc, "setup": vessel.setup, "compute": vessel.compute}[entry]
    values = {"__new__": (1e4, 120, 20, 7), "setup": (12, True)}.get(entry, (0, 4, 2.0, 0))
    names, log = PARAMETERS[entry], []
    hooks = [Hook(lambda i=i: log.append(i), value) for i, value in enumerate(values)]
    call(**dict(reversed(list(zip(names, hooks)))))  # keywords in reverse order
    assert log == list(range(len(names)))
    for failing, name in enumerate(names):
        log.clear()
        args = hooks[:failing] + [Hook(refuse(TypeError, "refused"))] + hooks[failing + 1:]
        assert raised(call, *args).args == (f"argument '{name}': refused",)
        assert log == list(range(failing))
