"""decode_jpeg: shapes, values against Pillow's decoder, inputs and failures."""

from __future__ import annotations

import io

import numpy as np
import pytest
from PIL import Image

# The masks extra; without it this file is skipped.
simplejpeg = pytest.importorskip("simplejpeg", reason="simplejpeg is not installed (the masks extra)")

from vorantis.engine.compression import decode_jpeg


def pillow_jpeg(array, mode, **save):
    buf = io.BytesIO()
    Image.fromarray(array).convert(mode).save(buf, "JPEG", **save)
    return buf.getvalue()


def pillow_decode(data):
    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im.convert("L" if im.mode == "L" else "RGB"))


def picture(h=48, w=80):
    yy, xx = np.mgrid[0:h, 0:w]
    return np.stack([xx * 3 % 256, yy * 5 % 256, (xx + yy) % 256], axis=2).astype(np.uint8)


@pytest.mark.parametrize("mode, save, channels", [
    ("L", {}, 1),
    ("RGB", {"subsampling": 0}, 3),  # 4:4:4
    ("RGB", {"subsampling": 2}, 3),  # 4:2:0
])
def test_decodes_like_pillow(mode, save, channels):
    data = pillow_jpeg(picture(), mode, quality=90, **save)
    out = decode_jpeg(data)
    assert out.shape == (48, 80, channels) and out.dtype == np.uint8
    expected = np.atleast_3d(pillow_decode(data))
    assert np.abs(out.astype(int) - expected.astype(int)).max() <= 1  # IDCT rounding only


def test_cmyk_gives_three_channels():
    data = pillow_jpeg(picture(), "CMYK")
    out = decode_jpeg(data)
    assert out.shape == (48, 80, 3) and out.dtype == np.uint8


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, np.bytes_])
def test_bytes_like_inputs_and_fresh_arrays(wrap):
    data = pillow_jpeg(picture(), "L")
    a = decode_jpeg(wrap(data))
    b = decode_jpeg(wrap(data))
    np.testing.assert_array_equal(a, b)
    assert a.flags.writeable and not np.shares_memory(a, b)


def test_bad_inputs_raise():
    good = pillow_jpeg(picture(), "RGB")
    for bad in (b"", b"not a jpeg at all", good[:40], good[: len(good) // 2]):
        with pytest.raises(ValueError):
            decode_jpeg(bad)
    for wrong in (None, "text", 42):
        with pytest.raises(TypeError):
            decode_jpeg(wrong)
