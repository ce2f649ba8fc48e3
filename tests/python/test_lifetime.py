"""References and memory: calls keep nothing, and a well-formed call allocates only its result."""

import ctypes
import gc
import itertools
import sys
import tracemalloc

import numpy
import pytest
from conftest import PARAMETERS, Hook, make_vessel, outcome, raised, refuse, snapshot

from veltrum import NavCalc


def test_calls_keep_no_reference():
    # Made at run time (not constants, not immortal), so a reference kept or dropped shows.
    speed, scale, big, text = float("12.5"), int("4"), 2 ** int("40"), "".join("12")
    yes = numpy.bool_(True)  # a static type: its names are made afresh on each look-up
    name, unknown = "".join(["speed", "_kts"]), "".join(["fo", "o"])
    vessel = NavCalc(float("1e4"), 120.0, 20.0, 7.0)
    panic = type(raised(vessel.compute, 0, 13, 2.0, 0))
    module, bool_ = "".join(["num", "py"]), "".join(["bool", "_"])
    cause, no_truth = ValueError(text), type(bool_, (), {"__module__": module})()
    reenter, caused = Hook(lambda: vessel.setup(speed, True)), Hook(refuse(TypeError, cause=cause))
    calls = [  # all kinds of success and failure
        lambda: NavCalc(speed, 120.0, draught=7.0, breadth=20.0), lambda: NavCalc(*[speed] * 5),
        lambda: vessel.setup(**{name: speed, "laden": True}), lambda: vessel.setup(speed),
        lambda: vessel.compute(speed, scale, speed, speed), lambda: vessel.setup(text, True),
        lambda: vessel.setup(speed, True, **{unknown: speed}), lambda: vessel.setup(speed, text),
        lambda: vessel.setup(speed, **{name: speed}), lambda: vessel.setup(speed, no_truth),
        lambda: vessel.setup(caused, True), lambda: vessel.compute(speed, big, speed, speed),
        lambda: NavCalc(speed, big ** 30, 1, 1), lambda: vessel.setup(reenter, True),
        lambda: vessel.compute(reenter, scale, speed, speed), lambda: NavCalc(-speed, 1, 1, 1),
        lambda: vessel.compute(speed, 13, speed, speed), lambda: vessel.setup(speed, yes)]
    watched = [NavCalc, panic, vessel, speed, big, text, name, unknown, reenter, caused, cause,
               no_truth, module, bool_, yes]
    watched += [scale] * (sys.version_info >= (3, 12))  # before, shared by all code

    def run(times):
        for _ in range(times):
            for call in calls:
                outcome(call)
        gc.collect()

    run(100)
    refs = [sys.getrefcount(o) for o in watched]
    mine = [tracemalloc.Filter(True, __file__)]  # what the module allocates, called from here
    tracemalloc.start()
    try:
        run(1000)  # what the interpreter keeps for itself (free lists, caches) settles
        before = snapshot(mine)
        run(1000)
        after = snapshot(mine)
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    grown = after.compare_to(before, "lineno")
    assert sum(s.count_diff for s in grown) <= 0, grown[:3]


def test_results_take_their_references():
    # None, True, False and small ints are mortal before 3.12: a result handed out
    # without its reference, or one dropped, shows in their counts.
    vessel, counts = NavCalc(1e4, 120.0, 20.0, 7.0), lambda: list(map(sys.getrefcount, SHARED))
    for rounds in (100, 20_000):
        before = counts()
        for _ in range(rounds):
            vessel.setup(12.0, True), vessel.setup(12.0, False), vessel.compute(0.0, 4, 2.0, 0.0)
    assert counts() == before


SHARED = (None, True, False, 4, 12)
VESSEL = NavCalc(10000.0, 120.0, 20.0, 7.0)


@pytest.mark.parametrize("call", [
    lambda: VESSEL.setup(12.0, True), lambda: NavCalc(1e4, 120.0, 20.0, 7.0),
    lambda: VESSEL.compute(0.0, 4, wave_beta=0.0, wave_height=2.0),
    lambda: NavCalc(1e4, 120.0, draught=7.0, breadth=20.0)])
def test_a_well_formed_call_allocates_only_its_result(call):
    call()
    loop = itertools.repeat(None, 1000)  # made untraced, and no int is left in a loop variable
    tracemalloc.start()
    try:
        for _ in loop:
            call()
        kept, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # Before 3.11 the interpreter makes a bound method for a call with keywords.
    assert kept == 0 and peak <= sys.getsizeof(call()) + sys.getsizeof(VESSEL.compute) * (
        sys.version_info < (3, 11))


# A C caller may pass its own keyword dictionary, which an argument's hook then empties:
# every argument still to be converted must outlive that (under -X dev a freed object's
# memory is overwritten, so a use after the release crashes).
@pytest.mark.parametrize(("entry", "names", "values"), [
    ("__new__", PARAMETERS["__new__"], (1e4, 120.0, 20.0, 7.0)),
    ("setup", PARAMETERS["setup"], (12.0, True)), ("compute", PARAMETERS["compute"], (0, 4, 2, 0))])
def test_an_argument_hook_emptying_the_callers_dictionary(entry, names, values):
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, (ctypes.py_object,) * 3
    vessel, kwargs = make_vessel(), {}
    kwargs.update({name: Hook(kwargs.clear, value) for name, value in zip(names, values)})
    target = NavCalc if entry == "__new__" else getattr(vessel, entry)
    result = call(target, (), kwargs)
    if entry == "__new__":
        result.setup(12, True)
        result = result.compute(0, 4, 2.0, 0)
    assert (kwargs, result) == ({}, None if entry == "setup" else -0.66)
