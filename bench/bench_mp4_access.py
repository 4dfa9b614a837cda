"""MP4VideoReader against other frame readers for every access pattern an engine
uses: random, strided and sequential access, playback after a jump, clip-switch
latency, time to the first frame and endless playback, side by side in one run.

Run from the repository root after ./scripts/dev_build.sh:
    PYTHONPATH=python:tests python bench/bench_mp4_access.py [--quick] [--flat]
        [--before DIR] [--tuned]

--before DIR adds a second build of this module (DIR/video_reader*.so, for
instance the build of an earlier commit) as one more contender, so that a
change is measured before and after in the same run.

The peers are installed for this script only (never runtime dependencies):
    pip install decord opencv-python-headless
A peer that is not installed is left out of the table.

Every pass of the pattern rows opens a fresh reader (construction is part of
the cost, as for the engine, which passes the frame count it knows), takes the
frames of one access pattern as 8-bit arrays (BGR, or RGB for decord) and
drops them. Each cell is the median over interleaved passes; "ratio" is the
fastest peer's time over ours (above 1: ours is faster). The PyAV loops are
what a careful PyAV user writes: seek to the keyframe at or before the target
whenever the target is behind the decoder or that keyframe lies after it,
decode on otherwise; once with the decoder's own threading ("AUTO") and once
single-threaded.

Latency rows time single calls on one open reader: a jump to a random frame
(clip switch), and `get_next` over three loops of the clip (playback; the
worst call must stay far below a 40 ms frame budget).

The figures are taken with the allocator as users run it (glibc's default
thresholds). --tuned then runs the whole table once more in a child with glibc's
mmap and trim thresholds pinned (freed multi-MiB frames keep their pages), printed
after the default figures: a tuned figure is only ever read beside the default one.
"""

from __future__ import annotations

import argparse
import bisect
import glob
import importlib.util
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

import av

import media
from timing import interleaved, malloc_setting, run_tuned
from bench_mp4_reader import encode_textured
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
PLAY_RUN = 120


def patterns(n: int) -> dict[str, list[int]]:
    rng = random.Random(7)
    jumps = [rng.randrange(n - PLAY_RUN) for _ in range(3)]
    return {
        "random x30": [rng.randrange(n) for _ in range(30)],
        "every 7th": list(range(0, n, 7)),
        "every 50th": list(range(0, n, 50)),
        "sequential": list(range(n)),
        "play after jump": [t + i for t in jumps for i in range(PLAY_RUN + 1)],
    }


def load_before(directory: str):
    """The MP4VideoReader of another build of this module, under its own name."""
    so = glob.glob(str(Path(directory) / "video_reader*.so"))[0]
    spec = importlib.util.spec_from_file_location("vorantis_before.video_reader", so)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.MP4VideoReader


# --- contenders: each opens, reads `targets` in order, closes ---------------

def ours(cls, use_next: bool = False):
    """`get` for every target; with `use_next`, `get_next` for a target that
    follows the one before (playback), `get` for a jump."""
    def run(path: str, n: int, targets: list[int]) -> None:
        reader = cls(path, frame_count=n)
        last = None
        for i in targets:
            if use_next and last is not None and i == last + 1:
                reader.get_next()
            else:
                reader.get(i)
            last = i
        reader.close()
    return run


def decord_reader(path: str, n: int, targets: list[int]) -> None:
    vr = decord.VideoReader(path, ctx=decord.cpu(0))
    for i in targets:
        vr[i].asnumpy()
    del vr


def opencv_reader(path: str, n: int, targets: list[int]) -> None:
    cap = cv2.VideoCapture(path)
    pos = -1
    for i in targets:
        if i != pos + 1:
            cap.set(cv2.CAP_PROP_POS_FRAMES, i)
        ok, _ = cap.read()
        assert ok
        pos = i
    cap.release()


class PyAVLoop:
    """A PyAV user's reader: a timeline from one demux, seeks to the keyframe at
    or before the target when the target is behind or beyond the next keyframe."""

    def __init__(self, path: str, thread_type: str):
        self.container = av.open(path)
        self.stream = self.container.streams.video[0]
        self.stream.thread_type = thread_type
        packets = [(p.pts, p.is_keyframe) for p in self.container.demux(self.stream) if p.size]
        self.pts = sorted(p for p, _ in packets)
        self.keys = sorted(bisect.bisect_left(self.pts, p) for p, key in packets if key)
        self.index_of = {p: i for i, p in enumerate(self.pts)}
        self.frames, self.pos, self.frame = None, -1, None

    def get(self, t: int):
        k = self.keys[bisect.bisect_right(self.keys, t) - 1]
        if self.frame is None or t < self.pos or k > self.pos:
            self.container.seek(self.pts[k], backward=True, stream=self.stream)
            self.frames, self.frame = self.container.decode(self.stream), None
        while self.frame is None or self.pos < t:
            self.frame = next(self.frames)
            self.pos = self.index_of[self.frame.pts]
        return self.frame.to_ndarray(format="bgr24").copy()

    def close(self) -> None:
        self.container.close()


