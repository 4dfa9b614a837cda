"""`sheet`: a contact sheet of a model, one row per video: its first, middle and last
frame as thumbnails, the facts about it beside them, and the mask box on the first."""

from __future__ import annotations

import argparse
import io
import os
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

import numpy as np

from .containers import status
from .errors import PROG, Refused, UsageError, plural, printable, refusing
from .font import LINE, draw_text, text_width
from .masks import BOX_COLOR, mask_boxes
from .pictures import Box, check_png_target, downscale, outline, write_file
from .png import encode_png
from .progress import Progress, progress_option
from .sources import Model, Source, format_rate, is_container_head, keyframe_interval, probe

# Members shown as rows (by name, in container order) and the masks file whose box is drawn.
VIDEO_SUFFIXES = (".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi", ".vrtensor")
MASK_SUFFIXES = (".h5", ".hdf5")

MARGIN, GAP = 8, 4
PAPER = (24, 24, 24)
INK = (235, 235, 235)
FAINT = (150, 150, 150)


@dataclass
class Row:
    name: str
    facts: List[str]
    thumbs: List[Tuple[int, np.ndarray]] = field(default_factory=list)  # (frame index, RGB)
    box: Optional[Box] = None  # in thumbnail pixels, drawn on the first


def _scaled(box: Box, scale: float) -> Box:
    x1, y1, x2, y2 = box
    return (int(np.floor(x1 * scale)), int(np.floor(y1 * scale)),
            int(np.ceil(x2 * scale)), int(np.ceil(y2 * scale)))


