"""The cost of a call into veltrum, beside the floor of any such call and a
pure-Python peer.

Prints one table: for each call shape, callgrind instructions per call for the
floor (benchmarks/floor) and the module with their ratio and the target, and
wall-clock ns per call (medians of interleaved rounds) for the floor, the
module and the pure-Python class. Then the model's own cost from the C++
micro-benchmark, the cost per call as the number of calls grows, and the
memory per instance and per call.

Every figure is per call of the statement alone: a loop of n calls is
measured against the same loop with an empty body, and the difference is
divided by n.

--check measures only what is exact (instruction counts and memory) and exits
non-zero when a target is missed; wall time on a shared machine is reported,
never checked.

Usage: bench.py [--build DIR] [--check] [--quick]
"""

import argparse
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# name, statement, target ratio of module to floor instructions
ROWS = [
    ("ctor_float", "cls(10000.0, 120.0, 20.0, 7.0)", 1.30),
    ("ctor_int", "cls(10000, 120, 20, 7)", 1.00),
    ("setup", "v.setup(12.0, True)", 1.35),
    ("compute", "v.compute(45.0, 4, 2.0, 45.0)", 1.60),
    ("compute_kw", "v.compute(wind_beta=45.0, wind_scale=4, wave_height=2.0, wave_beta=45.0)", 1.25),
]

LABELS = {
    "ctor_float": "NavCalc(10000.0, 120.0, 20.0, 7.0)",
    "ctor_int": "NavCalc(10000, 120, 20, 7)",
    "setup": "setup(12.0, True)",
    "compute": "compute(45.0, 4, 2.0, 45.0)",
    "compute_kw": "compute(wind_beta=45.0, ...) keywords",
}


def make_loop(statement):
    # One function per statement, so every loop has the same shape: the
    # statement is the only difference from the empty loop.
    source = f"def loop(cls, v, n):\n    for _ in range(n):\n        {statement}\n"
    namespace = {}
    exec(compile(source, f"<loop {statement}>", "exec"), namespace)
    return namespace["loop"]


EMPTY = make_loop("pass")
LOOPS = {name: make_loop(statement) for name, statement, _ in ROWS}


def import_modules(build):
    sys.path.insert(0, os.path.abspath(build))
    sys.path.insert(0, HERE)
    import veltrum
    import veltrum_floor
    import pure_navcalc

    for module in (veltrum, veltrum_floor):
        if not os.path.abspath(module.__file__).startswith(os.path.abspath(build)):
            sys.exit(f"{module.__name__} was imported from {module.__file__}, not from {build}")
    return {"floor": veltrum_floor, "module": veltrum, "pure": pure_navcalc}


def instance(module):
    v = module.NavCalc(10000.0, 120.0, 20.0, 7.0)
    v.setup(12.0, True)
    return v


# --- instruction counts (run inside callgrind) ---------------------------------


def callgrind_inner(build, n):
    modules = import_modules(build)
    floor = modules["floor"]
    if not floor.running_on_valgrind():
        sys.exit("--callgrind-inner must run under valgrind --tool=callgrind")
    impls = ("floor", "module")
    instances = {impl: instance(modules[impl]) for impl in impls}
    gc.disable()
    # Warm up: the interpreter specialises each call site after a few runs.
    for _ in range(3):
        EMPTY(None, None, 1000)
        for name, _, _ in ROWS:
            for impl in impls:
                LOOPS[name](modules[impl].NavCalc, instances[impl], 1000)
    for name, _, _ in ROWS:
        for impl in impls:
            floor.callgrind_zero()
            EMPTY(None, None, n)
            floor.callgrind_dump(f"empty/{name}/{impl}")
            floor.callgrind_zero()
            LOOPS[name](modules[impl].NavCalc, instances[impl], n)
            floor.callgrind_dump(f"{name}/{impl}")


# The allocators every Python object and buffer allocation ends in; a call
# from one of them to another is one allocation, not two.
ALLOCATORS = {"_PyObject_Malloc", "_PyObject_Calloc", "_PyObject_Realloc",
              "malloc", "calloc", "realloc"}


