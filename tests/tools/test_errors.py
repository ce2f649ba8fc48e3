"""How a command ends, by the kind of failure: the user's in one line with status 2, a fault
of the cluster, the store or the code in one line naming it with status 1 (its traceback
under --debug), Ctrl-C with 130."""

import pytest

from veltrum_tools.command import run_main
from veltrum_tools.errors import ClusterFault, MissingExtra, StoreFault, UsageError


@pytest.mark.parametrize("error, status, line", [
    (UsageError("--speed-kts wants a speed"), 2, "tool: error: --speed-kts wants a speed"),
    (MissingExtra("needs the grid extra"), 2, "tool: needs the grid extra"),
    (ClusterFault("a chunk failed: OSError: disk"), 1,
     "tool: the cluster failed: a chunk failed: OSError: disk"),
    (StoreFault("cannot write out.nc"), 1, "tool: the output failed: cannot write out.nc"),
    (TypeError("unsupported operand"), 1,
     "tool: internal error: TypeError: unsupported operand (--debug shows where)"),
    (OverflowError("too large"), 1,
     "tool: internal error: OverflowError: too large (--debug shows where)"),
    (KeyboardInterrupt(), 130, "tool: interrupted"),
])
@pytest.mark.parametrize("debug", [False, True])
def test_a_run_ends_by_the_kind_of_failure(capsys, monkeypatch, error, status, line, debug):
    monkeypatch.delenv("VELTRUM_DEBUG", raising=False)
    def body():
        raise error

    assert run_main("tool", body, ["--debug"] if debug else []) == status
    lines = capsys.readouterr().err.strip().splitlines()
    if debug and status == 1:  # the traceback, then the line
        assert lines[0] == "Traceback (most recent call last):"
        assert lines[-1] == line.removesuffix(" (--debug shows where)")
    else:
        assert lines == [line]
