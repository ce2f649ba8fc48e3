"""The scheduler's address, checked before any connection: nothing here connects anywhere."""

from contextlib import nullcontext

import pytest

from veltrum_tools.errors import UsageError
from veltrum_tools.hindcast.cluster import check_address

OPEN = ["tcp://10.0.0.5:8786", "scheduler.example.org:8786", "TCP://localhost.example.org:1",
        "tcp://0.0.0.0:8786", "ws://[2001:db8::1]:8786"]
LOOPBACK_OR_TLS = ["127.3.2.1:8786", "tcp://[::ffff:127.0.0.1]:1", "tcp://localhost:8786",
                   "tls://10.0.0.5:8786"]  # Dask's configuration may hold the TLS


@pytest.mark.parametrize("address", OPEN + LOOPBACK_OR_TLS)
def test_an_open_scheduler_off_this_machine_is_refused(address):
    check_address(address, insecure=True, tls_given=address.startswith("tls"))
    for tls, refusal in ((False, address in OPEN and r"a (tcp|ws):// scheduler off this "
                          r"machine is neither encrypted nor authenticated.*docs/cluster\.md"),
                         (True, not address.startswith("tls") and "need a tls:// scheduler")):
        with pytest.raises(UsageError, match=refusal) if refusal else nullcontext():
            check_address(address, insecure=False, tls_given=tls)
