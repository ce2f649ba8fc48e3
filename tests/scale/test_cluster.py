"""veltrum-hindcast on a real loopback cluster: memory bounded whatever the size, a lost
worker and an interrupted client survived with the same output, bit for bit, and workers of
other versions refused."""

import math
import os
import pathlib
import shutil
import signal
import time

import numpy as np
import pytest
import xarray as xr
from distributed import Client

from conftest import start, stop, wait_until
from veltrum import NavCalc
from veltrum_tools import __version__, marine
from veltrum_tools.hindcast.storm import storm_block

# Each worker's memory limit, as the hindcast is meant to run (2 GB a worker).
MEMORY_LIMIT = 2_000_000_000
# A size of 1×: 16.7 million estimates (67 MB of float32); 16× is 1.1 GB.
BASE_SHAPE = (256, 181, 361)
# How much more the client may hold at a larger size than at 1×: the graph grows with the
# chunks, the data never passes through it.
CLIENT_MARGIN = 40_000_000
# The lost-worker and resume runs: 48 chunks of 2 hours, 4 headings.
FAULT_RUN = ["--synthetic-shape", "96,181,361", "--chunk-hours", 2, "--headings", 4]
FAULT_CHUNKS = 48


class Hindcast:
    """veltrum-hindcast started in its own process group, its output in a file."""

    def __init__(self, *args, cwd, name="hindcast", env=None):
        self.log = cwd / f"{name}.log"
        self.process = start("veltrum-hindcast", *args, log=self.log, env=env)

    def finish(self):
        """Its exit status, output and peak RSS in bytes, once it has ended. The peak is the
        process's own high-water mark (VmHWM), read until it exits: the rusage of a waited
        process also counts the children it started."""
        peak = 0
        while self.process.poll() is None:
            try:
                with open(f"/proc/{self.process.pid}/status") as status:
                    peak = max([peak] + [int(line.split()[1]) * 1024 for line in status
                                         if line.startswith("VmHWM:")])
            except OSError:  # it has just ended
                pass
            time.sleep(0.02)
        return self.process.returncode, self.log.read_text(), peak

    def stop(self):
        stop(self.process)  # also the local cluster's workers, if any outlive it


def hindcast_run(*args, cwd, name="hindcast"):
    run = Hindcast(*args, cwd=cwd, name=name)
    try:
        return run.finish()
    finally:
        run.stop()


def store_files(path):
    """Every file of a store, by its path inside it: its bytes."""
    return {os.path.relpath(os.path.join(root, name), path):
            pathlib.Path(root, name).read_bytes()
            for root, _, names in os.walk(path) for name in names}


def chunk_files(path):
    directory = path / "speed_change"
    return [] if not directory.exists() else [
        entry for entry in os.scandir(directory) if not entry.name.startswith(".")]


def worker_peaks(address):
    """Each worker process's peak RSS since the last call, in bytes (Linux's VmHWM, reset
    through /proc/self/clear_refs)."""

    def peak():
        with open("/proc/self/status") as status:
            kilobytes = next(int(line.split()[1]) for line in status
                             if line.startswith("VmHWM:"))
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return kilobytes * 1024

    with Client(address, timeout=30) as client:
        return sorted(client.run(peak).values())


def check_sampled_cells(output, shape, samples=40):
    """Cells of a store, drawn at random, against NavCalc.compute called on each alone."""
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    rng = np.random.default_rng(20)
    with xr.open_zarr(output) as stored:
        change = stored["speed_change"]
        for t, y, x in zip(*(rng.integers(0, n, samples) for n in shape)):
            u, v, height, wave_from = (float(field) for field in
                                       storm_block(int(t), 1, shape)[:, 0, y, x])
            got = change[t, y, x, 0].values
            if math.isnan(height):  # the island
                assert math.isnan(got)
                continue
            expected = vessel.compute(
                marine.relative_angle(0.0, math.degrees(math.atan2(u, v)) + 180.0),
                marine.beaufort_force(math.sqrt(u * u + v * v)), height,
                marine.relative_angle(0.0, wave_from))
            assert got.view(np.int32) == np.float32(expected).view(np.int32), (t, y, x)


