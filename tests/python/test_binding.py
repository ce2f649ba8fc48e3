"""Binding of positional and keyword arguments to the parameters of the three entries."""

import itertools
import sys

import pytest

from veltrum import NavCalc

PARAMETERS = {
    "new": ("displacement", "length", "breadth", "draught"),
    "setup": ("speed_kts", "laden"),
    "compute": ("wind_beta", "wind_scale", "wave_height", "wave_beta"),
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
NEW = "NavCalc.__new__()"
SETUP = "NavCalc.setup()"
COMPUTE = "NavCalc.compute()"


def call(entry, *args, **kwargs):
    if entry == "new":
        return NavCalc(*args, **kwargs)
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    return getattr(vessel, entry)(*args, **kwargs)


def message_of(entry, args, kwargs):
    with pytest.raises(TypeError) as raised:
        call(entry, *args, **kwargs)
    assert type(raised.value) is TypeError
    assert len(raised.value.args) == 1
    return raised.value.args[0]


# (entry, positional arguments, keyword arguments in call order, message)
BINDING_FAILURES = [
    # required parameters left empty: the name lists
    ("new", (), {}, f"{NEW} missing 4 required positional arguments: "
     "'displacement', 'length', 'breadth', and 'draught'"),
    ("new", (1,), {}, f"{NEW} missing 3 required positional arguments: "
     "'length', 'breadth', and 'draught'"),
    ("new", (1, 2), {}, f"{NEW} missing 2 required positional arguments: 'breadth' and 'draught'"),
    ("new", (1, 2, 3), {}, f"{NEW} missing 1 required positional argument: 'draught'"),
    ("new", (), {"draught": 7, "breadth": 20, "length": 120},
     f"{NEW} missing 1 required positional argument: 'displacement'"),
    ("new", (), {"length": 120, "draught": 7},
     f"{NEW} missing 2 required positional arguments: 'displacement' and 'breadth'"),
    ("new", (), {"draught": 7}, f"{NEW} missing 3 required positional arguments: "
     "'displacement', 'length', and 'breadth'"),
    ("new", (1,), {"breadth": 20}, f"{NEW} missing 2 required positional arguments: "
     "'length' and 'draught'"),
    ("setup", (), {}, f"{SETUP} missing 2 required positional arguments: 'speed_kts' and 'laden'"),
    ("setup", (10,), {}, f"{SETUP} missing 1 required positional argument: 'laden'"),
    ("setup", (), {"laden": True}, f"{SETUP} missing 1 required positional argument: 'speed_kts'"),
    ("compute", (), {}, f"{COMPUTE} missing 4 required positional arguments: "
     "'wind_beta', 'wind_scale', 'wave_height', and 'wave_beta'"),
    ("compute", (0,), {}, f"{COMPUTE} missing 3 required positional arguments: "
     "'wind_scale', 'wave_height', and 'wave_beta'"),
    ("compute", (0, 3), {}, f"{COMPUTE} missing 2 required positional arguments: "
     "'wave_height' and 'wave_beta'"),
    ("compute", (0,), {"wave_beta": 0}, f"{COMPUTE} missing 2 required positional arguments: "
     "'wind_scale' and 'wave_height'"),
    ("compute", (0, 3, 1), {}, f"{COMPUTE} missing 1 required positional argument: 'wave_beta'"),
    ("compute", (), {"wave_beta": 0, "wind_beta": 0}, f"{COMPUTE} missing 2 required positional "
     "arguments: 'wind_scale' and 'wave_height'"),
    # too many positional arguments: reported before any keyword is looked at
    ("setup", (10, True, 1), {}, f"{SETUP} takes 2 positional arguments but 3 were given"),
    ("setup", (10, True, 1, 2, 3), {}, f"{SETUP} takes 2 positional arguments but 5 were given"),
    ("setup", (10, True, 1), {"foo": 1}, f"{SETUP} takes 2 positional arguments but 3 were given"),
    ("setup", (10, True, 1), {"speed_kts": 1},
     f"{SETUP} takes 2 positional arguments but 3 were given"),
    ("new", (1, 2, 3, 4, 5), {}, f"{NEW} takes 4 positional arguments but 5 were given"),
    ("new", (1, 2, 3, 4, 5), {"foo": 1}, f"{NEW} takes 4 positional arguments but 5 were given"),
    ("new", (1, 2, 3, 4, 5, 6), {"displacement": 1},
     f"{NEW} takes 4 positional arguments but 6 were given"),
    ("compute", (0, 4, 2, 0, 1, 2, 3), {},
     f"{COMPUTE} takes 4 positional arguments but 7 were given"),
    ("compute", tuple(range(40)), {"\udcff": 1},
     f"{COMPUTE} takes 4 positional arguments but 40 were given"),
    # a keyword for a slot already filled
    ("setup", (10,), {"speed_kts": 12}, f"{SETUP} got multiple values for argument 'speed_kts'"),
    ("setup", (10, True), {"laden": True}, f"{SETUP} got multiple values for argument 'laden'"),
    ("setup", (10,), {"laden": True, "speed_kts": 12},
     f"{SETUP} got multiple values for argument 'speed_kts'"),
    ("new", (1, 2, 3, 4), {"length": 1}, f"{NEW} got multiple values for argument 'length'"),
    ("new", (1,), {"displacement": 2}, f"{NEW} got multiple values for argument 'displacement'"),
    ("compute", (0, 4, 2), {"wave_beta": 0, "wind_beta": 1},
     f"{COMPUTE} got multiple values for argument 'wind_beta'"),
    # a keyword that names no parameter
    ("setup", (10, True), {"foo": 1}, f"{SETUP} got an unexpected keyword argument 'foo'"),
    ("setup", (), {"foo": 1, "speed_kts": 12}, f"{SETUP} got an unexpected keyword argument 'foo'"),
    ("setup", (), {"speed_kts": 12, "laden": True, "self": 1},
     f"{SETUP} got an unexpected keyword argument 'self'"),
    ("setup", (), {"Speed_kts": 12, "laden": True},
     f"{SETUP} got an unexpected keyword argument 'Speed_kts'"),
    ("setup", (), {"LADEN": True}, f"{SETUP} got an unexpected keyword argument 'LADEN'"),
    ("setup", (), {"speed_kt": 12}, f"{SETUP} got an unexpected keyword argument 'speed_kt'"),
    ("setup", (), {"speed_kts_": 12}, f"{SETUP} got an unexpected keyword argument 'speed_kts_'"),
    ("setup", (), {"": 12}, f"{SETUP} got an unexpected keyword argument ''"),
    ("setup", (), {"laden\x00": True}, f"{SETUP} got an unexpected keyword argument 'laden\x00'"),
    ("setup", (), {"lad\x00en": True}, f"{SETUP} got an unexpected keyword argument 'lad\x00en'"),
    # no normalisation: full-width letters and a Cyrillic "е" are other names
    ("new", (1, 2, 3), {"ｄｒａｕｇｈｔ": 7},
     f"{NEW} got an unexpected keyword argument 'ｄｒａｕｇｈｔ'"),
    ("new", (1,), {"lеngth": 2}, f"{NEW} got an unexpected keyword argument 'lеngth'"),
    ("new", (1, 2, 3), {"draught": 7, "foo": 1}, f"{NEW} got an unexpected keyword argument 'foo'"),
    ("new", (), {"船长": 1}, f"{NEW} got an unexpected keyword argument '船长'"),
    ("new", (), {"🚢": 1}, f"{NEW} got an unexpected keyword argument '🚢'"),
    ("compute", (), {"wind_beta": 0, "wind_scale": 4, "wave_height": 2, "wave_bet": 0},
     f"{COMPUTE} got an unexpected keyword argument 'wave_bet'"),
    # keywords are taken in call order and the first failure wins; missing
    # parameters are looked for only after every keyword was accepted
    ("setup", (10,), {"foo": 1, "speed_kts": 12}, f"{SETUP} got an unexpected keyword argument 'foo'"),
    ("setup", (10,), {"speed_kts": 12, "foo": 1},
     f"{SETUP} got multiple values for argument 'speed_kts'"),
    ("setup", (), {"foo": 1}, f"{SETUP} got an unexpected keyword argument 'foo'"),
    ("new", (), {"breadth": 1, "bar": 2, "foo": 1}, f"{NEW} got an unexpected keyword argument 'bar'"),
    # a lone surrogate cannot be encoded: unexpected, shown as three U+FFFD
    ("setup", (), {"\udcff": 1}, f"{SETUP} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("setup", (10, True), {"a\ud800b": 1},
     f"{SETUP} got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"),
    ("new", (), {"displacement": 1, "\ud83d\ude00": 1},
     f"{NEW} got an unexpected keyword argument '" + "\ufffd" * 6 + "'"),
    ("compute", (), {"\udcff": 1, "foo": 2},
     f"{COMPUTE} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
]


@pytest.mark.parametrize(("entry", "args", "kwargs", "expected"), BINDING_FAILURES)
def test_binding_failure_messages(entry, args, kwargs, expected):
    assert message_of(entry, args, kwargs) == expected


def test_encoding_error_of_a_keyword_is_dropped():
    vessel = NavCalc(10000, 120, 20, 7)
    with pytest.raises(TypeError) as raised:
        vessel.setup(**{"\udcff": 1})
    assert raised.value.__context__ is None
    assert raised.value.__cause__ is None
    vessel.setup(12, True)
    assert vessel.compute(0, 4, 2.0, 0) == -0.66


@pytest.mark.parametrize("entry", PARAMETERS)
def test_any_mix_of_positions_and_keywords_binds(entry):
    names = PARAMETERS[entry]
    expected = call(entry, *(GOOD[name] for name in names))
    for split in range(len(names) + 1):
        positional = [GOOD[name] for name in names[:split]]
        for order in itertools.permutations(names[split:]):
            result = call(entry, *positional, **{name: GOOD[name] for name in order})
            if entry == "new":
                assert type(result) is NavCalc
            else:
                assert result == expected


def test_keyword_values_reach_their_parameters():
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(laden=False, speed_kts=12)
    assert vessel.compute(wave_beta=45, wave_height=2.0, wind_scale=4, wind_beta=45) == -0.6
    vessel.setup(laden=True, speed_kts=12)
    assert vessel.compute(45, wave_beta=45, wind_scale=4, wave_height=2.0) == -0.56
    other = NavCalc(draught=7, breadth=20, length=120, displacement=10000)
    other.setup(12, True)
    assert other.compute(0, 4, 2.0, 0) == -0.66


def test_keyword_names_made_at_run_time_match_by_text():
    # Names written in a call are interned; these are other objects with the
    # same text.
    speed_kts = "".join(["speed", "_kts"])
    laden = "".join(["lad", "en"])
    assert speed_kts is not sys.intern("speed_kts")
    vessel = NavCalc(**{"".join(["displace", "ment"]): 10000, "length": 120, "breadth": 20,
                        "".join(["draug", "ht"]): 7})
    vessel.setup(**{laden: False, speed_kts: 12})
    assert vessel.compute(45, 4, 2.0, 45) == -0.6
    assert message_of("setup", (12,), {speed_kts: 12}) == (
        f"{SETUP} got multiple values for argument 'speed_kts'"
    )


def test_constructor_accepts_an_empty_keyword_dictionary():
    assert type(NavCalc(10000, 120, 20, 7, **{})) is NavCalc
    assert type(NavCalc.__new__(NavCalc, 10000, 120, 20, 7)) is NavCalc
    assert type(NavCalc.__new__(NavCalc, 10000, 120, breadth=20, draught=7)) is NavCalc


# --- keyword names that are str subclasses --------------------------------------


class Name(str):
    """A keyword name that is a str subclass and does not compare like one."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True


class Shown(str):
    __hash__ = str.__hash__

    def __str__(self):
        return "shown as this"


class Unprintable(str):
    __hash__ = str.__hash__

    def __str__(self):
        raise ValueError("no text for you")


class Surrogate(str):
    __hash__ = str.__hash__

    def __str__(self):
        return "x\udcffy"


def test_str_subclass_keywords_match_by_their_text():
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(**{Name("laden"): False, Name("speed_kts"): 12})
    assert vessel.compute(**{Name("wind_beta"): 45, "wind_scale": 4, Shown("wave_height"): 2.0,
                             Name("wave_beta"): 45}) == -0.6
    built = NavCalc(**{Name("displacement"): 10000, Name("length"): 120, Shown("breadth"): 20,
                       "draught": 7})
    built.setup(12, True)
    assert built.compute(0, 4, 2.0, 0) == -0.66


@pytest.mark.parametrize("entry", ["new", "setup"])
def test_str_subclass_duplicate_names_the_text_not_str(entry):
    first = PARAMETERS[entry][0]
    assert message_of(entry, (1,), {Shown(first): 1}) == (
        f"NavCalc.{'__new__' if entry == 'new' else entry}() "
        f"got multiple values for argument '{first}'"
    )


@pytest.mark.parametrize("entry", ["new", "setup", "compute"])
def test_unexpected_str_subclass_keyword_is_shown_with_str(entry):
    display = {"new": NEW, "setup": SETUP, "compute": COMPUTE}[entry]
    assert message_of(entry, (), {Shown("foo"): 1}) == (
        f"{display} got an unexpected keyword argument 'shown as this'"
    )
    assert message_of(entry, (), {Surrogate("foo"): 1}) == (
        f"{display} got an unexpected keyword argument 'x\ufffd\ufffd\ufffdy'"
    )


def test_unprintable_keyword_goes_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    name = Unprintable("foo")
    assert message_of("setup", (), {name: 1}) == (
        f"{SETUP} got an unexpected keyword argument '<unprintable Unprintable object>'"
    )
    assert len(seen) == 1
    assert type(seen[0].exc_value) is ValueError
    assert str(seen[0].exc_value) == "no text for you"
    assert seen[0].object == "foo" and type(seen[0].object) is Unprintable


# --- the methods through the class --------------------------------------------


@pytest.mark.parametrize(
    ("method", "args"),
    [("setup", (5, 10, True)), ("compute", (5, 0, 4, 2.0, 0)), ("setup", (None, 10, True))],
)
def test_method_descriptor_refuses_other_receivers(method, args):
    with pytest.raises(TypeError) as raised:
        getattr(NavCalc, method)(*args)
    assert f"descriptor '{method}' for 'builtins.NavCalc' objects doesn't apply" in str(
        raised.value
    )


def test_methods_through_the_class_bind_like_bound_methods():
    vessel = NavCalc(10000, 120, 20, 7)
    assert NavCalc.setup(vessel, 12, laden=True) is None
    assert NavCalc.compute(vessel, 0, 4, wave_beta=0, wave_height=2.0) == -0.66
    with pytest.raises(TypeError) as raised:
        NavCalc.setup(vessel, 12)
    assert raised.value.args == (f"{SETUP} missing 1 required positional argument: 'laden'",)
    with pytest.raises(TypeError, match="needs an argument"):
        NavCalc.setup()


# --- binding comes first --------------------------------------------------------


class Recorded:
    """Converts cleanly and records that it was converted."""

    def __init__(self, log, value):
        self.log = log
        self.value = value

    def __float__(self):
        self.log.append(self.value)
        return float(self.value)

    def __index__(self):
        self.log.append(self.value)
        return int(self.value)


@pytest.mark.parametrize(
    ("entry", "args", "kwargs"),
    [
        ("new", (1, 2, 3), {}),
        ("new", (1, 2, 3, 4, 5), {}),
        ("new", (1, 2, 3), {"foo": 4}),
        ("setup", (1,), {"speed_kts": 2}),
        ("compute", (1, 2, 3), {}),
        ("compute", (1, 2, 3, 4), {"wave": 5}),
    ],
)
def test_nothing_is_converted_when_binding_fails(entry, args, kwargs):
    log = []
    args = tuple(Recorded(log, a) for a in args)
    kwargs = {k: Recorded(log, v) for k, v in kwargs.items()}
    with pytest.raises(TypeError):
        call(entry, *args, **kwargs)
    assert log == []


def test_binding_failure_leaves_the_vessel_as_it_was():
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, False)
    before = vessel.compute(45, 4, 2.0, 45)
    for bad in ({"speed_kts": 15}, {"foo": 1}):
        with pytest.raises(TypeError):
            vessel.setup(15, **bad)
    with pytest.raises(TypeError):
        vessel.setup(15, True, 1)
    assert vessel.compute(45, 4, 2.0, 45) == before == -0.6
