"""How a run meets what happens around it: Ctrl-C deferred over what must not be cut in
two, and the points where a test holds a run.

This module imports nothing from the package: every other module may import it.
"""

from __future__ import annotations

import os
import pathlib
import signal
import time
from collections.abc import Iterator
from contextlib import contextmanager

# Name a folder and a point where tests hold a run (hold): never set otherwise.
HOLD, HOLD_AT = "VELTRUM_TEST_HOLD", "VELTRUM_TEST_HOLD_AT"


@contextmanager
def interrupts_deferred() -> Iterator[None]:
    """In the main thread: a Ctrl-C that arrives during the block raises KeyboardInterrupt
    once the block is left, rather than being lost or cutting the block short. SIGINT is
    blocked in this thread, so that the processes started inside inherit it blocked (the
    workers of a local cluster never see a Ctrl-C meant for this process, which a terminal
    sends to the whole process group: this process stops them), and recorded meanwhile, for
    a thread that does not block it may receive it. An ignored SIGINT (nohup, a background
    job) stays ignored."""
    received: list[int] = []
    handler = signal.getsignal(signal.SIGINT)
    if handler is signal.default_int_handler:
        signal.signal(signal.SIGINT, lambda number, frame: received.append(number))
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)  # one pending is received now
        if handler is signal.default_int_handler:
            signal.signal(signal.SIGINT, handler)
    if received:
        raise KeyboardInterrupt


def hold(point: str) -> None:
    """A point where a test holds the run, so that it can interrupt, fill a disk or stop a
    process at a known moment: with VELTRUM_TEST_HOLD naming a folder and VELTRUM_TEST_HOLD_AT
    this point, creates POINT.reached there and waits until POINT.go appears. Returns at once
    otherwise."""
    folder = os.environ.get(HOLD)
    if not folder or os.environ.get(HOLD_AT) != point:
        return
    pathlib.Path(folder, f"{point}.reached").touch()
    while not os.path.exists(os.path.join(folder, f"{point}.go")):
        time.sleep(0.02)
