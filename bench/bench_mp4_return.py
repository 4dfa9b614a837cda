"""The engine's ping-pong loop without the frame cache: the return pass, random
access on B-frame clips, and the memory a return pass holds, side by side with
what a careful PyAV user writes, in one run.

Run from the repository root with the package installed:
    PYTHONPATH=tests:bench python bench/bench_mp4_return.py [--quick] [--before DIR]

--before DIR adds a second build of this module (DIR/video_reader*.so) as one
more contender, so that a change is measured before and after in one run.

Rows per clip (textured H.264, 8-bit BGR out, medians over interleaved passes;
each pass opens a fresh reader, given its frame count, without the cache):
- forward: get(0..n-1), against a sequential PyAV decode (frame threads "AUTO");
- return: after a forward pass (not timed), get(n-2..0); against the PyAV loop
  that decodes each group once and hands it out reversed (the careful user's
  loop: it holds a whole group) and the loop that seeks for every frame;
- random: 30 random targets (seeded), against a PyAV seek loop with and without
  frame threads;
- memory: peak RSS over the return pass minus peak RSS over the forward pass,
  each measured in a child process (VmHWM reset between the passes).
"ratio" is the fastest peer's time over ours (above 1: ours is faster); fps
are frames handed out per second.

--codecs prints which decoders honour skip_frame "NONREF" (frames output out
of all, decoding a whole clip with B-frames or their codec's equivalent) and
whether the clip's timestamps reorder (the reader skips only where they do).
"""

from __future__ import annotations

import argparse
import bisect
import glob
import importlib.util
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import av

from bench_mp4_reader import encode_textured
from timing import interleaved
from vorantis.engine.video_reader import MP4VideoReader

CLIPS = [  # (name, width, height, frames, gop, bframes)
    ("512x512 gop25", 512, 512, 100, 25, 0),
    ("512x512 gop25 B", 512, 512, 100, 25, 2),
    ("720p gop25", 1280, 720, 100, 25, 0),
    ("720p gop25 B", 1280, 720, 100, 25, 2),
    ("720p gop250 B", 1280, 720, 250, 250, 2),
    ("1080p gop250 B", 1920, 1080, 250, 250, 2),
]


def clip_path(directory: Path, name: str, w: int, h: int, n: int, gop: int, bf: int) -> Path:
    path = directory / (name.replace(" ", "_") + ".mp4")
    if not path.exists():
        tmp = path.with_suffix(".part.mp4")
        encode_textured_b(tmp, n, w, h, gop, bf)
        tmp.rename(path)
    return path


def encode_textured_b(path: Path, n: int, w: int, h: int, gop: int, bframes: int) -> None:
    if bframes == 0:
        encode_textured(path, n, w, h, gop)
        return
    import numpy as np
    import media

    noise = np.random.default_rng(1).integers(0, 128, (h, w, 3), dtype=np.uint8)
    media.encode_h264(str(path), n, width=w, height=h, gop=gop, bframes=bframes,
                      picture=lambda i, ww, hh: np.maximum(media.frame_image(i, ww, hh),
                                                           np.roll(noise, 3 * i, axis=1)))


def load_before(directory: str):
    so = glob.glob(os.path.join(directory, "video_reader*.so"))[0]
    spec = importlib.util.spec_from_file_location("vorantis_before.video_reader", so)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.MP4VideoReader


class Timeline:
    """A PyAV user's table of the stream: sorted timestamps and keyframe indices."""

    def __init__(self, path: str):
        with av.open(path) as c:
            s = c.streams.video[0]
            packets = [(p.pts, p.is_keyframe) for p in c.demux(s) if p.size]
        self.pts = sorted(p for p, _ in packets)
        self.keys = sorted(bisect.bisect_left(self.pts, p) for p, k in packets if k)
        self.index_of = {p: i for i, p in enumerate(self.pts)}

    def key_before(self, t: int) -> int:
        return self.keys[bisect.bisect_right(self.keys, t) - 1]


