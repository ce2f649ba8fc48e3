"""The options of the weather, the same in both tools: which variable plays which part,
the ensemble member and the grid that wind and waves of two grids are put on."""

from __future__ import annotations

from typing import Any

from veltrum_tools.errors import UsageError
from veltrum_tools.weather.reader import GRIDS
from veltrum_tools.weather.roles import ROLES, parse_overrides


def add_weather_options(group: Any) -> None:
    """Adds --var, --member and --grid to an argparse parser or group."""
    group.add_argument("--var", action="append", metavar="ROLE=NAME",
                       help="take variable NAME for ROLE, one of " + ", ".join(ROLES)
                       + " (repeatable), e.g. --var swh=VHM0; by default each is found by "
                       "its CF standard_name or the product's name")
    group.add_argument("--member", type=int, metavar="N",
                       help="the ensemble member (number) to take from an ensemble")
    group.add_argument("--grid", choices=GRIDS, default="waves",
                       help="where wind and waves come on two grids, the grid both are put "
                       "on (the other interpolated: bilinear, linear in time; default: "
                       "%(default)s)")


def weather_options(args: Any) -> dict[str, Any]:
    """The reader's options from the parsed arguments; UsageError for a bad --var."""
    if args.member is not None and args.member < 0:
        raise UsageError(f"--member wants a member number of 0 or more, not {args.member}")
    return {"variables": parse_overrides(args.var), "member": args.member, "grid": args.grid}
