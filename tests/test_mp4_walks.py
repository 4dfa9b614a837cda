"""The engine's walks without the frame cache: backward walks and ping-pong
passes served by the return window, mixed walks, random access that skips
unreferenced frames, and the codecs beyond H.264.

Expected frames are PyAV's own sequential decode of the same file."""

from __future__ import annotations

import fractions
import json
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import av
import numpy as np
import pytest

import media
from conftest import Video
from test_mp4_video_reader import (_encode, assert_frame, counted, keyframe_indices,  # noqa: F401
                                   video_no_editlist, video_open_gop, video_ts, video_vfr)
from vorantis.engine import video_reader as vr

R = vr.MP4VideoReader


@pytest.fixture(scope="session")
def video_pyramid(media_dir) -> Video:
    """B-frames that reference B-frames (pyramid), 3 in a row, groups of 16."""
    return _encode(media_dir / "pyramid.mp4", 50, gop=16, bframes=3,
                   x264_params="b-pyramid=normal:keyint=16:min-keyint=16:scenecut=0")


@pytest.fixture(scope="session")
def video_long_group(media_dir) -> Video:
    """One group of 120 frames with B-frames."""
    return _encode(media_dir / "long_group.mp4", 120, gop=300, bframes=2)


WALK_VIDEOS = ["video", "video_bframes", "video_ts", "video_no_editlist", "video_vfr",
               "video_open_gop", "video_pyramid", "video_long_group"]


