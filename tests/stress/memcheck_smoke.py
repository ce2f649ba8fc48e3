"""Smoke run for valgrind's memcheck: every entry of veltrum, every failure path
that Python code can reach and the re-entrant cases, a few times each. It checks
the outcomes too, so a wrong answer fails the run as well as a memory error.

    PYTHONMALLOC=malloc valgrind python memcheck_smoke.py"""

import gc
import importlib
import sys

import veltrum
from veltrum import NavCalc

CALLS = 0


def expect(outcome, function, *args, **kwargs):
    """Calls into the module; `outcome` is the result or (exception type, message)."""
    global CALLS
    CALLS += 1
    try:
        result = function(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        got = (type(e).__name__, str(e))
    else:
        got = result
    if isinstance(outcome, tuple) and outcome[1] is None:
        assert got[0] == outcome[0], (got, outcome)
    else:
        assert got == outcome, (got, outcome)


class Hook:
    """__float__ / __index__ that run a nested call first."""

    def __init__(self, action, value=1.0):
        self.action = action
        self.value = value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class KeywordName(str):
    pass


class FakeNumpyBool:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"


class NoTruth:
    pass


NoTruth.__module__ = "numpy"
NoTruth.__name__ = "bool"


def raise_(error):
    def action():
        raise error
    return action


def caused_type_error():
    try:
        raise ValueError("cause")
    except ValueError as cause:
        raise TypeError("wrapped") from cause


def round_trip():
    v = NavCalc(10000, 120, 20, 7)
    panic_message = "蒲福风级必须在 0~12"

    # Successes, by position and by keyword, of every argument kind.
    expect(None, v.setup, 12, True)
    expect(-0.66, v.compute, 0, 4, 2.0, 0)
    expect(-0.56, v.compute, wind_beta=45, wind_scale=4, wave_height=2.0, wave_beta=45)
    expect(None, v.setup, speed_kts=12.0, laden=False)
    expect(-0.6, v.compute, 45, True * 4, 2.0, 45.0)
    expect(None, v.setup, KeywordName("12").__len__() * 6, FakeNumpyBool(True))
    expect(None, v.setup, **{KeywordName("speed_kts"): 12, "laden": True})
    expect(-0.66, v.compute, 0.0, 4, 2.0, -0.0)
    expect(None, NavCalc(1, float("inf"), 1, 1).setup, 1, False)

    # Model failures: a report each, then PanicException.
    expect(("PanicException", "参数必须大于0"), NavCalc, 0, 120, 20, 7)
    expect(("PanicException", "参数必须大于0"), NavCalc, -1, 0, 0, 0)
    expect(("PanicException", "无效的方形系数"), NavCalc, float("nan"), 1, 1, 1)
    expect(("PanicException", "无效的方形系数"), NavCalc, float("inf"), 1, 1, 1)
    expect(("PanicException", panic_message), v.compute, 0, 13, 2.0, 0)
    expect(("PanicException", panic_message), v.compute, 0, -1, 2.0, 0)
    expect(-0.66, v.compute, 0, 4, 2.0, 0)

    # Binding failures.
    expect(("TypeError", "NavCalc.__new__() missing 4 required positional arguments: "
            "'displacement', 'length', 'breadth', and 'draught'"), NavCalc)
    expect(("TypeError", "NavCalc.__new__() takes 4 positional arguments but 5 were given"),
           NavCalc, 1, 2, 3, 4, 5, foo=1)
    expect(("TypeError", "NavCalc.setup() got multiple values for argument 'speed_kts'"),
           v.setup, 10, speed_kts=12)
    expect(("TypeError", "NavCalc.setup() got an unexpected keyword argument 'foo'"),
           v.setup, 10, True, foo=1)
    expect(("TypeError", "NavCalc.compute() got an unexpected keyword argument "
            "'\ufffd\ufffd\ufffd'"), v.compute, 0, 1, 2, 3, **{"\ud800": 1})
    expect(("TypeError", "NavCalc.compute() missing 2 required positional arguments: "
            "'wave_height' and 'wave_beta'"), v.compute, 0, 3)
    expect(("TypeError", "NavCalc.__new__() got an unexpected keyword argument "
            "'<unprintable Odd object>'"), NavCalc, **{type("Odd", (str,), {
                "__str__": lambda self: 1 / 0, "__hash__": str.__hash__})("x"): 1})

    # Conversion failures.
    expect(("TypeError", "argument 'laden': 'int' object cannot be converted to 'PyBool'"),
           v.setup, 12, 1)
    expect(("TypeError", "argument 'speed_kts': must be real number, not str"),
           v.setup, "12", True)
    expect(("TypeError", None), v.compute, 0, 3.0, 1, 0)
    expect(("OverflowError", "Python int too large to convert to C long"),
           v.compute, 0, 2**31, 1, 0)
    expect(("OverflowError", None), NavCalc, 10**400, 1, 1, 1)
    expect(("TypeError", "argument 'laden': __bool__ should return bool, returned int"),
           v.setup, 12, FakeNumpyBool(1))
    expect(("TypeError", "argument 'laden': object of type \"<class 'numpy.NoTruth'>\" "
            "does not define a '__bool__' conversion".replace('"', "'")), v.setup, 12, NoTruth())
    expect(("TypeError", "argument 'speed_kts': wrapped"), v.setup, Hook(caused_type_error), True)
    expect(("TypeError", "argument 'wind_beta': <unprintable TypeError object>"),
           v.compute, Hook(raise_(TypeError(Unprintable()))), 4, 2.0, 0)
    expect(("ValueError", "nope"), v.compute, Hook(raise_(ValueError("nope"))), 4, 2.0, 0)

    # Re-entry through hooks: the access rules.
    expect(-0.66, v.compute, Hook(lambda: v.compute(0, 4, 2.0, 0), 0), 4, 2.0, 0)
    expect(("RuntimeError", "Already borrowed"), v.compute, Hook(lambda: v.setup(12, True)),
           4, 2.0, 0)
    expect(("RuntimeError", "Already mutably borrowed"), v.setup,
           Hook(lambda: v.compute(0, 4, 2.0, 0), 12), True)
    expect(("RuntimeError", "Already borrowed"), v.setup, Hook(lambda: v.setup(1, True)), True)
    other = NavCalc(45000, 180, 32, 10)
    expect(None, v.setup, Hook(lambda: other.setup(12, True), 12), True)
    # A PanicException escaping a hook resumes the inner failure.
    expect(("PanicException", "参数必须大于0"), v.compute,
           Hook(lambda: NavCalc(0, 1, 1, 1)), 4, 2.0, 0)
    expect(("PanicException", "Unwrapped panic from Python code"), v.setup,
           Hook(raise_(PANIC(Unprintable()))), True)
    expect(-0.66, v.compute, 0, 4, 2.0, 0)

    # Unbound calls and the receiver check.
    expect(None, NavCalc.setup, v, 12, True)
    expect(("TypeError", None), NavCalc.setup, 5, 10, True)


def environment():
    global CALLS
    # Importing again runs the initialisation again, which returns the cached module.
    saved = sys.modules.pop("veltrum")
    again = importlib.import_module("veltrum")
    assert again is saved and again.__all__ == ["NavCalc"]
    CALLS += 1
    # A second interpreter is refused.
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        return
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, "import veltrum")
    except interpreters.RunFailedError as e:
        assert "subinterpreters" in str(e), e
    else:
        raise AssertionError("a second interpreter imported veltrum")
    finally:
        interpreters.destroy(interpreter)
    CALLS += 1


try:
    NavCalc(0, 1, 1, 1)
except BaseException as e:  # noqa: BLE001
    PANIC = type(e)
CALLS += 1

unraisable = []
sys.unraisablehook = lambda u: unraisable.append(u.exc_type)
ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 50
for _ in range(ROUNDS):
    round_trip()
environment()
gc.collect()
assert unraisable == [ZeroDivisionError, ValueError] * ROUNDS, unraisable
print(f"memcheck smoke: {CALLS} calls into veltrum ({veltrum.__file__})")
