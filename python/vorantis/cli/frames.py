"""`frames`: decoded frames written as PNG images."""

from __future__ import annotations

import argparse
import os
from typing import NoReturn, Optional

import numpy as np

from .containers import check_output_directory, output_directory, status
from .errors import Refused, UsageError, about_the_input, own_words, plural, refusing
from .png import encode_png
from .progress import Progress, progress_option
from .sources import Source


def cmd_frames(args: argparse.Namespace) -> int:
    if args.step == 0:
        raise UsageError("--step must not be 0")
    check_output_directory(args.output)  # before any decoding
    source = Source(args.source, args.key)
    with source.reader(cache_frames=args.step < 0) as reader:
        count = reader.size()
        indices = range(*slice(args.start, args.stop, args.step).indices(count))
        if not indices:
            raise Refused(args.source, f"the range selects no frame (start {args.start}, stop {args.stop}, "
                          f"step {args.step} over {plural(count, 'frame')})")
        output_directory(args.output)
        digits = max(6, len(str(max(count - 1, 0))))
        with Progress("frames", len(indices), args.progress, unit="frame") as bar:
            for n, index in enumerate(indices, 1):
                try:
                    frame = reader.get(index)
                except IndexError:  # counted, but the damaged stream ends before it
                    _stopped(args, index, count, n - 1, len(indices), "the stream ends early")
                except Exception as exc:
                    if not about_the_input(exc):
                        raise
                    _stopped(args, index, count, n - 1, len(indices),
                             f"{own_words(exc)} ({type(exc).__name__})", exc)
                target = os.path.join(args.output, f"frame_{index:0{digits}d}.png")
                with refusing(target), open(target, "wb") as f:
                    f.write(encode_png(np.ascontiguousarray(frame[:, :, ::-1])))
                bar.update(n)
    status(f"wrote {plural(len(indices), 'frame')} of {args.source} to {args.output}")
    return 0


def _stopped(args: argparse.Namespace, index: int, count: int, written: int, selected: int,
             why: str, cause: Optional[BaseException] = None) -> NoReturn:
    """Refuses the stream at the frame that did not decode; the PNGs written stay."""
    kept = " (kept)" if written else ""
    raise Refused(args.source, f"frame {index} of {plural(count, 'frame')} cannot be decoded: {why}; "
                  f"wrote {written} of the {plural(selected, 'selected frame')} to {args.output}"
                  f"{kept}") from cause


def register(sub) -> None:
    p = sub.add_parser("frames", help="write decoded frames as PNG images",
                       description="Write decoded frames as PNG images named frame_NNNNNN.png. "
                                   "--start, --stop and --step select frames as a Python slice does: "
                                   "stop is exclusive, negative values count from the end. A stream "
                                   "that fails to decode partway ends the command with exit status 1 "
                                   "and one line naming the frame that failed, why, and how many "
                                   "frames were written; the PNGs written before it are kept.")
    p.add_argument("source", metavar="SOURCE",
                   help="a video, a .vrtensor file, CONTAINER::member, or - for standard input")
    p.add_argument("-o", "--output", metavar="DIR", required=True, help="directory to write into (created if missing)")
    p.add_argument("--start", type=int, default=None, metavar="N",
                   help="first frame (default: the first; negative counts from the end)")
    p.add_argument("--stop", type=int, default=None, metavar="N",
                   help="frame to stop before, exclusive (default: past the last)")
    p.add_argument("--step", type=int, default=1, metavar="N",
                   help="distance between frames; negative goes backwards (default: %(default)s)")
    p.add_argument("--key", metavar="TEXT", default="",
                   help="key text (UTF-8) of an encrypted video (default: the built-in key)")
    progress_option(p, "the frames written")
    p.set_defaults(func=cmd_frames)
