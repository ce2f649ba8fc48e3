"""Conversion of argument objects to doubles, 32-bit integers and booleans, and the
wrapping of conversion failures."""

import math
import operator

import numpy as np
import pytest

from veltrum import NavCalc

BEAUFORT = "蒲福风级必须在 0~12"


def make_vessel():
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    return vessel


def change_at_speed(speed_kts):
    """The estimate after setup(speed_kts, True): it shows which speed was stored."""
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(speed_kts, True)
    return vessel.compute(0, 4, 2.0, 0)


def laden_state(laden):
    """True or False as read back through the estimate, which differs by loading."""
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, laden)
    change = vessel.compute(45, 4, 2.0, 45)
    assert change in (-0.56, -0.6)
    return change == -0.56


def raised_by(function, *args):
    with pytest.raises(BaseException) as raised:
        function(*args)
    return raised.value


def is_panic(error, message):
    return type(error).__name__ == "PanicException" and error.args == (message,)


def test_distinct_speeds_give_distinct_estimates():
    # The estimates the tests below tell speeds apart by.
    changes = [change_at_speed(s) for s in (1.0, -1.0, 0.0, 12.0, 99.0)]
    assert len(set(changes)) == len(changes)
    assert change_at_speed(12.0) == -0.66


# --- to double ------------------------------------------------------------------


class FloatSub(float):
    """A float subclass whose __float__ must not be consulted."""

    calls = 0

    def __float__(self):
        FloatSub.calls += 1
        return 99.0


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class HasInt:
    calls = 0

    def __int__(self):
        HasInt.calls += 1
        return 4


@pytest.mark.parametrize(
    ("argument", "same_as"),
    [
        (12.0, 12.0),
        (12, 12.0),
        (-1, -1.0),
        (True, 1.0),
        (False, 0.0),
        (-0.0, 0.0),
        (HasFloat(-1.0), -1.0),
        (HasFloat(99.0), 99.0),
        (HasIndex(12), 12.0),
        (HasIndex(-1), -1.0),
        (np.float64(12.0), 12.0),
        (np.int64(99), 99.0),
        (np.float32(1.0), 1.0),
    ],
    ids=repr,
)
def test_double_conversion_values(argument, same_as):
    assert change_at_speed(argument) == change_at_speed(same_as)


def test_float_subclass_converts_to_its_stored_value():
    FloatSub.calls = 0
    assert change_at_speed(FloatSub(12.0)) == change_at_speed(12.0) != change_at_speed(99.0)
    assert FloatSub.calls == 0


def test_special_doubles_pass_unchanged():
    assert math.isnan(change_at_speed(float("nan")))
    assert math.isnan(change_at_speed(HasFloat(float("nan"))))
    assert change_at_speed(float("inf")) == -math.inf
    assert change_at_speed(FloatSub(float("inf"))) == -math.inf


@pytest.mark.parametrize(
    ("argument", "text"),
    [
        ("12", "must be real number, not str"),
        (None, "must be real number, not NoneType"),
        (1j, "must be real number, not complex"),
        ([12.0], "must be real number, not list"),
        (b"12", "must be real number, not bytes"),
        (HasInt(), "must be real number, not HasInt"),
        (HasFloat(12), "HasFloat.__float__ returned non-float (type int)"),
        (HasIndex(12.0), "__index__ returned non-int (type float)"),
    ],
    ids=repr,
)
def test_double_conversion_type_errors_are_wrapped(argument, text):
    HasInt.calls = 0
    vessel = make_vessel()
    error = raised_by(vessel.setup, argument, True)
    assert type(error) is TypeError
    assert error.args == (f"argument 'speed_kts': {text}",)
    assert error.__cause__ is None
    assert error.__suppress_context__ is True
    assert error.__context__ is None
    assert HasInt.calls == 0


