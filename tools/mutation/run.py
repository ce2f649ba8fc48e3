"""Mutation testing: applies each mutant of mutants.py to a scratch copy of the
source tree, rebuilds the C++ model tests and the module, and runs the model
tests, then the Python tests (stopping at the first failure). A mutant is killed
when a build-and-test step fails or times out, survived when all pass.

    .venv/bin/python tools/mutation/run.py [--area AREA] [--only N,...] [--list]

Slow (a rebuild and a test run per mutant): not a stage of scripts/test."""

import argparse
import collections
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from mutants import MUTANTS  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
VENV_PYTHON = ROOT / ".venv" / "bin" / "python"
# Files that most often catch a fault first, so a killed mutant costs little.
FIRST = ["test_results.py", "test_conversion.py", "test_binding.py", "test_access.py",
         "test_lifetime.py", "test_module.py", "test_failures.py"]
# The tests of an area of their own, run before all others for its mutants.
OWN_TESTS = {"ufunc": "test_ufunc.py"}


def step(command, cwd, timeout, env=None):
    """'ok', 'failed' or 'timeout', and the output. The step runs in a process group of
    its own, which is ended as a whole on a time-out or an interruption (a hung test
    binary under ctest, say, or a child of a Python test)."""
    with subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, start_new_session=True) as proc:
        try:
            output, _ = proc.communicate(timeout=timeout)
        except BaseException as stop:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            if isinstance(stop, subprocess.TimeoutExpired):
                return "timeout", ""
            raise
    return ("ok" if proc.returncode == 0 else "failed"), output


def copy_tree(source, scratch):
    """The tree as it is, uncommitted edits included, without builds and environments."""
    scratch.mkdir(parents=True, exist_ok=True)
    ignore = shutil.ignore_patterns(".git", ".venv", "build", "__pycache__", ".*_cache",
                                    ".hypothesis", "*.so")
    for entry in source.iterdir():
        if entry.name in {".git", ".venv", "build"}:
            continue
        target = scratch / entry.name
        if entry.is_dir():
            shutil.copytree(entry, target, ignore=ignore, dirs_exist_ok=True)
        else:
            shutil.copy2(entry, target)


class Runner:
    def __init__(self, scratch, timeout):
        self.scratch, self.build, self.timeout = scratch, scratch / "build", timeout
        tests = scratch / "tests" / "python"
        rest = sorted(p.name for p in tests.glob("test_*.py") if p.name not in FIRST)
        self.test_files = [str(tests / name) for name in FIRST + rest if (tests / name).exists()]
        self.env = dict(os.environ, PYTHONPATH=str(self.build), PYTHONFAULTHANDLER="1")
        self.env.pop("VELTRUM_BACKTRACE", None)

    def configure(self):
        ninja = VENV_PYTHON.parent / "ninja"
        command = ["cmake", "-S", str(self.scratch), "-B", str(self.build), "-G", "Ninja",
                   f"-DCMAKE_MAKE_PROGRAM={ninja}", "-DCMAKE_BUILD_TYPE=Release",
                   "-DVELTRUM_BUILD_TESTS=ON", f"-DPython_EXECUTABLE={VENV_PYTHON}"]
        return step(command, self.scratch, self.timeout)

    def check(self, area=""):
        """The first step that does not pass, or None when every one passes. The tests of
        the mutant's area, if it has its own, run first."""
        own = OWN_TESTS.get(area)
        test_files = sorted(self.test_files, key=lambda path: Path(path).name != own)
        steps = [
            ("build", ["cmake", "--build", str(self.build), "-j", "1"]),
            ("model tests", ["ctest", "--test-dir", str(self.build), "--output-on-failure"]),
            ("python tests", [str(VENV_PYTHON), "-X", "dev", "-W", "error", "-m", "pytest",
                              "-x", "-q", "-p", "no:randomly", "-p", "no:cacheprovider",
                              *test_files]),
        ]
        deadline = time.monotonic() + self.timeout
        for name, command in steps:
            left = deadline - time.monotonic()
            if left <= 0:
                return f"{name}: timeout", ""
            status, output = step(command, self.scratch, left, self.env)
            if status != "ok":
                # pytest's summary names the failing test; a crash leaves none
                test = re.search(r"^(?:FAILED|ERROR) \S*?([^/\s]+)(?: - |$)", output, re.M)
                return f"{name}: {status}" + (f", {test[1]}" if test else ""), output
        return None, ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--area", action="append", help="only mutants of this area (repeatable)")
    parser.add_argument("--only", help="only these mutant numbers, comma-separated")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--timeout", type=float, default=600.0,
                        help="seconds per mutant, build included (default 600)")
    parser.add_argument("--tree", type=Path, default=ROOT,
                        help="source tree to copy (default: this one)")
    parser.add_argument("--scratch", type=Path, default=ROOT / "build" / "mutation",
                        help="where the copy is built (default build/mutation)")
    args = parser.parse_args()

    chosen = [(n, m) for n, m in enumerate(MUTANTS, 1)
              if (not args.area or m.area in args.area)
              and (not args.only or str(n) in args.only.split(","))]
    if args.list:
        for n, m in chosen:
            print(f"{n:3} {m.area:15} {m.file}: {m.description}"
                  + (f" ({m.equivalent})" if m.equivalent else ""))
        return 0
    if not chosen:
        parser.error("no mutant matches")

    tree = args.tree.resolve()
    shutil.rmtree(args.scratch, ignore_errors=True)
    copy_tree(tree, args.scratch)
    runner = Runner(args.scratch.resolve(), args.timeout)
    print(f"scratch copy of {tree} in {args.scratch}", flush=True)
    status, output = runner.configure()
    failed = None
    if status == "ok":
        failed, output = runner.check()
    if status != "ok" or failed:
        print(output[-4000:])
        print(f"the unmutated tree does not pass ({failed or 'configure: ' + status}): "
              "nothing to measure")
        return 1

    tally = collections.defaultdict(collections.Counter)
    survivors = []
    for n, mutant in chosen:
        path = runner.scratch / mutant.file
        source = path.read_text(encoding="utf-8")
        if source.count(mutant.original) != 1:
            kind, verdict = "not applicable", "not applicable"
        else:
            started = time.monotonic()
            path.write_text(source.replace(mutant.original, mutant.replacement), encoding="utf-8")
            try:
                failed, _ = runner.check(mutant.area)
            finally:
                path.write_text(source, encoding="utf-8")
            if failed:
                kind = "wrongly called equivalent" if mutant.equivalent else "killed"
                verdict = f"{kind} ({failed})"
            else:
                kind = verdict = "equivalent" if mutant.equivalent else "survived"
            verdict += f" in {time.monotonic() - started:.0f} s"
        tally[mutant.area][kind] += 1
        if kind in ("survived", "wrongly called equivalent"):
            survivors.append(n)
        print(f"{n:3} {mutant.area:15} {verdict:45} {mutant.file}: {mutant.description}",
              flush=True)

    # The score leaves out the equivalent mutants and those that do not apply.
    print("\narea             killed  survived  equivalent  not applicable  score")
    total = collections.Counter()
    for area, counts in list(tally.items()) + [("all", None)]:
        counts = counts if counts is not None else total
        if area != "all":
            total.update(counts)
        judged = counts["killed"] + counts["survived"]
        score = f"{100 * counts['killed'] / judged:.0f} %" if judged else "-"
        print(f"{area:16} {counts['killed']:6}  {counts['survived']:8}  {counts['equivalent']:10}  "
              f"{counts['not applicable']:14}  {score}")
    if survivors:
        print("survived, or killed though listed as equivalent:", ",".join(map(str, survivors)))
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
