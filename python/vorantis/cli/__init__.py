"""`vorantis-video`: inspect, pack, unpack, encrypt and play the video assets of an avatar model.

Built on the public callables of `vorantis.engine.video_reader` (and PyAV for `info`).
One module per command group (`info`, `containers`, `crypt`, `frames`, `masks`, `demo`),
the parser and entry point in `main`, failures in `errors`, the bar in `progress`, the
image writer in `png`.
"""

from .main import build_parser, main

__all__ = ["build_parser", "main"]
