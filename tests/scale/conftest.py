"""A real Dask cluster on loopback, started as docs/cluster.md starts one on real machines:
`dask scheduler` and `dask worker` processes, each stopped by its process group's id."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

# The console scripts and dask's, installed beside the interpreter
BIN = pathlib.Path(sys.executable).parent


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", help="also run the tests marked slow")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: the largest sizes, run with --slow")


def pytest_collection_modifyitems(config, items):
    if not config.getoption("--slow"):
        for item in items:
            if "slow" in item.keywords:
                item.add_marker(pytest.mark.skip(reason="run with --slow"))


def start(command, *args, log, env=None):
    """A process in its own process group, its output and scratch files beside `log`."""
    # SIGINT at its default, whatever this process inherited (a background job's is ignored)
    env = dict(os.environ, DASK_TEMPORARY_DIRECTORY=str(log.parent), **(env or {}))
    with open(log, "w") as sink:
        return subprocess.Popen(["env", "--default-signal=INT", str(BIN / command),
                                 *map(str, args)], stdout=sink, stderr=subprocess.STDOUT,
                                env=env, start_new_session=True, cwd=log.parent)


def stop(process, first=signal.SIGTERM):
    """Ends a process started by `start` and whatever it started."""
    for sig in (first, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        try:
            process.wait(timeout=15)
            break
        except subprocess.TimeoutExpired:
            continue
    if process.returncode is None:
        process.wait()


def wait_until(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"no {what} after {seconds} s"
        time.sleep(0.1)


class Cluster:
    """A scheduler and its workers; `add_worker` starts one more."""

    def __init__(self, directory, *options):
        self.directory = directory
        self.info = directory / "scheduler.json"
        self.options = options  # of the scheduler and each worker: TLS's
        self.workers = []
        self.processes = []

    def start(self):
        self.processes.append(start("dask", "scheduler", "--host", "127.0.0.1", "--port", "0",
                                    "--no-dashboard", "--scheduler-file", self.info,
                                    *self.options, log=self.directory / "scheduler.log"))
        wait_until(lambda: self.info.exists() and self.info.stat().st_size > 0,
                   "scheduler file")
        self.address = json.loads(self.info.read_text())["address"]

    def add_worker(self, *options, env=None):
        log = self.directory / f"worker{len(self.workers)}.log"
        process = start("dask", "worker", "--scheduler-file", self.info, "--nthreads", "1",
                        "--host", "127.0.0.1", "--no-dashboard", "--death-timeout", "60",
                        *self.options, *options, log=log, env=env)
        self.processes.append(process)
        self.workers.append(process)
        wait_until(lambda: "Registered to" in log.read_text(), f"registered {log.name}")
        return process

    def logs(self):
        return "".join(path.read_text() for path in sorted(self.directory.glob("*.log")))

    def stop(self):
        for process in reversed(self.processes):
            stop(process)


@pytest.fixture
def cluster(tmp_path, request):
    """A scheduler on 127.0.0.1 without workers: the test adds them."""
    # an indirect parameter, a function of a folder, gives the processes' options (TLS's)
    directory = tmp_path / "cluster"
    directory.mkdir()
    started = Cluster(directory, *getattr(request, "param", lambda _: ())(tmp_path / "tls"))
    try:
        started.start()
        yield started
    finally:
        started.stop()


@pytest.fixture
def two_workers(cluster):
    """The scheduler's address, with two workers of one thread each."""
    for _ in range(2):
        cluster.add_worker()
    return cluster.address


# the weather layouts the reader's tests and the tools' tests share
sys.path.insert(0, str(pathlib.Path(__file__).parents[1]))
