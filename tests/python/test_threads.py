"""Six threads at once, on shared vessels (compute only, holding them while other
threads run) and on vessels of their own (any call): every outcome is the
single-threaded one, bit for bit, and every access flag is free again."""

import ctypes
import random
import struct
import sys
import threading
import time

from veltrum import NavCalc

# Converted through __float__, which lets other threads run while the call holds the vessel.
Yielding = type("Yielding", (), {"__init__": lambda self, value: setattr(self, "value", value),
                                 "__float__": lambda self: time.sleep(0) or self.value})


def outcome(call, *args):
    try:
        result = call(*args)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e).__name__, str(e)
    return (ctypes.string_at(id(result) + 16, 73) if type(result) is NavCalc  # the record
            else struct.pack("d", result) if type(result) is float else result)


def script(seed, shared):
    rng = random.Random(seed)
    owned = [NavCalc(*(rng.uniform(1, 300) for _ in range(4))) for _ in range(2)]
    angles, results = [0, 30.5, 45, 90, 135, 170, 200, float("nan")], []
    for _ in range(3000):
        vessel, other, kind = rng.choice(owned), rng.choice(shared), rng.randrange(5)
        weather = (Yielding(rng.choice(angles)), rng.randrange(-1, 14), rng.uniform(-1, 14),
                   rng.choice(angles))
        results.append(outcome(*[(vessel.setup, Yielding(rng.uniform(-5, 30)), rng.random() < .5),
                                 (vessel.compute, *weather), (other.compute, *weather),
                                 (NavCalc, rng.uniform(-10, 10), 100, 10, 5),
                                 (vessel.setup, "fast", True)][kind]))
    return results, owned


def test_threads_give_the_single_threaded_outcomes():
    shared = [NavCalc(10000, 120, 20, 7), NavCalc(45000, 180, 32, 10), NavCalc(500, 1, 1, 1)]
    for vessel, laden in zip(shared, (True, False, True)):
        vessel.setup(12, laden)
    expected, got, barrier = [script(seed, shared)[0] for seed in range(6)], [], threading.Barrier(6)
    threads = [threading.Thread(target=lambda i=i: (barrier.wait(), got.append((i, *script(
        i, shared))))) for i in range(6)]
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock around as often as it goes
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(saved)
    assert [results for _, results, _ in sorted(got, key=lambda g: g[0])] == expected
    for vessel in shared + [v for *_, owned in got for v in owned]:
        assert ctypes.c_size_t.from_address(id(vessel) + 96).value == 0
        vessel.setup(11, False)