def pyav_loop(thread_type: str):
    def run(path: str, n: int, targets: list[int]) -> None:
        loop = PyAVLoop(path, thread_type)
        for t in targets:
            loop.get(t)
        loop.close()
    return run


def lineup(mine, before, labels: tuple[str, str], decord_fn, opencv_fn, pyav_fn,
           pyav_label: str) -> dict[str, object]:
    """Our two variants (`mine(cls, second)`, for this build and the `before` one),
    then the peers that are installed, then the two PyAV loops."""
    found = {f"ours{labels[0]}": mine(MP4VideoReader, False),
             f"ours{labels[1]}": mine(MP4VideoReader, True)}
    if before is not None:
        found[f"before{labels[0]}"] = mine(before, False)
        found[f"before{labels[1]}"] = mine(before, True)
    if decord is not None:
        found["decord"] = decord_fn
    if cv2 is not None:
        found["OpenCV"] = opencv_fn
    found[f"{pyav_label}, AUTO"] = pyav_fn("AUTO")
    found[f"{pyav_label}, 1 thread"] = pyav_fn("NONE")
    return found


def contenders(before) -> dict[str, object]:
    return lineup(ours, before, (": get", ": get_next"), decord_reader, opencv_reader, pyav_loop,
                  "PyAV loop")


def measure(path: str, n: int, targets: list[int], who: dict, repeats: int) -> dict[str, float]:
    runs = interleaved({name: (lambda fn=fn: fn(path, n, targets)) for name, fn in who.items()}, repeats)
    return {name: statistics.median(t) for name, t in runs.items()}


# --- first frame -------------------------------------------------------------

def first_frames(before) -> dict[str, object]:
    def ours_first(cls, given: bool):
        def run(path: str, n: int) -> None:
            reader = cls(path, frame_count=n if given else 0)
            reader.get(0)
            reader.close()
        return run

    def pyav_first(thread_type: str):
        def run(path: str, n: int) -> None:
            with av.open(path) as container:
                stream = container.streams.video[0]
                stream.thread_type = thread_type
                next(container.decode(stream)).to_ndarray(format="bgr24")
        return run

    def decord_first(path: str, n: int) -> None:
        vr = decord.VideoReader(path, ctx=decord.cpu(0))
        vr[0].asnumpy()
        del vr

    def opencv_first(path: str, n: int) -> None:
        cap = cv2.VideoCapture(path)
        ok, _ = cap.read()
        assert ok
        cap.release()

    return lineup(lambda cls, counted: ours_first(cls, not counted), before,
                  (", count given", ", counted"), decord_first, opencv_first, pyav_first, "PyAV")


# --- latency of single calls on one open reader ------------------------------

def jump_latencies(path: str, n: int, before, rounds: int) -> dict[str, list[float]]:
    """Seconds per jump to a random frame, every contender on its own open reader,
    taking turns jump by jump."""
    readers = {"ours": MP4VideoReader(path, frame_count=n)}
    if before is not None:
        readers["before"] = before(path, frame_count=n)
    getters = {name: r.get for name, r in readers.items()}
    loops = {}
    if decord is not None:
        vr = decord.VideoReader(path, ctx=decord.cpu(0))
        getters["decord"] = lambda i: vr[i].asnumpy()
    if cv2 is not None:
        cap = cv2.VideoCapture(path)

        def cv_get(i):
            cap.set(cv2.CAP_PROP_POS_FRAMES, i)
            return cap.read()
        getters["OpenCV"] = cv_get
    for label, tt in [("PyAV loop, AUTO", "AUTO"), ("PyAV loop, 1 thread", "NONE")]:
        loops[label] = PyAVLoop(path, tt)
        getters[label] = loops[label].get
    for get in getters.values():
        get(0)
    rng = random.Random(3)
    times = {name: [] for name in getters}
    for _ in range(rounds):
        t = rng.randrange(n)
        for name, get in getters.items():
            t0 = time.perf_counter()
            get(t)
            times[name].append(time.perf_counter() - t0)
    for r in readers.values():
        r.close()
    for loop in loops.values():
        loop.close()
    if cv2 is not None:
        cap.release()
    return times


def playback_latencies(path: str, n: int, cls, loops: int) -> list[float]:
    """Seconds per get_next call over `loops` passes of the clip, from a new reader."""
    reader = cls(path, frame_count=n)
    times = []
    for _ in range(loops * n):
        t0 = time.perf_counter()
        reader.get_next()
        times.append(time.perf_counter() - t0)
    reader.close()
    return times


