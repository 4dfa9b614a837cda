"""The sample-media generator shared by the demo, the tests and the benchmarks."""

from __future__ import annotations

import io

import av
import numpy as np
import pytest

from vorantis import _samples

N = 12


def _decoded(data: bytes) -> tuple[list[np.ndarray], list[bool]]:
    with av.open(io.BytesIO(data)) as container:
        frames = list(container.decode(video=0))
        return [f.to_ndarray(format="rgb24") for f in frames], [f.key_frame for f in frames]


def _flat(i, w, h):
    return np.full((h, w, 3), 90, dtype=np.uint8)


@pytest.mark.parametrize("picture, bits", [
    (None, None),
    (_samples.over(_samples.moving_texture(), _samples.index_bits(N)), _samples.index_bits(N)),
    (_samples.over(_flat, 3), 3),  # fewer blocks than indices: the index wraps
])
def test_decoded_frames_read_back_their_index(picture, bits):
    frames, _ = _decoded(_samples.h264_bytes(N, width=96, height=64, picture=picture))
    expected = [i if bits is None else i % (1 << bits) for i in range(N)]
    assert [_samples.frame_index(f, bits) for f in frames] == expected


def test_background_outside_the_index_blocks_is_kept():
    img = _samples.over(_flat, 2)(3, 64, 48)
    assert img[:16, :32].min() == 255  # index 3: both blocks white
    assert (img[:, 32:] == 90).all() and (img[16:] == 90).all()


@pytest.mark.parametrize("gop, bframes", [(4, 0), (5, 2)])
def test_keyframe_interval_and_order(gop, bframes):
    frames, keys = _decoded(_samples.h264_bytes(N, gop=gop, bframes=bframes))
    assert [i for i, k in enumerate(keys) if k] == list(range(0, N, gop))
    assert [_samples.frame_index(f) for f in frames] == list(range(N))


@pytest.mark.parametrize("n, bits", [(1, 1), (2, 1), (3, 2), (30, 5), (32, 5), (33, 6)])
def test_index_bits(n, bits):
    assert _samples.index_bits(n) == bits
