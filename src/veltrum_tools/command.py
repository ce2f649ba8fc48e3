"""What the three commands share: their parser, and how a run ends.

Bad input, a missing extra or a refusal of the model ends in one line and exit status 2;
a fault that is not the user's (the cluster, the store, the disk, the code) in one line
naming it and exit status 1, with its traceback under --debug; Ctrl-C in one line and
status 130; a closed pipe quietly.
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from collections.abc import Callable, Sequence
from typing import NoReturn

from veltrum_tools.errors import Fault, MissingExtra, UsageError


class Parser(argparse.ArgumentParser):
    """argparse, with its errors raised as UsageError instead of printed with the usage,
    and --debug for every command."""

    def __init__(self, **options: object) -> None:
        super().__init__(**options)  # type: ignore[arg-type]
        self.add_argument("--debug", action="store_true",
                          help="show the traceback of a failure that is not bad input")

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def add_overwrite(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    """--overwrite, the same in every tool."""
    parser.add_argument("--overwrite", action="store_true",
                        help="replace outputs that exist (never an input): each is written "
                        "under a temporary name and renamed once complete")


def wants_debug(argv: Sequence[str] | None) -> bool:
    """--debug on the command line, or VELTRUM_DEBUG set: known before the arguments are
    parsed, which may itself fail."""
    arguments = sys.argv[1:] if argv is None else argv
    return "--debug" in arguments or bool(os.environ.get("VELTRUM_DEBUG"))


def run_main(prog: str, body: Callable[[], None], argv: Sequence[str] | None = None) -> int:
    """Runs a command's body and returns its exit status."""
    debug = wants_debug(argv)
    try:
        body()
    except MissingExtra as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 2
    except UsageError as error:
        print(f"{prog}: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print(f"\n{prog}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # noqa: BLE001 - every other failure is a fault
        if debug:
            traceback.print_exc()
        if isinstance(error, Fault):
            print(f"{prog}: {error.what}: {error}", file=sys.stderr)
        else:
            print(f"{prog}: internal error: {type(error).__name__}: {error}"
                  + ("" if debug else " (--debug shows where)"), file=sys.stderr)
        return 1
    return 0
