"""Soak test: millions of mixed calls into veltrum, successful and failing ones of
every kind, in a child process; then the resident memory, the memory traced by
tracemalloc and the reference counts of the class, the exception type, the
instances and the argument objects made at run time must be where they were.

The child's standard error goes to a pipe that this process reads and counts:
each model failure writes a report there, so the count of report heads must
equal the count of model failures the child made.

    python soak.py [--calls N] [--traced-calls N] [--json FILE] [--no-rss]

Exits non-zero when a bound is broken or the child dies."""

import argparse
import json
import os
import subprocess
import sys
import time

REPORT_HEAD = b") panicked at "

# The resident size may grow a little as the allocator settles; a leak of even
# a few bytes per call over millions of calls is far beyond this.
RSS_SLACK = 4 << 20
# Memory the interpreter's own allocations may still hold after the loop (an
# int or two); a leak of one block per thousand calls over the million traced
# calls would be at least 16 KiB.
TRACED_SLACK = 2 << 10


def child(calls, traced_calls):
    import ctypes
    import gc
    import itertools
    import tracemalloc

    import veltrum
    from veltrum import NavCalc

    try:
        NavCalc(0.0, 1.0, 1.0, 1.0)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        panic = type(e)

    class Knots(float):
        pass

    class Depth:
        """Converted through __float__, which calls back into the same vessel."""

        def __init__(self, vessel):
            self.vessel = vessel

        def __float__(self):
            # While setup holds the vessel, compute is refused: the access error
            # leaves through this hook and the outer setup raises it.
            return self.vessel.compute(0.0, 4, 2.0, 0.0)

    # Argument objects made at run time, so their reference counts mean something.
    displacement = float("10000.5")
    length = float("120.25")
    speed = Knots("12.5")
    wind_beta = float("45.5")
    wave_height = float("2.75")
    wave_beta = float("100.5")
    negative = float("-10000.5")
    not_a_number = "".join(["1", "2"])
    huge = 10**20
    scale = 10**9 + 7  # not a small int: outside the Beaufort range
    owned = NavCalc(45000.0, 180.0, 32.0, 10.0)
    shared = NavCalc(10000.0, 120.0, 20.0, 7.0)
    hook = Depth(owned)
    names = {"".join(["wind_", "beta"]): wind_beta, "".join(["wind_", "scale"]): 6,
             "".join(["wave_", "height"]): wave_height, "".join(["wave_", "beta"]): wave_beta}
    watched = {
        "NavCalc": NavCalc, "PanicException": panic, "owned": owned, "shared": shared,
        "displacement": displacement, "length": length, "speed": speed,
        "wind_beta": wind_beta, "wave_height": wave_height, "wave_beta": wave_beta,
        "negative": negative, "not_a_number": not_a_number, "huge": huge, "scale": scale,
        "hook": hook, **{f"keyword {k}": k for k in names},
    }

    made = dict.fromkeys(["constructor", "setup", "compute", "model failure",
                          "conversion failure", "binding failure", "access failure"], 0)

    def rounds(n, first):
        """n rounds of six calls that succeed and one failure of a kind that
        rotates over five, so that every kind runs hundreds of thousands of times."""
        models = 0
        for i in itertools.islice(itertools.count(first), n):
            vessel = NavCalc(displacement, length, 20.0, 7.0)
            vessel.setup(speed, True)
            vessel.compute(wind_beta, 6, wave_height, wave_beta)
            shared.compute(**names)
            owned.setup(speed, False)
            owned.compute(wind_beta, 9, wave_height, wave_beta)
            kind = i % 5
            try:
                if kind == 0:
                    shared.compute(wind_beta, scale, wave_height, wave_beta)
                elif kind == 1:
                    NavCalc(negative, length, 20.0, 7.0)
                elif kind == 2:
                    vessel.setup(not_a_number, True)
                elif kind == 3:
                    shared.compute(wind_beta, huge, wave_height)
                else:
                    owned.setup(hook, True)
            except panic:
                models += 1
            except (TypeError, RuntimeError):
                pass
        return models

    def tally(n, first):
        """Adds up what rounds(n, first) called."""
        kinds = [0] * 5
        full, rest = divmod(n, 5)
        for k in range(5):
            kinds[k] = full
        for i in range(rest):
            kinds[(first + i) % 5] += 1
        made["constructor"] += n + kinds[1]
        made["setup"] += 2 * n + kinds[2] + kinds[4]
        # The access failure's hook makes one compute of its own.
        made["compute"] += 3 * n + kinds[0] + kinds[3] + kinds[4]
        made["model failure"] += kinds[0] + kinds[1]
        made["conversion failure"] += kinds[2]
        made["binding failure"] += kinds[3]
        made["access failure"] += kinds[4]
        return 7 * n + kinds[4]

    def snapshot():
        gc.collect()
        with open("/proc/self/statm") as f:
            resident = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        return resident, {k: sys.getrefcount(v) for k, v in watched.items()}

    # The failure that gave the exception type counts too.
    made["constructor"] += 1
    made["model failure"] += 1
    warm = 20_000
    models = 1 + rounds(warm, 0)
    tally(warm, 0)
    rss_before, refs_before = snapshot()

    n = max(calls // 7, 1)
    started = time.perf_counter()
    models += rounds(n, warm)
    elapsed = time.perf_counter() - started
    timed_calls = tally(n, warm)
    rss_after, refs_after = snapshot()

    # The same mix with every allocation traced, over a shorter run.
    traced_rounds = max(traced_calls // 7, 1)
    tracemalloc.start()
    gc.collect()
    traced_before, _ = tracemalloc.get_traced_memory()
    tracemalloc.reset_peak()
    models += rounds(traced_rounds, warm + n)
    gc.collect()
    traced_after, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    traced = tally(traced_rounds, warm + n)

    assert models == made["model failure"], (models, made)
    # The access flag follows the vessel record in the object (104 bytes in all).
    flags = [ctypes.c_size_t.from_address(id(v) + 96).value for v in (owned, shared)]
    return {
        "module": veltrum.__file__,
        "calls": sum(v for k, v in made.items() if k in ("constructor", "setup", "compute")),
        "made": made,
        "timed_calls": timed_calls,
        "seconds": round(elapsed, 2),
        "ns_per_call": round(elapsed / timed_calls * 1e9),
        "rss_before": rss_before, "rss_after": rss_after,
        "traced_calls": traced,
        "traced_before": traced_before, "traced_after": traced_after,
        "traced_peak": traced_peak,
        "refs_before": refs_before, "refs_after": refs_after,
        "access_flags": flags,
    }


def parent(args):
    command = [sys.executable, os.path.abspath(__file__), "--child",
               "--calls", str(args.calls), "--traced-calls", str(args.traced_calls)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reports = 0
    carry = b""
    tail = b""
    while chunk := process.stderr.read1(1 << 16):
        data = carry + chunk
        reports += data.count(REPORT_HEAD)
        carry = data[-(len(REPORT_HEAD) - 1):]
        # A head split across two chunks is counted once: the carried bytes are
        # too short to hold a whole head.
        tail = (tail + chunk)[-8192:]
    out = process.stdout.read()
    code = process.wait()
    if code != 0:
        sys.stderr.write(tail.decode("utf-8", "replace"))
        sys.exit(f"soak child failed with status {code}")
    result = json.loads(out)
    result["reports"] = reports

    problems = []
    if reports != result["made"]["model failure"]:
        problems.append(f"{reports} reports for {result['made']['model failure']} model failures")
    changed = {k: (result["refs_before"][k], result["refs_after"][k])
               for k in result["refs_before"] if result["refs_before"][k] != result["refs_after"][k]}
    if changed:
        problems.append(f"reference counts changed: {changed}")
    if not args.no_rss and result["rss_after"] - result["rss_before"] > RSS_SLACK:
        problems.append("resident memory grew by "
                        f"{result['rss_after'] - result['rss_before']} bytes")
    if result["traced_after"] - result["traced_before"] > TRACED_SLACK:
        problems.append("traced memory grew by "
                        f"{result['traced_after'] - result['traced_before']} bytes")
    if result["access_flags"] != [0, 0]:
        problems.append(f"access flags not free: {result['access_flags']}")

    print(f"soak: {result['calls']} calls ({result['made']}) with {result['module']}")
    print(f"  timed loop: {result['timed_calls']} calls in {result['seconds']} s "
          f"({result['ns_per_call']} ns a call)")
    print(f"  failure reports counted on standard error: {reports}")
    print(f"  resident memory: {result['rss_before']} -> {result['rss_after']} bytes")
    print(f"  traced memory over {result['traced_calls']} calls: {result['traced_before']} -> "
          f"{result['traced_after']} bytes (peak {result['traced_peak']})")
    print("  reference counts before -> after: " + ", ".join(
        f"{k} {result['refs_before'][k]}->{result['refs_after'][k]}" for k in result["refs_before"]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    if problems:
        sys.exit("soak failed: " + "; ".join(problems))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=10_000_000)
    parser.add_argument("--traced-calls", type=int, default=1_000_000)
    parser.add_argument("--json")
    parser.add_argument("--no-rss", action="store_true",
                        help="leave the resident size unchecked (AddressSanitizer keeps "
                             "freed memory in quarantine)")
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        result = child(args.calls, args.traced_calls)
        sys.stdout.write(json.dumps(result))
    else:
        parent(args)


if __name__ == "__main__":
    main()
