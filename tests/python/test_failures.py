"""Failures as Python sees them: the PanicException type, failures coming back
out of Python code that the module called, the state left behind, and the
references held on every failure path.

Standard error is checked in test_report.py, in fresh processes; the failures
here still write their reports to this process's standard error."""

import gc
import math
import sys
import tracemalloc

import pytest

import veltrum
from veltrum import NavCalc

PARTICULARS = "参数必须大于0"
BLOCK_COEFFICIENT = "无效的方形系数"
BEAUFORT = "蒲福风级必须在 0~12"


def vessel():
    v = NavCalc(10000, 120, 20, 7)
    v.setup(12, True)
    return v


# One call per model check, each failing.
MODEL_FAILURES = {
    "particulars": (lambda: NavCalc(0, 120, 20, 7), PARTICULARS),
    "block_coefficient": (lambda: NavCalc(math.nan, 120, 20, 7), BLOCK_COEFFICIENT),
    "beaufort": (lambda: vessel().compute(0, 13, 2.0, 0), BEAUFORT),
}


def caught(call):
    """The exception the call raised, whatever its type."""
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException only
        return e
    pytest.fail("the call did not raise")


@pytest.fixture(scope="module")
def panic():
    """PanicException, reached as Python code reaches it: through an instance."""
    return type(caught(MODEL_FAILURES["particulars"][0]))


# --- the exception type -------------------------------------------------------


@pytest.mark.parametrize("check", sorted(MODEL_FAILURES))
def test_model_failure_raises_panic_exception_with_message(check, panic):
    call, message = MODEL_FAILURES[check]
    e = caught(call)
    assert type(e) is panic
    assert e.args == (message,)
    assert str(e) == message


def test_panic_exception_type(panic):
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)


def test_panic_exception_docstring_has_two_paragraphs(panic):
    doc = panic.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    first, second = doc.strip("\n").split("\n\n")
    assert first.endswith(".") and ". " not in first  # one sentence
    assert "SystemExit" in second and "BaseException" in second


def test_one_type_for_every_failure(panic):
    types = {type(caught(call)) for call, _ in MODEL_FAILURES.values() for _ in range(100)}
    assert types == {panic}


def test_except_exception_does_not_catch_it(panic):
    with pytest.raises(panic):
        try:
            NavCalc(0, 120, 20, 7)
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("PanicException caught by 'except Exception'")


def test_except_base_exception_catches_it(panic):
    try:
        NavCalc(0, 120, 20, 7)
    except BaseException as e:  # noqa: BLE001
        assert type(e) is panic
    else:
        pytest.fail("no exception")


def test_panic_exception_is_not_a_module_attribute(panic):
    assert not hasattr(veltrum, "PanicException")
    assert all(value is not panic for value in vars(veltrum).values())


# --- state after a failure ----------------------------------------------------


def test_object_usable_after_model_failure():
    v = vessel()
    reference = vessel().compute(0, 5, 2.0, 0)
    caught(lambda: v.compute(0, 13, 2.0, 0))
    # The failed call gave its shared access back: a compute works, and so does
    # setup, which needs the instance free.
    assert v.compute(0, 5, 2.0, 0) == reference
    assert v.setup(12, False) is None
    assert v.compute(45, 4, 2.0, 45) == -0.6


def test_module_usable_after_constructor_failures():
    for call, _ in MODEL_FAILURES.values():
        caught(call)
    assert NavCalc(10000, 120, 20, 7).compute(0, 4, 2.0, 0) == -0.63
    assert vessel().compute(0, 4, 2.0, 0) == -0.66


# --- PanicException coming back out of Python code ------------------------------


class FloatRaises:
    def __init__(self, exception):
        self.exception = exception

    def raised(self):
        # Raised afresh each time: a traceback kept from an earlier raise would
        # grow with every call and hold this hook's frames.
        return self.exception.with_traceback(None)

    def __float__(self):
        raise self.raised()


class IndexRaises(FloatRaises):
    def __index__(self):
        raise self.raised()


class bool_(FloatRaises):  # noqa: N801 - numpy's boolean scalar, by module and name
    __module__ = "numpy"

    def __bool__(self):
        raise self.raised()


class FloatBuildsBadVessel:
    def __float__(self):
        NavCalc(0, 1, 1, 1)


class StrRaises:
    def __init__(self, exception):
        self.exception = exception

    def __str__(self):
        raise self.exception.with_traceback(None)


def through_float(v, exception):
    return v.compute(FloatRaises(exception), 4, 2.0, 0)


def through_index(v, exception):
    return v.compute(0, IndexRaises(exception), 2.0, 0)


def through_bool(v, exception):
    return v.setup(12, bool_(exception))


def through_rendering(v, exception):
    # The conversion's TypeError is rendered into the wrapped message: str()
    # of it runs Python code that lets the PanicException escape.
    return v.compute(FloatRaises(TypeError(StrRaises(exception))), 4, 2.0, 0)


def through_constructor(v, exception):
    return NavCalc(10000, FloatRaises(exception), 20, 7)


class RaisingModule(type):
    @property
    def __module__(cls):
        raise cls.exception.with_traceback(None)


def through_numpy_test(v, exception):
    # Is the argument numpy's boolean? Looking up its type's __module__ runs
    # Python code here.
    odd = RaisingModule("Odd", (), {"exception": exception})
    return v.setup(12, odd())


