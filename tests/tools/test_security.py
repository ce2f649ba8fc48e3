"""The scheduler's address, checked before any connection: off this machine only encrypted
and authenticated (tls://), or with --insecure. Nothing here connects anywhere."""

import pytest

from veltrum_tools.errors import UsageError
from veltrum_tools.hindcast.cluster import check_address

OPEN = "scheduler off this machine is neither encrypted nor authenticated"


@pytest.mark.parametrize("address, insecure, tls, refused", [
    ("tcp://10.0.0.5:8786", False, False, f"a tcp:// {OPEN}"),
    ("10.0.0.5:8786", False, False, f"a tcp:// {OPEN}"),
    ("TCP://scheduler.example.org:8786", False, False, f"a tcp:// {OPEN}"),
    ("tcp://localhost.example.org:8786", False, False, f"a tcp:// {OPEN}"),
    ("tcp://0.0.0.0:8786", False, False, f"a tcp:// {OPEN}"),
    ("tcp://[2001:db8::1]:8786", False, False, f"a tcp:// {OPEN}"),
    ("ws://10.0.0.5:8786", False, False, f"a ws:// {OPEN}"),
    ("tcp://127.0.0.1:8786", False, True, "need a tls:// scheduler address"),
    ("tcp://10.0.0.5:8786", True, False, None),
    ("tcp://127.0.0.1:8786", False, False, None),
    ("127.3.2.1:8786", False, False, None),
    ("tcp://[::1]:8786", False, False, None),
    ("tcp://[::ffff:127.0.0.1]:8786", False, False, None),
    ("tcp://localhost:8786", False, False, None),
    ("tls://10.0.0.5:8786", False, True, None),
    ("tls://10.0.0.5:8786", False, False, None),  # Dask's configuration may hold the TLS
])
def test_an_open_scheduler_off_this_machine_is_refused(address, insecure, tls, refused):
    if refused is None:
        check_address(address, insecure, tls)
        return
    with pytest.raises(UsageError) as error:
        check_address(address, insecure, tls)
    assert refused in str(error.value) and (tls or "docs/cluster.md" in str(error.value))