def open_stream(path: str, threads: str = "AUTO"):
    c = av.open(path)
    s = c.streams.video[0]
    s.thread_type = threads
    return c, s


# --- contenders --------------------------------------------------------------

def ours_forward(cls):
    def run(path, n, tl):
        r = cls(path, frame_count=n)
        for i in range(n):
            r.get(i)
        r.close()
    return run


def ours_forward_next(cls):
    def run(path, n, tl):
        r = cls(path, frame_count=n)
        for _ in range(n):
            r.get_next()
        r.close()
    return run


def ours_return(cls):
    def run(path, n, tl, reader):
        for i in range(n - 2, -1, -1):
            reader.get(i)
    return run


def ours_random(cls, targets):
    def run(path, n, tl):
        r = cls(path, frame_count=n)
        for t in targets:
            r.get(t)
        r.close()
    return run


def pyav_forward(path, n, tl):
    c, s = open_stream(path)
    for f in c.decode(s):
        f.to_ndarray(format="bgr24")
    c.close()


def careful_return(path, n, tl, state):
    """Decodes each group once (from its keyframe to the frame before the group
    handed out last) and hands its frames out last to first."""
    c, s = state
    end = n - 1  # frames >= end are handed out already
    while end > 0:
        k = tl.key_before(end - 1)
        c.seek(tl.pts[k], backward=True, stream=s)
        group = []
        for f in c.decode(s):
            i = tl.index_of[f.pts]
            if i >= end:
                break
            if i >= k:
                group.append(f.to_ndarray(format="bgr24"))
        for _ in reversed(group):
            pass
        end = k


def seek_per_frame_return(path, n, tl, state):
    c, s = state
    for t in range(n - 2, -1, -1):
        c.seek(tl.pts[tl.key_before(t)], backward=True, stream=s)
        for f in c.decode(s):
            if tl.index_of[f.pts] >= t:
                f.to_ndarray(format="bgr24")
                break


def pyav_random(threads: str, targets):
    def run(path, n, tl):
        c, s = open_stream(path, threads)
        for t in targets:
            c.seek(tl.pts[tl.key_before(t)], backward=True, stream=s)
            for f in c.decode(s):
                if tl.index_of[f.pts] >= t:
                    f.to_ndarray(format="bgr24")
                    break
        c.close()
    return run


def faults_per_frame(cls, path: str, n: int, use_next: bool) -> float:
    """Minor page faults per frame of a forward pass after its first frames:
    fresh pages the allocator hands out for frames and copies (default glibc
    thresholds, as users run)."""
    import resource

    r = cls(path, frame_count=n)
    step = r.get_next if use_next else None
    for i in range(5):
        step() if step else r.get(i)
    f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for i in range(5, n):
        step() if step else r.get(i)
    f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    r.close()
    return (f1 - f0) / (n - 5)


# --- memory, in a child ------------------------------------------------------

def vm_hwm_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def memory_child(path: str, n: int, passes: int) -> None:
    reader = MP4VideoReader(path, frame_count=n)
    for i in range(n):
        reader.get(i)
    forward = vm_hwm_mib()
    peaks = []
    for _ in range(passes):
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        for i in range(n - 2, -1, -1):
            reader.get(i)
        for i in range(1, n):
            reader.get(i)
        peaks.append(vm_hwm_mib())
    print(json.dumps({"forward": forward, "return": peaks}))