def memory_at_sizes(cluster, directory, factors):
    """Runs the hindcast at each size: (output bytes, client peak, worker peaks) each."""
    for _ in range(2):
        cluster.add_worker("--memory-limit", MEMORY_LIMIT)
    worker_peaks(cluster.address)
    table = []
    for factor in factors:
        shape = (BASE_SHAPE[0] * factor, *BASE_SHAPE[1:])
        output = directory / f"{factor}x.zarr"
        status, log, client_peak = hindcast_run(
            "--synthetic-shape", ",".join(map(str, shape)), "--scheduler", cluster.address,
            "--output", output, cwd=directory, name=f"{factor}x")
        assert status == 0, log
        check_sampled_cells(output, shape)
        stored = sum(len(data) for data in store_files(output).values())
        table.append((math.prod(shape) * 4, stored, client_peak, worker_peaks(cluster.address)))
        print(f"{factor:>3}×: output {table[-1][0]} bytes ({stored} stored), client peak "
              f"{client_peak}, worker peaks {table[-1][3]}")
    assert "Pausing" not in cluster.logs() and "spill" not in cluster.logs().lower()
    for _, _, client_peak, peaks in table:
        assert client_peak < table[0][2] + CLIENT_MARGIN
        assert max(peaks) < MEMORY_LIMIT
    return table


def test_memory_is_bounded_at_1x_and_4x(tmp_path, cluster):
    memory_at_sizes(cluster, tmp_path, (1, 4))


@pytest.mark.slow
def test_memory_is_bounded_at_16x_with_an_output_four_times_the_client(tmp_path, cluster):
    table = memory_at_sizes(cluster, tmp_path, (1, 4, 16))
    output, _, client_peak, _ = table[-1]
    assert output >= 4 * client_peak


@pytest.fixture(scope="module")
def undisturbed(tmp_path_factory):
    """The store of the fault runs' arguments, computed without a fault."""
    output = tmp_path_factory.mktemp("undisturbed") / "whole.zarr"
    status, log, _ = hindcast_run(*FAULT_RUN, "--workers", 2, "--output", output,
                                  cwd=output.parent)
    assert status == 0, log
    assert len(chunk_files(output)) == FAULT_CHUNKS
    return output


def stop_halfway(output, run, action):
    """Waits until about half the chunks are written, then does `action`."""
    wait_until(lambda: len(chunk_files(output)) >= FAULT_CHUNKS // 2
               or run.process.poll() is not None, "half the chunks", 240)
    assert run.process.poll() is None, "the run ended before it could be disturbed"
    action()


def test_a_worker_killed_halfway_costs_no_data(tmp_path, cluster, undisturbed):
    cluster.add_worker()
    victim = cluster.add_worker("--no-nanny")  # killed, it stays dead
    output = tmp_path / "out.zarr"
    run = Hindcast(*FAULT_RUN, "--scheduler", cluster.address, "--output", output,
                   cwd=tmp_path)
    try:
        stop_halfway(output, run, lambda: os.killpg(victim.pid, signal.SIGKILL))
        status, log, _ = run.finish()
    finally:
        run.stop()
    assert status == 0, log
    assert "Worker lost: tcp://127.0.0.1:" in log
    assert store_files(output) == store_files(undisturbed)


