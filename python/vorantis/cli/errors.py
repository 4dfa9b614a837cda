"""How the tool fails: one line naming the file and the reason (exit 1), bad usage (exit 2),
a decryption whose result is not media (exit 3), or a fault of the tool itself (exit 70)."""

from __future__ import annotations

import contextlib
import json
import os
import struct
from typing import Iterator, Optional

PROG = "vorantis-video"

# Exit statuses, a contract for scripts (the README lists them).
EXIT_OK = 0
EXIT_REFUSED = 1
EXIT_USAGE = 2
# `decrypt` wrote its output, but the result is not a recognisable video or container.
EXIT_NOT_MEDIA = 3
# A fault of the tool or of a library it calls, not of the input (sysexits' EX_SOFTWARE).
# One line; the traceback with --debug or DEBUG_ENV set to a value other than 0.
EXIT_INTERNAL = 70
DEBUG_ENV = "VORANTIS_DEBUG"
# Standard output closed by its reader (`... | head`): the status a shell reports for a
# process ended by SIGPIPE (128 + 13), as for any Unix tool in the same pipeline.
EXIT_BROKEN_PIPE = 141

UNDECODABLE = "not a decodable video"


class Refused(Exception):
    """An input the tool will not process; reported as one line, exit status 1."""

    def __init__(self, path: object, reason: str):
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


class UsageError(Exception):
    """Bad usage detected after parsing; exit status 2."""


# Failures of Python, PyAV and h5py that mean "this input cannot be used". MemoryError and
# OverflowError come from sizes read out of a damaged file.
REFUSABLE = (OSError, ValueError, RuntimeError, KeyError, EOFError, struct.error,
              MemoryError, OverflowError)


def one_line(text: object) -> str:
    lines = [line.strip() for line in str(text).splitlines() if line.strip()]
    return "; ".join(lines)


def printable(name: str) -> str:
    """A name from a file as it may be shown on a terminal: control characters escaped."""
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in name)


def plural(n: int, noun: str, nouns: Optional[str] = None) -> str:
    """"1 frame", "2 frames"."""
    return f"{n} {noun}" if n == 1 else f"{n} {nouns or noun + 's'}"


def _library(exc: BaseException) -> str:
    """The top-level package that defines the exception's type ("av", "h5py", "builtins")."""
    return type(exc).__module__.split(".")[0]


# PyAV's errors that report a fault of FFmpeg or of PyAV itself rather than of the input.
_AV_FAULTS = ("BugError", "PyAVCallbackError", "ExternalError")


def about_the_input(exc: BaseException) -> bool:
    """Whether an exception raised while reading an input says that the input is unusable.

    FFmpeg's errors (PyAV's `av.error.FFmpegError` family, all defined in `av`) are, but for
    those that name a bug; so are h5py's own, and Python's `REFUSABLE` ones. Anything else,
    a `TypeError` or `AttributeError` from a changed library API above all, is a fault of
    the tool."""
    library = _library(exc)
    if library == "av":
        return not any(c.__name__ in _AV_FAULTS for c in type(exc).__mro__)
    return library == "h5py" or isinstance(exc, REFUSABLE)


def _is_av_invalid_data(exc: BaseException) -> bool:
    return _library(exc) == "av" and (type(exc).__name__ == "InvalidDataError"
                                      or "Invalid data found" in str(exc))


def own_words(exc: BaseException) -> str:
    """The library's own message for an exception, in one line, without an errno prefix
    ("Invalid data found when processing input" for PyAV's `InvalidDataError`)."""
    strerror = getattr(exc, "strerror", None)  # OSError's, and PyAV's FFmpegError's
    if isinstance(strerror, str) and strerror.strip():
        return one_line(strerror)
    return one_line(str(exc)) or type(exc).__name__


def reason(exc: BaseException) -> str:
    """What went wrong, in one line, from an exception raised on a bad input."""
    if _is_av_invalid_data(exc):
        return UNDECODABLE
    if isinstance(exc, MemoryError):
        return "a size in the file is too large to be real (damaged file?)"
    if isinstance(exc, OverflowError):
        return "a size or offset in the file is out of range (damaged file?)"
    if isinstance(exc, struct.error):
        return "cut short (damaged file?)"
    if isinstance(exc, json.JSONDecodeError):
        return f"not valid JSON ({exc})"
    if isinstance(exc, UnicodeError):
        return f"not valid UTF-8 text ({exc.reason})" if hasattr(exc, "reason") else f"not valid text ({exc})"
    strerror = getattr(exc, "strerror", None)
    if isinstance(exc, OSError) and strerror:
        return one_line(strerror)
    if isinstance(exc, KeyError) and exc.args:
        return one_line(exc.args[0])
    return one_line(str(exc)) or type(exc).__name__


@contextlib.contextmanager
def refusing(path: object, hint: Optional[str] = None, video: bool = False) -> Iterator[None]:
    """Turns the failures that an unusable input causes into `Refused` naming `path`.

    `video`: the input is being opened or decoded as a video, so that whatever PyAV
    refuses reads "not a decodable video", its own words added. `hint` is added to
    that reason (for example: check the key)."""
    try:
        yield
    except (Refused, BrokenPipeError):
        raise
    except Exception as exc:
        if not about_the_input(exc):
            raise
        library = _library(exc)
        where = getattr(exc, "filename", None) if isinstance(exc, OSError) and library != "av" else None
        text = reason(exc)
        if video and library == "av" and text != UNDECODABLE:
            text = f"{UNDECODABLE}: {text}"
        if hint and text.startswith(UNDECODABLE):
            text = f"{text} ({hint})"
        raise Refused(where if isinstance(where, (str, os.PathLike)) else path, text) from exc