def read_dump(path):
    """The label of one callgrind dump, its instruction total and the number
    of calls into the allocators it records."""
    label = total = None
    allocations = 0
    names = {}
    caller = callee = None
    prefix = "desc: Trigger: Client Request: "

    def name_of(spec):
        # "(id) name" the first time a name occurs, "(id)" after that
        ident, _, name = spec.partition(" ")
        if name:
            names[ident] = name.strip()
        return names.get(ident, ident)

    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith(prefix):
                label = line[len(prefix):].strip()
            elif line.startswith("summary:"):
                total = int(line.split()[1])
            elif line.startswith("fn="):
                caller = name_of(line[3:].strip())
            elif line.startswith("cfn="):
                callee = name_of(line[4:].strip())
            elif line.startswith("calls="):
                if callee in ALLOCATORS and caller not in ALLOCATORS:
                    allocations += int(line[6:].split()[0])
    return label, total, allocations


def read_dumps(directory):
    counts = {}
    for entry in os.listdir(directory):
        label, total, allocations = read_dump(os.path.join(directory, entry))
        if label is not None and total is not None:
            counts[label] = (total, allocations)
    return counts


def run_callgrind(command, env=None):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed")
    # Children too: an interpreter of scripts/interpreters is a wrapper script that
    # starts the real one; only the dumps with a label count.
    with tempfile.TemporaryDirectory(prefix="veltrum-cg-") as directory:
        subprocess.run(
            [valgrind, "--tool=callgrind", "--dump-line=no", "--trace-children=yes",
             f"--callgrind-out-file={directory}/cg.%p", *command],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        return read_dumps(directory)


def python_instructions(build, n):
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONMALLOC="pymalloc")
    counts = run_callgrind(
        [sys.executable, "-S", __file__, "--callgrind-inner", "--build", build, "-n", str(n)],
        env=env)
    instructions = {}
    allocations = {}
    for name, _, _ in ROWS:
        for impl in ("floor", "module"):
            loop = counts[f"{name}/{impl}"]
            empty = counts[f"empty/{name}/{impl}"]
            instructions[name, impl] = (loop[0] - empty[0]) / n
            allocations[name, impl] = (loop[1] - empty[1]) / n
    return instructions, allocations


def model_instructions(build, n):
    binary = os.path.join(build, "model_bench")
    if not os.path.exists(binary):
        return None
    counts = run_callgrind([binary, "--instructions", str(n)])
    empty = counts["model/empty"][0]
    return {op: (counts[f"model/{op}"][0] - empty) / n for op in ("construct", "setup", "compute")}


# --- wall clock ----------------------------------------------------------------


def wall_clock(modules, n, rounds):
    impls = ("floor", "module", "pure")
    instances = {impl: instance(modules[impl]) for impl in impls}
    samples = {(name, impl): [] for name, _, _ in ROWS for impl in impls}
    clock = time.perf_counter_ns
    gc.disable()
    try:
        for _ in range(rounds):
            for name, _, _ in ROWS:
                for impl in impls:
                    loop = LOOPS[name]
                    cls = modules[impl].NavCalc
                    v = instances[impl]
                    t0 = clock()
                    EMPTY(cls, v, n)
                    t1 = clock()
                    loop(cls, v, n)
                    t2 = clock()
                    samples[name, impl].append(((t2 - t1) - (t1 - t0)) / n)
    finally:
        gc.enable()
    return {key: statistics.median(values) for key, values in samples.items()}