@pytest.mark.parametrize(
    "argument",
    [10**400, -(10**400), 2**1024, HasIndex(10**400)],
    ids=["10**400", "-10**400", "2**1024", "index 10**400"],
)
def test_int_too_large_for_a_double_is_an_overflow_error(argument):
    vessel = make_vessel()
    error = raised_by(vessel.setup, argument, True)
    assert type(error) is OverflowError
    assert error.args == ("int too large to convert to float",)
    # Every double parameter of every entry.
    error = raised_by(NavCalc, 10000, 120, argument, 7)
    assert type(error) is OverflowError
    assert error.args == ("int too large to convert to float",)
    for position in (0, 2, 3):
        args = [0, 4, 2.0, 0]
        args[position] = argument
        assert type(raised_by(vessel.compute, *args)) is OverflowError


def test_largest_double_sized_int_converts():
    assert change_at_speed(2**1023) == change_at_speed(float(2**1023))


def test_type_error_parameter_names():
    vessel = make_vessel()
    for args, name in (
        (("x", 120, 20, 7), "displacement"),
        ((10000, "x", 20, 7), "length"),
        ((10000, 120, "x", 7), "breadth"),
        ((10000, 120, 20, "x"), "draught"),
    ):
        assert raised_by(NavCalc, *args).args == (f"argument '{name}': must be real number, not str",)
    for args, name in (
        (("x", 4, 2.0, 0), "wind_beta"),
        ((0, 4, "x", 0), "wave_height"),
        ((0, 4, 2.0, "x"), "wave_beta"),
    ):
        assert raised_by(vessel.compute, *args).args == (
            f"argument '{name}': must be real number, not str",
        )


# --- how a failure of a conversion hook is passed on ---------------------------


class TypeErrorSubclass(TypeError):
    pass


class Raises:
    """An argument whose every conversion hook raises the given exception."""

    def __init__(self, make_error):
        self.make_error = make_error
        self.raised = None

    def _raise(self):
        self.raised = self.make_error()
        raise self.raised

    def __float__(self):
        self._raise()

    def __index__(self):
        self._raise()


@pytest.mark.parametrize(
    "make_error",
    [
        lambda: TypeErrorSubclass("sub"),
        lambda: ValueError("bad value"),
        lambda: RuntimeError("hook failed"),
        lambda: OverflowError("too big"),
        lambda: ZeroDivisionError(),
        lambda: KeyboardInterrupt(),
    ],
    ids=["TypeError subclass", "ValueError", "RuntimeError", "OverflowError", "ZeroDivision",
         "KeyboardInterrupt"],
)
@pytest.mark.parametrize("parameter", ["speed_kts", "wind_beta", "wind_scale", "displacement"])
def test_other_exceptions_pass_unchanged(make_error, parameter):
    argument = Raises(make_error)
    vessel = make_vessel()
    call = {
        "speed_kts": lambda: vessel.setup(argument, True),
        "wind_beta": lambda: vessel.compute(argument, 4, 2.0, 0),
        "wind_scale": lambda: vessel.compute(0, argument, 2.0, 0),
        "displacement": lambda: NavCalc(argument, 120, 20, 7),
    }[parameter]
    error = raised_by(call)
    assert error is argument.raised
    assert "argument" not in str(error)
    # The access taken for the call was given back.
    vessel.setup(12, True)
    assert vessel.compute(0, 4, 2.0, 0) == -0.66


