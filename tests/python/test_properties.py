"""Any call returns what the plain call returns, bit for bit, or raises exactly what
the binding, conversion, access and model rules below give; hooks run once each up to
the first failing conversion; the vessel ends as the rules say. Also the fuzz target."""

import ctypes
import operator
import os
import struct
import sys
import warnings

import numpy as np
from conftest import PARAMETERS, raised
from hypothesis import HealthCheck, given, settings, strategies as st

from veltrum import NavCalc

CODES = {"__new__": "dddd", "setup": "db", "compute": "dIdd"}  # double, int32, bool
Panic = type(raised(NavCalc, 0, 1, 1, 1))
NESTED = {"setup": lambda v: v.setup(12, True), "compute": lambda v: v.compute(0, 4, 2.0, 0),
          "__new__": lambda v: NavCalc(0, 1, 1, 1)}
SubTypeError = type("SubTypeError", (TypeError,), {})
FloatSub = type("FloatSub", (float,), {"__float__": lambda self: 1 / 0})  # read, never asked
Name = type("Name", (str,), {"__hash__": object.__hash__, "__eq__": object.__eq__})


def bits(obj):
    """A vessel's record (nine doubles, the loading flag) and access flag; a float's bits."""
    if type(obj) is NavCalc:
        return ctypes.string_at(id(obj) + 16, 73), ctypes.c_size_t.from_address(id(obj) + 96).value
    return struct.pack("d", obj) if type(obj) is float else obj


def outcome(kind, message, cause=type(None), wrapped=False):
    return kind, message, cause, wrapped, (message,) if kind is Panic else None


class Hook:
    """Converted by __float__ or __index__: returns, raises, or calls back into the vessel."""

    def __init__(self, action, vessel=None):
        self.action, self.vessel, self.calls, self.nested = action, vessel, 0, []
        self.expected = [0, []]  # calls and nested outcomes, as the rules say

    def run(self):
        self.calls += 1
        kind, arg = self.action
        if kind == "raise":
            raise arg[0]("refused") from (arg[1] and arg[1]("inner"))
        if kind == "reenter":
            target, propagate, arg = arg
            try:
                NESTED[target](self.vessel)
                self.nested.append(None)
            except BaseException as e:  # noqa: BLE001
                self.nested.append((type(e), str(e)))
                if propagate:
                    raise
        return arg

    __float__ = __index__ = run


def convert(obj, code, outer, reference):
    """(None, the plain value the module must make of obj) or (outcome, None)."""
    if isinstance(obj, Hook) and code in "dI":
        kind, arg = obj.action
        obj.expected[0] += 1
        if kind == "reenter":
            target, propagate, arg = arg
            nested = ((Panic, "参数必须大于0") if target == "__new__" else None
                      if outer == "__new__" or outer == target == "compute" else (RuntimeError,
                      "Already mutably borrowed" if target == "compute" else "Already borrowed"))
            obj.expected[1].append(nested)
            if nested is None and target == "setup":
                reference.setup(12, True)
            elif nested is not None and propagate:  # a PanicException resumes its failure
                return outcome(*nested), None
            kind = "return"
        if kind == "raise" and arg[0] is Panic:
            return outcome(Panic, "refused"), None
        obj = Hook((kind, arg))  # a twin without side effects
    try:
        if code == "d":
            return None, ctypes.c_double(obj).value  # the interpreter's own conversion
        if code == "I":
            if not -2**31 <= (value := operator.index(obj)) < 2**31:
                raise OverflowError("Python int too large to convert to C long")
            return None, value
        if type(obj) in (bool, np.bool_):
            return None, bool(obj)
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'PyBool'")
    except Exception as e:  # noqa: BLE001
        return outcome(type(e), str(e), type(e.__cause__), e.__suppress_context__), None


def predict(entry, positional, keywords, reference):
    """(outcome, None) or (None, the plain call's result); changes `reference` as the
    vessel under test must change."""
    display, names, codes = f"NavCalc.{entry}()", PARAMETERS[entry], CODES[entry]
    slots = list(positional) + [...] * (len(names) - len(positional))  # ...: empty
    for name, value in keywords.items() if len(slots) == len(names) else ():
        if (text := str.__str__(name)) not in names:
            text = text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
            return outcome(TypeError, f"{display} got an unexpected keyword argument '{text}'"
                           ), None
        if slots[names.index(text)] is not ...:
            return outcome(TypeError, f"{display} got multiple values for argument '{text}'"), None
        slots[names.index(text)] = value
    if missing := [f"'{n}'" for n, slot in zip(names, slots) if slot is ...]:
        listed = ", ".join(missing[:-1]) + "," * (len(missing) > 2) + " and " * (len(missing) > 1)
        return outcome(TypeError, f"{display} missing {len(missing)} required positional argument"
                       f"{'s' * (len(missing) > 1)}: {listed}{missing[-1]}"), None
    if len(positional) > len(names):
        return outcome(TypeError, f"{display} takes {len(names)} positional arguments but "
                       f"{len(positional)} were given"), None
    values = []
    for name, obj, code in zip(names, slots, codes):
        error, value = convert(obj, code, entry, reference)
        if error:
            return (outcome(TypeError, f"argument '{name}': {error[1]}", error[2], True)
                    if error[0] is TypeError else error), None
        values.append(value)
    if entry == "__new__" and any(v <= 0 for v in values):  # NaN passes the value check
        return outcome(Panic, "参数必须大于0"), None
    if entry == "compute" and not 0 <= values[1] <= 12:
        return outcome(Panic, "蒲福风级必须在 0~12"), None
    try:
        return None, (NavCalc if entry == "__new__" else getattr(reference, entry))(*values)
    except Panic as e:
        return outcome(Panic, str(e)), None


