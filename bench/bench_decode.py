"""Decoding benchmark: VideoReader and iter_video_frames against plain PyAV and ffmpeg.

For a 512x512 and a 1280x720 H.264 video (300 frames each, generated on first
use and cached), measures side by side, in interleaved rounds:

  * VideoReader(path) construction      vs  a plain Python loop over PyAV that
                                            keeps every frame in a list
  * consuming iter_video_frames(path)   vs  the same plain loop dropping each frame
  * ffmpeg's own decode of the file (`ffmpeg -i f -f null -`, and with a bgr24
    conversion), when `ffmpeg` is on PATH; process start-up is included.

The plain loops do exactly the work the module does: open, first video stream,
thread_type "AUTO", seek(0), decode(video=0), to_ndarray(format="bgr24").

Then the peak resident memory (RSS high-water mark, which sees FFmpeg's own
buffers) of child processes that decode the 720p video with each reader, the
iterator stopped after 30 and after all 300 frames, minus a child that only
imports the modules and decodes one frame.

Usage: PYTHONPATH=python python bench/bench_decode.py [--rounds N] [--sizes 512x512,1280x720]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import av  # noqa: E402

from timing import child_peak_rss_kib, interleaved, paired_ratio, ratio_spread  # noqa: E402
from vorantis import _samples  # noqa: E402
from vorantis.engine import video_reader as vr  # noqa: E402

N_FRAMES = 300
CACHE = Path(tempfile.gettempdir()) / "vorantis_bench_decode"


# ---------------------------------------------------------------------------
# Media
# ---------------------------------------------------------------------------


def make_video(width: int, height: int) -> Path:
    """A 300-frame H.264 MP4 (up to 2 B-frames, a keyframe every 50) whose moving
    texture makes decoding do real work; its frames carry their index."""
    CACHE.mkdir(exist_ok=True)
    path = CACHE / f"indexed_{width}x{height}_{N_FRAMES}.mp4"
    if path.exists():
        return path
    tmp = path.with_suffix(".part.mp4")
    _samples.encode_h264(str(tmp), N_FRAMES, width=width, height=height, gop=50, bframes=2,
                         crf=23, preset="veryfast",
                         picture=_samples.over(_samples.moving_texture(), _samples.index_bits(N_FRAMES)))
    tmp.rename(path)
    return path


# ---------------------------------------------------------------------------
# The contenders
# ---------------------------------------------------------------------------


def pyav_decode_all(path: str) -> int:
    container = av.open(path)
    stream = container.streams.video[0]
    stream.thread_type = "AUTO"
    container.seek(0)
    frames = []
    for frame in container.decode(video=0):
        frames.append(frame.to_ndarray(format="bgr24"))
    container.close()
    return len(frames)


def pyav_stream(path: str) -> int:
    container = av.open(path)
    try:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        container.seek(0)
        n = 0
        for frame in container.decode(video=0):
            array = frame.to_ndarray(format="bgr24")
            del array
            n += 1
        return n
    finally:
        container.close()


def video_reader(path: str) -> int:
    reader = vr.VideoReader(path)
    reader.close()
    return reader.size()


def iterator(path: str) -> int:
    n = 0
    for array in vr.iter_video_frames(path):
        del array
        n += 1
    return n


def ffmpeg_runner(*extra: str):
    def run(path: str) -> int:
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, *extra, "-f", "null", "-"],
                       check=True)
        return N_FRAMES
    return run


def measure(contenders: dict, path: str, rounds: int) -> tuple[dict, dict]:
    """Per contender: lists of wall and CPU seconds, one entry per round."""
    for name, fn in contenders.items():  # warm-up (page cache, lazy imports)
        assert fn(path) == N_FRAMES, name
    calls = {name: (lambda fn=fn: fn(path)) for name, fn in contenders.items()}
    return interleaved(calls, rounds, shuffle=True, cpu=True)


# ---------------------------------------------------------------------------
# Peak memory, in child processes
# ---------------------------------------------------------------------------

CHILD = r"""
import sys
sys.path.insert(0, {python!r})
import av, numpy as np
from vorantis.engine import video_reader as vr
mode, path = sys.argv[1], sys.argv[2]
if mode == "baseline":
    next(vr.iter_video_frames(path, max_frames=1), None)
