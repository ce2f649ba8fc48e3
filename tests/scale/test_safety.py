"""A run held and disturbed at each step ends in one line; TLS clusters refuse strangers."""

import os
import pathlib
import re
import signal
import subprocess
import time
from contextlib import suppress

import pytest
from distributed import Client, Security

from conftest import stop, wait_until
from test_cluster import Hindcast, hindcast_run

SMALL = ["--synthetic-shape", "8,5,6", "--chunk-hours", 2]  # 4 chunks
HINT = r"\d of 4 chunks in (disk/)?out.zarr; the same command with --resume writes the rest"


def held_run(directory, point, *args, act, worker=None):
    """The hindcast (or worker(env), if given) held at `point`, `act` done there: its end."""
    env = {"VELTRUM_TEST_HOLD": str(directory), "VELTRUM_TEST_HOLD_AT": point}
    run = Hindcast(*args, cwd=directory, env=None if worker and worker(env) else env)
    try:
        wait_until(lambda: (directory / f"{point}.reached").exists()
                   or run.process.poll() is not None, f"the run at {point}", 120)
        act(run)
        (directory / f"{point}.go").touch()
        return run.finish()[:2]
    finally:
        run.stop()


@pytest.fixture
def disk(tmp_path):
    """A 2 MB tmpfs (as root; else a folder), unmounted after the test whatever happened."""
    (tmp_path / "disk").mkdir()
    small = os.geteuid() == 0 and not subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", tmp_path / "disk"]).returncode
    yield tmp_path / "disk", small
    deadline = time.monotonic() + 60
    while small and subprocess.run(["umount", tmp_path / "disk"]).returncode:
        if time.monotonic() > deadline:  # detached now, freed once its last user ends
            subprocess.run(["umount", "--lazy", tmp_path / "disk"], check=True)
            break
        time.sleep(0.1)  # a worker that has not quite ended holds it a moment


def ctrl_c(run):
    os.killpg(run.process.pid, signal.SIGINT)


def fill(run):
    with open(run.log.parent / "disk" / "filler", "wb", buffering=0) as sink, suppress(OSError):
        while True:
            sink.write(bytes(1 << 14))


# The chunks held on a local cluster of one worker, or in this process's threads (--workers 0)
@pytest.mark.parametrize("point, workers, output, act, status, says", [
    ("cluster", 1, "out.zarr", ctrl_c, 130, "interrupted; nothing written"),
    ("chunk", 1, "out.zarr", ctrl_c, 130, f"interrupted with {HINT}"),
    ("chunk", 0, "out.zarr", ctrl_c, 130, f"interrupted with {HINT}"),
    ("write", 0, "out.nc", ctrl_c, 130, "interrupted"),
    (None, 0, "out.nc", None, 1, "--output disk/out.nc needs about 2.6 MB and .* free"),
    ("write", 0, "out.nc", fill, 1, "cannot write disk/out.nc: No space left on device"),
    ("cluster", 1, "out.zarr", fill, 1, "cannot create disk/out.zarr: No space left on device"),
    *(("chunk", workers, "out.zarr", fill, 1, "a chunk could not be written: No space left on "
       f"device; stopped with {HINT}") for workers in (1, 0)),
])
def test_a_run_stopped_at_each_step_says_so_in_one_line(tmp_path, disk, point, workers, output,
                                                        act, status, says):
    folder, small = disk  # the run's own log and scratch files outside it
    if act is not ctrl_c and not small:
        pytest.skip("a small disk is a tmpfs that only root mounts")
    (folder / "out.nc").write_bytes(b"earlier")
    args = [*SMALL, "--workers", workers, "--output", f"disk/{output}", "--overwrite"]
    if point is None:  # refused before any work
        result = hindcast_run("--synthetic-shape", "80,41,61", *args[2:], cwd=tmp_path)[:2]
    else:
        result = held_run(tmp_path, point, *args, act=act)
    assert result[0] == status and re.fullmatch(  # a full disk is a fault of the output's
        f"veltrum-hindcast: {'the output failed: ' * (status == 1)}{says}",
        result[1].splitlines()[-1]), result[1]
    assert "distributed." not in result[1]  # nor Dask's log lines
    assert ((folder / "out.nc").read_bytes(), list(folder.glob(".out.*"))) == (b"earlier", [])
    (folder / "filler").unlink(missing_ok=True)
    if not (folder / output).exists():  # an empty folder in the way is taken
        (folder / output).mkdir()
    args[-1] = "--resume" if point == "chunk" else "--overwrite"
    assert hindcast_run(*args, cwd=tmp_path, name="again")[0] == 0


def test_a_lost_scheduler_is_one_line_naming_it(tmp_path, cluster):
    status, log = held_run(tmp_path, "chunk", *SMALL[:4], "--scheduler", cluster.address,
                           "--connect-timeout", 5, "--output", "out.zarr",
                           worker=lambda env: cluster.add_worker(env=env),
                           act=lambda run: stop(cluster.processes[0], signal.SIGKILL))
    assert status == 1 and re.fullmatch(
        f"veltrum-hindcast: the cluster failed: lost the scheduler at {cluster.address} "
        rf"\(\w+\); stopped with {HINT}", log.splitlines()[-1]), log


def certificates(directory):
    """The options naming a CA, a key and a certificate it signed, made in `directory`."""
    docs = (pathlib.Path(__file__).parents[2] / "docs" / "cluster.md").read_text()
    commands = re.search(r"```sh\n(# The cluster's own certificate authority.*?)```", docs, re.S)[1]
    directory.mkdir(parents=True)
    subprocess.run(["bash", "-euc", commands], cwd=directory, check=True, capture_output=True)
    return ["--tls-ca-file", directory / "ca.pem", "--tls-cert", directory / "member.pem",
            "--tls-key", directory / "member.key"]


def refused(address, directory):
    """A client of another CA's credentials and a plain one, with no certificate at all."""
    ca, cert, key = map(str, certificates(directory / "other")[1::2])
    credentials = Security(tls_ca_file=ca, tls_client_cert=cert, tls_client_key=key)
    for address, credentials in ((address, credentials), (address.replace("tls", "tcp"), None)):
        with pytest.raises((OSError, TimeoutError)):
            Client(address, security=credentials, timeout=10).close()


@pytest.mark.parametrize("cluster", [certificates], indirect=True)
def test_a_tls_cluster_runs_the_hindcast_and_refuses_strangers(tmp_path, cluster):
    cluster.add_worker()
    status, log, _ = hindcast_run("--synthetic-shape", "6,5,6", "--scheduler", cluster.address,
                                  *cluster.options, cwd=tmp_path)
    assert status == 0 and f"Cluster: 1 workers at {cluster.address}" in log, log
    refused(cluster.address, tmp_path)
    assert "TLS handshake failed" in cluster.logs()


def test_the_local_cluster_refuses_a_client_without_its_credentials(tmp_path):
    status, log = held_run(tmp_path, "chunk", *SMALL, "--workers", 1, "--verbose",
                           act=lambda run: refused(
        re.search(r"Cluster: 1 workers at (tls://127\.0\.0\.1:\d+)", run.log.read_text())[1],
        tmp_path))
    assert status == 0 and "distributed.scheduler - INFO" in log, log  # --verbose: Dask's
