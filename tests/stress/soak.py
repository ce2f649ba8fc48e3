"""Every entry, failure path and re-entrant case, outcomes checked: a few rounds
(--smoke) under valgrind's memcheck, or ten million calls with memory and the
reference counts of the class, exception type, vessels and arguments staying put.

    python soak.py [--calls N] [--traced-calls N] [--no-rss] | --smoke [ROUNDS]"""

import argparse
import collections
import faulthandler
import gc
import os
import sys
import time
import tracemalloc

import veltrum
from veltrum import NavCalc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from conftest import Hook, Unprintable, raised, refuse  # noqa: E402 - Hook passes for numpy's bool

Panic = type(raised(NavCalc, 0, 1, 1, 1))
UNRAISABLE = collections.Counter()  # str() of what a message shows failed
OneBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: 1})
NoTruth = type("bool", (), {"__module__": "numpy"})
v, other = NavCalc(10000, 120, 20, 7), NavCalc(45000, 180, 32, 10)
P, T, O, R = "PanicException", "TypeError", "OverflowError", "RuntimeError"
CASES = [  # (the result or (exception type, start of the message), callable, args, keywords)
    (None, v.setup, (12, True), {}), (-0.66, v.compute, (0, 4, 2.0, 0), {}),
    (None, v.setup, (), dict(speed_kts=12.0, laden=False)),
    (-0.6, v.compute, (), dict(wind_beta=45, wind_scale=4, wave_height=2.0, wave_beta=45)),
    (None, v.setup, (12, Hook(int, True)), {}),
    (None, v.setup, (), {Unprintable("speed_kts"): 12, "laden": True}),
    ((P, "参数必须大于0"), NavCalc, (0, 1, 1, 1), {}), ((P, "无效的方形系数"), NavCalc, (1e400, 1, 1, 1), {}),
    ((P, "蒲福风级必须在 0~12"), v.compute, (0, 13, 2.0, 0), {}),
    ((T, "NavCalc.__new__() missing"), NavCalc, (), {}),
    ((T, "NavCalc.__new__() takes"), NavCalc, (1, 2, 3, 4, 5), {"foo": 1}),
    ((T, "NavCalc.setup() got multiple"), v.setup, (10,), {"speed_kts": 12}),
    ((T, "NavCalc.setup() got an unexpected keyword argument 'foo'"), v.setup, (), {"foo": 1}),
    ((T, "NavCalc.setup() got an unexpected keyword argument '\ufffd"), v.setup, (), {"\ud800": 1}),
    ((T, "NavCalc.setup() got an unexpected keyword argument '<unprintable"), v.setup, (),
     {Unprintable("x"): 1}),
    ((T, "argument 'laden': 'int'"), v.setup, (12, 1), {}),
    ((T, "argument 'speed_kts': must"), v.setup, ("12", True), {}),
    ((T, "argument 'wind_scale': 'float'"), v.compute, (0, 3.0, 1, 0), {}),
    ((O, "Python int too large"), v.compute, (0, 2**31, 1, 0), {}),
    ((O, "int too large to convert to float"), NavCalc, (10**400, 1, 1, 1), {}),
    ((T, "argument 'laden': __bool__"), v.setup, (12, OneBool()), {}),
    ((T, "argument 'laden': object of type"), v.setup, (12, NoTruth()), {}),
    ((T, "argument 'speed_kts': wrapped"), v.setup,
     (Hook(refuse(TypeError, "wrapped", cause=ValueError("cause"))), True), {}),
    ((T, "argument 'wind_beta': <unprintable"), v.compute,
     (Hook(refuse(TypeError, Unprintable("x"))), 4, 2.0, 0), {}),
    (("ValueError", "nope"), v.compute, (Hook(refuse(ValueError, "nope")), 4, 2.0, 0), {}),
    (-0.66, v.compute, (Hook(lambda: v.compute(0, 4, 2.0, 0), 0), 4, 2.0, 0), {}),
    ((R, "Already borrowed"), v.compute, (Hook(lambda: v.setup(12, True)), 4, 2.0, 0), {}),
    ((R, "Already mutably"), v.setup, (Hook(lambda: v.compute(0, 4, 2.0, 0), 12), True), {}),
    ((R, "Already borrowed"), v.setup, (Hook(lambda: v.setup(1, True)), True), {}),
    (None, v.setup, (Hook(lambda: other.setup(12, True), 12), True), {}),
    ((P, "参数必须大于0"), v.compute, (Hook(lambda: NavCalc(0, 1, 1, 1)), 4, 2.0, 0), {}),  # resumed
    ((P, "Unwrapped panic"), v.setup, (Hook(refuse(Panic, Unprintable("x"))), True), {}),
    (-0.66, v.compute, (0, 4, 2.0, 0), {})]


