"""Progress bars on standard error, drawn by tqdm, and only on a terminal unless asked for.

tqdm rather than a hand-drawn bar: it shows the rate and the time left, fits the
terminal's width and redraws at a bounded rate, which a bar of our own would have
to re-create (bench/bench_cli_output.py compares the two).
"""

from __future__ import annotations

import argparse
import sys
from typing import Optional

# On a terminal, a bar appears only for work that lasts longer than this (seconds).
AUTO_DELAY = 0.5


def progress_option(parser: argparse.ArgumentParser, work: Optional[str]) -> None:
    """Adds --progress/--no-progress. `work`: what the bar follows, for a command that
    draws one; None for a command that draws none, which accepts the option (a script
    may pass it to every command) without listing it in its help."""
    text = argparse.SUPPRESS if work is None else (
        f"draw a progress bar of {work} on standard error (default: only when standard error "
        f"is a terminal and the work lasts over {AUTO_DELAY:g} s)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None, help=text)


class Progress:
    """A bar for `total` units of work, or nothing at all when it is not wanted.

    `wanted` is the user's choice: True (always), False (never) or None (when standard
    error is a terminal). As a context manager, the bar is completed when the block
    ends normally and removed when it raises."""

    def __init__(self, label: str, total: int, wanted: Optional[bool], unit: str = "B"):
        auto = wanted is None
        if auto:
            wanted = _stderr_is_terminal()
        self.enabled = bool(wanted) and total > 0
        self._bar = None
        if self.enabled:
            from tqdm import tqdm

            scale = unit == "B"
            self._bar = tqdm(total=total, desc=label, unit=unit, unit_scale=scale,
                             unit_divisor=1024 if scale else 1000, file=sys.stderr,
                             leave=True, dynamic_ncols=True,
                             delay=AUTO_DELAY if auto else 0)

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None:
            self.finish()
        else:
            self.abandon()

    def update(self, done: int) -> None:
        """Moves the bar to `done` units of the total."""
        if self._bar is not None and done > self._bar.n:
            self._bar.update(done - self._bar.n)

    def finish(self) -> None:
        if self._bar is not None:
            self.update(self._bar.total)
            self._bar.close()
            self._bar = None

    def abandon(self) -> None:
        """Removes the bar without completing it (the work failed)."""
        if self._bar is not None:
            self._bar.leave = False
            self._bar.close()
            self._bar = None


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False
