"""Drawing for the pictures the tool makes: area-averaged thumbnails, box outlines,
translucent tints, and PNG files written whole or not at all."""

from __future__ import annotations

import os
import tempfile
from typing import Tuple

import numpy as np

from .errors import refusing
from .png import encode_png

Box = Tuple[int, int, int, int]  # x1, y1, x2, y2; right and bottom exclusive


def _area_weights(src: int, dst: int) -> np.ndarray:
    """(dst, src) weights: output cell i averages the source span [i*src/dst, (i+1)*src/dst),
    cells cut by the span's ends counted by the part that lies inside it."""
    edges = np.arange(dst + 1, dtype=np.float64) * src / dst
    lo, hi = edges[:-1, None], edges[1:, None]
    cells = np.arange(src, dtype=np.float64)[None, :]
    overlap = np.clip(np.minimum(hi, cells + 1) - np.maximum(lo, cells), 0.0, None)
    return overlap / overlap.sum(axis=1, keepdims=True)


def downscale(img: np.ndarray, height: int, width: int) -> np.ndarray:
    """An 8-bit (h, w, 3) image shrunk to (height, width) by area averaging, rounded."""
    rows = _area_weights(img.shape[0], height)
    cols = _area_weights(img.shape[1], width)
    out = np.einsum("yh,hwc,xw->yxc", rows, img.astype(np.float64), cols, optimize=True)
    return np.clip(np.rint(out), 0, 255).astype(np.uint8)


def outline(img: np.ndarray, box: Box, color) -> None:
    """A one-pixel outline on the box's outermost pixels: columns x1 and x2 - 1, rows
    y1 and y2 - 1 (clipped to the image)."""
    h, w = img.shape[:2]
    x1, y1, x2, y2 = max(box[0], 0), max(box[1], 0), min(box[2], w), min(box[3], h)
    if x2 <= x1 or y2 <= y1:
        return
    img[y1, x1:x2] = color
    img[y2 - 1, x1:x2] = color
    img[y1:y2, x1] = color
    img[y1:y2, x2 - 1] = color


def tint(img: np.ndarray, where: np.ndarray, color, alpha: float) -> None:
    """Blends `color` over the pixels where `where` is true, at opacity `alpha`."""
    mixed = (1.0 - alpha) * img[where].astype(np.float64) + alpha * np.asarray(color, np.float64)
    img[where] = np.rint(mixed).astype(np.uint8)


def write_png(path: str, rgb: np.ndarray) -> None:
    """Writes the PNG to a temporary file in the target's folder and renames it into
    place: the target is either the whole picture or left as it was."""
    write_file(path, encode_png(np.ascontiguousarray(rgb)))


def write_file(path: str, data: bytes) -> None:
    """`data` into `path` through a temporary file in the same folder, renamed into place."""
    folder = os.path.dirname(os.path.abspath(path))
    with refusing(path):
        fd, tmp = tempfile.mkstemp(prefix=".vorantis-", suffix=".png.part", dir=folder)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            os.chmod(tmp, 0o666 & ~_umask())  # as `open` would have made it, not mkstemp's 0600
            os.replace(tmp, path)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def check_png_target(path: str) -> None:
    """Refuses, before any work, '-' (a picture goes to a file, never to standard output
    by surprise), a target whose folder is missing, or a folder."""
    from .errors import Refused, UsageError

    if path == "-":
        raise UsageError("a picture is written to a file: '-' is not one")
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise Refused(path, "is a directory")
    if not os.path.isdir(folder):
        raise Refused(path, "No such file or directory" if not os.path.exists(folder)
                      else "its folder is not a directory")
