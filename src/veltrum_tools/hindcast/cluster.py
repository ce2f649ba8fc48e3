"""The hindcast on a Dask cluster: the client, the workers' versions, the chunks run batch by
batch and watched, their summaries added up on the cluster."""

# Dask and distributed declare types for part of their API only.
# mypy: untyped-calls-exclude="dask,distributed"

from __future__ import annotations

import asyncio
import concurrent.futures
import ipaddress
import logging
import os
import ssl
import sys
import time
import urllib.parse
import warnings
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np

from veltrum_tools.errors import ClusterFault, UsageError
from veltrum_tools.hindcast.plan import Plan
from veltrum_tools.hindcast.tasks import draw_progress, run_batches, unwritten_chunk
from veltrum_tools.runtime import hold, interrupts_deferred

if TYPE_CHECKING:
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]


Result = TypeVar("Result")
# Schemes whose connections are encrypted and authenticated (with Dask's TLS credentials).
SECURED = ("tls", "wss")
# Threads of each worker of the local cluster: the kernel, the codecs and the file reads
# release the interpreter lock, so a worker's second thread reads and writes chunks while
# the first computes; measured faster than one thread with one worker or two
# (docs/performance.md).
THREADS_PER_WORKER = 2


def is_loopback(host: str) -> bool:
    """Whether a host name or address is this machine's loopback, by its text alone."""
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return False
    mapped = getattr(address, "ipv4_mapped", None)
    return bool((mapped or address).is_loopback)


def check_address(address: str, insecure: bool, tls_given: bool) -> None:
    """Refuses, before any connection is tried, a scheduler address whose connections
    would be neither encrypted nor authenticated, off this machine, unless `insecure`: anyone
    who reaches such a scheduler runs code on every worker. TLS options want a tls://
    address."""
    scheme, found, _ = address.partition("://")
    scheme = scheme.lower() if found else "tcp"
    if scheme in SECURED:
        return
    if tls_given:
        raise UsageError(f"--tls-ca-file, --tls-cert and --tls-key need a tls:// scheduler "
                         f"address, not {address}")
    try:
        host = urllib.parse.urlsplit(f"{scheme}://{address.partition('://')[2] or address}"
                                     ).hostname or ""
    except ValueError:
        host = ""
    if not (insecure or is_loopback(host)):
        raise UsageError(
            f"--scheduler {address}: a {scheme}:// scheduler off this machine is neither "
            "encrypted nor authenticated, and whoever reaches it runs code on every worker: "
            "use tls:// with --tls-ca-file, --tls-cert and --tls-key (see docs/cluster.md), "
            "or add --insecure on a network you trust")


def security_of(ca_file: str | None, cert: str | None, key: str | None) -> Any:
    """The TLS credentials of the options, checked, or else those of Dask's own
    configuration (distributed.comm.tls.*, none by default)."""
    from distributed import Security

    if ca_file is None and cert is None and key is None:
        return Security()
    if ca_file is None or cert is None:
        raise UsageError("--tls-ca-file and --tls-cert go together, with --tls-key unless "
                         "the certificate's file holds its key")
    for option, path in (("--tls-ca-file", ca_file), ("--tls-cert", cert), ("--tls-key", key)):
        if path is not None and not os.path.isfile(path):
            raise UsageError(f"{option}: no file {path!r}")
    return Security(tls_ca_file=ca_file, tls_client_cert=cert, tls_client_key=key,
                    require_encryption=True)


def usable_security(security: Any, address: str) -> None:
    """Refuses credentials that cannot be read, and a tls:// address without any."""
    try:
        context = security.get_connection_args("client").get("ssl_context")
    except (OSError, ValueError, ssl.SSLError) as error:
        raise UsageError(f"cannot use the TLS credentials: {error}") from None
    if context is None and address.lower().startswith(SECURED):
        raise UsageError(f"the scheduler {address} wants TLS credentials: --tls-ca-file, "
                         "--tls-cert and --tls-key, or Dask's distributed.comm.tls "
                         "configuration (see docs/cluster.md)")


def quiet_dask(verbose: bool) -> None:
    """Dask's own log lines and warnings reach the user only when `verbose`: this tool says
    what matters in its own words. Set before the local cluster's workers start, which
    inherit the environment."""
    if verbose:
        return
    os.environ["DASK_LOGGING__DISTRIBUTED"] = "critical"  # the local cluster's workers
    import distributed  # noqa: F401 - which sets up its loggers, here replaced

    for name in ("distributed", "tornado"):
        logger = logging.getLogger(name)
        logger.handlers = [logging.NullHandler()]
        logger.propagate = False
    warnings.filterwarnings("ignore", module="distributed")


def start_client(scheduler: str | None, connect_timeout: float, workers: int,
                 security: Any = None, verbose: bool = False) -> Any:
    """A client of the given scheduler with the given credentials, whose workers must run
    this client's versions, or of a new local cluster of `workers` processes that only holders
    of its temporary TLS credentials can reach. The workers import the kernel from their own
    installed copy."""
    from distributed import Client, LocalCluster

    if scheduler is not None:
        usable_security(security, scheduler)
        try:
            client = Client(scheduler, timeout=connect_timeout, security=security)
        except (OSError, TimeoutError, ValueError) as error:
            raise UsageError(f"cannot reach the scheduler at {scheduler}: {error}") from None
        try:
            check_versions(client)
        except BaseException:
            client.close()
            raise
        return client
    cluster = None
    try:
        # The workers inherit a blocked Ctrl-C, which a terminal sends to all of them: this
        # process stops them. A Ctrl-C meanwhile is kept, and acted on once it is created.
        with interrupts_deferred():
            cluster = LocalCluster(n_workers=workers, threads_per_worker=THREADS_PER_WORKER,
                                   processes=True, host="127.0.0.1", dashboard_address=None,
                                   security=True,
                                   silence_logs=False if verbose else logging.WARNING)
            hold("cluster")
        return Client(cluster)
    except BaseException:
        if cluster is not None:
            cluster.close()
        raise


