"""The cluster nobody else can use, on loopback: a scheduler and workers with mutual TLS
and certificates made as docs/cluster.md makes them, the hindcast through them; clients
without a certificate of the cluster's CA refused, by that scheduler and by the local
cluster. Every connection goes to 127.0.0.1."""

import pathlib
import re
import socket
import ssl
import subprocess

import pytest
from distributed import Client, Security

from conftest import Cluster, holding, wait_until
from test_cluster import Hindcast, hindcast_run

DOCS = pathlib.Path(__file__).parents[2] / "docs" / "cluster.md"
TLS_FILES = ("--tls-ca-file", "ca.pem", "--tls-cert", "member.pem", "--tls-key", "member.key")


def certificates(directory):
    """The certificate authority, a member's key and certificate, made in `directory` by the
    commands of docs/cluster.md; the options that name them."""
    commands = next(block for block in re.findall(r"```sh\n(.*?)```", DOCS.read_text(), re.S)
                    if "openssl req -x509" in block)
    directory.mkdir()
    subprocess.run(["bash", "-euc", commands], cwd=directory, check=True, capture_output=True)
    return [str(directory / name) if name.endswith((".pem", ".key")) else name
            for name in TLS_FILES]


def security(options):
    ca, cert, key = options[1::2]
    return Security(tls_ca_file=ca, tls_client_cert=cert, tls_client_key=key,
                    require_encryption=True)


def refused(address, credentials):
    with pytest.raises((OSError, TimeoutError)):
        Client(address, security=credentials, timeout=10).close()


def refused_without_certificate(address, ca_file):
    """A TLS client that trusts the cluster's CA but shows no certificate of its own (Dask
    makes none such): the scheduler ends the connection at once."""
    host, port = address.removeprefix("tls://").rsplit(":", 1)
    context = ssl.create_default_context(cafile=ca_file)
    context.check_hostname = False
    with socket.create_connection((host, int(port)), timeout=10) as raw:
        try:
            with context.wrap_socket(raw) as connection:
                connection.sendall(b"\0" * 8)
                answer = connection.recv(1)  # TLS 1.3: the refusal comes with the first read
        except (ssl.SSLError, ConnectionError):
            answer = b""
    assert answer == b""


@pytest.fixture(scope="module")
def other_ca(tmp_path_factory):
    return certificates(tmp_path_factory.mktemp("other") / "certificates")


def test_a_tls_cluster_runs_the_hindcast_and_refuses_strangers(tmp_path, other_ca):
    options = certificates(tmp_path / "certificates")
    cluster = Cluster(tmp_path, *options)
    try:
        cluster.start()
        for _ in range(2):
            cluster.add_worker()
        assert cluster.address.startswith("tls://127.0.0.1:")
        status, log, _ = hindcast_run("--synthetic-shape", "6,5,6", "--scheduler",
                                      cluster.address, *options, cwd=tmp_path)
        assert status == 0, log
        assert f"Cluster: 2 workers at {cluster.address}" in log
        plain = cluster.address.replace("tls://", "tcp://")
        refused(cluster.address, security(other_ca))
        refused(plain, None)
        refused_without_certificate(cluster.address, options[1])
        assert "TLS handshake failed" in cluster.logs()
    finally:
        cluster.stop()


def test_the_local_cluster_refuses_a_client_without_its_credentials(tmp_path, other_ca):
    hold, env = holding(tmp_path, "chunk")
    run = Hindcast("--synthetic-shape", "6,5,6", "--workers", 1, "--verbose", cwd=tmp_path,
                   env=env)
    try:
        wait_until(lambda: (hold / "chunk.reached").exists() or run.process.poll() is not None,
                   "a chunk held")
        assert run.process.poll() is None, run.log.read_text()
        address = re.search(r"Cluster: 1 workers at (tls://127\.0\.0\.1:\d+)",
                            run.log.read_text())[1]
        refused(address.replace("tls://", "tcp://"), None)
        refused(address, security(other_ca))
        (hold / "chunk.go").touch()
        status, log, _ = run.finish()
    finally:
        run.stop()
    assert status == 0, log
    assert "distributed.scheduler - INFO" in log  # Dask's own log lines, which --verbose shows
