"""Runs named calls into veltrum in this fresh process, in the order given on the
command line, and prints one JSON line per call on stdout. Failure reports go to
this process's standard error, which the calling test reads whole.

Usage: failing_calls.py ACTION [ACTION ...]; see ACTIONS at the bottom.
"""

import contextlib
import ctypes
import gc
import io
import json
import os
import sys
import threading

import veltrum

BACKTRACE_VARIABLE = "VELTRUM_BACKTRACE"

_panic_type = None


def panic_type():
    """The PanicException type: from a caught instance when this process has
    seen one, else from the subclasses of BaseException (the type exists once
    the module is imported, before any failure)."""
    if _panic_type is not None:
        return _panic_type
    for cls in BaseException.__subclasses__():
        if cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException":
            return cls
    raise LookupError("no PanicException type in this process")


def vessel():
    v = veltrum.NavCalc(10000, 120, 20, 7)
    v.setup(12, True)
    return v


# --- arguments whose conversion runs Python code ---------------------------


class FloatBuildsBadVessel:
    def __float__(self):
        veltrum.NavCalc(0, 1, 1, 1)


class FloatRaises:
    def __init__(self, exception):
        self.exception = exception

    def __float__(self):
        raise self.exception


class IndexRaises(FloatRaises):
    def __index__(self):
        raise self.exception


class bool_(FloatRaises):  # noqa: N801 - numpy's boolean scalar, by module and name
    __module__ = "numpy"

    def __bool__(self):
        raise self.exception


class Unprintable:
    def __str__(self):
        raise ValueError("no text for this one")


# --- the calls ---------------------------------------------------------------


def particulars():
    veltrum.NavCalc(0, 120, 20, 7)


def block_coefficient():
    veltrum.NavCalc(float("nan"), 120, 20, 7)


def beaufort():
    vessel().compute(0, 13, 2.0, 0)


def hook_model_failure():
    vessel().compute(FloatBuildsBadVessel(), 4, 2.0, 0)


def hook_python_panic():
    vessel().compute(FloatRaises(panic_type()("raised by Python code")), 4, 2.0, 0)


def hook_unprintable_panic():
    vessel().compute(FloatRaises(panic_type()(Unprintable())), 4, 2.0, 0)


def index_hook():
    vessel().compute(0, IndexRaises(panic_type()("from __index__")), 2.0, 0)


def bool_hook():
    vessel().setup(12, bool_(panic_type()("from __bool__")))


def float_alloc_fails():
    """compute's result float cannot be created: only that one allocation fails."""
    import _testcapi

    v = veltrum.NavCalc(10000.0, 120.0, 20.0, 7.0)
    # Empty the float free list, so the result needs a fresh allocation; every
    # argument is an exact float or a small int, so nothing else allocates.
    spare = [i + 0.5 for i in range(200)]
    _testcapi.set_nomemory(0, 1)
    try:
        v.compute(0.0, 4, 2.0, 0.0)
    finally:
        _testcapi.remove_mem_hooks()
    del spare


def restore_alloc_fails():
    """A model failure whose exception cannot be created: the process aborts."""
    import _testcapi

    v = vessel()
    print(json.dumps({"armed": True}), flush=True)
    _testcapi.set_nomemory(0)
    v.compute(0.0, 13, 2.0, 0.0)