def memory_row(path: str, n: int, passes: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--memory-child", path, str(n), str(passes)],
                         capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    return json.loads(out.stdout)


# --- which decoders skip ----------------------------------------------------------

SKIP_CODECS = [  # (name, encoder, options, container format, max_b_frames)
    ("H.264", "libx264", {"bf": "2", "g": "24", "preset": "fast"}, "mp4", None),
    ("HEVC", "libx265", {"x265-params": "bframes=3:keyint=24:min-keyint=24:log-level=error"}, "mp4", None),
    ("VP9", "libvpx-vp9", {"g": "24", "lag-in-frames": "16", "auto-alt-ref": "1"}, "webm", None),
    ("AV1", "libsvtav1", {"g": "24"}, "matroska", None),
    ("MPEG-4 part 2", "mpeg4", {"g": "24"}, "mp4", 2),
    ("MPEG-2", "mpeg2video", {"g": "24"}, "mpegts", 2),
]


def skip_table(directory: Path) -> None:
    import fractions

    import media

    print(f"{'codec':16s} {'decoder':12s} {'frames':>6s} {'NONREF':>6s} reorders")
    for name, encoder, options, fmt, bframes in SKIP_CODECS:
        path = directory / f"skip_{encoder}.{fmt}"
        try:
            with av.open(str(path), "w", format=fmt) as out:
                s = out.add_stream(encoder, rate=25)
                s.width, s.height, s.pix_fmt = 128, 96, "yuv420p"
                s.codec_context.gop_size = 24
                if bframes:
                    s.codec_context.max_b_frames = bframes
                s.options = options
                for i in range(48):
                    f = av.VideoFrame.from_ndarray(media.frame_image(i, 128, 96), format="rgb24")
                    f.pts, f.time_base = i, fractions.Fraction(1, 25)
                    for p in s.encode(f):
                        out.mux(p)
                for p in s.encode():
                    out.mux(p)
        except Exception as e:  # an encoder this PyAV lacks
            print(f"{name:16s} (no encoder: {e})")
            continue
        with av.open(str(path)) as c:
            pts = [p.pts for p in c.demux(video=0) if p.size]
        counts = []
        for skip in ("DEFAULT", "NONREF"):
            with av.open(str(path)) as c:
                s = c.streams.video[0]
                s.codec_context.skip_frame = skip
                decoder = s.codec_context.codec.name
                counts.append(sum(1 for _ in c.decode(s)))
        reorders = any(b < a for a, b in zip(pts, pts[1:]))
        print(f"{name:16s} {decoder:12s} {counts[0]:6d} {counts[1]:6d} {'yes' if reorders else 'no'}")


# --- the table ---------------------------------------------------------------

def fps(seconds: float, frames: int) -> str:
    return f"{frames / seconds:7.1f}"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="3 rounds, the 512x512 and 720p gop25 clips")
    ap.add_argument("--before", metavar="DIR")
    ap.add_argument("--clips", help="comma-separated substrings of the clip names to run")
    ap.add_argument("--rounds", type=int, help="rounds per row (default 5, 3 with --quick)")
    ap.add_argument("--codecs", action="store_true", help="only the table of decoders that skip")
    ap.add_argument("--memory-child", nargs=3, metavar=("PATH", "N", "PASSES"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]), int(args.memory_child[2]))
        return
    directory = Path(tempfile.gettempdir()) / "vorantis-bench-return"
    directory.mkdir(exist_ok=True)
    if args.codecs:
        skip_table(directory)
        return
    rounds = args.rounds or (3 if args.quick else 5)
    clips = CLIPS[:4] if args.quick else CLIPS
    if args.clips:
        clips = [c for c in clips if any(s in c[0] for s in args.clips.split(","))]
    before = load_before(args.before) if args.before else None
    print(f"PyAV {av.__version__}; {rounds} rounds; medians; fps = frames handed out per second")
    for name, w, h, n, gop, bf in clips:
        path = str(clip_path(directory, name, w, h, n, gop, bf))
        tl = Timeline(path)
        n = len(tl.pts)
        print(f"\n## {name}: {n} frames")

        # return pass: a reader (or PyAV state) after a forward pass, untimed set-up
        builds = {"ours": MP4VideoReader} | ({"before": before} if before else {})
        ret_times = {k: [] for k in list(builds) + ["careful PyAV loop", "seek-per-frame PyAV"]}
        slow = n * max(w * h // (1280 * 720), 1) > 200 and gop > 100
        for _ in range(rounds):
            for label, cls in builds.items():
                if label == "before" and slow:
                    continue
                r = cls(path, frame_count=n)
                for i in range(n):
                    r.get(i)
                t = interleaved({label: lambda: ours_return(cls)(path, n, tl, r)}, 1)[label][0]
                ret_times[label].append(t)
                r.close()
            for label, fn in (("careful PyAV loop", careful_return),
                              ("seek-per-frame PyAV", seek_per_frame_return)):
                if label.startswith("seek") and gop > 100:
                    continue
                c, s = open_stream(path)
                for f in c.decode(s):
                    pass
                state = (c, s)
                ret_times[label].append(
                    interleaved({label: lambda: fn(path, n, tl, state)}, 1)[label][0])
                c.close()
        med = {k: statistics.median(v) for k, v in ret_times.items() if v}
        peer = med["careful PyAV loop"]
        print(f"{'return pass':34s} {'fps':>7s}  ratio")
        for k, v in med.items():
            print(f"  {k:32s} {fps(v, n - 1)}  {peer / v:5.2f}" if k in builds else
                  f"  {k:32s} {fps(v, n - 1)}")

        # forward and random access
        rng = random.Random(7)
        targets = [rng.randrange(n) for _ in range(30)]
        cands = {"ours forward": ours_forward(MP4VideoReader),
                 "ours forward get_next": ours_forward_next(MP4VideoReader),
                 "PyAV forward": pyav_forward,
                 "ours random x30": ours_random(MP4VideoReader, targets),
                 "PyAV random x30 AUTO": pyav_random("AUTO", targets),
                 "PyAV random x30 1 thread": pyav_random("NONE", targets)}
        if before:
            cands["before forward"] = ours_forward(before)
            cands["before random x30"] = ours_random(before, targets)
        if slow:
            cands = {k: v for k, v in cands.items() if "random" in k}
        wall = interleaved({k: (lambda fn=fn: fn(path, n, tl)) for k, fn in cands.items()},
                           rounds, shuffle=True)
        m = {k: statistics.median(v) for k, v in wall.items()}
        if "ours forward" in m:
            print(f"  forward: ours {fps(m['ours forward'], n)} fps (get_next "
                  f"{fps(m['ours forward get_next'], n)}), PyAV {fps(m['PyAV forward'], n)} fps,"
                  f" ratio {m['PyAV forward'] / m['ours forward']:.2f}"
                  + (f"; before {fps(m['before forward'], n)} fps" if before else ""))
        if "ours forward" in m:
            faults = {label: faults_per_frame(cls, path, n, use_next)
                      for label, cls, use_next in [("get", MP4VideoReader, False),
                                                   ("get_next", MP4VideoReader, True)]
                      + ([("before get", before, False)] if before else [])}
            print("  minor page faults per frame, forward: "
                  + ", ".join(f"{k} {v:.0f}" for k, v in faults.items()))
        best = min(m["PyAV random x30 AUTO"], m["PyAV random x30 1 thread"])
        print(f"  random x30: ours {m['ours random x30'] * 1e3:7.1f} ms, PyAV AUTO "
              f"{m['PyAV random x30 AUTO'] * 1e3:.1f} ms, 1 thread {m['PyAV random x30 1 thread'] * 1e3:.1f} ms,"
              f" ratio {best / m['ours random x30']:.2f}"
              + (f"; before {m['before random x30'] * 1e3:.1f} ms (ratio "
                 f"{best / m['before random x30']:.2f})" if before else ""))
        mem = memory_row(path, n, 2 if args.quick else 10)
        extra = ", ".join(f"{p - mem['forward']:+.0f}" for p in mem["return"])
        print(f"  memory: peak RSS forward {mem['forward']:.0f} MiB; over return+forward passes "
              f"{extra} MiB")


if __name__ == "__main__":
    main()
