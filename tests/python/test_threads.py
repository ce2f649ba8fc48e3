"""Several Python threads calling into veltrum at once, some sharing instances
and some owning their own: every result equals the single-threaded one, access
conflicts appear only as the documented RuntimeErrors, and every access flag is
free again at the end."""

import ctypes
import random
import struct
import sys
import threading
import time

import pytest

from veltrum import NavCalc

THREADS = 6
OPERATIONS = 3000


def _panic_type():
    try:
        NavCalc(0, 1, 1, 1)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e)
    raise AssertionError("NavCalc(0, 1, 1, 1) did not fail")


PanicException = _panic_type()
# The offsets below assume the 64-bit layout of 104 bytes.
assert NavCalc.__basicsize__ == 104, NavCalc.__basicsize__


def access_flag(vessel):
    # The access flag follows the vessel record: 16 bytes of object header,
    # 80 bytes of record.
    return ctypes.c_size_t.from_address(id(vessel) + 96).value


def outcome(call, *args):
    """The result as bits, or the exception's type and message."""
    try:
        result = call(*args)
    except (PanicException, TypeError, OverflowError, RuntimeError) as e:
        return (type(e).__name__, str(e))
    if isinstance(result, NavCalc):
        return record(result)
    return struct.pack("<d", result) if isinstance(result, float) else result


def record(vessel):
    """The vessel record's nine doubles and loading flag, as bytes."""
    return ctypes.string_at(id(vessel) + 16, 73)


@pytest.fixture
def fast_switching():
    """Makes the interpreter hand the lock from thread to thread as often as it can."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def make_shared():
    vessels = [NavCalc(10000, 120, 20, 7), NavCalc(45000, 180, 32, 10), NavCalc(500, 1, 1, 1)]
    for vessel, (speed, laden) in zip(vessels, [(12, True), (12, False), (10, True)]):
        vessel.setup(speed, laden)
    return vessels


def script(seed, shared):
    """One thread's work: a fixed sequence of calls on its own vessels (any
    call) and on the shared ones (compute only, so their state stays fixed)."""
    rng = random.Random(seed)
    owned = [NavCalc(rng.uniform(500, 50000), rng.uniform(10, 300), rng.uniform(2, 40),
                     rng.uniform(1, 15)) for _ in range(2)]
    results = []
    weather = [0, 30.5, 45, 90, 135, 170, 200, float("nan")]
    for _ in range(OPERATIONS):
        kind = rng.randrange(10)
        vessel = rng.choice(owned)
        args = (rng.choice(weather), rng.randrange(-1, 14), rng.uniform(-1, 14), rng.choice(weather))
        if kind < 3:
            results.append(outcome(vessel.setup, rng.uniform(-5, 30), rng.random() < 0.5))
        elif kind < 5:
            results.append(outcome(vessel.compute, *args))
        elif kind < 8:
            results.append(outcome(rng.choice(shared).compute, *args))
        elif kind == 8:
            results.append(outcome(NavCalc, rng.uniform(-10, 10), 100, 10, 5))
        else:
            results.append(outcome(vessel.setup, "fast", True))
    return results, owned


def test_threads_give_the_single_threaded_results(fast_switching):
    shared = make_shared()
    expected = [script(seed, shared)[0] for seed in range(THREADS)]

    got = [None] * THREADS
    owned = [None] * THREADS
    barrier = threading.Barrier(THREADS)

    def worker(index):
        barrier.wait()
        got[index], owned[index] = script(index, shared)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    for index in range(THREADS):
        assert got[index] == expected[index], f"thread {index} differs"
    for vessel in shared + [v for vs in owned for v in vs]:
        assert access_flag(vessel) == 0
        vessel.setup(11, False)


class Yielding:
    """Converted through __float__, which lets other threads run while the
    conversion holds the vessel."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def test_contended_instances_refuse_with_the_access_errors_only(fast_switching):
    shared = make_shared()
    speeds = [8.0, 12.0, 16.0]
    # Every state a shared vessel can be in, and the results compute can give there.
    possible = []
    for index in range(len(shared)):
        results = set()
        for speed in speeds + [{0: 12, 1: 12, 2: 10}[index]]:
            for laden in (True, False):
                probe = make_shared()[index]
                probe.setup(speed, laden)
                results.add(struct.pack("<d", probe.compute(45, 6, 2.0, 100)))
        possible.append(results)

    counts = {}
    errors = []
    barrier = threading.Barrier(THREADS)

    def worker(seed):
        rng = random.Random(seed)
        barrier.wait()
        for _ in range(1500):
            index = rng.randrange(len(shared))
            vessel = shared[index]
            if rng.random() < 0.4:
                what = "setup"
                got = outcome(vessel.setup, Yielding(rng.choice(speeds)), rng.random() < 0.5)
                allowed = {None, ("RuntimeError", "Already borrowed")}
            else:
                what = "compute"
                got = outcome(vessel.compute, Yielding(45.0), 6, Yielding(2.0), 100)
                allowed = possible[index] | {("RuntimeError", "Already mutably borrowed")}
            if got not in allowed:
                errors.append((what, index, got))
            key = (what, got if isinstance(got, tuple) or got is None else "result")
            counts[key] = counts.get(key, 0) + 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert errors == []
    # The contention was real: both refusals happened, and so did successes.
    assert counts.get(("setup", ("RuntimeError", "Already borrowed")), 0) > 0
    assert counts.get(("compute", ("RuntimeError", "Already mutably borrowed")), 0) > 0
    assert counts.get(("setup", None), 0) > 0 and counts.get(("compute", "result"), 0) > 0
    for vessel in shared:
        assert access_flag(vessel) == 0
        vessel.setup(12, True)
