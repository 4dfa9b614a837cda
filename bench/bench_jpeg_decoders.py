"""JPEG decoders for the face masks, side by side on 512x512 masks.

Each candidate turns one JPEG byte string into a (height, width, channels) uint8
array, as `vorantis.engine.compression.decode_jpeg` must. Masks are soft-edged
ellipses (a face region) on black, encoded as grayscale and as colour (4:2:0).
Prints the median time per mask and the ratio to `decode_jpeg`.

A decoder that is not importable is listed as missing. PyTurboJPEG loads the
system library libturbojpeg; point TURBOJPEG_LIB at one to include it.

    PYTHONPATH=python python bench/bench_jpeg_decoders.py
"""

from __future__ import annotations

import io
import os
import statistics

import numpy as np
import simplejpeg

from vorantis.engine.compression import decode_jpeg

from timing import interleaved  # noqa: E402
from bench_mask_bbox import face_masks  # the same synthetic face masks

SIZE = 512
N_MASKS = 40
REPEATS = 15


def encode(masks: list[np.ndarray], colour: bool) -> list[bytes]:
    out = []
    for m in masks:
        if colour:
            rgb = np.ascontiguousarray(np.repeat(m[:, :, None], 3, axis=2))
            out.append(simplejpeg.encode_jpeg(rgb, quality=90, colorsubsampling="420"))
        else:
            out.append(simplejpeg.encode_jpeg(np.ascontiguousarray(m[:, :, None]), quality=90,
                                              colorspace="GRAY"))
    return out


def candidates() -> dict:
    found = {
        f"simplejpeg {simplejpeg.__version__} (decode_jpeg)": decode_jpeg,
    }
    try:
        from PIL import Image
        import PIL

        def pillow(data):
            with Image.open(io.BytesIO(data)) as im:
                a = np.asarray(im)
            return a[:, :, None] if a.ndim == 2 else a

        found[f"Pillow {PIL.__version__}"] = pillow
    except ImportError:
        found["Pillow"] = None
    try:
        import cv2

        def opencv(data):
            a = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
            if a is None:
                raise ValueError("cannot decode")
            return a[:, :, None] if a.ndim == 2 else a

        found[f"OpenCV {cv2.__version__} (headless)"] = opencv
    except ImportError:
        found["OpenCV (opencv-python-headless)"] = None
    try:
        import turbojpeg

        tj = turbojpeg.TurboJPEG(os.environ.get("TURBOJPEG_LIB"))

        def pyturbojpeg(data):
            if tj.decode_header(data)[2] == turbojpeg.TJSAMP_GRAY:
                return tj.decode(data, pixel_format=turbojpeg.TJPF_GRAY)
            return tj.decode(data, pixel_format=turbojpeg.TJPF_RGB)

        found[f"PyTurboJPEG {turbojpeg.__version__}"] = pyturbojpeg
    except (ImportError, OSError, RuntimeError) as exc:
        found[f"PyTurboJPEG ({type(exc).__name__}: no libturbojpeg)"] = None
    return found


def per_mask_ms(fns: dict, blobs: list[bytes]) -> dict:
    """Median ms per mask of each decoder, the decoders taking turns in every round."""
    def decode_all(fn):
        return lambda: [fn(b) for b in blobs]
    runs = interleaved({name: decode_all(fn) for name, fn in fns.items()}, REPEATS)
    return {name: statistics.median(r) / len(blobs) * 1e3 for name, r in runs.items()}


def main() -> None:
    masks = face_masks(N_MASKS)
    sets = {"gray": encode(masks, False), "colour 4:2:0": encode(masks, True)}
    found = candidates()
    present = {name: fn for name, fn in found.items() if fn is not None}
    notes = {name: [] for name in present}
    ref = {}
    for name, fn in present.items():
        for kind, blobs in sets.items():
            out = fn(blobs[0])
            assert out.ndim == 3 and out.dtype == np.uint8, (name, out.shape, out.dtype)
            g = out.max(axis=2)
            ref.setdefault(kind, g)
            diff = int(np.abs(g.astype(int) - ref[kind].astype(int)).max())
            notes[name].append(f"{kind}: {out.shape[2]} ch, max diff {diff}")
    timed = {kind: per_mask_ms(present, blobs) for kind, blobs in sets.items()}
    rows = []
    for name, fn in found.items():
        if fn is None:
            rows.append((name, None, None, "missing"))
        else:
            rows.append((name, timed["gray"][name], timed["colour 4:2:0"][name],
                         "; ".join(notes[name])))

    base = rows[0]
    print(f"{SIZE}x{SIZE} masks, median ms per mask over {REPEATS} runs of {N_MASKS} masks")
    print(f"{'decoder':44s} {'gray ms':>8s} {'ratio':>6s} {'colour ms':>9s} {'ratio':>6s}  notes")
    for name, g, c, note in rows:
        if g is None:
            print(f"{name:44s} {'-':>8s} {'-':>6s} {'-':>9s} {'-':>6s}  {note}")
            continue
        print(f"{name:44s} {g:8.3f} {g / base[1]:6.2f} {c:9.3f} {c / base[2]:6.2f}  {note}")


if __name__ == "__main__":
    main()