def message_copy_fails():
    """A PanicException from Python code whose message the module cannot copy
    for lack of memory: the process aborts."""
    import resource

    hook = FloatRaises(panic_type()("x" * (32 << 20)))
    v = vessel()
    with open("/proc/self/status") as status:
        [size] = [int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:")]
    # Room for the interpreter's small needs, not for a copy of the message.
    limit = size + (16 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    print(json.dumps({"armed": True}), flush=True)
    v.compute(hook, 4, 2.0, 0)


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class _PyTypeSpec(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("basicsize", ctypes.c_int),
        ("itemsize", ctypes.c_int),
        ("flags", ctypes.c_uint),
        ("slots", ctypes.POINTER(_Slot)),
    ]


_TRUTH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
_PY_NB_BOOL = 9  # typeslots.h
_native_bools = {}


def native_bool(answer):
    """An instance of a C-level 'numpy.bool_' whose truth slot returns `answer`
    without setting an exception (no Python class can do that)."""
    if answer not in _native_bools:
        truth = _TRUTH(lambda _obj: answer)
        slots = (_Slot * 2)(_Slot(_PY_NB_BOOL, ctypes.cast(truth, ctypes.c_void_p).value), _Slot(0, None))
        layout = _PyTypeSpec(b"numpy.bool_", 0, 0, 0, slots)
        from_spec = ctypes.pythonapi.PyType_FromSpec
        from_spec.restype = ctypes.py_object
        from_spec.argtypes = [ctypes.c_void_p]
        cls = from_spec(ctypes.addressof(layout))
        _native_bools[answer] = (cls(), truth, slots, layout)  # keep the C pieces alive
    return _native_bools[answer][0]


def truth_slot_without_exception(answer):
    vessel().setup(12, native_bool(int(answer)))


# PyTypeObject.tp_free on 64-bit CPython 3.12, checked against tp_basicsize
# and the address of PyObject_Free before it is written.
_TP_BASICSIZE_OFFSET = 32
_TP_FREE_OFFSET = 320


def release_without_tp_free():
    """An instance released while its class has no tp_free: the failure goes to
    the unraisable hook and the program goes on."""
    cls = veltrum.NavCalc
    assert ctypes.c_ssize_t.from_address(id(cls) + _TP_BASICSIZE_OFFSET).value == cls.__basicsize__
    tp_free = ctypes.c_void_p.from_address(id(cls) + _TP_FREE_OFFSET)
    assert tp_free.value == ctypes.cast(ctypes.pythonapi.PyObject_Free, ctypes.c_void_p).value
    seen = []
    previous_hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    v = veltrum.NavCalc(10000, 120, 20, 7)

    def key(x):
        # The first key is a fresh instance that only the sort holds; the
        # second raises, and the sort drops the first with that error set.
        if x:
            raise LookupError("in flight")
        return veltrum.NavCalc(10000, 120, 20, 7)

    saved = tp_free.value
    tp_free.value = None
    try:
        del v  # the instance's memory stays allocated: the release stopped
        try:
            [0, 1].sort(key=key)
        except LookupError as error:
            in_flight = repr(error)
    finally:
        tp_free.value = saved
        sys.unraisablehook = previous_hook
    return {
        "unraisable": [
            {"type": type(u.exc_value).__name__, "args": list(u.exc_value.args), "object": repr(u.object)}
            for u in seen
        ],
        "in_flight": in_flight,
        "then": vessel().compute(0, 4, 2.0, 0),
    }


# --- the ways a call is made --------------------------------------------------


def in_thread(action):
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(run(action)), name="worker")
    thread.start()
    thread.join()
    return outcome


def redirected(action):
    captured = io.StringIO()
    saved = sys.stderr
    with contextlib.redirect_stderr(captured):
        outcome = run(action)
    sys.stderr = io.StringIO()
    try:
        outcome.update(run(action))
    finally:
        captured.write(sys.stderr.getvalue())
        sys.stderr = saved
    outcome["captured"] = captured.getvalue()
    return outcome


def deep(depth, action):
    """Runs the action below `depth` levels of Python calls made from C (map),
    each adding interpreter frames to the native stack."""

    def level(n):
        if n == 0:
            return run(action)
        return list(map(level, [n - 1]))[0]

    return level(int(depth))


def noisy(count, action):
    """Runs the action `count` times while another process writes lines to
    the same standard error, as fast as it can."""
    import subprocess

    # The writer stops by itself should this process die first.
    script = (
        "import os\n"
        "parent = os.getppid()\n"
        "os.write(1, b'ready\\n')\n"
        "while os.getppid() == parent:\n"
        "    os.write(2, b'~noise~\\n')\n"
    )
    writer = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE)
    try:
        writer.stdout.readline()
        outcomes = [run(action) for _ in range(int(count))]
    finally:
        writer.kill()
        writer.wait()
        writer.stdout.close()
    return outcomes[0]


def repeated(count, action):
    """Runs the action `count` times after as many to warm up and reports how the
    reference counts of the objects involved and the interpreter's allocated
    blocks moved."""
    watched = {"class": veltrum.NavCalc, "panic": panic_type()}
    if action.startswith("truth_slot_without_exception:"):
        watched["argument"] = native_bool(int(action.split(":")[1]))
    for _ in range(int(count)):  # warm-up: caches, specialised bytecode, free lists
        run(action)
    gc.collect()
    refs = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    blocks = sys.getallocatedblocks()
    kinds = set()
    for _ in range(int(count)):
        kinds.add(run(action).get("raised"))
    gc.collect()
    return {
        "kinds": sorted(k for k in kinds if k),
        "refs": {name: sys.getrefcount(obj) - refs[name] for name, obj in watched.items()},
        "blocks": sys.getallocatedblocks() - blocks,
    }


def setenv(value):
    os.environ[BACKTRACE_VARIABLE] = value


def unsetenv():
    os.environ.pop(BACKTRACE_VARIABLE, None)


def close_stderr():
    os.close(2)


ACTIONS = {
    "particulars": particulars,
    "block_coefficient": block_coefficient,
    "beaufort": beaufort,
    "hook_model_failure": hook_model_failure,
    "hook_python_panic": hook_python_panic,
    "hook_unprintable_panic": hook_unprintable_panic,
    "index_hook": index_hook,
    "bool_hook": bool_hook,
    "float_alloc_fails": float_alloc_fails,
    "restore_alloc_fails": restore_alloc_fails,
    "message_copy_fails": message_copy_fails,
    "truth_slot_without_exception": truth_slot_without_exception,
    "release_without_tp_free": release_without_tp_free,
    "thread": in_thread,
    "redirected": redirected,
    "deep": deep,
    "noisy": noisy,
    "repeated": repeated,
    "setenv": setenv,
    "unsetenv": unsetenv,
    "close_stderr": close_stderr,
}


def run(action):
    """Runs one action, given as NAME or NAME:ARG[:ARG...], the last argument
    being itself an action for the wrappers. Returns what it raised or gave."""
    global _panic_type
    name, _, rest = action.partition(":")
    function = ACTIONS[name]
    if name in ("thread", "redirected"):
        params = [rest]
    elif name in ("deep", "noisy", "repeated"):
        params = rest.split(":", 1)
    else:
        params = rest.split(":") if rest else []
    outcome = {"action": action, "tid": threading.get_native_id()}
    try:
        result = function(*params)
    except BaseException as e:  # PanicException derives from BaseException only
        kind = type(e)
        if kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException":
            _panic_type = _panic_type or kind
        outcome.update(
            raised=f"{kind.__module__}.{kind.__qualname__}",
            args=[a if isinstance(a, str) else repr(a) for a in e.args],
            type_id=id(kind),
        )
    else:
        if isinstance(result, dict) and "tid" in result:
            outcome = result
        elif result is not None:
            outcome["result"] = result
    return outcome


def main():
    for action in sys.argv[1:]:
        print(json.dumps(run(action)), flush=True)


if __name__ == "__main__":
    main()
