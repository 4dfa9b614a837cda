"""Generated test media: small H.264 videos whose frames carry their own index.

Each frame is split into 16x16 blocks; block k (row-major) is white when bit k
of the frame index is set and black otherwise, on a background whose gray
level also moves with the index. 16-pixel blocks survive lossy coding, so a
test can tell which frame it got with `frame_index`.
"""

from __future__ import annotations

import fractions
import io
from pathlib import Path

import numpy as np

BLOCK = 16


def frame_image(index: int, width: int, height: int) -> np.ndarray:
    """The RGB picture encoded as frame `index`."""
    img = np.zeros((height, width, 3), dtype=np.uint8)
    cols = width // BLOCK
    rows = height // BLOCK
    for bit in range(cols * rows):
        if (index >> bit) & 1:
            r, c = divmod(bit, cols)
            img[r * BLOCK:(r + 1) * BLOCK, c * BLOCK:(c + 1) * BLOCK] = 255
    return img


def frame_index(frame: np.ndarray) -> int:
    """Reads back the index that `frame_image` encoded (BGR or RGB alike)."""
    height, width = frame.shape[:2]
    cols = width // BLOCK
    rows = height // BLOCK
    index = 0
    for bit in range(cols * rows):
        r, c = divmod(bit, cols)
        cell = frame[r * BLOCK + 4:(r + 1) * BLOCK - 4, c * BLOCK + 4:(c + 1) * BLOCK - 4]
        if cell.mean() > 127:
            index |= 1 << bit
    return index


def encode_h264(
    target,
    n_frames: int,
    width: int = 64,
    height: int = 48,
    gop: int = 10,
    bframes: int = 0,
    fps: int = 25,
    container_format: str = "mp4",
    time_base: fractions.Fraction | None = None,
) -> None:
    """Writes an H.264 video of `n_frames` index frames to a path or file object."""
    import av

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
            "preset": "ultrafast" if bframes == 0 else "fast",
            "crf": "18",
        }
        for i in range(n_frames):
            frame = av.VideoFrame.from_ndarray(frame_image(i, width, height), format="rgb24")
            frame.pts = i
            frame.time_base = fractions.Fraction(1, fps)
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)


def h264_bytes(n_frames: int, **kwargs) -> bytes:
    buf = io.BytesIO()
    encode_h264(buf, n_frames, **kwargs)
    return buf.getvalue()


def pyav_frames(source) -> list[np.ndarray]:
    """Every frame of the first video stream as PyAV decodes it, in BGR."""
    import av

    if isinstance(source, (bytes, bytearray)):
        source = io.BytesIO(bytes(source))
    with av.open(source) as container:
        return [f.to_ndarray(format="bgr24") for f in container.decode(video=0)]


def write_audio_only(path: Path) -> None:
    """An MP4 file with one AAC audio stream and no video stream."""
    import av

    with av.open(str(path), mode="w") as out:
        stream = out.add_stream("aac", rate=8000)
        samples = np.zeros((1, 1024), dtype=np.float32)
        for i in range(8):
            frame = av.AudioFrame.from_ndarray(samples, format="fltp", layout="mono")
            frame.sample_rate = 8000
            frame.pts = i * 1024
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)
