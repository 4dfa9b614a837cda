"""`bbox`: the padded box around every face-mask pixel."""

from __future__ import annotations

import argparse
import io
import json
import os
from typing import Callable, Tuple, Union

import numpy as np

from vorantis.engine import video_reader as vr

from .containers import status
from .errors import Refused, UsageError, plural, refusing
from .pictures import Box, check_png_target, outline, tint, write_png
from .schema import document
from .progress import progress_option
from .sources import STDIO, Source, read_stdin

# The preview's colours (RGB): mask pixels tinted red, the extent of the mask pixels in
# yellow, the padded and clamped box in green, over a neutral grey without a video.
MASK_TINT = (255, 0, 0)
MASK_ALPHA = 0.45
EXTENT_COLOR = (255, 255, 0)
BOX_COLOR = (0, 255, 0)
BACKGROUND = (128, 128, 128)

MasksInput = Union[str, io.BytesIO]


def _missing_extra(label: str, exc: ImportError) -> Refused:
    return Refused(label, f"the mask box needs the masks extra (pip install 'vorantis[masks]'): {exc}")


def mask_boxes(opener: Callable[[], MasksInput], label: str, width: int, height: int,
               padding: int) -> Tuple[Box, Box]:
    """(the padded and clamped box, the unpadded extent of the mask pixels), both from
    the module's compute_mask_bbox; `opener` hands out the masks afresh for each call."""
    try:
        with refusing(label):
            box = vr.compute_mask_bbox(opener(), width, height, padding)
            extent = vr.compute_mask_bbox(opener(), width, height, 0)
    except ImportError as exc:
        raise _missing_extra(label, exc) from None
    return tuple(box), tuple(extent)  # type: ignore[return-value]


def mask_union(masks: MasksInput, label: str, width: int, height: int) -> np.ndarray:
    """A (height, width) boolean picture of the pixels that are non-zero in any mask, on
    the frame's grid (a mask larger than the frame is cut at its edges)."""
    try:
        import h5py

        from vorantis.engine.compression import decode_jpeg
    except ImportError as exc:
        raise _missing_extra(label, exc) from None
    union = np.zeros((height, width), dtype=bool)
    with refusing(label), h5py.File(masks, "r") as f:
        ds = f["face_masks"]
        for i in range(len(ds)):
            data = bytes(ds[i])
            if not data:
                continue
            img = decode_jpeg(data)
            nonzero = np.max(img, axis=2) > 0
            h, w = min(nonzero.shape[0], height), min(nonzero.shape[1], width)
            union[:h, :w] |= nonzero[:h, :w]
    return union


def _background(args: argparse.Namespace) -> np.ndarray:
    """Frame --frame of --over in RGB, or a neutral background."""
    if args.over is None:
        img = np.empty((args.height, args.width, 3), dtype=np.uint8)
        img[:] = BACKGROUND
        return img
    source = Source(args.over, args.key)
    with source.reader() as reader:
        count = reader.size()
        index = args.frame + count if args.frame < 0 else args.frame
        if not 0 <= index < count:
            raise Refused(args.over, f"frame {args.frame} is out of range ({plural(count, 'frame')})")
        args.frame = index  # as the report names it
        try:
            with source.refusing():
                frame = reader.get(index)
        except IndexError:  # counted, but the damaged stream ends before it
            raise Refused(args.over, f"frame {index} of {plural(count, 'frame')} cannot be decoded: "
                                     f"the stream ends early") from None
    if frame.shape[:2] != (args.height, args.width):
        raise Refused(args.over, f"its frames are {frame.shape[1]}x{frame.shape[0]}, not the "
                                 f"{args.width}x{args.height} of --width and --height")
    return np.ascontiguousarray(frame[:, :, ::-1])


def draw_preview(background: np.ndarray, union: np.ndarray, box: Box, extent: Box) -> np.ndarray:
    img = background.copy()
    tint(img, union, MASK_TINT, MASK_ALPHA)
    outline(img, extent, EXTENT_COLOR)
    outline(img, box, BOX_COLOR)  # drawn last: where the two meet, the box shows
    return img


def cmd_bbox(args: argparse.Namespace) -> int:
    if args.width <= 0 or args.height <= 0:
        raise UsageError("--width and --height must be positive")
    if args.padding < 0:
        raise UsageError("--padding must not be negative")
    if args.preview is None and (args.over is not None or args.frame is not None):
        raise UsageError("--over and --frame go with --preview")
    if args.frame is not None and args.over is None:
        raise UsageError("--frame needs --over (a video to draw on)")
    if args.over == STDIO and args.masks == STDIO:
        raise UsageError("the masks and --over cannot both be read from standard input")
    if args.preview is not None:
        check_png_target(args.preview)  # before any decoding
    opener: Callable[[], MasksInput]
    if args.masks == STDIO:
        label, data = "<stdin>", read_stdin()
        opener = lambda: io.BytesIO(data)  # noqa: E731
    elif not os.path.isfile(args.masks):
        raise Refused(args.masks, "No such file or directory" if not os.path.exists(args.masks) else "not a file")
    else:
        label, path = args.masks, args.masks
        opener = lambda: path  # noqa: E731
    if args.preview is None:
        try:
            with refusing(label):
                x1, y1, x2, y2 = vr.compute_mask_bbox(opener(), args.width, args.height, args.padding)
        except ImportError as exc:
            raise _missing_extra(label, exc) from None
    else:
        args.frame = 0 if args.frame is None else args.frame
        (x1, y1, x2, y2), extent = mask_boxes(opener, label, args.width, args.height, args.padding)
        union = mask_union(opener(), label, args.width, args.height)
        picture = draw_preview(_background(args), union, (x1, y1, x2, y2), extent)
        write_png(args.preview, picture)
        status(f"wrote the preview {args.preview}: mask pixels tinted red, their extent "
               f"{extent} in yellow, the padded box in green"
               + (f", over frame {args.frame} of {args.over}" if args.over else ""))
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
    p.add_argument("--preview", metavar="OUT.png", default=None,
                   help="also write a picture: the mask pixels tinted red, their extent outlined "
                        "in yellow, the padded box in green")
    p.add_argument("--over", metavar="VIDEO", default=None,
                   help="draw the preview over a frame of this video (a file, a .vrtensor file or "
                        "CONTAINER::member) rather than over grey; its frames must be W x H")
    p.add_argument("--frame", type=int, default=None, metavar="N",
                   help="the frame of --over to draw on (default: 0; negative counts from the end)")
    p.add_argument("--key", metavar="TEXT", default="",
                   help="key text (UTF-8) of an encrypted --over video (default: the built-in key)")
    progress_option(p, None)
    p.set_defaults(func=cmd_bbox)