def check_versions(client: Any) -> None:
    """Refuses workers whose veltrum or veltrum_tools differ from this process's: they would
    mix other numbers into the output. The check is sent by value, so that it also runs
    where veltrum_tools is missing or another copy."""

    def installed() -> dict[str, str]:
        from importlib import import_module
        from importlib.metadata import PackageNotFoundError, version

        found = {}
        try:
            found["veltrum"] = version("veltrum")
        except PackageNotFoundError:
            found["veltrum"] = "(none)"
        try:
            found["veltrum_tools"] = str(import_module("veltrum_tools").__version__)
        except (ImportError, AttributeError):
            found["veltrum_tools"] = "(none)"
        return found

    ours = installed()
    theirs = client.run(installed, on_error="return")
    differ = []
    for address, found in sorted(theirs.items()):
        if not isinstance(found, dict):
            differ.append(f"{address} ({type(found).__name__})")
        elif found != ours:
            differ.append(f"{address} (" + ", ".join(
                f"{name} {found[name]}" for name in ours if found[name] != ours[name]) + ")")
    if differ:
        raise UsageError("workers with other versions than this client's veltrum "
                         f"{ours['veltrum']} and veltrum_tools {ours['veltrum_tools']}: "
                         + "; ".join(differ))


def close_client(client: Any) -> None:
    cluster = client.cluster
    client.close()
    if cluster is not None:
        cluster.close()


def verify_chunks(client: Any, store: str, plan: Plan) -> dict[int, str]:
    """The state of each chunk of a store to resume (kernel.chunk_state), each read and
    checked on the workers, which see the store where they write it."""
    from veltrum_tools.hindcast.kernel import chunk_state

    futures = client.map(chunk_state, [store] * plan.chunks, range(plan.chunks),
                         [len(plan.grid) + 2] * plan.chunks, pure=False)
    return dict(enumerate(cluster_call(client, lambda: client.gather(futures))))


def cluster_call(client: Any, call: Callable[[], Result]) -> Result:
    """call(), a lost connection to the scheduler said in one line that names it."""
    try:
        return call()
    except (OSError, TimeoutError, asyncio.CancelledError,
            concurrent.futures.CancelledError) as error:
        raise ClusterFault(f"lost the scheduler at {client.scheduler.address} "
                           f"({type(error).__name__})") from None


def run_chunks(client: Any, tasks: Sequence[Any], plan: Plan,
               keep: bool) -> tuple[FloatArray, FloatArray | None]:
    """Runs the chunks on the cluster, batch by batch: the client gets the summaries per
    cell, and the speed change itself only when `keep`."""
    return cluster_call(client, lambda: chunks_run(client, tasks, plan, keep))


def chunks_run(client: Any, tasks: Sequence[Any], plan: Plan,
               keep: bool) -> tuple[FloatArray, FloatArray | None]:
    def compute(wanted: list[Any], batch: Sequence[Any], done: int) -> Sequence[Any]:
        futures = client.compute(wanted)
        watch(client, futures, [task[0].key for task in batch], done, len(tasks))
        results: Sequence[Any] = client.gather(futures)
        return results

    return run_batches(tasks, plan, keep, compute)


def watch(client: Any, futures: Sequence[Any], keys: Sequence[Any], before: int,
          total: int) -> None:
    """Waits for a batch, with a progress bar on a terminal, and says so when a worker is
    lost: the chunks it held are computed again by the others."""

    def state(keys: Sequence[Any], dask_scheduler: Any = None) -> tuple[int, list[str]]:
        tasks = dask_scheduler.tasks
        finished = sum(1 for key in keys
                       if key not in tasks or tasks[key].state in ("memory", "released"))
        return finished, list(dask_scheduler.workers)

    draw = sys.stderr.isatty()
    known: set[str] = set()
    while True:
        finished, workers = client.run_on_scheduler(state, keys)
        for address in sorted(known - set(workers)):
            print(f"Worker lost: {address}; the chunks it held are computed again",
                  flush=True)
        known = set(workers)
        complete = all(future.done() for future in futures)
        if draw or complete:
            draw_progress(before + (len(keys) if complete else finished), total)
        if complete:
            break
        time.sleep(0.25)
    for future in futures:
        if future.status == "error":
            error = future.exception()
            if isinstance(error, OSError):
                raise unwritten_chunk(error)
            sys.stderr.write("\n")
            raise ClusterFault(f"a chunk failed: {type(error).__name__}: {error}")


class ClusterRunner:
    """The chunks run on a Dask cluster through its client."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self.workers = len(client.scheduler_info()["workers"])

    def describe(self) -> str:
        return f"Cluster: {self.workers} workers at {self.client.scheduler.address}"

    def verify_chunks(self, store: str, plan: Plan) -> dict[int, str]:
        return verify_chunks(self.client, store, plan)

    def run_chunks(self, tasks: Sequence[Any], plan: Plan,
                   keep: bool) -> tuple[FloatArray, FloatArray | None]:
        return run_chunks(self.client, tasks, plan, keep)

    def close(self) -> None:
        close_client(self.client)
