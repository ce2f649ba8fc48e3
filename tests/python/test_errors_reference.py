"""The errors reference (docs/errors.md) quotes the very messages the module raises."""

import json
import math
import os
import pathlib
import re
import subprocess
import sys
import weakref

import pytest
from conftest import Hook, Unprintable, make_vessel, raised, refuse
from test_failures import Panic, child
from test_module import CHILD

import veltrum
from veltrum import NavCalc

ROOT = pathlib.Path(__file__).resolve().parents[2]
ROW = re.compile(r"^\| (?:`([^`]+)`|none: the process aborts) \| `([^`]+)` \| (.+) \|$")
# What newer interpreters add to their own texts (3.13: a suggested name, a reason).
LATER_WORDING = r"(?:\. Did you mean '[^']*'\?| and no __dict__ for setting new attributes)?"


def reference_tables():
    """The errors reference's tables, each a list of (exception, message template, meaning)."""
    section = (ROOT / "docs" / "errors.md").read_text()
    blocks = re.findall(r"(?:^\|.*\n)+", section, re.M)
    tables = [[ROW.match(line).groups() for line in block.splitlines()[2:]] for block in blocks]
    assert len(tables) == 2 and all(tables), "expected the raised and the internal tables"
    return tables


def pattern(template, meaning):
    """The template as a regular expression: each {placeholder} stands for some text, and
    the interpreter's own texts may carry what later versions add to them, or be worded anew
    from the version the meaning names ("from CPython 3.15: `...`")."""
    later = LATER_WORDING if "the interpreter's" in meaning else ""
    for major, minor, reworded in re.findall(r"from CPython (\d+)\.(\d+): `([^`]+)`", meaning):
        if sys.version_info >= (int(major), int(minor)):
            template = reworded
    return ".+".join(map(re.escape, re.split(r"\{[a-z]+\}", template))) + later


def caught(call):
    error = raised(call)
    return type(error).__name__, str(error)


def in_child_processes():
    """Outcomes that need fault injection or a second interpreter, by message."""
    outcomes, _ = child("truth:2", "compute_without_memory:4")
    found = {message: kind.rpartition(".")[2] for kind, message in (o["raised"] for o in outcomes)}
    env = dict(os.environ, PYTHONPATH=os.path.dirname(veltrum.__file__))
    done = subprocess.run([sys.executable, "-c", CHILD + "print(json.dumps([main(), sub()]))"],
                          env=env, capture_output=True, text=True, timeout=120, check=True)
    kind, _, message = json.loads(done.stdout)[1].partition(": ")
    return found | {message: kind}


def triggers():
    v = make_vessel()
    numpy_like = type("bool_", (), {"__module__": "numpy"})()  # no truth value
    remote = in_child_processes()
    by_message = {
        "NavCalc.{name}() takes {n} positional arguments but {m} were given":
            lambda: v.setup(10, True, 1),
        "NavCalc.{name}() got an unexpected keyword argument '{keyword}'":
            lambda: v.setup(10, True, foo=1),
        "NavCalc.{name}() got multiple values for argument '{parameter}'":
            lambda: v.setup(10, speed_kts=12),
        "NavCalc.{name}() missing 1 required positional argument: '{parameter}'":
            lambda: NavCalc(1, 2, 3),
        "NavCalc.{name}() missing {k} required positional arguments: {parameters}":
            lambda: v.compute(0, wave_beta=0),
        "argument '{parameter}': must be real number, not {type}": lambda: v.setup("12", True),
        "argument 'wind_scale': '{type}' object cannot be interpreted as an integer":
            lambda: v.compute(0, 3.0, 1, 0),
        "argument 'laden': '{type}' object cannot be converted to 'PyBool'":
            lambda: v.setup(12, 1),
        "argument 'laden': object of type '{type}' does not define a '__bool__' conversion":
            lambda: v.setup(12, numpy_like),
        "Python int too large to convert to C long": lambda: v.compute(0, 2**31, 1, 0),
        "int too large to convert to float": lambda: v.setup(10**400, True),
        "Already borrowed": lambda: v.setup(Hook(lambda: v.setup(1, True)), True),
        "Already mutably borrowed": lambda: v.setup(Hook(lambda: v.compute(0, 4, 2, 0)), True),
        "参数必须大于0": lambda: NavCalc(0, 120, 20, 7),
        "无效的方形系数": lambda: NavCalc(math.nan, 1, 1, 1),
        "蒲福风级必须在 0~12": lambda: v.compute(0, 13, 2.0, 0),
        "Unwrapped panic from Python code":
            lambda: v.compute(Hook(refuse(Panic, Unprintable())), 4, 2, 0),
        # The interpreter's own texts, some wrapped with the parameter's name.
        "NavCalc.{name}() got multiple values for keyword argument '{parameter}'":
            lambda: v.setup(speed_kts=1, **{"speed_kts": 2}),
        "argument '{parameter}': {type}.__float__ returned non-float (type {type})":
            lambda: v.setup(type("Knots", (), {"__float__": lambda _: 12})(), True),
        "argument '{parameter}': __index__ returned non-int (type {type})":
            lambda: v.compute(0, type("Force", (), {"__index__": lambda _: 4.0})(), 1, 0),
        "argument 'laden': __bool__ should return bool, returned {type}":
            lambda: v.setup(12, type("bool_", (), {"__module__": "numpy",
                                                   "__bool__": lambda _: 1})()),
        "type 'builtins.NavCalc' is not an acceptable base type":
            lambda: type("Sub", (NavCalc,), {}),
        "'builtins.NavCalc' object has no attribute '{name}'": lambda: setattr(v, "x", 1),
        "cannot create weak reference to 'builtins.NavCalc' object": lambda: weakref.ref(v),
        "descriptor '{name}' for 'builtins.NavCalc' objects doesn't apply to a '{type}' object":
            lambda: NavCalc.setup(5, 10, True),
    }
    return {template: caught(call) for template, call in by_message.items()} | {
        message: (kind, message) for message, kind in remote.items()}


def test_every_raised_message_in_the_reference_is_what_the_module_raises():
    listed = [(kind, pattern(t, meaning)) for kind, t, meaning in reference_tables()[0]]
    got, unmatched = triggers(), []
    for kind, template in listed:
        outcome = next(((k, m) for k, m in got.values() if re.fullmatch(template, m)), None)
        if outcome is None or outcome[0] != kind:
            unmatched.append((kind, template, outcome))
    assert not unmatched
    # ... and every message the triggers produce is listed.
    assert [m for _, m in got.values()
            if not any(re.fullmatch(t, m) for _, t in listed)] == []


def test_internal_messages_in_the_reference_are_the_sources_own():
    sources = "".join(p.read_text() for p in (ROOT / "src").rglob("*.cpp"))
    missing = [template for _, template, _ in reference_tables()[1]
               if not all(piece in sources for piece in re.split(r"\{[a-z]+\}", template))]
    assert missing == []