@pytest.mark.parametrize("parameter", ["speed_kts", "wind_beta", "wind_scale", "displacement"])
def test_type_error_from_a_hook_is_wrapped(parameter):
    vessel = make_vessel()
    calls = {
        "speed_kts": lambda a: vessel.setup(a, True),
        "wind_beta": lambda a: vessel.compute(a, 4, 2.0, 0),
        "wind_scale": lambda a: vessel.compute(0, a, 2.0, 0),
        "displacement": lambda a: NavCalc(a, 120, 20, 7),
    }

    # No cause: the new exception has none, and shows no context either.
    plain = Raises(lambda: TypeError("hook refused"))
    error = raised_by(calls[parameter], plain)
    assert type(error) is TypeError
    assert error.args == (f"argument '{parameter}': hook refused",)
    assert error is not plain.raised
    assert error.__cause__ is None
    assert error.__suppress_context__ is True
    assert error.__context__ is None

    # A cause is carried over, the very same object.
    root = ValueError("root cause")

    def caused():
        try:
            raise root
        except ValueError as inner:
            raise TypeError("hook refused") from inner

    caused_error = raised_by(calls[parameter], Raises(lambda: _raise_and_return(caused)))
    assert caused_error.args == (f"argument '{parameter}': hook refused",)
    assert caused_error.__cause__ is root
    assert caused_error.__suppress_context__ is True
    assert caused_error.__context__ is None

    # A context without a cause is dropped.
    def in_handler():
        try:
            raise KeyError("while handling")
        except KeyError:
            raise TypeError("hook refused") from None

    def in_handler_implicit():
        try:
            raise KeyError("while handling")
        except KeyError:
            raise TypeError("hook refused")

    for maker in (in_handler, in_handler_implicit):
        error = raised_by(calls[parameter], Raises(lambda maker=maker: _raise_and_return(maker)))
        assert error.args == (f"argument '{parameter}': hook refused",)
        assert error.__cause__ is None
        assert error.__context__ is None
        assert error.__suppress_context__ is True


def _raise_and_return(function):
    """Runs a function that raises and hands back the exception it raised."""
    try:
        function()
    except BaseException as error:  # noqa: B036 - the hook re-raises it
        return error
    raise AssertionError("did not raise")


class Unprintable:
    def __str__(self):
        raise ValueError("cannot show")


@pytest.mark.parametrize(
    ("error", "shown"),
    [
        (TypeError(), ""),
        (TypeError("a", "b"), "('a', 'b')"),
        (TypeError("with\x00nul"), "with\x00nul"),
        (TypeError("lone \udcff here"), "lone \ufffd\ufffd\ufffd here"),
        (TypeError("中文"), "中文"),
    ],
    ids=["no args", "two args", "nul", "surrogate", "cjk"],
)
def test_wrapped_message_renders_the_exception_with_str(error, shown):
    vessel = make_vessel()
    wrapped = raised_by(vessel.setup, Raises(lambda: error), True)
    assert type(wrapped) is TypeError
    assert wrapped.args == (f"argument 'speed_kts': {shown}",)


def test_unprintable_type_error_goes_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    vessel = make_vessel()
    argument = Raises(lambda: TypeError(Unprintable()))
    wrapped = raised_by(vessel.setup, argument, True)
    assert type(wrapped) is TypeError
    assert wrapped.args == ("argument 'speed_kts': <unprintable TypeError object>",)
    assert len(seen) == 1
    assert type(seen[0].exc_value) is ValueError
    assert seen[0].object is argument.raised
    vessel.setup(12, True)


# --- to signed 32-bit integer ---------------------------------------------------


@pytest.mark.parametrize(
    ("argument", "same_as"),
    [
        (4, 4),
        (True, 1),
        (False, 0),
        (HasIndex(5), 5),
        (np.int64(12), 12),
        (np.int8(4), 4),
        (np.uint64(1), 1),
    ],
    ids=repr,
)
def test_integer_conversion_values(argument, same_as):
    vessel = make_vessel()
    assert vessel.compute(0, argument, 2.0, 0) == vessel.compute(0, same_as, 2.0, 0)


@pytest.mark.parametrize(
    "argument",
    [2**31, -(2**31) - 1, 2**32, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, 10**100, -(10**100),
     HasIndex(2**31), HasIndex(-(2**31) - 1), np.int64(2**31), np.uint64(2**64 - 1)],
    ids=repr,
)
def test_integer_outside_32_bits_is_an_overflow_error(argument):
    vessel = make_vessel()
    error = raised_by(vessel.compute, 0, argument, 2.0, 0)
    assert type(error) is OverflowError
    assert error.args == ("Python int too large to convert to C long",)
    vessel.setup(12, True)


