"""The console scripts without their extras: one line naming the extra, exit status 2."""

import subprocess
import sys

import pytest

# Runs a console script's entry with the named modules made unimportable.
RUN_WITHOUT = """
import sys
for name in sys.argv[3].split(","):
    sys.modules[name] = None
sys.argv = [sys.argv[1], *sys.argv[4:]]
from veltrum_tools import cli
sys.exit(getattr(cli, sys.argv[0].removeprefix("veltrum-"))())
"""


@pytest.mark.parametrize("tool, hidden, args, says", [
    ("veltrum-hindcast", "xarray", [], "needs the grid extra (xarray is missing)"),
    ("veltrum-hindcast", "h5py", ["--help"], "needs the grid extra (h5py is missing)"),
    ("veltrum-polar", "matplotlib", ["--plot", "p.png"],
     "--plot needs the plot extra (matplotlib is missing)"),
    ("veltrum-voyage", "zarr", ["--weather", "w.nc"],
     "--weather needs the grid extra (zarr is missing)"),
])
def test_missing_extra_is_named_in_one_line(tmp_path, tool, hidden, args, says):
    result = subprocess.run([sys.executable, "-c", RUN_WITHOUT, tool, "unused", hidden, *args],
                            capture_output=True, text=True, cwd=tmp_path, timeout=60)
    extra = says.split(" extra")[0].split()[-1]
    assert (result.returncode, result.stdout) == (2, ""), result.stderr
    assert result.stderr == f"{tool}: {says}: pip install 'veltrum[{extra}]'\n"
