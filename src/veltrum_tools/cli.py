"""The console scripts: veltrum-voyage, veltrum-hindcast and veltrum-polar. Nothing in the
package imports this module.

Each imports its tool only once the tool's extra is known to be there, so that a missing
one is named in one line instead of failing an import with a traceback.
"""

from __future__ import annotations

import sys

from veltrum_tools.errors import MissingExtra, require_extra


def voyage() -> int:
    """veltrum-voyage: needs no extra; its --weather option needs the grid extra."""
    from veltrum_tools import voyage as tool

    return tool.main()


def hindcast() -> int:
    """veltrum-hindcast: needs the grid extra."""
    try:
        require_extra("grid")
    except MissingExtra as error:
        print(f"veltrum-hindcast: {error}", file=sys.stderr)
        return 2
    from veltrum_tools.hindcast import command

    return command.main()


def polar() -> int:
    """veltrum-polar: needs no extra; its --plot option needs the plot extra."""
    from veltrum_tools import polar as tool

    return tool.main()