@pytest.mark.parametrize(
    "argument", [2**31 - 1, -(2**31), -1, 13, HasIndex(-1), HasIndex(2**31 - 1)], ids=repr
)
def test_integer_inside_32_bits_reaches_the_model(argument):
    # These convert; it is the Beaufort check that refuses them.
    vessel = make_vessel()
    assert is_panic(raised_by(vessel.compute, 0, argument, 2.0, 0), BEAUFORT)
    assert vessel.compute(0, 4, 2.0, 0) == -0.66


@pytest.mark.parametrize(
    "argument",
    [3.0, 4.5, np.float64(4.0), "4", None, 4j, HasInt(), HasFloat(4.0), FloatSub(4.0)],
    ids=repr,
)
def test_integer_conversion_type_errors_are_wrapped(argument):
    HasInt.calls = 0
    FloatSub.calls = 0
    with pytest.raises(TypeError) as interpreter:
        operator.index(argument)
    vessel = make_vessel()
    error = raised_by(vessel.compute, 0, argument, 2.0, 0)
    assert type(error) is TypeError
    assert error.args == (f"argument 'wind_scale': {interpreter.value}",)
    assert error.__cause__ is None and error.__suppress_context__ is True
    assert HasInt.calls == 0 and FloatSub.calls == 0


def test_float_wind_scale_message():
    error = raised_by(make_vessel().compute, 0, 3.0, 1, 0)
    assert error.args == ("argument 'wind_scale': 'float' object cannot be interpreted as an integer",)


# --- to boolean -----------------------------------------------------------------


def test_bools_and_numpy_booleans():
    assert laden_state(True) is True
    assert laden_state(False) is False
    assert laden_state(np.True_) is True
    assert laden_state(np.False_) is False
    assert laden_state(np.bool_(0)) is False
    assert laden_state(np.array([True, False])[1]) is False


class Truthy:
    calls = 0

    def __bool__(self):
        Truthy.calls += 1
        return True


class Sized:
    calls = 0

    def __len__(self):
        Sized.calls += 1
        return 1


@pytest.mark.parametrize(
    "argument",
    [1, 0, 1.0, None, "True", "", [], [True], Truthy(), Sized(), np.int64(1), np.float64(1.0),
     np.array(True), np.array([True])],
    ids=repr,
)
def test_other_objects_are_not_booleans(argument):
    Truthy.calls = Sized.calls = 0
    vessel = make_vessel()
    error = raised_by(vessel.setup, 12, argument)
    assert type(error) is TypeError
    assert error.args == (
        f"argument 'laden': '{type(argument).__qualname__}' object cannot be converted to 'PyBool'",
    )
    assert error.__cause__ is None and error.__suppress_context__ is True
    assert Truthy.calls == 0 and Sized.calls == 0


def test_none_and_int_messages():
    vessel = make_vessel()
    assert raised_by(vessel.setup, 12, 1).args == (
        "argument 'laden': 'int' object cannot be converted to 'PyBool'",
    )
    assert raised_by(vessel.setup, 12, None).args == (
        "argument 'laden': 'NoneType' object cannot be converted to 'PyBool'",
    )


def numpy_like(name, module="numpy", body=None, metaclass=type):
    """A class that passes for numpy's boolean scalar type by module and name."""
    namespace = {"__module__": module, **(body or {})}
    return metaclass(name, (), namespace)


def truth(value, log=None):
    def __bool__(self):
        if log is not None:
            log.append(value)
        return value

    return {"__bool__": __bool__}


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("value", [True, False])
def test_numpy_stand_ins_convert_with_their_truth_slot(name, value):
    log = []
    cls = numpy_like(name, body=truth(value, log))
    assert laden_state(cls()) is value
    assert log == [value]


