"""Image codecs of the engine's model data.

`decode_jpeg` turns the bytes of one encoded face mask into a NumPy array. It is
built on simplejpeg (libjpeg-turbo linked into the wheel, no system library):
on 512x512 masks it decodes faster than Pillow, OpenCV and PyTurboJPEG (see
bench/bench_jpeg_decoders.py), and it hands out a fresh array per call.
"""

from __future__ import annotations

import numpy as np
import simplejpeg

__all__ = ["decode_jpeg"]


def decode_jpeg(data: bytes) -> np.ndarray:
    """Decode one JPEG image into a uint8 array of shape (height, width, channels).

    Grayscale images give one channel; colour images (YCbCr, RGB, CMYK, YCCK)
    give three, in RGB order. `data` is any bytes-like object. A malformed or
    truncated image raises ValueError (recoverable libjpeg warnings included).
    """
    _, _, colorspace, _ = simplejpeg.decode_jpeg_header(data)
    if colorspace == "Gray":
        return simplejpeg.decode_jpeg(data, colorspace="GRAY")
    return simplejpeg.decode_jpeg(data, colorspace="RGB")
