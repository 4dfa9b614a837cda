"""The tool's PNG writer and progress bar beside the libraries that could replace them.

PNG: our writer (Up filter, zlib 6; and the earlier no-filter form) against Pillow's
default and PyAV's PNG encoder, on three 1280x720 pictures: a smooth gradient, a blocky
texture, and a decoded H.264 frame (what `frames` writes). Every file is decoded back
with Pillow and compared. Progress: the cost of one update call of tqdm, measured on a
bar that draws into memory.

    python bench/bench_cli_output.py [--repeat 7]
"""

from __future__ import annotations

import argparse
import io
import statistics
import struct
import time
import zlib

import numpy as np

from timing import median_time
from vorantis._samples import h264_bytes
from vorantis.cli.png import SIGNATURE, _chunk, encode_png


def no_filter_png(rgb: np.ndarray, level: int = 6) -> bytes:
    """The earlier form of the writer: filter type None on every row."""
    h, w, _ = rgb.shape
    rows = np.empty((h, 1 + w * 3), np.uint8)
    rows[:, 0] = 0
    rows[:, 1:] = rgb.reshape(h, w * 3)
    return (SIGNATURE + _chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + _chunk(b"IDAT", zlib.compress(rows.tobytes(), level)) + _chunk(b"IEND", b""))


def pillow_png(rgb: np.ndarray) -> bytes:
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(rgb).save(buf, format="PNG")
    return buf.getvalue()


def pyav_png(rgb: np.ndarray) -> bytes:
    import av

    ctx = av.CodecContext.create("png", "w")
    ctx.width, ctx.height, ctx.pix_fmt = rgb.shape[1], rgb.shape[0], "rgb24"
    frame = av.VideoFrame.from_ndarray(rgb, format="rgb24")
    return b"".join(bytes(p) for p in ctx.encode(frame)) + b"".join(bytes(p) for p in ctx.encode())


def pictures() -> dict:
    import av

    h, w = 720, 1280
    y, x = np.mgrid[0:h, 0:w]
    grad = np.stack([x * 255 // (w - 1), y * 255 // (h - 1), np.full_like(x, 90)], -1).astype(np.uint8)
    noise = np.random.default_rng(1).integers(0, 256, (h // 8, w // 8, 3)).repeat(8, 0).repeat(8, 1)
    tex = ((grad.astype(np.int16) + noise // 3) % 256).astype(np.uint8)
    buf = io.BytesIO(h264_bytes(1, width=w, height=h, gop=25, crf=23, picture=lambda *_: tex))
    with av.open(buf) as c:
        decoded = next(c.decode(video=0)).to_ndarray(format="rgb24")
    return {"gradient": grad, "blocky texture": tex, "decoded H.264": decoded}


def bench_png(repeat: int) -> None:
    from PIL import Image

    writers = {"ours (Up filter, zlib 6)": encode_png, "ours before (no filter)": no_filter_png,
               "Pillow default": pillow_png, "PyAV png encoder": pyav_png}
    print("PNG, 1280x720 RGB (ratios against ours)")
    print(f"  {'picture':16} {'writer':26} {'time':>9} {'bytes':>9} {'time x':>7} {'size x':>7}")
    for label, img in pictures().items():
        base = None
        for name, fn in writers.items():
            data = fn(img)
            t = median_time(lambda: fn(img), repeat)
            with Image.open(io.BytesIO(data)) as back:
                assert np.array_equal(np.asarray(back.convert("RGB")), img), name
            base = base or (t, len(data))
            print(f"  {label:16} {name:26} {t * 1e3:7.1f}ms {len(data):9d} {t / base[0]:7.2f} "
                  f"{len(data) / base[1]:7.2f}")


def bench_progress(repeat: int) -> None:
    from tqdm import tqdm

    n = 100_000
    times = []
    for _ in range(repeat):
        bar = tqdm(total=n, file=io.StringIO(), mininterval=0.1)
        t0 = time.perf_counter()
        for _ in range(n):
            bar.update(1)
        times.append((time.perf_counter() - t0) / n)
        bar.close()
    print(f"progress: tqdm update {statistics.median(times) * 1e9:.0f} ns a call "
          f"(the tool updates once a MiB copied or a frame written)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    bench_png(args.repeat)
    bench_progress(args.repeat)


if __name__ == "__main__":
    main()
