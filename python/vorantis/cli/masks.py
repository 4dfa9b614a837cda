"""`bbox`: the padded box around every face-mask pixel."""

from __future__ import annotations

import argparse
import io
import json
import os

from vorantis.engine import video_reader as vr

from .errors import Refused, UsageError, refusing
from .schema import document
from .progress import progress_option
from .sources import STDIO, read_stdin


def cmd_bbox(args: argparse.Namespace) -> int:
    if args.width <= 0 or args.height <= 0:
        raise UsageError("--width and --height must be positive")
    if args.padding < 0:
        raise UsageError("--padding must not be negative")
    if args.masks == STDIO:
        label, masks = "<stdin>", io.BytesIO(read_stdin())
    elif not os.path.isfile(args.masks):
        raise Refused(args.masks, "No such file or directory" if not os.path.exists(args.masks) else "not a file")
    else:
        label, masks = args.masks, args.masks
    try:
        with refusing(label):
            x1, y1, x2, y2 = vr.compute_mask_bbox(masks, args.width, args.height, args.padding)
    except ImportError as exc:
        raise Refused(label, f"the mask box needs the masks extra (pip install 'vorantis[masks]'): "
                             f"{exc}") from None
    if args.json:
        print(json.dumps(document("bbox", path=args.masks, x1=x1, y1=y1, x2=x2, y2=y2,
                                  width=args.width, height=args.height, padding=args.padding)))
    else:
        print(f"bbox: x1={x1} y1={y1} x2={x2} y2={y2} (right and bottom exclusive: "
              f"a {x2 - x1}x{y2 - y1} box in a {args.width}x{args.height} frame, padding {args.padding})")
    return 0


def register(sub) -> None:
    p = sub.add_parser("bbox", help="the padded box around every face-mask pixel",
                       description="The box around the non-zero pixels of every mask in the HDF5 "
                                   "dataset face_masks, padded and clamped to the frame; right and "
                                   "bottom are exclusive.")
    p.add_argument("masks", metavar="MASKS.h5", help="the HDF5 file of face masks, or - for standard input")
    p.add_argument("--width", type=int, required=True, metavar="W", help="frame width in pixels")
    p.add_argument("--height", type=int, required=True, metavar="H", help="frame height in pixels")
    p.add_argument("--padding", type=int, default=16, metavar="P",
                   help="pixels added on every side (default: %(default)s)")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    progress_option(p, None)
    p.set_defaults(func=cmd_bbox)