FLOATS = st.floats() | st.sampled_from([0.0, -0.0, 1e-320, -1.0])
INTS = st.integers() | st.sampled_from([2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**63, 2**1024, 13])
WILD = FLOATS | INTS | st.builds(FloatSub, st.floats()) | st.sampled_from(
    [True, False, None, "12", np.float64(2.5), np.int64(7), np.True_, np.False_])
ACTIONS = st.tuples(st.just("return"), WILD) | st.tuples(st.just("raise"), st.sampled_from(
    [(TypeError, None), (TypeError, ValueError), (Panic, None), (SubTypeError, None),
     (ValueError, None)])) | st.tuples(st.just("reenter"), st.tuples(
         st.sampled_from(list(NESTED)), st.booleans(), WILD))
SENSIBLE = {"d": st.floats(0.1, 1e5) | st.integers(1, 20000), "I": st.integers(-2, 14),
            "b": st.booleans()}
NAMES = st.sampled_from([name for names in PARAMETERS.values() for name in names])
KEYWORDS = NAMES | NAMES.map(Name) | st.text(max_size=5) | st.sampled_from(
    ["Speed_kts", "speed_kts\x00", "", "wïnd_beta", "速度", "\ud800", "wave\udfffheight"])


@settings(max_examples=3 * int(os.environ.get("VELTRUM_PROPERTY_EXAMPLES", "300")),
          deadline=None, suppress_health_check=list(HealthCheck), database=None)
@given(data=st.data(), entry=st.sampled_from(list(CODES)), speed=st.floats(-5, 40),
       hull=st.tuples(*[st.floats(0.5, 1e5)] * 4), laden=st.booleans())
def test_calls_follow_the_rules(data, entry, hull, speed, laden):
    vessel, reference = NavCalc(*hull), NavCalc(*hull)
    vessel.setup(speed, laden)
    reference.setup(speed, laden)
    # Every parameter once, by position or keyword, each sensible, a hook or anything;
    # now and then one positional too many, keywords left out, or one more.
    names, codes = PARAMETERS[entry], CODES[entry]
    hooks = ACTIONS.map(lambda action: Hook(action, vessel))
    values = [data.draw([WILD, hooks, SENSIBLE[c], SENSIBLE[c]][data.draw(st.integers(0, 3))])
              for c in codes]
    m, odd = data.draw(st.integers(0, len(names))), data.draw(st.integers(0, 9))
    pairs = data.draw(st.permutations(list(zip(names[m:], values[m:]))))
    pairs = pairs[:max(0, len(pairs) - (odd == 2) - 3 * (odd == 3))] + [
        data.draw(st.tuples(KEYWORDS, WILD | hooks)) for _ in range(odd in (4, 5))]
    positional, keywords = values[:m] + [data.draw(WILD) for _ in range(odd == 1)], dict(pairs)
    result = got = None
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        expected, value = predict(entry, positional, keywords, reference)
        try:
            result = (NavCalc if entry == "__new__" else getattr(vessel, entry))(
                *positional, **keywords)
        except BaseException as e:  # noqa: BLE001
            got = outcome(type(e), str(e), type(e.__cause__), e.__suppress_context__)
            assert e.args == got[4] or type(e) is not Panic
    assert got == expected
    assert type(result) is type(value) and bits(result) == bits(value)
    assert bits(vessel) == bits(reference)  # changed only as the rules say, access flag free
    for hook in (o for o in (*positional, *keywords.values(), *values) if isinstance(o, Hook)):
        assert [hook.calls, hook.nested] == hook.expected
    usable = [v.setup(10, False) or v.compute(0, 4, 2.0, 0) for v in (vessel, reference)]
    assert usable[0] == usable[1]


if __name__ == "__main__":  # the fuzzing target: python test_properties.py [libFuzzer flags]
    import atheris
    list(map(atheris.instrument_func, (predict, convert, Hook.run)))  # the rules' branches
    atheris.Setup(sys.argv, test_calls_follow_the_rules.hypothesis.fuzz_one_input)
    atheris.Fuzz()
