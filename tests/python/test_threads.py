"""Six threads on shared vessels (compute, holding them while others run) and their own
(any call): every outcome is the single-threaded one and every access flag is free."""

import ctypes
import functools
import random
import sys
import threading
import time

from conftest import Hook, outcome
from veltrum import NavCalc

PAUSE = functools.partial(time.sleep, 0)  # converting a Hook(PAUSE, x) lets other threads run


def script(seed, shared):
    rng = random.Random(seed)
    owned = [NavCalc(*(rng.uniform(1, 300) for _ in range(4))) for _ in range(2)]
    angles, results = [0, 30.5, 45, 90, 135, 170, 200, float("nan")], []
    for _ in range(3000):
        vessel, other, kind = rng.choice(owned), rng.choice(shared), rng.randrange(5)
        weather = (Hook(PAUSE, rng.choice(angles)), rng.randrange(-1, 14), rng.uniform(-1, 14),
                   rng.choice(angles))
        call, *args = [(vessel.setup, Hook(PAUSE, rng.uniform(-5, 30)), rng.random() < .5),
                       (vessel.compute, *weather), (other.compute, *weather),
                       (vessel.compute, 0, 4, 2.0, 0), (vessel.setup, "fast", True)][kind]
        results.append(outcome(lambda: call(*args)))  # a float's repr is exact
    return results, owned


def test_threads_give_the_single_threaded_outcomes():
    shared = [NavCalc(10000, 120, 20, 7), NavCalc(45000, 180, 32, 10), NavCalc(500, 1, 1, 1)]
    for vessel, laden in zip(shared, (True, False, True)):
        vessel.setup(12, laden)
    expected, got, barrier = [script(i, shared)[0] for i in range(6)], [], threading.Barrier(6)
    threads = [threading.Thread(target=lambda i=i: (barrier.wait(), got.append((i, *script(
        i, shared))))) for i in range(6)]
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock around as often as it goes
    for step in (threading.Thread.start, threading.Thread.join):
        for thread in threads:
            step(thread)
    sys.setswitchinterval(saved)
    assert [results for _, results, _ in sorted(got, key=lambda g: g[0])] == expected
    for vessel in shared + [v for *_, owned in got for v in owned]:
        assert ctypes.c_size_t.from_address(id(vessel) + 96).value == 0
        vessel.setup(11, False)