def walks(n: int) -> dict[str, list[int]]:
    back = list(range(n - 1, -1, -1))
    mixed, i = [n // 2], n // 2
    for step in [-3, 5, -40, 2, -1, -1, 7, -9, 30, -2, -2, -2]:
        i = min(max(i + step, 0), n - 1)
        mixed.append(i)
    return {
        "backward": back,
        "ping_pong": list(range(n)) + back[1:] + list(range(1, n)) + back[1:],
        "mixed": mixed,
        "back_by_two": list(range(n - 1, -1, -2)),
    }


@pytest.mark.parametrize("walk", ["backward", "ping_pong", "mixed", "back_by_two"])
@pytest.mark.parametrize("name", WALK_VIDEOS)
def test_walks_without_the_cache_return_the_frames_asked_for(request, name, walk):
    video = request.getfixturevalue(name)
    with R(str(video.path), frame_count=video.n_frames) as reader:
        for i in walks(video.n_frames)[walk]:
            assert_frame(video, reader.get(i), i)
            assert reader._current_frame_idx == i


@pytest.mark.parametrize("name", ["video_bframes", "video_pyramid", "video_long_group", "video_ts"])
def test_get_next_continues_through_the_window(request, name):
    """get_next after a backward step served by the window continues from that
    frame, to the end and around."""
    video = request.getfixturevalue(name)
    n = video.n_frames
    with R(str(video.path), frame_count=n) as reader:
        reader.get(n - 1)
        for i in range(n - 2, n // 2, -1):
            reader.get(i)
        start = n // 2 + 2
        for k in range(n + 3):
            index, frame = reader.get_next()
            expected = (start + k) % n
            assert index == expected
            assert_frame(video, frame, expected)


@pytest.mark.parametrize("name", ["video", "video_bframes", "video_pyramid", "video_long_group"])
def test_a_backward_walk_seeks_once_per_group(request, name):
    """Each group of pictures is decoded once on the way back, not once per
    frame: the walk seeks once per keyframe (the first group is reached by a
    rewind to the start), plus once to read the stream's timeline."""
    video = request.getfixturevalue(name)
    n = video.n_frames
    with R(str(video.path), frame_count=n) as reader:
        for i in range(n):
            reader.get(i)
        counter = counted(reader)
        for i in range(n - 2, -1, -1):
            assert_frame(video, reader.get(i), i)
        assert len(counter.seeks) <= len(keyframe_indices(video)) + 1
        reader._container = counter._inner


def test_the_window_goes_when_the_walk_turns_forward(video_bframes):
    """Frames held for a backward walk serve the steps forward inside them, and a
    step past them decodes on from the decoder without a seek."""
    n = video_bframes.n_frames
    with R(str(video_bframes.path), frame_count=n) as reader:
        for i in range(n):
            reader.get(i)
        for i in range(n - 2, n - 6, -1):
            reader.get(i)
        counter = counted(reader)
        for i in range(n - 5, n):
            assert_frame(video_bframes, reader.get(i), i)
        assert counter.seeks == []
        reader._container = counter._inner


@pytest.mark.parametrize("name", WALK_VIDEOS)
def test_random_access_without_the_cache(request, name):
    """Random access skips unreferenced frames where frames reorder; every frame
    handed out is still the one asked for, with get_next continuing after it."""
    video = request.getfixturevalue(name)
    rng = np.random.default_rng(11)
    n = video.n_frames
    with R(str(video.path), frame_count=n) as reader:
        for t in rng.integers(0, n, 3 * n):
            t = int(t)
            assert_frame(video, reader.get(t), t)
            if t % 3 == 0 and t + 1 < n:
                index, frame = reader.get_next()
                assert index == t + 1
                assert_frame(video, frame, t + 1)


@pytest.mark.parametrize("name", ["video_bframes", "video_long_group"])
def test_eight_threads_walk_one_reader_both_ways(request, name):
    video = request.getfixturevalue(name)
    n = video.n_frames
    reader = R(str(video.path), frame_count=n)
    errors = []

    def walk(k: int) -> None:
        try:
            order = list(range(n)) if k % 2 else list(range(n - 1, -1, -1))
            for i in order[k::3]:
                frame = reader.get(i)
                if media.frame_index(frame) != i:
                    errors.append((k, i, media.frame_index(frame)))
        except Exception as e:  # pragma: no cover - reported below
            errors.append((k, repr(e)))

    threads = [threading.Thread(target=walk, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    reader.close()
    assert errors == []


def test_window_survives_a_stream_cut_mid_group(video_ts):
    """A transport stream cut inside a group: the frames before its first
    keyframe are never output; walks back over the cut are still exact."""
    data = video_ts.path.read_bytes()
    cut = data[188 * 12:]
    expected = media.pyav_frames(cut)
    with R.from_bytes(cut) as reader:
        n = reader.size()
        assert n == len(expected)
        for i in list(range(n)) + list(range(n - 2, -1, -1)):
            np.testing.assert_array_equal(reader.get(i), expected[i])


# --- other codecs -----------------------------------------------------------------

def _encode_codec(path: Path, codec: str, options: dict, n: int = 40, fmt: str | None = None,
                  bframes: int | None = None) -> Video:
    with av.open(str(path), "w", format=fmt) as out:
        stream = out.add_stream(codec, rate=25)
        stream.width, stream.height, stream.pix_fmt = 64, 48, "yuv420p"
        stream.codec_context.gop_size = 12
        if bframes is not None:
            stream.codec_context.max_b_frames = bframes
        stream.options = options
        for i in range(n):
            frame = av.VideoFrame.from_ndarray(media.frame_image(i, 64, 48), format="rgb24")
            frame.pts, frame.time_base = i, fractions.Fraction(1, 25)
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)
    frames = media.pyav_frames(str(path))
    return Video(path, len(frames), 64, 48, 12, bframes or 0, frames)


CODECS = {
    "hevc": ("libx265", {"x265-params": "bframes=3:keyint=12:min-keyint=12:scenecut=0:log-level=error"},
             "mp4", None),
    "vp9": ("libvpx-vp9", {"g": "12", "lag-in-frames": "16", "auto-alt-ref": "1"}, "webm", None),
    "av1": ("libsvtav1", {"g": "12", "svtav1-params": "keyint=12"}, "matroska", None),
    "mpeg4": ("mpeg4", {"g": "12"}, "mp4", 2),
    "mpeg2": ("mpeg2video", {"g": "12"}, "mpegts", 2),
}


@pytest.fixture(scope="session", params=sorted(CODECS))
def codec_video(request, media_dir) -> Video:
    codec, options, fmt, bframes = CODECS[request.param]
    try:
        av.codec.Codec(codec, "w")
    except Exception:
        pytest.skip(f"this PyAV build has no {codec} encoder")
    return _encode_codec(media_dir / f"codec_{request.param}.{fmt}", codec, options, fmt=fmt,
                         bframes=bframes)


def test_other_codecs_walk_and_jump_exactly(codec_video):
    n = codec_video.n_frames
    rng = np.random.default_rng(3)
    order = list(range(n)) + list(range(n - 2, -1, -1)) + [int(t) for t in rng.integers(0, n, n)]
    with R(str(codec_video.path), frame_count=n) as reader:
        for i in order:
            np.testing.assert_array_equal(reader.get(i), codec_video.frames[i])


# --- memory -----------------------------------------------------------------------

MEMORY_SCRIPT = textwrap.dedent("""
    import json, sys
    from vorantis._samples import frame_index
    from vorantis.engine.video_reader import MP4VideoReader

    def hwm():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024

    def reset():
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")

    path, n = sys.argv[1], int(sys.argv[2])
    reader = MP4VideoReader(path, frame_count=n)
    for i in range(n):
        reader.get(i)
    reset()
    for i in range(n):
        reader.get(i)
    forward = hwm()
    peaks = []
    for _ in range(3):
        reset()
        for i in list(range(n - 2, -1, -1)) + list(range(1, n)):
            got = frame_index(reader.get(i), bits=7)
            if got != i:
                sys.exit(f"frame {i} came out as {got}")
        peaks.append(hwm())
    print(json.dumps([forward, peaks]))
""")


@pytest.mark.skipif(not Path("/proc/self/clear_refs").exists(), reason="needs Linux's clear_refs")
def test_the_window_holds_at_most_a_quarter_of_the_cache_budget(media_dir, tmp_path):
    """A group longer than the window at 1080p (which holds 86 such frames):
    ping-pong passes are exact, hold at most the window's 256 MiB over the
    forward pass, and no more with each pass."""
    path = media_dir / "long_group_1080p.mp4"
    if not path.exists():
        media.encode_h264(str(path), 96, width=1920, height=1080, gop=300)
    script = tmp_path / "memory.py"
    script.write_text(MEMORY_SCRIPT)
    out = subprocess.run([sys.executable, str(script), str(path), "96"], capture_output=True,
                         text=True, timeout=600, check=True)
    forward, peaks = json.loads(out.stdout)
    assert max(peaks) - forward < 256 + 64
    assert peaks[-1] - peaks[0] < 24
