"""Sample media: small H.264 videos whose frames carry their own index.

Shared by the `demo` command, the test suite and the benchmarks. A picture is
cut into 16x16 blocks; block k (row-major) is white when bit k of the frame
index is set and black otherwise. 16-pixel blocks survive lossy coding, so
`frame_index` reads the index back from a decoded frame. The plain pattern
fills the whole picture with blocks on black; over a background (a moving
texture, the demo's animation) only the first `bits` blocks are drawn.
"""

from __future__ import annotations

import fractions
import io
from typing import Callable, Optional

import numpy as np

BLOCK = 16

# (index, width, height) -> an RGB picture (height, width, 3) of uint8
Picture = Callable[[int, int, int], np.ndarray]


def _cells(width: int, height: int, bits: Optional[int]) -> tuple[int, int]:
    cols = width // BLOCK
    count = cols * (height // BLOCK)
    return cols, count if bits is None else min(bits, count)


def draw_index(img: np.ndarray, index: int, bits: Optional[int] = None) -> np.ndarray:
    """Paints `index` into the first `bits` blocks of `img` (all blocks when None)."""
    height, width = img.shape[:2]
    cols, count = _cells(width, height, bits)
    for bit in range(count):
        r, c = divmod(bit, cols)
        img[r * BLOCK:(r + 1) * BLOCK, c * BLOCK:(c + 1) * BLOCK] = 255 if (index >> bit) & 1 else 0
    return img


def index_picture(index: int, width: int, height: int) -> np.ndarray:
    """The plain pattern: every block of the picture, on black."""
    return draw_index(np.zeros((height, width, 3), dtype=np.uint8), index)


def frame_index(frame: np.ndarray, bits: Optional[int] = None) -> int:
    """Reads back the index drawn into the first `bits` blocks (BGR or RGB alike)."""
    height, width = frame.shape[:2]
    cols, count = _cells(width, height, bits)
    index = 0
    for bit in range(count):
        r, c = divmod(bit, cols)
        cell = frame[r * BLOCK + 4:(r + 1) * BLOCK - 4, c * BLOCK + 4:(c + 1) * BLOCK - 4]
        if cell.mean() > 127:
            index |= 1 << bit
    return index


def index_bits(n_frames: int) -> int:
    """How many blocks the indices 0 .. n_frames - 1 need."""
    return max(n_frames - 1, 1).bit_length()


def over(background: Picture, bits: int) -> Picture:
    """A picture function drawing the index into the first `bits` blocks of `background`."""
    def picture(index: int, width: int, height: int) -> np.ndarray:
        img = np.array(background(index, width, height), dtype=np.uint8, copy=True)
        return draw_index(img, index, bits)
    return picture


def moving_texture(seed: int = 3) -> Picture:
    """A background of coarse noise that moves every frame on a ramp, so a decoder
    does about the work camera footage costs it (unlike the flat pattern)."""
    made: dict = {}

    def background(index: int, width: int, height: int) -> np.ndarray:
        if (width, height) not in made:
            rng = np.random.default_rng(seed)
            coarse = rng.integers(0, 256, (height // 8 + 2, width // 8 + 2, 3), dtype=np.uint8)
            texture = np.repeat(np.repeat(coarse, 8, axis=0), 8, axis=1)
            ramp = np.linspace(0, 64, width, dtype=np.float32)[None, :, None]
            made[(width, height)] = texture, ramp
        texture, ramp = made[(width, height)]
        img = np.roll(texture, (index * 2, index * 3), axis=(0, 1))[:height, :width]
        return np.clip(img * 0.75 + ramp + (index % 50), 0, 255).astype(np.uint8)
    return background


def encode_h264(
    target,
    n_frames: int,
    width: int = 64,
    height: int = 48,
    gop: int = 10,
    bframes: int = 0,
    fps: int = 25,
    container_format: str = "mp4",
    time_base: Optional[fractions.Fraction] = None,
    *,
    crf: int = 18,
    preset: Optional[str] = None,
    picture: Optional[Picture] = None,
) -> None:
    """Writes an H.264 video of `n_frames` pictures to a path or binary file object.

    A keyframe every `gop` frames exactly (no scene-cut keyframes), up to
    `bframes` B-frames in a row, `fps` frames per second with frame i at pts i.
    `preset` defaults to "ultrafast", or "fast" with B-frames (ultrafast makes
    none). `picture(i, width, height)` gives frame i (default: the plain
    index pattern).
    """
    import av

    paint = picture or index_picture
    with av.open(target, mode="w", format=container_format) as out:
        stream = out.add_stream("libx264", rate=fps)
        stream.width = width
        stream.height = height
        stream.pix_fmt = "yuv420p"
        if time_base is not None:
            stream.time_base = time_base
        stream.codec_context.gop_size = gop
        stream.codec_context.max_b_frames = bframes
        stream.options = {
            "g": str(gop),
            "keyint_min": str(gop),
            "sc_threshold": "0",
            "bf": str(bframes),
            "preset": preset or ("ultrafast" if bframes == 0 else "fast"),
            "crf": str(crf),
        }
        for i in range(n_frames):
            frame = av.VideoFrame.from_ndarray(paint(i, width, height), format="rgb24")
            frame.pts = i
            frame.time_base = fractions.Fraction(1, fps)
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)


def h264_bytes(n_frames: int, **kwargs) -> bytes:
    """`encode_h264` into memory."""
    buf = io.BytesIO()
    encode_h264(buf, n_frames, **kwargs)
    return buf.getvalue()
