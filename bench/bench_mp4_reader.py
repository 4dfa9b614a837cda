"""MP4VideoReader against plain PyAV loops doing the same work, side by side.

Run from the repository root after ./scripts/dev_build.sh:
    PYTHONPATH=python:tests python bench/bench_mp4_reader.py [--quick] [--tuned]

Prints one table of medians (over repeated, interleaved runs) and ratios.

Every frame is dropped as soon as it is returned, as the engine does. A frame is
786 KiB to 2.7 MiB, above glibc's mmap threshold, and with the default settings
the order in which a loop frees its arrays decides whether each one comes with
hundreds of page faults, for us and the loops alike. Users run with the default
settings, so the table is measured with them; --tuned then prints the same table
once more from a child with glibc's mmap and trim thresholds pinned (freed frames
keep their pages), beside the default figures, never instead of them.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import random
import statistics
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import av
import numpy as np

import media
from timing import malloc_setting, run_tuned, side_by_side
from vorantis.engine.video_reader import MP4VideoReader

N_FRAMES = 300


def rss_mib() -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def timed(fn) -> float:
    """Seconds of one call (for passes that depend on the one before)."""
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def open_pyav(path: Path):
    container = av.open(str(path))
    stream = container.streams.video[0]
    stream.thread_type = "AUTO"
    return container, stream


# --- the baselines ----------------------------------------------------------

def pyav_sequential(path: Path) -> None:
    container, _ = open_pyav(path)
    for frame in container.decode(video=0):
        bgr = frame.to_ndarray(format="bgr24")
        out = bgr.copy()  # noqa: F841
    container.close()


def pyav_count(path: Path) -> int:
    container, _ = open_pyav(path)
    n = sum(1 for _ in container.decode(video=0))
    container.close()
    return n


def pyav_random_one(container, stream, t: int) -> None:
    """Seek to the keyframe before frame t, decode up to it, convert and copy it."""
    target_pts = int(round(t / float(stream.average_rate) / float(stream.time_base)))
    container.seek(target_pts, backward=True, stream=stream)
    for frame in container.decode(video=0):
        if frame.pts >= target_pts:
            bgr = frame.to_ndarray(format="bgr24")
            out = bgr.copy()  # noqa: F841
            break


def pyav_random(path: Path, targets: list[int]) -> None:
    container, stream = open_pyav(path)
    for t in targets:
        pyav_random_one(container, stream, t)
    container.close()


def copies_of(arrays) -> None:
    for a in arrays:
        np.copy(a)


# --- our reader -------------------------------------------------------------

def gets(reader, indices) -> None:
    for i in indices:
        reader.get(i)


def ours_sequential(path: Path, n: int) -> None:
    reader = MP4VideoReader(str(path), frame_count=n)
    gets(reader, range(n))
    reader.close()


def ours_random(path: Path, n: int, targets: list[int]) -> None:
    reader = MP4VideoReader(str(path), frame_count=n)
    gets(reader, targets)
    reader.close()


def bench_video(label: str, path: Path, repeats: int, rows: list) -> None:
    n = N_FRAMES

    def row(what, ours, base, base_name, unit=1e3, suffix="ms"):
        rows.append((label, what, ours * unit, base * unit, base_name, ours / base, suffix))

    # Sequential get(0..n-1) against a plain decode loop.
    # (Short runs, so more rounds: the shared machine's noise is a few percent.)
    ours, base = side_by_side(lambda: ours_sequential(path, n), lambda: pyav_sequential(path),
                              3 * repeats)
    row("sequential get, whole video", ours, base, "PyAV decode loop")

    # Uncached random access against a plain seek-and-decode loop.
    rng = random.Random(7)
    targets = [rng.randrange(n) for _ in range(60)]
    ours, base = side_by_side(lambda: ours_random(path, n, targets), lambda: pyav_random(path, targets),
                              repeats)
    row("random get x60, no cache", ours, base, "PyAV seek+decode")

    # The seek path alone: every target behind the previous one (a forward
    # target is reached by decoding on unless a keyframe far enough ahead makes
    # a seek cheaper, so random targets mix both paths).
    back = sorted(rng.sample(range(1, n), 60), reverse=True)
    ours, base = side_by_side(lambda: ours_random(path, n, back), lambda: pyav_random(path, back),
                              repeats)
    row("backward get x60, no cache", ours, base, "PyAV seek+decode")

    # Construction with a known frame count: no decoding.
    def construct_known():
        MP4VideoReader(str(path), frame_count=n).close()

    def open_only():
        container, _ = open_pyav(path)
        container.close()

    ours, base = side_by_side(construct_known, open_only, repeats * 3)
    row("construct, frame_count known", ours, base, "av.open + stream")
    ours, base = side_by_side(lambda: MP4VideoReader(str(path)).close(), lambda: pyav_count(path),
                              max(2, repeats // 2))
    row("construct, frames counted", ours, base, "PyAV decode-only loop")

    # Cache hits and repeated get against one copy of a frame.
    reader = MP4VideoReader(str(path), frame_count=n, cache_frames=True)
    for i in range(n):
        reader.get(i)
    frame = reader.get(0)
    cached = [reader._frame_cache[i] for i in range(n)]  # the same arrays, copied directly
    hit, copy = side_by_side(lambda: gets(reader, range(n)), lambda: copies_of(cached), repeats)
    del cached
    row("cache hit get(i), i = 0..n-1", hit / n, copy / n, "np.copy of the cached array", 1e6, "us")
    plain = MP4VideoReader(str(path), frame_count=n)
    plain.get(17)
    same, copies = side_by_side(lambda: gets(plain, [17] * n), lambda: copies_of([frame] * n), repeats)
    row("repeated get(17), no cache", same / n, copies / n, "np.copy(frame)", 1e6, "us")
    plain.close()
    reader.close()

    # Ping-pong with the cache: the backward and second forward passes.
    first, back, second = [], [], []
    for _ in range(repeats):
        reader = MP4VideoReader(str(path), frame_count=n, cache_frames=True)
        first.append(timed(lambda: gets(reader, range(n))))
        back.append(timed(lambda: gets(reader, range(n - 1, -1, -1))))
        second.append(timed(lambda: gets(reader, range(n))))
        reader.close()
    f = statistics.median(first)
    row("ping-pong backward pass (cache)", statistics.median(back), f, "first forward pass")
    row("ping-pong second forward (cache)", statistics.median(second), f, "first forward pass")

    # Two readers on two threads against the same two passes on one thread.
    def two_passes_serial():
        ours_sequential(path, n)
        ours_sequential(path, n)

    def two_passes_threads():
        threads = [threading.Thread(target=ours_sequential, args=(path, n)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    par, ser = side_by_side(two_passes_threads, two_passes_serial, max(2, repeats // 2))
    row("2 readers on 2 threads", par, ser, "same 2 passes, 1 thread")

    def pyav_threads():
        threads = [threading.Thread(target=pyav_sequential, args=(path,)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    par, ser = side_by_side(pyav_threads, lambda: (pyav_sequential(path), pyav_sequential(path)),
                            max(2, repeats // 2))
    row("(PyAV loops on 2 threads)", par, ser, "same 2 loops, 1 thread")


def encode_textured(path: Path, n: int, width: int, height: int, gop: int) -> None:
    """The index pattern of tests/media.py over moving noise: costs a real decoder
    about as much as camera footage does, unlike the flat test pattern."""
    noise = np.random.default_rng(1).integers(0, 128, (height, width, 3), dtype=np.uint8)

    def textured(i, w, h):
        return np.maximum(media.frame_image(i, w, h), np.roll(noise, 3 * i, axis=1))

    media.encode_h264(str(path), n, width=width, height=height, gop=gop, picture=textured)


def memory_loop(path: Path, cycles: int) -> dict[str, tuple[float, float, float]]:
    """RSS (start, after a tenth, end) over open / two gets / close cycles, ours
    and the same cycle written with PyAV directly."""

    def ours():
        reader = MP4VideoReader(str(path), frame_count=N_FRAMES)
        reader.get(0)
        reader.get(40)
        reader.close()

    def pyav():
        container, stream = open_pyav(path)
        next(container.decode(video=0)).to_ndarray(format="bgr24").copy()
        target = int(round(40 / float(stream.average_rate) / float(stream.time_base)))
        container.seek(target, backward=True, stream=stream)
        for frame in container.decode(video=0):
            if frame.pts >= target:
                frame.to_ndarray(format="bgr24").copy()
                break
        container.close()

    result = {}
    for name, cycle in (("MP4VideoReader", ours), ("plain PyAV", pyav)):
        name = f"{cycles} x open/get/get/close, {name}"
        for _ in range(50):
            cycle()
        gc.collect()
        start = early = rss_mib()
        for i in range(cycles):
            cycle()
            if i == cycles // 10:
                gc.collect()
                early = rss_mib()
        gc.collect()
        result[name] = (start, early, rss_mib())

    # Many keyframe seeks on one open reader (uncached backward playback).
    rng = random.Random(3)
    targets = [rng.randrange(N_FRAMES) for _ in range(3 * cycles)]
    container, stream = open_pyav(path)
    reader = MP4VideoReader(str(path), frame_count=N_FRAMES)
    for name, access in (("MP4VideoReader", reader.get),
                         ("plain PyAV", lambda t: pyav_random_one(container, stream, t))):
        name = f"{len(targets)} x random get, {name}"
        gc.collect()
        start = early = rss_mib()
        for i, t in enumerate(targets):
            access(t)
            if i == len(targets) // 10:
                early = rss_mib()
        gc.collect()
        result[name] = (start, early, rss_mib())
    reader.close()
    container.close()
    return result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats and cycles")
    parser.add_argument("--tuned", action="store_true",
                        help="then the same table with glibc's mmap/trim thresholds pinned")
    parser.add_argument("--memory-only", metavar="VIDEO", help=argparse.SUPPRESS)
    args = parser.parse_args()
    cycles = 200 if args.quick else 1000
    if args.memory_only:
        print_memory(memory_loop(Path(args.memory_only), cycles), cycles,
                     f"MALLOC_ARENA_MAX={os.environ.get('MALLOC_ARENA_MAX')}")
        return
    repeats = 3 if args.quick else 7
    print(f"PyAV {av.__version__}, FFmpeg libavcodec {av.library_versions['libavcodec']}, "
          f"allocator {malloc_setting()}")

    with tempfile.TemporaryDirectory() as tmp:
        videos = [
            ("512x512 gop25", Path(tmp) / "v512.mp4", dict(width=512, height=512, gop=25)),
            ("1280x720 gop50", Path(tmp) / "v720.mp4", dict(width=1280, height=720, gop=50)),
        ]
        for _, path, kw in videos:
            media.encode_h264(str(path), N_FRAMES, **kw)
        textured = ("1280x720 textured", Path(tmp) / "tex720.mp4", {})
        encode_textured(textured[1], N_FRAMES, 1280, 720, gop=50)
        videos.append(textured)
        mem = memory_loop(videos[0][1], cycles)
        # FFmpeg's decoder threads allocate from glibc's per-thread arenas, whose
        # fragmentation grows RSS slowly whoever drives the decoder; one arena
        # shows what is left once that is taken out.
        one_arena = subprocess.run(
            [sys.executable, sys.argv[0], "--memory-only", str(videos[0][1])]
            + (["--quick"] if args.quick else []),
            env=dict(os.environ, MALLOC_ARENA_MAX="1"), capture_output=True, text=True, check=True)
        rows: list = []
        for label, path, _ in videos:
            # The textured clip decodes ~10x slower: fewer rounds keep the run short.
            bench_video(label, path, repeats if path != textured[1] else max(3, repeats // 2), rows)

    print()
    print(f"{'video':<16} {'measure':<34} {'ours':>10} {'baseline':>10}  {'baseline is':<26} {'ratio':>7}")
    print("-" * 110)
    for label, what, ours, base, base_name, ratio, unit in rows:
        print(f"{label:<16} {what:<34} {ours:>8.3f}{unit:>2} {base:>8.3f}{unit:>2}  {base_name:<26} "
              f"{ratio:>7.3f}")
    print()
    print_memory(mem, cycles, "default arenas")
    print(one_arena.stdout, end="")
    if args.tuned:
        run_tuned([a for a in sys.argv[1:] if a != "--tuned"])


def print_memory(mem: dict, cycles: int, setting: str) -> None:
    for name, (start, early, end) in mem.items():
        print(f"RSS 512x512 [{setting}] {name:<42} {start:6.1f} -> {early:6.1f} MiB after a "
              f"tenth -> {end:6.1f} MiB ({end - early:+.1f} MiB over the last nine tenths)")


if __name__ == "__main__":
    main()
