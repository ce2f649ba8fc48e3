"""Files the tools write, and how: never over an existing output unless --overwrite is given,
never over an input, never into a folder without the room for them, and each written to a
temporary name in its folder and then renamed, so that an earlier file survives whatever
happens during the write (a full disk, Ctrl-C, a killed process). Figures are written the
same way by every tool."""

from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from veltrum_tools.errors import StoreFault, UsageError
from veltrum_tools.runtime import hold

if TYPE_CHECKING:
    from matplotlib.figure import Figure

# The free space an output needs beyond its planned size: a tenth more, and 1 MB at least
# (a file system's own blocks, the metadata of a store, a figure of unknown size).
ROOM_SHARE = 1.1
ROOM_MINIMUM = 1_000_000
FIGURE_BYTES = 4_000_000  # the room a figure takes, at most


def refuse_existing(option: str, path: str, overwrite: bool) -> None:
    """UsageError when the output exists and --overwrite was not given."""
    if os.path.lexists(path) and not overwrite:
        raise UsageError(f"{option} {path} exists: add --overwrite to replace it, or name "
                         "another")


def inside(path: str, folder: str) -> bool:
    return path != folder and os.path.commonpath([path, folder]) == folder


def refuse_inputs(option: str, path: str, inputs: Sequence[str]) -> None:
    """UsageError when the output is one of the inputs, inside one (a zarr store) or holds
    one, whatever the links and relative names that lead there."""
    output = os.path.realpath(path)
    for given in inputs:
        source = os.path.realpath(given)
        if output == source or inside(output, source) or inside(source, output):
            raise UsageError(f"{option} {path} is also an input ({given}): name another output")


def check_room(option: str, path: str, planned: int) -> None:
    """Before any work: the output's folder takes a new file, and has room for `planned`
    bytes with a margin. A folder that cannot be written to is the user's to change (usage);
    a disk too full is a fault of the disk (StoreFault)."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise UsageError(f"{option}: cannot write to {folder}: "
                         f"{error.strerror or error}") from None
    free = shutil.disk_usage(folder).free
    needed = max(int(planned * ROOM_SHARE), planned + ROOM_MINIMUM)
    if needed > free:
        raise StoreFault(f"{option} {path} needs about {size(needed)} and {folder} has "
                         f"{size(free)} free")


def size(count: float) -> str:
    """A number of bytes as people read it: 7.1 KB, 1.1 GB."""
    for unit in ("bytes", "KB", "MB", "GB", "TB"):
        if count < 1000 or unit == "TB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1000
    raise AssertionError


def umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def write_atomically(path: str, write: Callable[[str], None]) -> None:
    """Writes a file by write(temporary name) in its folder, synced, then renamed over
    `path`: readers see the earlier file or the complete new one, never a part. A failure to
    write (a full disk, say) is a StoreFault; on any failure, Ctrl-C included, the temporary
    file is removed and the earlier file is left as it was."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = None
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial", dir=folder)
        os.close(handle)
        hold("write")
        write(temporary)
        handle = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)
        os.chmod(temporary, 0o666 & ~umask())
        os.replace(temporary, path)
    except BaseException as error:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        if isinstance(error, OSError):
            raise StoreFault(f"cannot write {path}: {error.strerror or error}") from None
        raise


def write_bytes(path: str, data: bytes | memoryview) -> None:
    """write_atomically of bytes in hand, in slices, so that Ctrl-C is seen between them."""
    def write(temporary: str) -> None:
        with open(temporary, "wb") as sink:
            view = memoryview(data)
            for start in range(0, len(view), 1 << 24):
                sink.write(view[start:start + (1 << 24)])

    write_atomically(path, write)


def save_figure(figure: Figure, path: str) -> None:
    """Writes a PNG without the tool's version in it, so the same data gives the same file,
    by write_atomically."""
    from matplotlib import pyplot

    try:
        write_atomically(path, lambda temporary: figure.savefig(
            temporary, format="png", dpi=90, metadata={"Software": None}))
    finally:
        pyplot.close(figure)
