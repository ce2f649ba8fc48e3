"""Coverage-guided fuzzing of veltrum's call surface with atheris (libFuzzer).

Each input is decoded into a short sequence of calls (constructor, setup,
compute, bound or unbound) with argument objects of every kind (floats of any
bits, ints of any size, bools, None, strings, float and int subclasses, objects
whose __float__ / __index__ / __bool__ return odd values, raise, or call back
into the same vessel) and keyword names of any text, lone surrogates included.
Every call must return a value of the right type or raise one of the exception
types a caller can get; afterwards every vessel's access flag is free and the
vessel still computes. Anything else, or a crash, is a finding.

    python fuzz_calls.py [libFuzzer flags, e.g. -max_total_time=30]"""

import ctypes
import os
import sys

import atheris

# Coverage comes from this harness's own branches (which argument kinds were
# drawn, which outcomes came back), instrumented function by function: the
# module itself is not instrumented.

import veltrum
from veltrum import NavCalc

NAMES = ["displacement", "length", "breadth", "draught", "speed_kts", "laden", "wind_beta",
         "wind_scale", "wave_height", "wave_beta"]


def _panic_type():
    try:
        NavCalc(0, 1, 1, 1)
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("no PanicException")


PanicException = _panic_type()


class HookError(Exception):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class NumpyLike:
    """Passes the numpy boolean test by module and name."""

    def __init__(self, result):
        self.result = result

    def __bool__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


NumpyLike.__module__ = "numpy"
NumpyLike.__name__ = "bool_"


class Hook:
    def __init__(self, fdp, vessels, depth):
        self.action = fdp.ConsumeIntInRange(0, 7)
        self.value = any_value(fdp, vessels, depth + 1) if depth < 2 else 1.0
        self.fdp_call = make_call(fdp, vessels, depth + 1) if depth < 2 else None

    @atheris.instrument_func
    def _run(self):
        if self.action == 0:
            raise HookError("hook")
        if self.action == 1:
            raise TypeError("hook type error")
        if self.action == 2 and self.fdp_call is not None:
            run_call(self.fdp_call)  # back into the module, maybe the same vessel
        if self.action == 3 and self.fdp_call is not None:
            self.fdp_call[0](*self.fdp_call[1], **self.fdp_call[2])  # its error escapes
        return self.value

    def __float__(self):
        return self._run()

    def __index__(self):
        return self._run()


@atheris.instrument_func
def any_value(fdp, vessels, depth=0):
    kind = fdp.ConsumeIntInRange(0, 13)
    if kind == 0:
        return fdp.ConsumeRegularFloat()
    if kind == 1:
        return fdp.ConsumeFloat()  # NaN, infinities, -0.0 and the rest
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 140))
    if kind == 3:
        return fdp.ConsumeIntInRange(-3, 15)
    if kind == 4:
        return fdp.ConsumeBool()
    if kind == 5:
        return None
    if kind == 6:
        return fdp.ConsumeUnicode(4)
    if kind == 7:
        return FloatSub(fdp.ConsumeFloat())
    if kind == 8:
        return IntSub(fdp.ConsumeInt(9))
    if kind == 9:
        choice = fdp.ConsumeIntInRange(0, 3)
        return NumpyLike([True, False, 2, HookError("bool")][choice])
    if kind == 10 and depth < 3:
        return Hook(fdp, vessels, depth)
    if kind == 11:
        return fdp.PickValueInList(vessels)
    if kind == 12:
        return fdp.ConsumeBytes(3)
    return fdp.ConsumeProbability() * 200.0


@atheris.instrument_func
def make_call(fdp, vessels, depth=0):
    vessel = fdp.PickValueInList(vessels)
    target = fdp.ConsumeIntInRange(0, 4)
    function = [NavCalc, vessel.setup, vessel.compute, NavCalc.setup, NavCalc.compute][target]
    args = [any_value(fdp, vessels, depth) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    if target >= 3:
        args.insert(0, fdp.PickValueInList(vessels + [1.0]))
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        name = fdp.PickValueInList(NAMES) if fdp.ConsumeBool() else fdp.ConsumeUnicode(5)
        kwargs[name] = any_value(fdp, vessels, depth)
    return function, args, kwargs


EXPECTED = (TypeError, OverflowError, RuntimeError, ValueError, HookError, PanicException,
            DeprecationWarning)


@atheris.instrument_func
def run_call(call):
    function, args, kwargs = call
    try:
        result = function(*args, **kwargs)
    except EXPECTED:
        return
    if function is NavCalc:
        assert type(result) is NavCalc
    elif getattr(function, "__name__", "") == "setup":
        assert result is None
    else:
        assert type(result) is float


def access_flag(vessel):
    return ctypes.c_size_t.from_address(id(vessel) + 96).value


DEVNULL = os.open(os.devnull, os.O_WRONLY)
STDERR = os.dup(2)


@atheris.instrument_func
def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    vessels = [NavCalc(10000, 120, 20, 7), NavCalc(45000, 180, 32, 10)]
    calls = [make_call(fdp, vessels) for _ in range(fdp.ConsumeIntInRange(1, 4))]
    # Model failures write a report to standard error each; while the module
    # runs it goes nowhere (a crash shows in the exit status and the artifact).
    os.dup2(DEVNULL, 2)
    try:
        for call in calls:
            run_call(call)
    finally:
        os.dup2(STDERR, 2)
    for vessel in vessels:
        assert access_flag(vessel) == 0
        vessel.setup(12, True)
        assert vessel.compute(0, 4, 2.0, 0) == vessel.compute(0, 4, 2.0, 0)


def main():
    import warnings

    warnings.simplefilter("error")
    print(f"fuzzing {veltrum.__file__}", file=sys.stderr)
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
