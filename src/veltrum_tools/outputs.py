"""Files the tools write besides their stores: figures, written the same way by every tool."""

from __future__ import annotations

from typing import TYPE_CHECKING

from veltrum_tools.errors import UsageError

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def save_figure(figure: Figure, path: str) -> None:
    """Writes a PNG without the tool's version in it, so the same data gives the same
    file; a failed write is bad input."""
    from matplotlib import pyplot

    try:
        figure.savefig(path, dpi=90, metadata={"Software": None})
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None
    finally:
        pyplot.close(figure)