def _read_row(name: str, source: Source, size: int, thumb_height: int,
              masks: Optional[Tuple[str, bytes]], padding: int) -> Row:
    facts = probe(source)
    with source.reader() as reader:
        count = reader.size()
        if count == 0:
            raise Refused(source.spec, "no frame to show")
        frames = []
        for index in sorted({0, (count - 1) // 2, count - 1}):
            try:
                with source.refusing():
                    frames.append((index, reader.get(index)))
            except IndexError:  # counted, but the damaged stream ends before it
                raise Refused(source.spec, f"frame {index} of {plural(count, 'frame')} cannot be "
                                           f"decoded: the stream ends early") from None
    height, width = frames[0][1].shape[:2]
    thumb_width = max(1, round(width * thumb_height / height))
    row = Row(printable(name), [
        printable(name),
        f"{width}x{height}, {size} bytes",
        f"{plural(count, 'frame')}, {format_rate(facts['rate'])}",
        f"keyframe interval: {keyframe_interval(facts['keyframes'])}",
    ])
    row.thumbs = [(i, downscale(np.ascontiguousarray(f[:, :, ::-1]), thumb_height, thumb_width))
                  for i, f in frames]
    if masks is not None:
        name, data = masks
        box, _ = mask_boxes(lambda: io.BytesIO(data), f"{source.container}::{name}", width, height, padding)
        row.box = _scaled(box, thumb_height / height)
        row.facts.append(f"box ({printable(name)}): {box[0]},{box[1]} to {box[2]},{box[3]}")
    return row


def _members(path: str, key: str) -> Tuple[str, List[Tuple[str, Source, int]], Optional[Tuple[str, bytes]]]:
    """The model's title, its videos as (name, source, size), and its masks file, if any."""
    with refusing(path), open(path, "rb") as f:
        head = f.read(8)
    if not is_container_head(head):
        source = Source(path, key)
        return path, [(os.path.basename(path), source, source.size)], None
    model = Model(path)
    names = model.names()
    videos = [n for n in names if n.lower().endswith(VIDEO_SUFFIXES)]
    if not videos:
        raise Refused(path, "holds no video (no member named *" + ", *".join(VIDEO_SUFFIXES) + ")")
    masks_names = [n for n in names if n.lower().endswith(MASK_SUFFIXES)]
    masks = (masks_names[0], model.read(masks_names[0])) if masks_names else None
    if masks is not None and not _masks_extra():
        status(f"{PROG} sheet: the mask box is not drawn: it needs the masks extra "
               f"(pip install 'vorantis[masks]')")
        masks = None
    rows = []
    for name in videos:
        source = Source(f"{path}::{name}", key)
        rows.append((name, source, source.size))
    title = path
    if isinstance(model.manifest, dict) and isinstance(model.manifest.get("name"), str):
        title = f"{model.manifest['name']} ({path})"
    return title, rows, masks


def _masks_extra() -> bool:
    try:
        import h5py  # noqa: F401

        from vorantis.engine.compression import decode_jpeg  # noqa: F401
    except ImportError:
        return False
    return True


def _page_paths(output: str, pages: int) -> List[str]:
    stem, ext = os.path.splitext(output)
    return [output] + [f"{stem}-{k}{ext or '.png'}" for k in range(2, pages + 1)]


def _compose(title: str, rows: List[Row], thumb_height: int) -> np.ndarray:
    strip = max(sum(t.shape[1] for _, t in r.thumbs) + GAP * (len(r.thumbs) - 1) for r in rows)
    text = max(text_width(line) for r in rows for line in r.facts)
    row_height = max(thumb_height + LINE, max(len(r.facts) for r in rows) * LINE)
    width = max(MARGIN + strip + 2 * MARGIN + text + MARGIN, MARGIN + text_width(title) + MARGIN)
    height = MARGIN + LINE + len(rows) * (row_height + MARGIN) + MARGIN
    img = np.empty((height, width, 3), dtype=np.uint8)
    img[:] = PAPER
    draw_text(img, MARGIN, MARGIN, title, INK)
    y = MARGIN + LINE + MARGIN
    for r in rows:
        x = MARGIN
        for n, (index, thumb) in enumerate(r.thumbs):
            th, tw = thumb.shape[:2]
            img[y:y + th, x:x + tw] = thumb
            if n == 0 and r.box is not None:
                outline(img[y:y + th, x:x + tw], r.box, BOX_COLOR)
            draw_text(img, x, y + th + 2, f"#{index}", FAINT)
            x += tw + GAP
        for k, line in enumerate(r.facts):
            draw_text(img, MARGIN + strip + 2 * MARGIN, y + k * LINE, line, INK if k == 0 else FAINT)
        y += row_height + MARGIN
    return img


def cmd_sheet(args: argparse.Namespace) -> int:
    if args.rows < 1:
        raise UsageError("--rows must be at least 1")
    if not 8 <= args.thumb_height <= 1024:
        raise UsageError("--thumb-height must be between 8 and 1024")
    if args.padding < 0:
        raise UsageError("--padding must not be negative")
    check_png_target(args.output)  # before any decoding
    if not os.path.isfile(args.model):
        raise Refused(args.model, "No such file or directory" if not os.path.exists(args.model) else "not a file")
    title, members, masks = _members(args.model, args.key)
    pages = _page_paths(args.output, -(-len(members) // args.rows))
    for page in pages[1:]:
        check_png_target(page)
    # One page of thumbnails in memory at a time; the pages are kept encoded and written
    # once every video has been read, so that a refused video leaves no sheet at all.
    encoded: List[bytes] = []
    rows: List[Row] = []
    with Progress("sheet", len(members), args.progress, unit="video") as bar:
        for n, (name, source, size) in enumerate(members, 1):
            rows.append(_read_row(name, source, size, args.thumb_height, masks, args.padding))
            bar.update(n)
            if len(rows) == args.rows or n == len(members):
                k = len(encoded)
                head = title if len(pages) == 1 else f"{title}: sheet {k + 1} of {len(pages)}"
                encoded.append(encode_png(_compose(head, rows, args.thumb_height)))
                rows = []
    for page, data in zip(pages, encoded):
        write_file(page, data)
    status(f"wrote {plural(len(pages), 'sheet')} of {plural(len(members), 'video')}: {', '.join(pages)}")
    return 0


def register(sub) -> None:
    p = sub.add_parser("sheet", help="a contact sheet of a model's videos as a PNG image",
                       description="A contact sheet of a model container (or of one video): a row per "
                                   "video member, in container order, with its first, middle and last "
                                   "frame as thumbnails and its name, size, frame count, frame rate and "
                                   "keyframe interval beside them; when the container holds a masks file "
                                   "(*.h5), the padded mask box is outlined in green on the first "
                                   "thumbnail. More rows than --rows go to further sheets, "
                                   "OUT-2.png, OUT-3.png and so on.")
    p.add_argument("model", metavar="MODEL", help="a model container, a video or a .vrtensor file")
    p.add_argument("-o", "--output", metavar="SHEET.png", required=True, help="the PNG file to write")
    p.add_argument("--rows", type=int, default=12, metavar="N",
                   help="at most this many videos per sheet (default: %(default)s)")
    p.add_argument("--thumb-height", type=int, default=96, metavar="PX",
                   help="thumbnail height in pixels (default: %(default)s)")
    p.add_argument("--padding", type=int, default=16, metavar="P",
                   help="the mask box's padding, as for bbox (default: %(default)s)")
    p.add_argument("--key", metavar="TEXT", default="",
                   help="key text (UTF-8) of encrypted videos (default: the built-in key)")
    progress_option(p, "the videos read")
    p.set_defaults(func=cmd_sheet)
