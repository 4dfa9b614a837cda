"""Generated test media over the package's sample generator (vorantis._samples).

Frames carry their own index (see that module); `frame_index` reads it back.
`encode_h264` paints with this module's `frame_image`, looked up at each call,
so that a caller may swap the picture.
"""

from __future__ import annotations

import io
from pathlib import Path

import numpy as np

from vorantis import _samples
from vorantis._samples import BLOCK, frame_index  # noqa: F401  (re-exported)

frame_image = _samples.index_picture


def encode_h264(target, n_frames: int, **kwargs) -> None:
    """Writes an H.264 video of `n_frames` index frames to a path or file object."""
    kwargs.setdefault("picture", lambda i, w, h: frame_image(i, w, h))
    _samples.encode_h264(target, n_frames, **kwargs)


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
