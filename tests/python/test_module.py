"""The module object, the NavCalc class and its instances as the interpreter sees them."""

import gc
import importlib
import json
import os
import re
import subprocess
import sys
import weakref

import pytest

import veltrum
from veltrum import NavCalc

SETUP_DOC = "动态设置：航速 + 装载状态\n会自动重新计算 fr / af 等依赖项"
COMPUTE_SIGNATURE = "($self, wind_beta, wind_scale, wave_height, wave_beta)"


def test_module_and_its_reimport():
    assert (veltrum.__name__, veltrum.__doc__, veltrum.NavCalc) == ("veltrum", "", NavCalc)
    assert type(veltrum.__all__) is list and veltrum.__all__ == ["NavCalc"]
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(veltrum)) == standard | {"__all__", "NavCalc"}
    original = sys.modules.pop("veltrum")
    refs = sys.getrefcount(original)
    try:
        for _ in range(10):  # each re-import hands over a reference of its own
            again = importlib.import_module("veltrum")
            assert again is original and again.__all__ == ["NavCalc"] and again.NavCalc is NavCalc
            del sys.modules["veltrum"], again
            assert sys.getrefcount(original) == refs
    finally:
        sys.modules["veltrum"] = original


def test_class():
    assert (NavCalc.__module__, NavCalc.__name__, NavCalc.__qualname__) == (
        "builtins", "NavCalc", "NavCalc")
    assert NavCalc.__mro__ == (NavCalc, object)
    assert sorted(NavCalc.__dict__) == ["__doc__", "__module__", "__new__", "compute", "setup"]
    assert (NavCalc.__text_signature__, NavCalc.__doc__) == (
        "(displacement, length, breadth, draught)", "")
    assert (NavCalc.setup.__text_signature__, NavCalc.setup.__doc__) == (
        "($self, speed_kts, laden)", SETUP_DOC)
    assert (NavCalc.compute.__text_signature__, NavCalc.compute.__doc__) == (
        COMPUTE_SIGNATURE, None)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (NavCalc,), {})
    NavCalc.note = "gross"  # not an immutable type
    del NavCalc.note


def test_instances(vessel):
    assert not hasattr(vessel, "__dict__")
    with pytest.raises(AttributeError):
        vessel.note = 1
    with pytest.raises(TypeError):
        weakref.ref(vessel)
    assert gc.is_tracked(vessel) is False
    assert (NavCalc.__itemsize__, NavCalc.__dictoffset__, NavCalc.__weakrefoffset__) == (0, 0, 0)
    assert sys.getsizeof(vessel) == NavCalc.__basicsize__ == 104  # 64-bit


# Each attempt imports and uses the module, in the main interpreter or in a new legacy
# sub-interpreter (which may load single-phase modules: a refusal is the module's own),
# made the way this version's interpreter offers.
CHILD = """import json, os, sys
try:
    import _interpreters as interpreters
    new = lambda: interpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    new = (lambda: interpreters.create(isolated=False)) if sys.version_info >= (3, 12) else (
        interpreters.create)
def in_new_interpreter(code):
    interpreter = new()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
def attempt(run):
    read, write = os.pipe()
    run(f'''try:
    import veltrum; veltrum.NavCalc(1e4, 120, 20, 7).compute(0, 4, 2.0, 0); outcome = "imported"
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)
import os; os.write({write}, outcome.encode())''')
    os.close(write)
    return os.read(read, 4096).decode()
main, sub = lambda: attempt(lambda c: exec(c, {})), lambda: attempt(in_new_interpreter)
"""
REFUSED = r"ImportError: PyO3 modules do not yet support subinterpreters, see https?://\S+"


@pytest.mark.parametrize("order", ["main(), sub(), sub(), main()", "sub(), main(), sub(), main()"])
def test_the_first_interpreter_to_import_owns_the_module(order):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(veltrum.__file__))
    flags = [f"-W{option}" for option in sys.warnoptions] + ["-X", "dev"] * sys.flags.dev_mode
    done = subprocess.run([sys.executable, *flags, "-c", CHILD + f"print(json.dumps([{order}]))"],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    got = ["refused" if re.fullmatch(REFUSED, o) else o for o in json.loads(done.stdout)]
    # From 3.13 the interpreter itself runs a single-phase module's initialisation in the
    # main interpreter before a sub-interpreter's first import: the main one owns it then.
    main_owns = order.startswith("main") or sys.version_info >= (3, 13)
    assert got == ["imported" if (name == "main") == main_owns and (i == 0 or main_owns)
                   else "refused" for i, name in enumerate(re.findall(r"main|sub", order))]
