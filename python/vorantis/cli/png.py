"""PNG images of decoded frames: 8-bit RGB, the "Up" row filter, zlib level 6.

Written here rather than through Pillow or PyAV's PNG encoder: on decoded video frames
it is about 2.5x faster than Pillow's default and 2x faster than PyAV's, and its files
are no larger (bench/bench_cli_output.py). The Up filter (each byte minus the byte above
it) vectorises in one NumPy subtraction and suits video frames, whose rows change little
from one to the next; Pillow's per-row adaptive choice costs more time than it saves bytes.
"""

from __future__ import annotations

import struct
import zlib

import numpy as np

SIGNATURE = b"\x89PNG\r\n\x1a\n"
ZLIB_LEVEL = 6
_FILTER_UP = 2


def _chunk(tag: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))


def encode_png(rgb: np.ndarray, level: int = ZLIB_LEVEL) -> bytes:
    """A PNG image of an 8-bit (height, width, 3) RGB array."""
    if rgb.ndim != 3 or rgb.shape[2] != 3 or rgb.dtype != np.uint8:
        raise ValueError("expected an 8-bit array of shape (height, width, 3)")
    height, width, _ = rgb.shape
    flat = rgb.reshape(height, width * 3)
    rows = np.empty((height, 1 + width * 3), dtype=np.uint8)
    rows[:, 0] = _FILTER_UP
    rows[:1, 1:] = flat[:1]  # the row above the first one counts as zeros
    np.subtract(flat[1:], flat[:-1], out=rows[1:, 1:])  # wraps modulo 256, as PNG wants
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    # zlib reads the array's buffer directly: no bytes copy of the frame.
    return (SIGNATURE + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(rows.data, level)) + _chunk(b"IEND", b""))