elif mode == "reader":
    r = vr.VideoReader(path); n = r.size()
elif mode.startswith("iter"):
    n = sum(1 for _ in vr.iter_video_frames(path, max_frames=int(mode[4:])))
elif mode == "pyav_list":
    c = av.open(path); s = c.streams.video[0]; s.thread_type = "AUTO"; c.seek(0)
    frames = [f.to_ndarray(format="bgr24") for f in c.decode(video=0)]
"""


def peak_rss_kib(mode: str, path: str) -> int:
    return child_peak_rss_kib(CHILD.format(python=str(ROOT / "python")), mode, path)


def memory_table(path: Path, width: int, height: int) -> None:
    frame_mib = width * height * 3 / 2**20
    modes = [("baseline", "import + first frame"), ("iter30", "iter_video_frames, 30 frames"),
             ("iter300", "iter_video_frames, 300 frames"), ("reader", "VideoReader, 300 frames"),
             ("pyav_list", "plain PyAV list, 300 frames")]
    peaks = {m: statistics.median(peak_rss_kib(m, str(path)) for _ in range(3)) for m, _ in modes}
    base = peaks["baseline"]
    print(f"\nPeak RSS above baseline, {width}x{height} (one BGR frame = {frame_mib:.2f} MiB; "
          f"baseline {base / 1024:.0f} MiB), median of 3 child processes")
    print(f"{'run':34} {'peak MiB':>9} {'above base':>11} {'in frames':>10}")
    for mode, label in modes:
        above = (peaks[mode] - base) / 1024
        print(f"{label:34} {peaks[mode] / 1024:9.1f} {above:11.1f} {above / frame_mib:10.1f}")


# ---------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--sizes", default="512x512,1280x720")
    parser.add_argument("--no-memory", action="store_true")
    args = parser.parse_args()
    sizes = [tuple(int(x) for x in s.split("x")) for s in args.sizes.split(",")]
    have_ffmpeg = shutil.which("ffmpeg") is not None

    print(f"PyAV {av.__version__}, FFmpeg libs {av.ffmpeg_version_info}, {os.cpu_count()} CPUs, "
          f"{N_FRAMES} frames, {args.rounds} interleaved rounds; medians")
    if not have_ffmpeg:
        print("ffmpeg is not on PATH: its rows are left out")
    for width, height in sizes:
        path = str(make_video(width, height))
        contenders = {
            "plain PyAV loop, keep all": pyav_decode_all,
            "VideoReader(path)": video_reader,
            "plain PyAV loop, drop each": pyav_stream,
            "iter_video_frames(path)": iterator,
        }
        if have_ffmpeg:
            contenders["ffmpeg -f null"] = ffmpeg_runner()
            contenders["ffmpeg -pix_fmt bgr24 -f null"] = ffmpeg_runner("-pix_fmt", "bgr24")
        wall, cpu = measure(contenders, path, args.rounds)
        print(f"\n{width}x{height}, {N_FRAMES} frames (ratios: median of per-round ratios)")
        print(f"{'contender':32} {'wall ms':>9} {'fps':>7} {'cpu ms':>9} {'wall ratio':>11} "
              f"{'(IQR)':>11} {'cpu ratio':>10}  baseline")
        for name in contenders:
            base = ("plain PyAV loop, keep all" if name in ("VideoReader(path)",
                                                            "plain PyAV loop, keep all")
                    else "plain PyAV loop, drop each")
            w, c = statistics.median(wall[name]), statistics.median(cpu[name])
            print(f"{name:32} {w * 1e3:9.1f} {N_FRAMES / w:7.0f} {c * 1e3:9.1f} "
                  f"{paired_ratio(wall[name], wall[base]):11.3f} "
                  f"{ratio_spread(wall[name], wall[base]):>11} "
                  f"{paired_ratio(cpu[name], cpu[base]):10.3f}  {base.split(', ')[1]}")
    if not args.no_memory:
        width, height = sizes[-1]
        memory_table(make_video(width, height), width, height)


if __name__ == "__main__":
    main()
