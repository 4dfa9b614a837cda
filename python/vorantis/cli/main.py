"""The parser and the entry point: exit statuses, one-line errors, quiet broken pipes."""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from typing import Optional, Sequence

import vorantis

from . import containers, crypt, demo, frames, info, masks, sheet
from .errors import (DEBUG_ENV, EXIT_BROKEN_PIPE, EXIT_INTERNAL, EXIT_NOT_MEDIA, EXIT_REFUSED,
                     EXIT_USAGE, PROG, Refused, UsageError, one_line)

EPILOG = (f"Exit status: 0 success; {EXIT_REFUSED} refused input (one line on standard error naming "
          f"the file and the reason); {EXIT_USAGE} bad usage; {EXIT_NOT_MEDIA} 'decrypt' wrote bytes "
          f"that are not a recognisable video or container (wrong key?); {EXIT_INTERNAL} internal "
          f"error (a fault of the tool, not of the input: one line, the traceback with --debug or "
          f"{DEBUG_ENV}=1); {EXIT_BROKEN_PIPE} when standard output is closed early (as in "
          "'... | head'). Reports and progress go to standard error, data to standard output; "
          "--json output carries 'schema_version'.")


def _version() -> str:
    version = getattr(vorantis, "__version__", None)
    if version is None:  # a source tree without the generated version
        from importlib import metadata

        try:
            version = metadata.version("vorantis")
        except metadata.PackageNotFoundError:
            version = "unknown"
    return str(version)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, epilog=EPILOG,
        description="Inspect, pack, unpack, encrypt and play the video assets of an avatar model.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument("--debug", action="store_true",
                        help=f"show the traceback of an internal error (also: {DEBUG_ENV}=1)")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in (info, containers, crypt, frames, masks, sheet, demo):
        command.register(sub)
    return parser


def _run(argv: Optional[Sequence[str]]) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version (0) or a usage error (2)
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    try:
        return args.func(args)
    except UsageError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except Refused as exc:
        print(f"{PROG}: error: {exc.path}: {exc.reason}", file=sys.stderr)
        return EXIT_REFUSED
    except (BrokenPipeError, KeyboardInterrupt):
        raise
    except Exception as exc:  # a fault of the tool: one line, the traceback on request
        if args.debug or os.environ.get(DEBUG_ENV, "0") not in ("", "0"):
            traceback.print_exc()
        print(f"{PROG}: internal error: {type(exc).__name__}: {one_line(exc)} "
              f"(a fault of the tool, not of the input; --debug shows where)", file=sys.stderr)
        return EXIT_INTERNAL


def _silence_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's final flush
    of what is still buffered does not fail a second time."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the tool; returns the exit status."""
    try:
        code = _run(argv)
        sys.stdout.flush()  # a closed pipe shows here, inside the handler
        return code
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