def model_wall_clock(build):
    binary = os.path.join(build, "model_bench")
    if not os.path.exists(binary):
        return None
    out = subprocess.run(
        [binary, "--benchmark_format=json", "--benchmark_min_time=0.2",
         "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    result = {}
    for bench in json.loads(out)["benchmarks"]:
        if bench.get("aggregate_name") == "median":
            op = bench["run_name"].removeprefix("BM_").lower()
            result[op] = bench["real_time"]
    return result


def scaling(modules, sizes):
    cls = modules["module"].NavCalc
    v = instance(modules["module"])
    loop = LOOPS["compute"]
    rows = []
    gc.disable()
    try:
        for n in sizes:
            blocks_before = sys.getallocatedblocks()
            t0 = time.perf_counter_ns()
            EMPTY(cls, v, n)
            t1 = time.perf_counter_ns()
            loop(cls, v, n)
            t2 = time.perf_counter_ns()
            blocks_after = sys.getallocatedblocks()
            rows.append((n, ((t2 - t1) - (t1 - t0)) / n, blocks_after - blocks_before))
    finally:
        gc.enable()
    return rows


# --- memory --------------------------------------------------------------------


def kept_after(function, *args):
    """Bytes allocated by the call and still held after it."""
    before, _ = tracemalloc.get_traced_memory()
    function(*args)
    after, _ = tracemalloc.get_traced_memory()
    return after - before


def memory(modules):
    """The instance size, and the bytes allocated per instance as tracemalloc
    sees them. (Allocations per call are counted exactly under callgrind.)"""
    module = modules["module"]
    cls = module.NavCalc
    v = instance(module)
    n = 10000
    report = {"sizeof": sys.getsizeof(v)}

    def make(keep, count):
        for i in range(count):
            keep[i] = cls(10000.0, 120.0, 20.0, 7.0)

    gc.collect()
    tracemalloc.start()
    try:
        # The growth from n to 2n kept instances, so the list and the loop's
        # own objects cancel out.
        small, large = [None] * (2 * n), [None] * (2 * n)
        make([None] * 100, 100)
        kept_small = kept_after(make, small, n)
        kept_large = kept_after(make, large, 2 * n)
        report["per_instance"] = (kept_large - kept_small) / n
        del small, large
    finally:
        tracemalloc.stop()
    return report


# --- report --------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--check", action="store_true",
                        help="exact measures only; non-zero exit when a target is missed")
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--callgrind-inner", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("-n", type=int, default=10000, help="calls per callgrind measurement")
    args = parser.parse_args()

    if args.callgrind_inner:
        callgrind_inner(args.build, args.n)
        return 0

    modules = import_modules(args.build)
    instr, allocs = python_instructions(args.build, args.n)
    model_instr = model_instructions(args.build, 4096)
    ns = None if args.check else wall_clock(modules, 5000 if args.quick else 20000,
                                            5 if args.quick else 15)
    model_ns = None if args.check else model_wall_clock(args.build)
    mem = memory(modules)

    failures = []
    print(f"{'call':40} {'floor Ir':>9} {'module Ir':>9} {'ratio':>6} {'target':>6}"
          f" {'floor ns':>9} {'module ns':>9} {'ratio':>6} {'pure ns':>8}")
    for name, _, target in ROWS:
        floor_ir = instr[name, "floor"]
        module_ir = instr[name, "module"]
        ratio = module_ir / floor_ir
        ok = ratio <= target
        if not ok:
            failures.append(f"{LABELS[name]}: {ratio:.3f} > {target:.2f}")
        if ns is not None:
            floor_ns, module_ns, pure_ns = (ns[name, i] for i in ("floor", "module", "pure"))
            wall = f" {floor_ns:9.1f} {module_ns:9.1f} {module_ns / floor_ns:6.2f} {pure_ns:8.1f}"
        else:
            wall = ""
        print(f"{LABELS[name]:40} {floor_ir:9.1f} {module_ir:9.1f} {ratio:6.3f} "
              f"{'≤' + format(target, '.2f'):>6}{wall}{'' if ok else '  MISSED'}")

    if model_instr is not None:
        print("\nmodel alone (C++ micro-benchmark; the loop's own few instructions included):")
        for op in ("construct", "setup", "compute"):
            wall = "" if model_ns is None else f" {model_ns[op]:8.1f} ns"
            print(f"  {op:10} {model_instr[op]:8.1f} instructions{wall}")

    print(f"\nmemory: sizeof(NavCalc) {mem['sizeof']} bytes, "
          f"{mem['per_instance']:.1f} bytes allocated per instance")
    if mem["sizeof"] != 104:
        failures.append(f"instance size {mem['sizeof']} != 104")
    # tracemalloc also sees the loop's own objects come and go: a few bytes
    # over 10000 instances.
    if round(mem["per_instance"]) != 104:
        failures.append(f"allocated per instance {mem['per_instance']} != 104")
    for name, _, _ in ROWS:
        floor_allocs = allocs[name, "floor"]
        module_allocs = allocs[name, "module"]
        print(f"  {LABELS[name]:40} allocations per call: floor {floor_allocs:.2f}, module "
              f"{module_allocs:.2f}")
        # The floor allocates nothing but its result (the instance; a float
        # comes from the interpreter's free list): neither may the module.
        if module_allocs > floor_allocs:
            failures.append(f"{LABELS[name]}: {module_allocs:.2f} allocations per call")

    if not args.check:
        print("\ncompute(45.0, 4, 2.0, 45.0) as the number of calls grows:")
        print(f"  {'calls':>9} {'ns/call':>8} {'blocks allocated and kept':>26}")
        sizes = (1000, 10000, 100000) if args.quick else (1000, 10000, 100000, 1000000)
        for n, per_call, blocks in scaling(modules, sizes):
            print(f"  {n:9d} {per_call:8.1f} {blocks:26d}")

    if failures:
        print("\ntargets missed:\n  " + "\n  ".join(failures))
        return 1
    if args.check:
        print("\nall targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