class NumpyText(str):
    pass


def test_numpy_module_may_be_a_str_subclass():
    cls = numpy_like("bool_", module=NumpyText("numpy"), body=truth(False))
    assert laden_state(cls()) is False


class RaisingModule(type):
    @property
    def __module__(cls):
        raise RuntimeError("no module")


class SurrogateModule(type):
    @property
    def __module__(cls):
        return "numpy\udcff"


@pytest.mark.parametrize(
    ("make", "qualname"),
    [
        (lambda body: numpy_like("Bool", body=body), "Bool"),
        (lambda body: numpy_like("bool8", body=body), "bool8"),
        (lambda body: numpy_like("bool_ ", body=body), "bool_ "),
        (lambda body: numpy_like("bool_", module="numpy.core", body=body), "bool_"),
        (lambda body: numpy_like("bool_", module="Numpy", body=body), "bool_"),
        (lambda body: numpy_like("bool_", module=b"numpy", body=body), "bool_"),
        (lambda body: numpy_like("bool_", module=None, body=body), "bool_"),
        (lambda body: numpy_like("bool_", body=body, metaclass=RaisingModule), "bool_"),
        (lambda body: numpy_like("bool_", body=body, metaclass=SurrogateModule), "bool_"),
    ],
    ids=["Bool", "bool8", "trailing blank", "numpy.core", "Numpy", "bytes module", "None module",
         "module raises", "module not encodable"],
)
def test_near_numpy_types_are_refused_without_truth_testing(make, qualname):
    log = []
    cls = make(truth(True, log))
    error = raised_by(make_vessel().setup, 12, cls())
    assert type(error) is TypeError
    assert error.args == (f"argument 'laden': '{qualname}' object cannot be converted to 'PyBool'",)
    assert error.__cause__ is None and error.__context__ is None
    assert log == []


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_stand_in_without_truth_slot(name):
    Sized.calls = 0
    for body in ({}, {"__len__": Sized.__len__}):
        cls = numpy_like(name, body=body)
        error = raised_by(make_vessel().setup, 12, cls())
        assert type(error) is TypeError
        assert error.args == (
            f"argument 'laden': object of type '<class 'numpy.{name}'>' "
            "does not define a '__bool__' conversion",
        )
        assert error.__cause__ is None and error.__suppress_context__ is True
    assert Sized.calls == 0


def test_numpy_stand_in_whose_truth_is_not_a_bool():
    cls = numpy_like("bool_", body={"__bool__": lambda self: 1})
    error = raised_by(make_vessel().setup, 12, cls())
    assert type(error) is TypeError
    assert error.args == ("argument 'laden': __bool__ should return bool, returned int",)


@pytest.mark.parametrize(
    ("make_error", "wrapped"),
    [
        (lambda: ValueError("no truth"), False),
        (lambda: TypeErrorSubclass("no truth"), False),
        (lambda: TypeError("no truth"), True),
    ],
    ids=["ValueError", "TypeError subclass", "TypeError"],
)
def test_numpy_stand_in_whose_truth_raises(make_error, wrapped):
    raised = []

    def __bool__(self):
        raised.append(make_error())
        raise raised[-1]

    vessel = make_vessel()
    error = raised_by(vessel.setup, 12, numpy_like("bool_", body={"__bool__": __bool__})())
    if wrapped:
        assert type(error) is TypeError
        assert error.args == ("argument 'laden': no truth",)
    else:
        assert error is raised[0]
    vessel.setup(12, True)


# --- order ----------------------------------------------------------------------


class Logged:
    """Converts to a double or an integer and logs its name when it does."""

    def __init__(self, log, name, value, fail=False):
        self.log, self.name, self.value, self.fail = log, name, value, fail

    def _convert(self):
        self.log.append(self.name)
        if self.fail:
            raise TypeError(f"{self.name} refused")
        return self.value

    def __float__(self):
        return float(self._convert())

    def __index__(self):
        return int(self._convert())


