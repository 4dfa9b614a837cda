"""MP4VideoReader.get against other frame readers: random, strided and sequential
access, side by side in one run.

Run from the repository root after ./scripts/dev_build.sh:
    PYTHONPATH=python:tests python bench/bench_mp4_access.py [--quick] [--flat]

The peers are installed for this script only (never runtime dependencies):
    pip install decord opencv-python-headless
A peer that is not installed is left out of the table.

Every pass opens a fresh reader (construction is part of the cost, as for the
engine, which passes the frame count it knows), takes the frames of one access
pattern as 8-bit arrays (BGR, or RGB for decord) and drops them. Each cell is the
median over interleaved passes; "ratio" is the fastest peer's time over ours
(above 1: `get` is faster). The PyAV loops are what a careful PyAV user writes:
seek to the keyframe at or before the target whenever that keyframe lies after
the decoder's position, decode on otherwise; once with the decoder's own
threading ("AUTO", as the reader uses) and once single-threaded, which shows
what refilling the frame-thread pipeline after each seek costs.

Like bench_mp4_reader.py, the script re-runs itself with glibc's mmap and trim
thresholds pinned, so that freeing multi-MiB frames does not turn into page
faults that reorder the figures.
"""

from __future__ import annotations

import argparse
import bisect
import random
import statistics
import tempfile
from pathlib import Path

import av

import media
from timing import interleaved, pin_malloc_thresholds
from bench_mp4_reader import encode_textured, ours_random
from vorantis.engine.video_reader import MP4VideoReader

try:
    import decord
except ImportError:  # pragma: no cover - optional peer
    decord = None
try:
    import cv2
except ImportError:  # pragma: no cover - optional peer
    cv2 = None

CLIPS = [  # label, frames, width, height, keyframe interval
    ("512x512", 300, 512, 512, 25),
    ("1280x720", 150, 1280, 720, 50),
]


def patterns(n: int) -> dict[str, list[int]]:
    rng = random.Random(7)
    return {
        "random x30": [rng.randrange(n) for _ in range(30)],
        "every 7th": list(range(0, n, 7)),
        "every 50th": list(range(0, n, 50)),
        "sequential": list(range(n)),
    }


# --- contenders: each opens, reads `targets` in order, closes ---------------

def ours_next(path: str, n: int, targets: list[int]) -> None:
    reader = MP4VideoReader(path, frame_count=n)
    for _ in targets:
        reader.get_next()
    reader.close()


def decord_reader(path: str, n: int, targets: list[int]) -> None:
    vr = decord.VideoReader(path, ctx=decord.cpu(0))
    for i in targets:
        vr[i].asnumpy()
    del vr


def opencv_reader(path: str, n: int, targets: list[int]) -> None:
    cap = cv2.VideoCapture(path)
    sequential = targets == list(range(len(targets)))
    for i in targets:
        if not sequential:
            cap.set(cv2.CAP_PROP_POS_FRAMES, i)
        ok, _ = cap.read()
        assert ok
    cap.release()


def pyav_loop(thread_type: str):
    def run(path: str, n: int, targets: list[int]) -> None:
        container = av.open(path)
        stream = container.streams.video[0]
        stream.thread_type = thread_type
        packets = [(p.pts, p.is_keyframe) for p in container.demux(stream) if p.size]
        pts = sorted(p for p, _ in packets)
        keys = sorted(bisect.bisect_left(pts, p) for p, key in packets if key)
        index_of = {p: i for i, p in enumerate(pts)}
        frames, pos, frame = None, -1, None
        for t in targets:
            k = keys[bisect.bisect_right(keys, t) - 1]
            if frame is None or t < pos or k > pos:
                container.seek(pts[k], backward=True, stream=stream)
                frames, frame = container.decode(stream), None
            while frame is None or pos < t:
                frame = next(frames)
                pos = index_of[frame.pts]
            frame.to_ndarray(format="bgr24").copy()
        container.close()
    return run


def contenders() -> dict[str, object]:
    found = {"ours: get": ours_random, "ours: get_next": ours_next}
    if decord is not None:
        found["decord"] = decord_reader
    if cv2 is not None:
        found["OpenCV"] = opencv_reader
    found["PyAV loop, AUTO threads"] = pyav_loop("AUTO")
    found["PyAV loop, 1 thread"] = pyav_loop("NONE")
    return found


def measure(path: str, n: int, targets: list[int], who: dict, repeats: int) -> dict[str, float]:
    runs = interleaved({name: (lambda fn=fn: fn(path, n, targets)) for name, fn in who.items()}, repeats)
    return {name: statistics.median(t) for name, t in runs.items()}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--flat", action="store_true",
                        help="the flat index pattern of the tests instead of textured frames")
    args = parser.parse_args()
    pin_malloc_thresholds()
    repeats = 3 if args.quick else 7
    print(f"PyAV {av.__version__}, decord {getattr(decord, '__version__', 'absent')}, "
          f"OpenCV {getattr(cv2, '__version__', 'absent')}, "
          f"{'flat' if args.flat else 'textured'} frames, {repeats} passes, ms per pass (median)")
    every = contenders()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for label, n, width, height, gop in CLIPS:
            path = Path(tmp) / f"{label}.mp4"
            if args.flat:
                media.encode_h264(str(path), n, width=width, height=height, gop=gop)
            else:
                encode_textured(path, n, width, height, gop)
            for pattern, targets in patterns(n).items():
                who = {k: v for k, v in every.items()
                       if k != "ours: get_next" or pattern == "sequential"}
                got = measure(str(path), n, targets, who, repeats)
                rows.append((f"{label} gop{gop}", pattern, len(targets), got))

    names = list(every)
    print()
    print(f"{'clip':<15} {'pattern':<11} {'n':>4} " + " ".join(f"{k[:14]:>14}" for k in names)
          + f" {'ratio':>6}  fastest peer")
    for clip, pattern, count, got in rows:
        peers = {k: v for k, v in got.items() if not k.startswith("ours")}
        best = min(peers, key=peers.get)
        ours_best = got["ours: get"]
        cells = " ".join(f"{got[k] * 1e3:>14.1f}" if k in got else f"{'-':>14}" for k in names)
        print(f"{clip:<15} {pattern:<11} {count:>4} {cells} {peers[best] / ours_best:>6.2f}  {best}")


if __name__ == "__main__":
    main()
