"""Binding compared with the interpreter's own binding of a plain Python function.

For every call shape the entries accept and reject exactly where a Python
function with the same parameters does. The wordings coincide (the reference
functions carry the entries' display names), with one deliberate difference
in the order of checks: too many positional arguments are reported before any
keyword is looked at, where the interpreter examines the keywords first.
"""

from hypothesis import given, settings
from hypothesis import strategies as st

from veltrum import NavCalc


def new_reference(displacement, length, breadth, draught):
    pass


def setup_reference(speed_kts, laden):
    pass


def compute_reference(wind_beta, wind_scale, wave_height, wave_beta):
    pass


# The interpreter opens its messages with the function's qualified name.
new_reference.__qualname__ = "NavCalc.__new__"
setup_reference.__qualname__ = "NavCalc.setup"
compute_reference.__qualname__ = "NavCalc.compute"

VESSEL = NavCalc(10000, 120, 20, 7)

ENTRIES = {
    "new": (("displacement", "length", "breadth", "draught"), new_reference, NavCalc),
    "setup": (("speed_kts", "laden"), setup_reference, VESSEL.setup),
    "compute": (
        ("wind_beta", "wind_scale", "wave_height", "wave_beta"),
        compute_reference,
        VESSEL.compute,
    ),
}
# Values that convert cleanly and that the model accepts, so only binding decides.
GOOD = {
    "displacement": 10000.0,
    "length": 120.0,
    "breadth": 20.0,
    "draught": 7.0,
    "speed_kts": 12.0,
    "laden": True,
    "wind_beta": 0.0,
    "wind_scale": 4,
    "wave_height": 2.0,
    "wave_beta": 0.0,
}
UNKNOWN = ["foo", "self", "Speed_kts", "laden_", "wave", "args", "kwargs", "Draught", "船长"]
NAME_POOL = sorted(GOOD) + UNKNOWN


class PlainName(str):
    """A str subclass that compares and prints like its text."""


def outcome(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as error:
        assert type(error) is TypeError
        return error.args
    return "accepted"


call_shapes = st.tuples(
    st.sampled_from(sorted(ENTRIES)),
    st.integers(min_value=0, max_value=6),
    st.lists(
        st.tuples(st.sampled_from(NAME_POOL), st.booleans()),
        max_size=6,
        unique_by=lambda pair: pair[0],
    ),
)


@settings(max_examples=600, deadline=None)
@given(call_shapes)
def test_binding_agrees_with_python_functions(shape):
    entry, npos, keywords = shape
    names, reference, target = ENTRIES[entry]
    args = [GOOD[names[i]] if i < len(names) else 1.0 for i in range(npos)]
    kwargs = {(PlainName(name) if wrap else name): GOOD.get(name, 1.0) for name, wrap in keywords}

    actual = outcome(target, args, kwargs)
    if npos > len(names):
        # Both refuse; the count is checked first here, so the message is the
        # one the interpreter gives for the positional arguments alone.
        assert outcome(reference, args, kwargs) != "accepted"
        assert actual == outcome(reference, args, {})
    else:
        assert actual == outcome(reference, args, kwargs)


@settings(max_examples=200, deadline=None)
@given(
    st.sampled_from(sorted(ENTRIES)),
    st.permutations(range(4)),
    st.integers(min_value=0, max_value=4),
)
def test_every_complete_call_shape_is_accepted(entry, order, npos):
    names, reference, target = ENTRIES[entry]
    npos = min(npos, len(names))
    args = [GOOD[name] for name in names[:npos]]
    rest = [names[i] for i in order if i < len(names) and i >= npos]
    kwargs = {name: GOOD[name] for name in rest}
    assert outcome(reference, args, kwargs) == "accepted"
    assert outcome(target, args, kwargs) == "accepted"
