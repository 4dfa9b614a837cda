"""Generated test media over the package's sample generator (vorantis._samples).

Frames carry their own index (see that module); `frame_index` reads it back.
`encode_h264` and `h264_bytes` paint `frame_image`, the plain index pattern,
unless given another `picture`.
"""

from __future__ import annotations

import io
from pathlib import Path

import numpy as np

from vorantis._samples import (BLOCK, encode_h264, frame_index, h264_bytes,  # noqa: F401  (re-exported)
                               index_picture as frame_image)


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