HOOKS = [
    through_float,
    through_index,
    through_bool,
    through_rendering,
    through_constructor,
    through_numpy_test,
]


@pytest.mark.parametrize("hook", HOOKS)
def test_panic_from_python_code_is_resumed_as_new_panic(hook, panic):
    v = vessel()
    inner = panic("raised by Python code")
    e = caught(lambda: hook(v, inner))
    assert type(e) is panic
    assert e is not inner
    assert e.args == ("raised by Python code",)
    assert v.compute(0, 4, 2.0, 0) == -0.66  # access given back


def test_model_failure_in_hook_is_resumed(panic):
    v = vessel()
    e = caught(lambda: v.compute(FloatBuildsBadVessel(), 4, 2.0, 0))
    assert type(e) is panic
    assert e.args == (PARTICULARS,)
    assert v.setup(10, True) is None


@pytest.mark.parametrize(
    ("payload", "message"),
    [
        (("plain",), "plain"),
        ((42,), "42"),
        (("a", "b"), "('a', 'b')"),
        ((), ""),
        (("a\ud800b",), "a\ufffd\ufffd\ufffdb"),  # each lone surrogate: three U+FFFD
        ((StrRaises(ValueError("no text")),), "Unwrapped panic from Python code"),
        ((StrRaises(None),), "Unwrapped panic from Python code"),  # str() raises TypeError
    ],
)
def test_resumed_message_is_str_of_the_escaping_panic(payload, message, panic):
    e = caught(lambda: through_float(vessel(), panic(*payload)))
    assert type(e) is panic
    assert e.args == (message,)


def test_panic_subclass_is_passed_on_unchanged(panic, capfd):
    class Sub(panic):
        pass

    inner = Sub("from a subclass")
    assert caught(lambda: through_float(vessel(), inner)) is inner
    assert "resuming a panic" not in capfd.readouterr().err


# --- references -----------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Reenters:
    """A float argument that calls setup on the vessel it is passed to."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        self.v.setup(12, True)
        return 0.0


def failing_calls(panic):
    """Failing calls, each with the objects made for it at run time; every
    path through the entry trap that ends in an exception."""
    v = vessel()
    runtime = [float(s) for s in ("0", "120", "20", "7", "nan", "2.5")]
    zero, length, breadth, draught, nan, height = runtime
    scale = Index(13)
    inner = panic("raised by Python code")
    unprintable = panic(StrRaises(ValueError("no text")))
    hooks = {
        "float": FloatRaises(inner),
        "index": IndexRaises(inner),
        "bool": bool_(inner),
        "unprintable": FloatRaises(unprintable),
        "model": FloatBuildsBadVessel(),
        "type_error": FloatRaises(TypeError("not a number")),
        "reenters": Reenters(v),
    }
    calls = {
        "particulars": lambda: NavCalc(zero, length, breadth, draught),
        "block_coefficient": lambda: NavCalc(nan, length, breadth, draught),
        "beaufort": lambda: v.compute(zero, scale, height, zero),
        "resumed_float": lambda: v.compute(hooks["float"], 4, height, 0),
        "resumed_index": lambda: v.compute(zero, hooks["index"], height, 0),
        "resumed_bool": lambda: v.setup(length, hooks["bool"]),
        "resumed_unprintable": lambda: v.compute(hooks["unprintable"], 4, height, 0),
        "resumed_model_failure": lambda: NavCalc(hooks["model"], length, breadth, draught),
        "conversion_type_error": lambda: v.compute(hooks["type_error"], 4, height, 0),
        "reentrant_access": lambda: v.setup(hooks["reenters"], True),
    }
    watched = [NavCalc, panic, v, scale, inner, unprintable, *runtime, *hooks.values()]
    return calls, watched


FAILING_CALLS = [
    "particulars",
    "block_coefficient",
    "beaufort",
    "resumed_float",
    "resumed_index",
    "resumed_bool",
    "resumed_unprintable",
    "resumed_model_failure",
    "conversion_type_error",
    "reentrant_access",
]


@pytest.mark.parametrize("name", FAILING_CALLS)
def test_failing_calls_leak_no_reference(name, panic):
    calls, watched = failing_calls(panic)
    assert sorted(calls) == sorted(FAILING_CALLS)
    call = calls[name]
    # Warm-up: caches, the line cache, the buffers that take printed tracebacks.
    kinds = {type(caught(call)) for _ in range(100)}
    gc.collect()  # caught() leaves each exception in a cycle with its frame
    before = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(300):
        kinds.add(type(caught(call)))
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert len(kinds) == 1
    assert after == before, [(repr(o), a - b) for o, a, b in zip(watched, after, before) if a != b]
    assert sys.getallocatedblocks() - blocks < 100


def test_successful_call_allocates_only_its_result():
    # Compared with a builtin that returns a new float and allocates nothing
    # else: the same memory kept and the same peak.
    v = NavCalc(10000.0, 120.0, 20.0, 7.0)

    def by_compute(out):
        for i in range(len(out)):
            out[i] = v.compute(0.0, 4, 2.0, 0.0)

    def by_builtin(out):
        for i in range(len(out)):
            out[i] = math.fabs(-0.63)

    def traced(fill):
        fill([None] * 300)  # warm-up, and the float free list filled alike
        out = [None] * 300
        tracemalloc.start()
        try:
            start = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            fill(out)
            current, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert all(abs(x) == 0.63 for x in out)
        return current - start, peak - start

    assert traced(by_compute) == traced(by_builtin)