def test_constructor_converts_in_declaration_order():
    names = ("displacement", "length", "breadth", "draught")
    values = dict(zip(names, (10000, 120, 20, 7)))
    log = []
    NavCalc(**{n: Logged(log, n, values[n]) for n in reversed(names)})
    assert log == list(names)
    log.clear()
    error = raised_by(
        NavCalc, *(Logged(log, n, values[n], fail=n == "length") for n in names)
    )
    assert error.args == ("argument 'length': length refused",)
    assert log == ["displacement", "length"]


def test_compute_converts_in_declaration_order():
    names = ("wind_beta", "wind_scale", "wave_height", "wave_beta")
    values = dict(zip(names, (0, 4, 2.0, 0)))
    vessel = make_vessel()
    log = []
    assert vessel.compute(**{n: Logged(log, n, values[n]) for n in reversed(names)}) == -0.66
    assert log == list(names)
    for failing in names:
        log.clear()
        error = raised_by(
            vessel.compute, *(Logged(log, n, values[n], fail=n == failing) for n in names)
        )
        assert error.args == (f"argument '{failing}': {failing} refused",)
        assert log == list(names[: names.index(failing) + 1])


def test_setup_converts_speed_before_laden():
    log = []
    cls = numpy_like("bool_", body=truth(True, log))
    vessel = make_vessel()
    vessel.setup(laden=cls(), speed_kts=Logged(log, "speed_kts", 12))
    assert log == ["speed_kts", True]
    log.clear()
    error = raised_by(vessel.setup, Logged(log, "speed_kts", 12, fail=True), cls())
    assert error.args == ("argument 'speed_kts': speed_kts refused",)
    assert log == ["speed_kts"]


@pytest.mark.parametrize(
    ("args", "error_type", "message"),
    [
        ((-1, "x", 1, 1), TypeError, "argument 'length': must be real number, not str"),
        ((0, 0, 0, None), TypeError, "argument 'draught': must be real number, not NoneType"),
        ((-1, 10**400, 1, 1), OverflowError, "int too large to convert to float"),
        ((float("nan"), 0, "x", 0), TypeError, "argument 'breadth': must be real number, not str"),
    ],
)
def test_conversions_come_before_the_model_checks(args, error_type, message):
    error = raised_by(NavCalc, *args)
    assert type(error) is error_type
    assert error.args == (message,)


def test_beaufort_check_comes_after_every_conversion():
    vessel = make_vessel()
    error = raised_by(vessel.compute, 0, 13, 2.0, "x")
    assert error.args == ("argument 'wave_beta': must be real number, not str",)


# --- nothing changes when a conversion fails -------------------------------------


def test_failed_setup_leaves_the_record_unchanged():
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(1, False)
    before = (vessel.compute(0, 4, 2.0, 0), vessel.compute(45, 4, 2.0, 45))
    log = []
    for speed, laden in ((99, 1), (Logged(log, "speed_kts", 99), None), ("x", True),
                         (Logged(log, "speed_kts", 99), numpy_like("bool_")())):
        with pytest.raises(TypeError):
            vessel.setup(speed, laden)
    assert log == ["speed_kts", "speed_kts"]
    assert (vessel.compute(0, 4, 2.0, 0), vessel.compute(45, 4, 2.0, 45)) == before


def test_arguments_are_not_changed_or_kept():
    import sys

    speed = float("12.5")
    scale = 2**40
    text = "x" * 3
    before = [sys.getrefcount(o) for o in (speed, scale, text)]
    vessel = make_vessel()
    for _ in range(100):
        vessel.setup(speed, True)
        with pytest.raises(OverflowError):
            vessel.compute(0, scale, 2.0, 0)
        with pytest.raises(TypeError):
            vessel.setup(text, True)
    assert [sys.getrefcount(o) for o in (speed, scale, text)] == before
    assert speed == 12.5 and scale == 2**40 and text == "xxx"