def pct(samples: list[float], q: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--flat", action="store_true",
                        help="the flat index pattern of the tests instead of textured frames")
    parser.add_argument("--before", metavar="DIR", help="another build of the module to compare")
    parser.add_argument("--tuned", action="store_true",
                        help="then the same table with glibc's mmap/trim thresholds pinned")
    args = parser.parse_args()
    before = load_before(args.before) if args.before else None
    repeats = 3 if args.quick else 7
    print(f"PyAV {av.__version__}, decord {getattr(decord, '__version__', 'absent')}, "
          f"OpenCV {getattr(cv2, '__version__', 'absent')}, "
          f"{'flat' if args.flat else 'textured'} frames, {repeats} passes, medians; "
          f"allocator {malloc_setting()}")
    every = contenders(before)
    firsts = first_frames(before)
    rows, first_rows, jump_rows, play_rows = [], [], [], []
    with tempfile.TemporaryDirectory() as tmp:
        for label, n, width, height, gop in CLIPS:
            clip = f"{label} gop{gop}"
            path = Path(tmp) / f"{label}.mp4"
            if args.flat:
                media.encode_h264(str(path), n, width=width, height=height, gop=gop)
            else:
                encode_textured(path, n, width, height, gop)
            for pattern, targets in patterns(n).items():
                uses_next = pattern in ("sequential", "play after jump")
                who = {k: v for k, v in every.items() if uses_next or not k.endswith("get_next")}
                got = measure(str(path), n, targets, who, repeats)
                rows.append((clip, pattern, len(targets), got))
            runs = interleaved({k: (lambda fn=fn: fn(str(path), n)) for k, fn in firsts.items()},
                               repeats * 3)
            first_rows.append((clip, {k: statistics.median(v) for k, v in runs.items()}))
            jump_rows.append((clip, jump_latencies(str(path), n, before, 40 if args.quick else 120)))
            play = {"ours": playback_latencies(str(path), n, MP4VideoReader, 3)}
            if before is not None:
                play["before"] = playback_latencies(str(path), n, before, 3)
            play_rows.append((clip, play))

    def fastest_peer(got):
        peers = {k: v for k, v in got.items() if not k.startswith(("ours", "before"))}
        best = min(peers, key=peers.get)
        return best, peers[best]

    names = list(every)
    print("\nms per pass; ratio = fastest peer / ours (the faster of get and get_next for playback)")
    print(f"{'clip':<16} {'pattern':<16} {'n':>4} " + " ".join(f"{k[:13]:>13}" for k in names)
          + f" {'ratio':>6}  fastest peer")
    for clip, pattern, count, got in rows:
        best, best_t = fastest_peer(got)
        mine = min(v for k, v in got.items() if k.startswith("ours"))
        cells = " ".join(f"{got[k] * 1e3:>13.1f}" if k in got else f"{'-':>13}" for k in names)
        extra = ""
        if before is not None:
            was = min(v for k, v in got.items() if k.startswith("before"))
            extra = f"  (before: {best_t / was:.2f})"
        print(f"{clip:<16} {pattern:<16} {count:>4} {cells} {best_t / mine:>6.2f}  {best}{extra}")

    print("\nopen + frame 0, ms (ratio = fastest peer / ours)")
    for clip, got in first_rows:
        best, best_t = fastest_peer(got)
        cells = ", ".join(f"{k} {v * 1e3:.2f}" for k, v in got.items())
        ratios = ", ".join(f"{k} {best_t / v:.2f}" for k, v in got.items()
                           if k.startswith(("ours", "before")))
        print(f"{clip:<16} {cells}\n{'':<16} fastest peer {best}; ratios: {ratios}")

    print("\nclip switch: one jump to a random frame on an open reader, ms p50 / p99")
    for clip, times in jump_rows:
        cells = ", ".join(f"{k} {pct(v, 0.5) * 1e3:.1f} / {pct(v, 0.99) * 1e3:.1f}"
                          for k, v in times.items())
        peers = {k: v for k, v in times.items() if k not in ("ours", "before")}
        best = min(peers, key=lambda k: pct(peers[k], 0.99))
        ratios = ", ".join(f"{k} p50 {pct(peers[best], 0.5) / pct(times[k], 0.5):.2f} "
                           f"p99 {pct(peers[best], 0.99) / pct(times[k], 0.99):.2f}"
                           for k in ("ours", "before") if k in times)
        print(f"{clip:<16} {cells}\n{'':<16} against {best}: {ratios}")

    print("\nendless playback: get_next over three loops of the clip, ms p50 / p99 / worst")
    for clip, play in play_rows:
        cells = ", ".join(f"{k} {pct(v, 0.5) * 1e3:.2f} / {pct(v, 0.99) * 1e3:.2f} / "
                          f"{max(v) * 1e3:.2f}" for k, v in play.items())
        print(f"{clip:<16} {cells}")

    if args.tuned:
        run_tuned([a for a in sys.argv[1:] if a != "--tuned"])


if __name__ == "__main__":
    main()
