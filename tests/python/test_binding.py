"""Binding of positional and keyword arguments to the parameters of the three entries."""

import itertools
import re
import sys

import pytest
from conftest import PARAMETERS, Hook, Unprintable, make_vessel, outcome, raised
from hypothesis import given, settings
from hypothesis import strategies as st

from veltrum import NavCalc

# Distinct values that convert cleanly and that the model accepts, so only binding decides.
GOOD = dict(displacement=10000.0, length=120.0, breadth=20.0, draught=7.0, speed_kts=12.0,
            laden=True, wind_beta=10.0, wind_scale=4, wave_height=2.5, wave_beta=80.0)
VESSEL = make_vessel()
TARGETS = {"__new__": NavCalc, "setup": VESSEL.setup, "compute": VESSEL.compute}


class Shown(str):  # a keyword name that never compares equal and whose str() is not its text
    __hash__ = str.__hash__
    __eq__ = lambda self, other: False  # noqa: E731
    __str__ = lambda self: "shown"  # noqa: E731


M1, M2, M3, M4 = (f"missing {n} required positional argument{'s' * (n > 1)}: " for n in range(1, 5))
UNEXPECTED, MULTIPLE = "got an unexpected keyword argument ", "got multiple values for argument "
FAILURES = [  # (entry, positional arguments, keywords in call order, message after the name)
    ("__new__", (), {}, M4 + "'displacement', 'length', 'breadth', and 'draught'"),
    ("__new__", (1, 2, 3), {}, M1 + "'draught'"),
    ("compute", (0,), {}, M3 + "'wind_scale', 'wave_height', and 'wave_beta'"),
    ("compute", (0,), {"wave_beta": 0}, M2 + "'wind_scale' and 'wave_height'"),
    # too many positional arguments: reported before any keyword is looked at
    ("setup", (10, True, 1), {"speed_kts": 1}, "takes 2 positional arguments but 3 were given"),
    ("compute", tuple(range(40)), {"\udcff": 1}, "takes 4 positional arguments but 40 were given"),
    ("setup", (10,), {"speed_kts": 12}, MULTIPLE + "'speed_kts'"),
    ("__new__", (1, 2, 3, 4), {"length": 1}, MULTIPLE + "'length'"),
    # names compare as whole byte strings: no case folding, prefixes or normalisation
    ("setup", (), {"Speed_kts": 12, "laden": True}, UNEXPECTED + "'Speed_kts'"),
    ("setup", (), {"speed_kt": 12}, UNEXPECTED + "'speed_kt'"),
    ("setup", (), {"speed_kts_": 12}, UNEXPECTED + "'speed_kts_'"),
    ("setup", (), {"": 12}, UNEXPECTED + "''"),
    ("setup", (), {"laden\x00": True}, UNEXPECTED + "'laden\x00'"),
    ("__new__", (1, 2, 3), {"ｄｒａｕｇｈｔ": 7}, UNEXPECTED + "'ｄｒａｕｇｈｔ'"),
    # keywords in call order, the first failure wins; missing ones only after all keywords
    ("setup", (), {"foo": 1, "speed_kts": 12}, UNEXPECTED + "'foo'"),
    ("setup", (10,), {"speed_kts": 12, "foo": 1}, MULTIPLE + "'speed_kts'"),
    ("__new__", (), {"breadth": 1, "bar": 2, "foo": 1}, UNEXPECTED + "'bar'"),
    # a name that cannot be encoded is unexpected; each lone surrogate shows as three U+FFFD
    ("setup", (), {"\udcff": 1}, UNEXPECTED + "'\ufffd\ufffd\ufffd'"),
    ("__new__", (), {"displacement": 1, "\ud83d\ude00": 1}, UNEXPECTED + "'" + "\ufffd" * 6 + "'"),
    ("compute", (), {Shown("\udcff"): 1}, UNEXPECTED + "'shown'"),  # str() runs Python code
    ("setup", (), {Unprintable("foo"): 1}, UNEXPECTED + "'<unprintable Unprintable object>'"),
]


@pytest.mark.parametrize(("entry", "args", "kwargs", "expected"), FAILURES)
def test_binding_failure_messages(monkeypatch, entry, args, kwargs, expected):
    seen = []  # a name whose str() fails goes to the unraisable hook
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    hooks = [Hook(lambda: pytest.fail("converted"), value) for value in args]
    error = raised(TARGETS[entry], *hooks, **kwargs)
    assert (type(error), error.args) == (TypeError, (f"NavCalc.{entry}() {expected}",))
    assert error.__context__ is None and error.__cause__ is None
    assert [(type(s.exc_value), type(s.object)) for s in seen] == (
        [(ZeroDivisionError, Unprintable)] if "unprintable" in expected else [])


def result(entry, args, kwargs):
    VESSEL.setup(5, False)
    out = TARGETS[entry](*args, **kwargs)
    return (out if entry == "__new__" else VESSEL).compute(10, 4, 2.5, 80)


# Names written in code are interned and, once matched, bound by identity; names built at
# run time and str subclasses are matched by their text. All bind and fail alike.
@pytest.mark.parametrize("make", [sys.intern, lambda n: "".join(list(n)), Shown])
@pytest.mark.parametrize("entry", PARAMETERS)
def test_any_keywords_reach_their_parameters(make, entry):
    names = PARAMETERS[entry]
    expected = result(entry, [GOOD[name] for name in names], {})
    for split in range(len(names) + 1):
        for order in itertools.permutations(names[split:]):
            kwargs = {make(name): GOOD[name] for name in order}
            assert result(entry, [GOOD[name] for name in names[:split]], kwargs) == expected
    error = raised(TARGETS[entry], 1, **{make(names[0]): 1})
    assert error.args == (f"NavCalc.{entry}() {MULTIPLE}'{names[0]}'",)


# Plain Python functions with the entries' parameters and display names.
REFERENCES = {e: eval(f"lambda {', '.join(names)}: None") for e, names in PARAMETERS.items()}
for entry, function in REFERENCES.items():
    function.__qualname__ = f"NavCalc.{entry}"


def binding(function, args, kwargs):
    got = outcome(lambda: function(*args, **kwargs))
    if not isinstance(got, tuple):
        return "accepted"
    # From 3.13 the interpreter suggests a near name for an unknown keyword; the
    # module's messages never do.
    return got[0], tuple(re.sub(r"\. Did you mean '[^']*'\?$", "", a) for a in got[1])


NAMES = sorted(GOOD) + ["foo", "self", "Speed_kts", "laden_", "args", "船长"]


@settings(max_examples=400, deadline=None)
@given(st.sampled_from(sorted(PARAMETERS)), st.integers(0, 6),
       st.lists(st.tuples(st.sampled_from(NAMES), st.booleans()), max_size=6,
                unique_by=lambda pair: pair[0]))
def test_binding_agrees_with_python_functions(entry, npos, keywords):
    names = PARAMETERS[entry]
    args = [GOOD[names[i]] if i < len(names) else 1.0 for i in range(npos)]
    kwargs = {(type("Name", (str,), {})(name) if wrap else name): GOOD.get(name, 1.0)
              for name, wrap in keywords}
    actual = binding(TARGETS[entry], args, kwargs)
    if npos > len(names):  # counted first here, where the interpreter looks at keywords first
        assert binding(REFERENCES[entry], args, kwargs) != "accepted"
        kwargs = {}
    assert actual == binding(REFERENCES[entry], args, kwargs)