DAMAGES = {  # done to a copy of a finished store's chunks: the chunks a resume must name
    "a chunk lost": ([], lambda chunks: os.unlink(chunks / "5.0.0.0")),  # not the last
    "a flipped byte": ([7], lambda chunks: (chunks / "7.0.0.0").write_bytes(bytes(
        byte ^ 16 * (k == 40) for k, byte in enumerate((chunks / "7.0.0.0").read_bytes())))),
    "a truncated chunk": ([11], lambda chunks: os.truncate(chunks / "11.0.0.0", 100)),
    "two chunks swapped": ([3, 9], lambda chunks: [os.rename(chunks / a, chunks / b) for a, b in
                                                   (("3.0.0.0", "s"), ("9.0.0.0", "3.0.0.0"),
                                                    ("s", "9.0.0.0"))]),
}


def checked_chunks(output):
    """The chunks with their checksums: those a resume keeps, unless damaged."""
    return {entry.name: (entry.inode(), entry.stat().st_mtime_ns)
            for entry in chunk_files(output)
            if (output / "speed_change" / f".checksum.{entry.name.split('.')[0]}").exists()}


@pytest.mark.parametrize("how", ["Ctrl-C", "SIGKILL", *DAMAGES])
def test_a_stopped_run_resumes_writing_only_missing_chunks(tmp_path, undisturbed, how):
    output = tmp_path / "out.zarr"
    named, damage = DAMAGES.get(how, ([], None))
    if damage:
        shutil.copytree(undisturbed, output)
        damage(output / "speed_change")
    else:
        run = Hindcast(*FAULT_RUN, "--workers", 2, "--output", output, cwd=tmp_path)
        try:
            # Ctrl-C reaches the terminal's whole process group; SIGKILL takes the client
            # and its local cluster at once
            stop_halfway(output, run, lambda: os.killpg(
                run.process.pid, signal.SIGINT if how == "Ctrl-C" else signal.SIGKILL))
            status, log, _ = run.finish()
        finally:
            run.stop()
    before = checked_chunks(output)
    for index in named:
        del before[f"{index}.0.0.0"]
    if how == "Ctrl-C":
        assert status == 130, log
        assert (f"veltrum-hindcast: interrupted with {len(chunk_files(output))} of "
                f"{FAULT_CHUNKS} chunks in {output}; the same command with --resume writes "
                "the rest") == log.splitlines()[-1]
    elif how == "SIGKILL":
        assert status == -signal.SIGKILL
    assert 0 < len(before) < FAULT_CHUNKS

    # a damaged store resumed by this process's threads, a stopped run by a local cluster
    status, log, _ = hindcast_run(*FAULT_RUN, "--workers", 0 if damage else 2, "--output",
                                  output, "--resume", cwd=tmp_path, name="resumed")
    assert status == 0, log
    assert (f"Resuming: {len(before)} of {FAULT_CHUNKS} chunks written before and verified, "
            f"{FAULT_CHUNKS - len(before)} to write") in log
    for index in named:
        assert (f"Chunk {index} of {output} (time steps {2 * index} to {2 * index + 1}) fails "
                "its checksum (changed, truncated or misplaced): computed again") in log
    after = checked_chunks(output)
    assert {name: after[name] for name in before} == before  # none written again
    assert store_files(output) == store_files(undisturbed)


def test_workers_of_other_versions_are_refused_by_name(tmp_path, cluster):
    cluster.add_worker()
    other = tmp_path / "other"
    (other / "veltrum_tools").mkdir(parents=True)
    (other / "veltrum_tools" / "__init__.py").write_text('__version__ = "0.0.1"\n')
    cluster.add_worker(env={"PYTHONPATH": str(other)})
    address = next(line.split("Start worker at:")[1].split()[0]
                   for line in (cluster.directory / "worker1.log").read_text().splitlines()
                   if "Start worker at:" in line)
    status, log, _ = hindcast_run("--synthetic-shape", "4,5,6", "--scheduler", cluster.address,
                                  cwd=tmp_path)
    assert status == 2, log
    error = [line for line in log.splitlines() if "error" in line]
    assert error == [f"veltrum-hindcast: error: workers with other versions than this client's "
                     f"veltrum {__version__} and veltrum_tools {__version__}: "
                     f"{address} (veltrum_tools 0.0.1)"]