def run(rounds, cases=CASES):
    sys.unraisablehook = lambda u: UNRAISABLE.update([type(u.exc_value).__name__])
    for _ in range(rounds):
        for expected, call, args, keywords in cases:
            shown = len(expected[1]) if type(expected) is tuple else None  # of the message
            try:
                got = call(*args, **keywords)
            except BaseException as e:  # noqa: BLE001
                got = (type(e).__name__, str(e)[:shown])
            assert got == expected, (got, expected)


def soak(args):
    mix = CASES + 5 * [case for case in CASES if type(case[0]) is not tuple]
    named = {"NavCalc": NavCalc, "PanicException": Panic, "vessel": v, "other": other}
    # Not the immortal objects, nor those every piece of code shares (None, the bools, the
    # small ints), whose counts before 3.12 follow all the interpreter does.
    shared = lambda o: o is None or type(o) is bool or type(o) is int and -5 <= o <= 256  # noqa
    watched = [*named.values(), *(o for _, call, a, kw in CASES for o in (
        call, *a, *kw, *kw.values()) if sys.getrefcount(o) < 1 << 30 and not shared(o))]

    def snapshot():
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), [
                sys.getrefcount(o) for o in watched]

    rounds, traced = (max(n // len(mix), 1) for n in (args.calls, args.traced_calls))
    # Writing the failure reports and printing the resumed panics would take most of the time.
    faulthandler.enable(os.fdopen(stderr := os.dup(2), "w"))
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    sys.excepthook = lambda *exc: None
    try:
        run(200, mix)
        (rss_before, refs_before), started = snapshot(), time.perf_counter()
        run(rounds, mix)
        seconds, (rss_after, refs_after) = time.perf_counter() - started, snapshot()
        tracemalloc.start()  # caches that replace entries are traced from here on: no growth
        run(traced // 4, mix)
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        run(traced, mix)
        gc.collect()
        traced_after, traced_peak = tracemalloc.get_traced_memory()
    finally:
        os.dup2(stderr, 2)
        sys.excepthook = sys.__excepthook__
    total = 200 + rounds + traced + traced // 4
    print("\n  ".join([
        f"soak: {total * len(mix)} calls, {len(CASES)} kinds, with {veltrum.__file__}",
        f"timed loop: {rounds * len(mix)} calls in {seconds:.2f} s "
        f"({seconds / rounds / len(mix) * 1e9:.0f} ns a call)",
        f"resident memory: {rss_before} -> {rss_after} bytes",
        f"traced memory over {traced * len(mix)} calls: {traced_before} -> {traced_after} bytes "
        f"(peak {traced_peak})", "reference counts before -> after: " + ", ".join(
            f"{k} {a}->{b}" for k, a, b in zip(named, refs_before, refs_after)) + f"; the "
        f"{len(watched) - 4} argument objects' {sum(refs_before[4:])}->{sum(refs_after[4:])}"]))
    assert refs_after == refs_before, "reference counts changed"
    assert args.no_rss or rss_after - rss_before < 4 << 20, "resident memory grew"
    assert traced_after - traced_before < 8 << 10, "traced memory grew"  # a float a round: 22 KiB
    assert UNRAISABLE == {"ZeroDivisionError": 2 * total}, UNRAISABLE


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=10_000_000)
    parser.add_argument("--traced-calls", type=int, default=1_000_000)
    parser.add_argument("--no-rss", action="store_true", help="AddressSanitizer's quarantine")
    parser.add_argument("--smoke", type=int, nargs="?", const=50)
    if not (args := parser.parse_args()).smoke:
        soak(args)
    else:
        run(args.smoke)
        assert UNRAISABLE == {"ZeroDivisionError": 2 * args.smoke}, UNRAISABLE
        print(f"memcheck smoke: {args.smoke * len(CASES)} calls into veltrum ({veltrum.__file__})")
