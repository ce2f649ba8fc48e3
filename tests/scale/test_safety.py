"""Nothing lost: Ctrl-C at any moment, a lost scheduler, a full disk at each step of a run
and a changed input, each ending in one line, an earlier output whole, and a store that the
next run finishes or refuses. The run is held at a known point by veltrum_tools.runtime.hold
while the test interrupts it, fills its disk or stops its scheduler."""

import os
import re
import signal
import subprocess
import time

import pytest

from conftest import holding, stop, wait_until
from test_cluster import Hindcast, hindcast_run
from veltrum_tools.hindcast.storm import synthetic_storm

SMALL = ["--synthetic-shape", "8,5,6", "--chunk-hours", 2]  # 4 chunks
EARLIER = b"an earlier file"
HINT = "the same command with --resume writes the rest"


def held_run(directory, point, *args, act, worker=None):
    """Runs the hindcast held at `point` (by its local cluster, or by a worker started with
    worker(env) on a cluster of its own), does `act` there, lets it go on: status, output."""
    folder, env = holding(directory, point)
    if worker is not None:
        worker(env)
    run = Hindcast(*args, cwd=directory, env=None if worker else env)
    try:
        wait_until(lambda: (folder / f"{point}.reached").exists()
                   or run.process.poll() is not None, f"the run at {point}", 120)
        assert run.process.poll() is None, run.log.read_text()
        act(run)
        (folder / f"{point}.go").touch()
        status, log, _ = run.finish()
    finally:
        run.stop()
    return status, log


def leftovers(directory):
    return [name for name in os.listdir(directory) if name.startswith(".")]


@pytest.mark.parametrize("point, output, says", [
    ("cluster", "out.zarr", "veltrum-hindcast: interrupted; nothing written"),
    ("chunk", "out.zarr", rf"veltrum-hindcast: interrupted with \d of 4 chunks in out.zarr; {HINT}"),
    ("write", "out.nc", "veltrum-hindcast: interrupted"),
])
def test_ctrl_c_at_any_moment_ends_in_one_line(tmp_path, point, output, says):
    (tmp_path / "out.nc").write_bytes(EARLIER)
    status, log = held_run(tmp_path, point, *SMALL, "--workers", 1, "--output", output,
                           "--overwrite", act=lambda run: os.killpg(run.process.pid,
                                                                    signal.SIGINT))
    assert status == 130, log
    assert re.fullmatch(says, log.splitlines()[-1]), log
    assert (tmp_path / "out.nc").read_bytes() == EARLIER and leftovers(tmp_path) == []
    assert "distributed." not in log


def test_a_lost_scheduler_is_one_line_naming_it(tmp_path, cluster):
    status, log = held_run(tmp_path, "chunk", *SMALL, "--scheduler", cluster.address,
                           "--connect-timeout", 5, "--output", "out.zarr",
                           worker=lambda env: cluster.add_worker(env=env),
                           act=lambda run: stop(cluster.scheduler, signal.SIGKILL))
    assert status == 1, log
    assert re.fullmatch(rf"veltrum-hindcast: the cluster failed: lost the scheduler at "
                        rf"{cluster.address} \(\w+\); stopped with \d of 4 chunks in "
                        rf"out.zarr; {HINT}", log.splitlines()[-1]), log


@pytest.fixture
def small_disk(tmp_path):
    """A 2 MB tmpfs, mounted for the test and unmounted after it, whatever happened."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk],
                             capture_output=True, text=True)
    if mounted.returncode:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    try:
        yield disk
    finally:  # a worker process that has not quite ended yet still holds it: not for long
        for _ in range(100):
            if subprocess.run(["umount", disk], capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        else:
            subprocess.run(["umount", "--lazy", disk], check=True)


def fill(disk):
    sink = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(sink, bytes(1 << 14))
    except OSError:
        pass
    finally:
        os.close(sink)


@pytest.mark.parametrize("point, output, says", [
    (None, "out.nc", "the output failed: --output out.nc needs about 2.6 MB and "),
    ("write", "out.nc", "the output failed: cannot write out.nc: No space left on device"),
    ("cluster", "out.zarr", "the output failed: cannot create out.zarr: No space left on device"),
    ("chunk", "out.zarr", "the output failed: a chunk could not be written: No space left on "
                          rf"device; stopped with \d of 4 chunks in out.zarr; {HINT}"),
])
def test_a_full_disk_is_one_line_and_the_next_run_finishes(small_disk, point, output, says):
    (small_disk / "out.nc").write_bytes(EARLIER)
    args = [*SMALL, "--workers", 1, "--output", output]
    if point is None:  # refused before any work
        status, log, _ = hindcast_run("--synthetic-shape", "80,41,61", *args[2:], "--overwrite",
                                      cwd=small_disk)
        assert "Cluster:" not in log
    else:
        status, log = held_run(small_disk, point, *args, "--overwrite",
                               act=lambda run: fill(small_disk))
    assert status == 1, log
    assert re.fullmatch(f"veltrum-hindcast: {says}.*", log.splitlines()[-1]), log
    assert (small_disk / "out.nc").read_bytes() == EARLIER
    assert [name for name in leftovers(small_disk) if not name.startswith(".out.zarr")] == []
    if point is not None:
        os.unlink(small_disk / "filler")
    if point == "cluster":  # nothing left in the way, not even an empty folder
        assert not (small_disk / "out.zarr").exists() and leftovers(small_disk) == []
        (small_disk / "out.zarr").mkdir()
    status, log, _ = hindcast_run(*args, "--resume" if point == "chunk" else "--overwrite",
                                  cwd=small_disk, name="again")
    assert status == 0, log


def test_a_resume_against_a_changed_input_is_refused_naming_it(tmp_path):
    weather = synthetic_storm((4, 5, 6)).compute(scheduler="synchronous")
    weather.to_netcdf(tmp_path / "w.nc", engine="h5netcdf")
    status, log, _ = hindcast_run("--input", "w.nc", "--workers", 1, "--output", "out.zarr",
                                  cwd=tmp_path)
    assert status == 0, log
    before = os.stat(tmp_path / "w.nc")
    weather["swh"][1, 2, 3] += 0.5  # provisional data replaced, same size and time
    weather.to_netcdf(tmp_path / "w.nc", engine="h5netcdf")
    os.utime(tmp_path / "w.nc", ns=(before.st_atime_ns, before.st_mtime_ns))
    assert os.stat(tmp_path / "w.nc").st_size == before.st_size
    status, log, _ = hindcast_run("--input", "w.nc", "--workers", 1, "--output", "out.zarr",
                                  "--resume", cwd=tmp_path, name="resumed")
    assert status == 2, log
    assert log.splitlines()[-1] == (
        "veltrum-hindcast: error: --resume: w.nc has changed since out.zarr was written (its "
        "size, time or content): its numbers would mix with the new ones; write a new output "
        "instead")
