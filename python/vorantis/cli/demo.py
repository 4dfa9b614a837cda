"""`demo`: builds a sample avatar model, plays it, and optionally keeps it to try the tool on."""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import tempfile
import time
from typing import Iterator, Optional

import numpy as np

from vorantis._samples import encode_h264, index_bits, over
from vorantis.engine import video_reader as vr

from .containers import output_directory
from .errors import PROG
from .progress import progress_option


def _demo_picture(i: int, n: int, width: int, height: int, hue: int) -> np.ndarray:
    """A moving bright disc on a slowly changing gradient (RGB)."""
    y, x = np.mgrid[0:height, 0:width]
    img = np.empty((height, width, 3), dtype=np.uint8)
    img[..., 0] = (x * 255 // max(width - 1, 1) + 3 * i) % 256
    img[..., 1] = (y * 255 // max(height - 1, 1)) % 256
    img[..., 2] = (hue + 2 * i) % 256
    cx = width / 2 + width / 3 * np.cos(2 * np.pi * i / n)
    cy = height / 2 + height / 3 * np.sin(2 * np.pi * i / n)
    img[(x - cx) ** 2 + (y - cy) ** 2 < (height / 8) ** 2] = 255
    return img


def _encode_demo_clip(path: str, n: int, width: int, height: int, fps: int, gop: int, hue: int) -> None:
    """The animation, with the frame index in the first blocks of each picture."""
    def animation(i: int, w: int, h: int) -> np.ndarray:
        return _demo_picture(i, n, w, h, hue)

    encode_h264(path, n, width=width, height=height, gop=gop, fps=fps, crf=23,
                picture=over(animation, index_bits(n)))


def _demo_masks(width: int, height: int) -> Optional[bytes]:
    """An HDF5 file of face masks (ellipses that drift a little), or None without the
    masks extra."""
    try:
        import h5py
        import simplejpeg
    except ImportError:
        return None
    y, x = np.mgrid[0:height, 0:width]
    buffer = io.BytesIO()
    with h5py.File(buffer, "w") as f:
        ds = f.create_dataset("face_masks", (4,), dtype=h5py.vlen_dtype(np.uint8))
        for i in range(4):
            cx, cy = width / 2 + 6 * i, height / 2 - 4 * i
            inside = ((x - cx) / (width / 7)) ** 2 + ((y - cy) / (height / 4)) ** 2 < 1
            img = np.repeat((inside * 255).astype(np.uint8)[:, :, None], 3, axis=2)
            ds[i] = np.frombuffer(simplejpeg.encode_jpeg(img, quality=95, colorspace="RGB"), np.uint8)
    return buffer.getvalue()


def _demo_pictures(tmp: str, model: str, width: int, height: int, with_masks: bool) -> None:
    """A contact sheet of the model and, with masks, the mask box over the idle clip."""
    from .masks import cmd_bbox
    from .sheet import cmd_sheet

    sheet = os.path.join(tmp, "sheet.png")
    quiet = io.StringIO()  # the commands' own reports: the demo says what it made
    with contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
        cmd_sheet(argparse.Namespace(model=model, output=sheet, rows=12, thumb_height=96, padding=16,
                                     key="", progress=False))
    print(f"pictures: a contact sheet of the model, {sheet}")
    if not with_masks:
        print("  (no mask preview: the masks extra is not installed)")
        return
    masks = os.path.join(tmp, "masks.h5")
    preview = os.path.join(tmp, "preview.png")
    with open(masks, "wb") as f:
        f.write(vr.ImxContainer(model).read_file("masks.h5"))
    with contextlib.redirect_stdout(quiet), contextlib.redirect_stderr(quiet):
        cmd_bbox(argparse.Namespace(masks=masks, width=width, height=height, padding=16, json=False,
                                    preview=preview, over=f"{model}::idle.mp4", frame=0, key="",
                                    progress=False))
    print(f"  and the mask box over frame 0 of idle.mp4, {preview}")


def _fps(frames: int, seconds: float) -> str:
    return f"{frames} frames in {seconds * 1000:8.1f} ms = {frames / max(seconds, 1e-9):9.0f} fps"


@contextlib.contextmanager
def _workspace(keep: Optional[str]) -> Iterator[str]:
    if keep is not None:
        output_directory(keep)
        yield keep
        return
    with tempfile.TemporaryDirectory(prefix="vorantis-demo-") as tmp:
        yield tmp


def cmd_demo(args: argparse.Namespace) -> int:
    width, height, fps, gop = 320, 240, 25, 25
    clips = {"idle.mp4": (120, 40), "talk.mp4": (50, 160)}
    with _workspace(args.keep) as tmp:
        print(f"building a sample avatar model in {tmp}")
        files = {}
        for name, (n, hue) in clips.items():
            path = os.path.join(tmp, name)
            _encode_demo_clip(path, n, width, height, fps, gop, hue)
            with open(path, "rb") as f:
                files[name] = f.read()
            print(f"  encoded {name}: {n} frames, {width}x{height}, H.264, {fps} fps, "
                  f"a keyframe every {gop} frames, {len(files[name])} bytes")
        manifest = {
            "format_version": vr.IMX_VERSION,
            "name": "demo avatar",
            "videos": {
                "idle": {"file": "idle.mp4", "frames": clips["idle.mp4"][0], "loop": "pingpong"},
                "talk": {"file": "talk.mp4", "frames": clips["talk.mp4"][0], "loop": "forward"},
            },
        }
        files = {"manifest.json": json.dumps(manifest, indent=2).encode("utf-8"), **files}
        masks = _demo_masks(width, height)
        if masks is not None:
            files["masks.h5"] = masks
        model = os.path.join(tmp, "demo_model.imx")
        vr.write_imx_v2_container(model, files)
        box = vr.ImxContainer(model)
        print(f"  packed {model}: {os.path.getsize(model)} bytes, format version {box.format_version}, "
              f"entries {', '.join(box.list_files())}")

        meta = box.metadata
        assert isinstance(meta, dict)
        video = meta["videos"]["idle"]
        offset, size = box.get_entry(video["file"])
        n = video["frames"]
        print(f"playing {video['file']} from the container (offset {offset}, {size} bytes) "
              f"with MP4VideoReader and its frame cache")
        with vr.MP4VideoReader(model, base_offset=offset, file_size=size, frame_count=n,
                               cache_frames=True) as reader:
            t0 = time.perf_counter()
            forward = [reader.get(i) for i in range(n)]
            t_forward = time.perf_counter() - t0
            order = list(range(n - 1, -1, -1)) + list(range(1, n))
            t0 = time.perf_counter()
            mismatches = sum(not np.array_equal(reader.get(i), forward[i]) for i in order)
            t_pingpong = time.perf_counter() - t0
            cached = getattr(reader, "_cache_frames", False)
        # The same ping-pong without the cache: every backward step is a keyframe seek.
        with vr.MP4VideoReader(model, base_offset=offset, file_size=size, frame_count=n) as reader:
            reader.get(n - 1)
            t0 = time.perf_counter()
            mismatches += sum(not np.array_equal(reader.get(i), forward[i]) for i in order)
            t_seeking = time.perf_counter() - t0
        print(f"  forward pass   (decoding):             {_fps(n, t_forward)}")
        print(f"  ping-pong pass (back and forth):       {_fps(len(order), t_pingpong)}"
              f"{' from the cache' if cached else ' (cache refused: over its budget)'}")
        print(f"  ping-pong pass without the cache:      {_fps(len(order), t_seeking)} (keyframe seeks)")
        print(f"  frames of both ping-pong passes equal to the forward pass: "
              f"{'all ' + str(2 * len(order)) if not mismatches else f'{mismatches} differ'}")
        _demo_pictures(tmp, model, width, height, masks is not None)
    if args.keep is None:
        print("done; the temporary folder is removed")
    else:
        print(f"done; the sample model is kept: {model}")
        print("try next:")
        for command in (f"info {model}", f"info {model}::idle.mp4",
                        f"frames {model}::talk.mp4 -o {os.path.join(args.keep, 'png')} --step 10",
                        f"encrypt {os.path.join(args.keep, 'idle.mp4')} {os.path.join(args.keep, 'idle.vrtensor')}",
                        f"info {os.path.join(args.keep, 'idle.vrtensor')}",
                        f"sheet {model} -o {os.path.join(args.keep, 'sheet.png')}",
                        *([f"bbox {os.path.join(args.keep, 'masks.h5')} --width {width} --height {height} "
                           f"--preview {os.path.join(args.keep, 'preview.png')} --over {model}::idle.mp4"]
                          if masks is not None else []),
                        f"extract {model} -o {os.path.join(args.keep, 'unpacked')}"):
            print(f"  {PROG} {command}")
    return 0 if not mismatches else 1


def register(sub) -> None:
    p = sub.add_parser("demo", help="build a sample model and play it (no input needed)",
                       description="Encode two short H.264 clips, pack them with a manifest into a "
                                   "sample model, and play one from the container, timing the passes.")
    p.add_argument("--keep", metavar="DIR", default=None,
                   help="build the sample model in DIR and keep it (default: a temporary folder, removed)")
    progress_option(p, None)
    p.set_defaults(func=cmd_demo)
