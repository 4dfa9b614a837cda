"""MP4VideoReader: sources, positioning and frame access, checked frame by frame
against PyAV's own decode of the same file and the index each frame encodes."""

from __future__ import annotations

import fractions
import inspect
import io
import random
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
from vorantis.engine import video_reader as vr

R = vr.MP4VideoReader


def _encode(path: Path, n: int, *, gop: int, bframes: int, container_options=None,
            pts_of=lambda i: i, time_base=fractions.Fraction(1, 25), fmt="mp4",
            x264_params: str | None = None) -> Video:
    """An H.264 video with muxer options and free timestamps (media.encode_h264 fixes both)."""
    with av.open(str(path), mode="w", format=fmt, options=container_options or {}) as out:
        stream = out.add_stream("libx264", rate=25)
        stream.width, stream.height, stream.pix_fmt = 64, 48, "yuv420p"
        stream.time_base = time_base
        stream.codec_context.time_base = time_base
        stream.options = {"g": str(gop), "keyint_min": str(gop), "sc_threshold": "0",
                          "bf": str(bframes), "preset": "fast" if bframes else "ultrafast"}
        if x264_params:
            stream.options = {**stream.options, "x264-params": x264_params}
        for i in range(n):
            frame = av.VideoFrame.from_ndarray(media.frame_image(i, 64, 48), format="rgb24")
            frame.pts, frame.time_base = pts_of(i), time_base
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)
    frames = media.pyav_frames(str(path))
    return Video(path, len(frames), 64, 48, gop, bframes, frames)


@pytest.fixture(scope="session")
def video_ts(media_dir) -> Video:
    """MPEG-TS with B-frames: timestamps start at 0.08 s, no keyframe index."""
    path = media_dir / "bframes.ts"
    media.encode_h264(str(path), 48, gop=12, bframes=2, container_format="mpegts")
    frames = media.pyav_frames(str(path))
    return Video(path, len(frames), 64, 48, 12, 2, frames)


@pytest.fixture(scope="session")
def video_no_editlist(media_dir) -> Video:
    """MP4 with B-frames and no edit list: the first timestamp is not 0."""
    return _encode(media_dir / "noedit.mp4", 40, gop=10, bframes=2,
                   container_options={"use_editlist": "0"})


@pytest.fixture(scope="session")
def video_vfr(media_dir) -> Video:
    """Variable frame rate: every third frame lasts 90 ms, the others 20 ms."""
    starts = np.cumsum([0] + [90 if i % 3 == 0 else 20 for i in range(40)])
    return _encode(media_dir / "vfr.mp4", 40, gop=8, bframes=0,
                   pts_of=lambda i: int(starts[i]), time_base=fractions.Fraction(1, 1000))


@pytest.fixture(scope="session")
def video_open_gop(media_dir) -> Video:
    """Open groups of pictures: B-frames before a keyframe reference the group before."""
    return _encode(media_dir / "open_gop.mkv", 40, gop=10, bframes=3, fmt="matroska",
                   x264_params="open-gop=1:keyint=10:min-keyint=10:scenecut=0")


@pytest.fixture(scope="session",
                params=["plain", "bframes", "ts", "no_editlist", "vfr", "open_gop"])
def each_video(request) -> Video:
    return request.getfixturevalue({"plain": "video", "bframes": "video_bframes", "ts": "video_ts",
                                    "no_editlist": "video_no_editlist", "vfr": "video_vfr",
                                    "open_gop": "video_open_gop"}[request.param])


def assert_frame(video: Video, frame: np.ndarray, index: int) -> None:
    assert media.frame_index(frame) == index
    np.testing.assert_array_equal(frame, video.frames[index])


def access_pattern(name: str, n: int) -> list[int]:
    rng = random.Random(5)
    return {
        "sequential": list(range(n)),
        "backward": list(range(n - 1, -1, -1)),
        "random": [rng.randrange(n) for _ in range(3 * n)],
        "ping_pong": list(range(n)) + list(range(n - 2, -1, -1)) + list(range(1, n)),
        "strided": list(range(0, n, 7)) + list(range(n - 1, 0, -5)),
    }[name]


# --- frame identity ---------------------------------------------------------

@pytest.mark.parametrize("cache", [False, True], ids=["nocache", "cache"])
@pytest.mark.parametrize("pattern", ["sequential", "backward", "random", "ping_pong", "strided"])
def test_get_returns_the_frame_asked_for(each_video, pattern, cache):
    with R(str(each_video.path), cache_frames=cache) as reader:
        assert reader.size() == each_video.n_frames
        for i in access_pattern(pattern, each_video.n_frames):
            assert_frame(each_video, reader.get(i), i)
            assert reader._current_frame_idx == i
        assert bool(reader._frame_cache) == cache


@pytest.mark.parametrize("cache", [False, True], ids=["nocache", "cache"])
def test_get_next_after_any_get_continues_from_that_frame(each_video, cache):
    n = each_video.n_frames
    rng = random.Random(11)
    with R(str(each_video.path), frame_count=n, cache_frames=cache) as reader:
        for _ in range(40):
            k = rng.randrange(n)
            assert_frame(each_video, reader.get(k), k)
            for step in range(1, rng.randrange(2, 5)):
                index, frame = reader.get_next()
                assert index == (k + step) % n
                assert_frame(each_video, frame, index)
                k_last = index
            assert reader._current_frame_idx == k_last


def test_get_next_loops_at_the_real_end(video):
    with R(str(video.path)) as reader:
        got = [reader.get_next() for _ in range(2 * video.n_frames + 3)]
    assert [i for i, _ in got] == list(range(video.n_frames)) * 2 + [0, 1, 2]
    for i, frame in got:
        assert_frame(video, frame, i)


def test_forward_access_after_cache_hit_uses_the_decoders_real_position(video_160):
    with R(str(video_160.path), cache_frames=True) as reader:
        for i in range(21):
            reader.get(i)
        assert_frame(video_160, reader.get(5), 5)          # cache hit: decoder stays at 20
        assert reader._decoder_idx == 20
        assert_frame(video_160, reader.get(23), 23)        # decodes on 21..23
        assert sorted(reader._frame_cache) == list(range(24))
        assert_frame(video_160, reader.get(3), 3)
        assert reader.get_next()[0] == 4


@pytest.mark.parametrize("count", ["counted", "given"])
def test_stream_cut_mid_group(video_ts, count):
    """A transport stream cut mid-group: the decoder drops the frames before the
    first keyframe, whose packets still carry timestamps."""
    cut = video_ts.data[188 * 12:]
    with av.open(io.BytesIO(cut)) as c:
        packets = sum(1 for p in c.demux(video=0) if p.size)
    ref = media.pyav_frames(cut)
    assert 0 < len(ref) < packets
    given = len(ref) if count == "given" else 0
    for first in range(0, len(ref), 5):                   # the first access after opening
        with R.from_bytes(cut, frame_count=given) as reader:
            assert reader.size() == len(ref)
            for i in [first] + access_pattern("strided", len(ref)):
                np.testing.assert_array_equal(reader.get(i), ref[i])


# --- the position table -----------------------------------------------------

def test_position_after_each_operation(video):
    with R(str(video.path), cache_frames=True) as reader:
        assert (reader._current_frame_idx, reader._current_frame, reader._at_end) == (-1, None, False)
        for i in range(21):
            frame = reader.get(i)
        assert reader._current_frame is reader._frame_cache[20]
        assert frame is not reader._current_frame
        reader.seek_to_start()
        assert (reader._current_frame_idx, reader._current_frame, reader._at_end) == (-1, None, False)
        assert_frame(video, reader.get(7), 7)              # served from the cache
        assert reader._decoder_idx == -1
        assert reader._current_frame is reader._frame_cache[7]
        reader.seek_to_start()
        index, frame = reader.get_next()
        assert index == 0 and reader._current_frame_idx == 0
        assert_frame(video, frame, 0)


def test_get_returns_fresh_copies(video):
    with R(str(video.path)) as reader:
        a, b = reader.get(3), reader.get(3)
        assert a is not b and not np.shares_memory(a, b)
        a[:] = 0
        assert_frame(video, b, 3)
        assert_frame(video, reader.get(3), 3)


@pytest.mark.parametrize("index, expected, message", [
    (-1, 29, None), (-30, 0, None),
    (-31, None, "Frame index -1 out of range [0, 30)"),
    (30, None, "Frame index 30 out of range [0, 30)"),
    (10**30, None, f"Frame index {10**30} out of range [0, 30)"),
])
def test_index_range(video, index, expected, message):
    with R(str(video.path)) as reader:
        reader.get(4)
        if message is None:
            assert_frame(video, reader.get(index), expected)
            return
        with pytest.raises(IndexError) as err:
            reader.get(index)
        assert str(err.value) == message
        assert reader._current_frame_idx == 4 and not reader._lock.locked()


@pytest.mark.parametrize("cache", [False, True], ids=["nocache", "cache"])
def test_frame_count_larger_than_the_video(video, cache):
    with R(str(video.path), frame_count=35, cache_frames=cache) as reader:
        assert reader.size() == 35
        with pytest.raises(IndexError, match=r"^Frame index 32 out of range \[0, 35\)$"):
            reader.get(32)
        assert reader._at_end and not reader._lock.locked()
        index, frame = reader.get_next()
        assert index == 0
        assert_frame(video, frame, 0)
        assert_frame(video, reader.get(29), 29)
        assert_frame(video, reader.get(2), 2)
        with pytest.raises(IndexError):
            reader.get(31)
        assert_frame(video, reader.get(5), 5)      # a cache hit when caching
        index, frame = reader.get_next()           # continues after the frame just served
        assert index == 6
        assert_frame(video, frame, 6)


def test_frame_count_smaller_than_the_video(video):
    with R(str(video.path), frame_count=20) as reader:
        assert reader.size() == 20
        with pytest.raises(IndexError, match=r"\[0, 20\)"):
            reader.get(25)
        reader.get(19)
        assert [reader.get_next()[0] for _ in range(12)] == list(range(20, 30)) + [0, 1]


# --- sources ----------------------------------------------------------------

def test_sources(video, media_dir):
    data = video.data
    head, tail = b"\x01" * 4096, b"\x02" * 777
    embedded = media_dir / "embedded.bin"
    embedded.write_bytes(head + data + tail)
    at_end = media_dir / "at_end.bin"
    at_end.write_bytes(head + data)
    at_start = media_dir / "at_start.bin"
    at_start.write_bytes(data + tail)

    class Sub(R):
        def __init__(self, *a, **k):
            raise AssertionError("from_bytes must not run __init__")

    readers = {
        "file": R(str(video.path)),
        "negative": R(str(video.path), base_offset=-3, file_size=-9),
        "range": R(str(embedded), base_offset=len(head), file_size=len(data)),
        "offset": R(str(at_end), base_offset=len(head)),
        "size": R(str(at_start), file_size=len(data)),
        "bytes": R.from_bytes(data),
        "subclass": Sub.from_bytes(data, frame_count=30),
    }
    assert type(readers["subclass"]) is Sub
    for name, reader in readers.items():
        in_memory = name not in ("file", "negative")
        assert (reader._mp4_bytes == data) if in_memory else reader._mp4_bytes is None, name
        assert (reader.width, reader.height, reader.size()) == (64, 48, 30)
        for i in (0, 17, 3, 29):
            assert_frame(video, reader.get(i), i)
        reader.close()
    assert readers["bytes"]._path == "<memory>" and readers["bytes"]._base_offset == 0
    assert readers["bytes"]._cache_frames is False


@pytest.mark.parametrize("frames, granted", [(1365, True), (1366, False)])
def test_cache_budget_is_inclusive_1gib(media_dir, frames, granted):
    path = media_dir / "512.mp4"
    if not path.exists():
        media.encode_h264(str(path), 2, width=512, height=512, gop=2)
    with R(str(path), frame_count=frames, cache_frames=True) as reader:
        assert (512 * 512 * 3 * frames <= 2**30) is granted
        assert reader._cache_frames is granted
    with R(str(path), frame_count=frames) as reader:
        assert reader._cache_frames is False
    with R.from_bytes(path.read_bytes(), frame_count=frames) as reader:
        assert reader._cache_frames is False


# --- bad input --------------------------------------------------------------

def test_bad_sources_raise(media_dir, video, not_media, audio_only):
    with pytest.raises(FileNotFoundError):
        R(str(media_dir / "missing.mp4"))
    with pytest.raises(FileNotFoundError):
        R(str(media_dir / "missing.mp4"), base_offset=10)
    with pytest.raises(av.FFmpegError):
        R(str(video.path), base_offset=len(video.data) + 100)
    with pytest.raises(av.FFmpegError):
        R(str(not_media))
    with pytest.raises(av.FFmpegError):
        R.from_bytes(b"")
    with pytest.raises(IndexError):
        R(str(audio_only))
    with pytest.raises(av.FFmpegError):                   # moov atom cut off
        R.from_bytes(video.data[: len(video.data) // 2])


@pytest.fixture(scope="session")
def video_faststart(media_dir) -> Video:
    return _encode(media_dir / "faststart.mp4", 30, gop=10, bframes=0,
                   container_options={"movflags": "faststart"})


def test_truncated_and_corrupt_streams_fail_cleanly(video_faststart):
    data = video_faststart.data
    no_samples = R.from_bytes(data[: data.find(b"mdat") + 4])   # sample table, no sample data
    assert no_samples.size() == 0
    with pytest.raises(IndexError, match=r"^Frame index 0 out of range \[0, 0\)$"):
        no_samples.get(0)
    with pytest.raises(StopIteration):
        no_samples.get_next()
    assert not no_samples._lock.locked()
    cut = data[: int(len(data) * 0.9)]        # about 20 of 30 frames left
    try:
        assert R.from_bytes(cut).size() < 30
    except av.FFmpegError:                    # a partial last packet may fail to decode
        pass
    truncated = R.from_bytes(cut, frame_count=30)
    with pytest.raises((IndexError, av.FFmpegError)):
        truncated.get(29)
    assert not truncated._lock.locked()
    assert_frame(video_faststart, truncated.get(1), 1)   # usable after the failure
    truncated.close()
    corrupt = bytearray(data)
    rng = np.random.default_rng(3)
    for pos in rng.integers(len(data) // 3, len(data), 200):
        corrupt[pos] ^= 0xFF
    reader = R.from_bytes(bytes(corrupt), frame_count=30)
    for i in [0, 5, 29, 12, 3, 28, -1] + list(range(30)):
        try:
            frame = reader.get(i)
        except (IndexError, av.FFmpegError):
            pass
        else:
            assert frame.shape == (48, 64, 3)
        assert not reader._lock.locked()
    reader.close()


# --- threads and lifecycle --------------------------------------------------

@pytest.mark.parametrize("cache", [False, True], ids=["nocache", "cache"])
def test_eight_threads_share_one_reader(video_160, cache):
    reader = R(str(video_160.path), cache_frames=cache)
    n = video_160.n_frames
    errors: list[str] = []

    def work(seed: int) -> None:
        rng = random.Random(seed)
        for _ in range(40):
            op = rng.random()
            if op < 0.6:
                i = rng.randrange(-n, n)
                got = media.frame_index(reader.get(i))
                if got != i % n:
                    errors.append(f"get({i}) gave frame {got}")
            elif op < 0.95:
                i, frame = reader.get_next()
                if media.frame_index(frame) != i:
                    errors.append(f"get_next gave ({i}, frame {media.frame_index(frame)})")
            else:
                reader.seek_to_start()

    threads = [threading.Thread(target=work, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    reader.close()


def test_with_block_closes_on_exception(video):
    with pytest.raises(KeyError):
        with R(str(video.path)) as reader:
            assert isinstance(reader, R)
            reader.get(3)
            raise KeyError("boom")
    assert reader._container is None and reader._frame_cache == {}


def test_close_is_idempotent_and_final(video):
    reader = R(str(video.path), cache_frames=True)
    reader.get(5)
    reader.close()
    reader.close()
    assert (reader.size(), reader.width, reader.height) == (30, 64, 48)
    assert reader._container is None and reader._current_frame is None and reader._frame_cache == {}
    for call in (lambda: reader.get(1), reader.get_next, reader.seek_to_start):
        with pytest.raises(ValueError, match="closed"):
            call()
    with pytest.raises(IndexError):
        reader.get(30)


def test_close_waits_for_a_frame_operation_on_another_thread(video_160):
    reader = R(str(video_160.path))
    stop = threading.Event()
    outcomes: list[str] = []

    def loop() -> None:
        i = 0
        while not stop.is_set():
            try:
                assert media.frame_index(reader.get(i % 60)) == i % 60
            except ValueError:
                outcomes.append("closed")
                return
            i += 7

    t = threading.Thread(target=loop)
    t.start()
    reader.close()
    t.join(30)
    stop.set()
    assert outcomes == ["closed"]


CLOSE_SCRIPT = textwrap.dedent("""
    import threading, sys
    from vorantis.engine.video_reader import MP4VideoReader as R
    path, n = sys.argv[1], int(sys.argv[2])
    def forward(r):
        for i in range(n): r.get(i)
    def back(r):
        forward(r); r.get(3); r.get(n // 2)
    def at_end(r):
        for _ in range(n): r.get_next()
    def past_end(r):
        try: r.get(n + 2)
        except IndexError: pass
    steps = [forward, back, at_end, past_end, lambda r: r.seek_to_start()]
    for cache in (False, True):
        for step in steps:
            r = R(path, cache_frames=cache, frame_count=n + 5 if step is past_end else 0)
            step(r); r.close()
            r = R(path, cache_frames=cache)
            step(r); del r
    keep = [R(path) for _ in range(3)]
    for step, r in zip(steps, keep): step(r)
    busy = R(path)
    def spin():
        i = 0
        while True:
            busy.get(i % n); i += 11
    threading.Thread(target=spin, daemon=True).start()
    print("done", flush=True)
""")


def test_closing_never_hangs(media_dir):
    path = media_dir / "close320.mp4"
    media.encode_h264(str(path), 90, width=320, height=240, gop=25, bframes=2)
    env_path = str(Path(vr.__file__).parents[2])
    result = subprocess.run([sys.executable, "-c", CLOSE_SCRIPT, str(path), "90"],
                            capture_output=True, text=True, timeout=120,
                            env={"PYTHONPATH": env_path, "PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "done"


# --- surface ----------------------------------------------------------------

def test_surface():
    params = inspect.signature(R.__init__).parameters
    assert [(p.name, p.kind.name) for p in params.values()] == [
        ("self", "POSITIONAL_OR_KEYWORD"), ("path", "POSITIONAL_OR_KEYWORD"),
        ("key", "POSITIONAL_OR_KEYWORD"), ("thread_count", "POSITIONAL_OR_KEYWORD"),
        ("base_offset", "KEYWORD_ONLY"), ("file_size", "KEYWORD_ONLY"),
        ("frame_count", "KEYWORD_ONLY"), ("cache_frames", "KEYWORD_ONLY")]
    with pytest.raises(TypeError):
        R("x.mp4", "", 0, 10)
    assert isinstance(inspect.getattr_static(R, "from_bytes"), classmethod)
    assert R.from_bytes.__annotations__ == {"mp4_data": "bytes", "frame_count": "int",
                                            "return": "'MP4VideoReader'"}
    assert str(inspect.signature(R.__exit__)) == "(self, *exc) -> 'None'"
    assert R.get_next.__annotations__["return"] == "Tuple[int, np.ndarray]"
    assert [n for n, v in vars(R).items() if isinstance(v, property)] == ["width", "height"]
    assert R.__doc__.splitlines()[0] == "MP4 frame reader with optional frame caching for ping-pong looping."
    assert R._advance_to_frame.__qualname__ == "MP4VideoReader._advance_to_frame"
    assert [n for n in vars(vr) if not n.startswith("__")][-1] == "MP4VideoReader"


def test_state_attributes_and_lock(video):
    reader = R(str(video.path), "ignored-key", 7)
    assert isinstance(reader._lock, type(threading.Lock()))
    assert reader._path == str(video.path) and reader._base_offset == 0
    assert reader._frame_cache == {} and reader._cache_frames is False
    with pytest.raises(AttributeError):
        reader.width = 3
    reader.close()


class SeekCounter:
    """Stands in for the reader's container, counting seeks and passing everything through."""

    def __init__(self, container):
        self._inner = container
        self.seeks = []

    def seek(self, *args, **kwargs):
        self.seeks.append(args[0])
        return self._inner.seek(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(self._inner, name)


def counted(reader: R) -> SeekCounter:
    counter = SeekCounter(reader._container)
    reader._container = counter
    return counter


def keyframe_indices(video: Video) -> list[int]:
    """Presentation indices of the keyframes, from PyAV's own demux of the file."""
    with av.open(str(video.path)) as c:
        packets = [(p.pts, p.is_keyframe) for p in c.demux(video=0) if p.size]
    order = sorted(pts for pts, _ in packets)
    return sorted(order.index(pts) for pts, key in packets if key)


def test_forward_access_with_the_cache_decodes_on_and_fills_it(video):
    with R(str(video.path), frame_count=video.n_frames, cache_frames=True) as reader:
        assert_frame(video, reader.get(1), 1)
        counter = counted(reader)
        assert_frame(video, reader.get(28), 28)       # past two keyframes: decoded on, no seek
        assert counter.seeks == []
        assert sorted(reader._frame_cache) == list(range(29))
        for i in (12, 27, 3):
            assert_frame(video, reader._frame_cache[i], i)
        reader._container = counter._inner


def test_forward_access_without_a_cache_seeks_only_past_a_distant_keyframe(video):
    """The choice, counted: a seek pays off only for a keyframe well ahead of the decoder."""
    assert keyframe_indices(video) == [0, 10, 20]
    with R(str(video.path), frame_count=video.n_frames) as reader:
        assert_frame(video, reader.get(15), 15)       # nothing buffered: a keyframe seek
        counter = counted(reader)
        for target, seeks in [
            (19, 0),   # no keyframe in between
            (28, 0),   # keyframe 20 right after the decoder: decoding on is cheaper
            (3, 1),    # backward
            (9, 0),    # a long jump, but no keyframe in between
            (29, 1),   # keyframe 20 far ahead: seek to it, decode 20..29
        ]:
            before = len(counter.seeks)
            assert_frame(video, reader.get(target), target)
            assert len(counter.seeks) - before == seeks, target
            assert reader._current_frame_idx == target and not reader._at_end
        assert counter.seeks[-1] > 0 and reader._frame_cache == {}
        index, frame = reader.get_next()                # continues after the frame served
        assert index == 0                               # 29 was the last frame: loops
        reader.get(1)
        assert_frame(video, reader.get(22), 22)        # seek ahead again, then step on
        assert [reader.get_next()[0] for _ in range(3)] == [23, 24, 25]
        reader._container = counter._inner


@pytest.mark.parametrize("source", ["file", "bytes"])
def test_forward_leaps_without_a_cache_seek_on_every_stream_kind(each_video, source):
    n = each_video.n_frames
    if source == "file":
        reader = R(str(each_video.path))
    else:
        reader = R.from_bytes(each_video.data, frame_count=n)
    with reader:
        reader.get(0)
        counter = counted(reader)
        for start in range(0, 4):
            for i in range(start, n, 13):
                assert_frame(each_video, reader.get(i), i)
                assert reader._current_frame_idx == i
        # Each pass starts before the second keyframe (a rewind to 0); seeks to
        # a later keyframe come from skipping ahead.
        assert sum(pts > 0 for pts in counter.seeks) >= 4
        reader._container = counter._inner


@pytest.mark.parametrize("second_context", ["made", "refused"])
def test_runs_after_a_seek_keep_the_streams_threading(video_bframes, monkeypatch, second_context):
    """Runs after a keyframe seek decode without frame threads, on a context of
    their own: the stream's thread type stays "AUTO"; a codec context that
    cannot be made leaves every run to the stream's own."""
    if second_context == "refused":
        class Refusing:
            @staticmethod
            def create(*args, **kwargs):
                raise RuntimeError("no second context")
        monkeypatch.setattr(av, "CodecContext", Refusing)
    n = video_bframes.n_frames
    with R(str(video_bframes.path), frame_count=n) as reader:
        for i in [25, 3, 17, 29, 0, 1, 12, 28, 11]:
            assert_frame(video_bframes, reader.get(i), i)
        assert [reader.get_next()[0] for _ in range(n - 11)] == list(range(12, n)) + [0]
        assert reader._container.streams.video[0].thread_type.name == "AUTO"


# --- counting, first frames, threads after a jump ---------------------------

class OpenSpy:
    """Stands in for av.open: counts the container's demux passes (one to count
    from the packets, one more when the frames are counted by decoding) and can
    hide the first pass's timestamps (a stream with untimed packets)."""

    def __init__(self, monkeypatch, untimed: bool = False):
        self.demuxes = 0
        self.untimed = untimed
        real_open = av.open
        spy = self

        class Container:
            def __init__(self, inner):
                self._inner = inner

            def demux(self, *args, **kwargs):
                spy.demuxes += 1
                packets = self._inner.demux(*args, **kwargs)
                if spy.untimed and spy.demuxes == 1:
                    return (Untimed(p) if p.size and not p.is_keyframe else p for p in packets)
                return packets

            def __getattr__(self, name):
                return getattr(self._inner, name)

        class Untimed:
            pts = None

            def __init__(self, packet):
                self._packet = packet

            def __getattr__(self, name):
                return getattr(self._packet, name)

        monkeypatch.setattr(av, "open", lambda *a, **k: Container(real_open(*a, **k)))


def _shifted(data: bytes, frames: int) -> bytes:
    """The same packets remuxed to MP4 starting `frames` frames later: the
    muxer's edit list makes the demuxer mark the packets before it discard."""
    out = io.BytesIO()
    with av.open(io.BytesIO(data)) as src, av.open(out, "w", format="mp4") as dst:
        stream = src.streams.video[0]
        if hasattr(dst, "add_stream_from_template"):  # PyAV 14 and newer
            copy = dst.add_stream_from_template(stream)
        else:
            copy = dst.add_stream(template=stream)
        shift = int(frames / stream.average_rate / stream.time_base)
        for packet in src.demux(stream):
            if packet.size:
                packet.pts -= shift
                packet.dts -= shift
                packet.stream = copy
                dst.mux(packet)
    return out.getvalue()


def _cut_at_packet(data: bytes, keep: int) -> bytes:
    """A stream whose file ends right after its packet number `keep` (the
    sample table, at the front, still lists them all)."""
    with av.open(io.BytesIO(data)) as c:
        ends = sorted(p.pos + p.size for p in c.demux(video=0) if p.size)
    return data[:ends[keep - 1]]


@pytest.fixture(scope="session")
def counting_streams(video_ts, video_bframes, video_faststart) -> dict:
    """Streams whose frame count only decoding can tell: packets marked discard,
    a first packet that is no keyframe, a last packet cut short (marked corrupt)."""
    faststart = video_faststart.data
    return {
        "discard packets": _shifted(video_bframes.data, 4),
        "cut mid-group": video_ts.data[188 * 12:],
        "damaged tail": faststart[: int(len(faststart) * 0.9)],
    }


@pytest.mark.parametrize("source", ["file", "bytes"])
def test_frames_are_counted_from_the_packets_when_they_make_it_certain(each_video, source,
                                                                        monkeypatch):
    spy = OpenSpy(monkeypatch)
    if source == "file":
        reader = R(str(each_video.path))
    else:
        reader = R.from_bytes(each_video.data)
    with reader:
        assert spy.demuxes == 1                      # nothing decoded to count
        assert reader.size() == each_video.n_frames
        for i in access_pattern("strided", each_video.n_frames) + [0]:
            assert_frame(each_video, reader.get(i), i)


@pytest.mark.parametrize("kind", ["discard packets", "cut mid-group", "damaged tail",
                                  "untimed packets", "ends at a packet"])
def test_uncertain_packets_fall_back_to_counting_by_decoding(kind, counting_streams, video,
                                                             video_faststart, monkeypatch):
    data = {"untimed packets": video.data,
            "ends at a packet": _cut_at_packet(video_faststart.data, 17)}.get(kind)
    data = data if data is not None else counting_streams[kind]
    try:
        ref = _frames_with_frame_threads(data)
    except av.error.FFmpegError as refused:
        # Older FFmpeg releases raise on a last packet cut short even with frame
        # threads: counting by decoding then meets the same error.
        assert kind == "damaged tail"
        with pytest.raises(type(refused)):
            R.from_bytes(data)
        return
    spy = OpenSpy(monkeypatch, untimed=kind == "untimed packets")
    with R.from_bytes(data) as reader:
        assert reader.size() == len(ref)
        assert spy.demuxes == (1 if kind == "ends at a packet" else 2)
        for i in access_pattern("random", len(ref))[:40]:
            np.testing.assert_array_equal(reader.get(i), ref[i])


def _frames_with_frame_threads(data: bytes) -> list:
    """PyAV's own decode with the threading the reader asks for ("AUTO"): a
    damaged last packet then ends the stream instead of raising."""
    with av.open(io.BytesIO(data)) as c:
        stream = c.streams.video[0]
        stream.thread_type = "AUTO"
        return [f.to_ndarray(format="bgr24") for f in c.decode(stream)]


@pytest.mark.parametrize("count", ["given", "counted"])
def test_first_frame_of_a_new_reader_needs_no_seek(any_video, count, monkeypatch):
    n = any_video.n_frames if count == "given" else 0
    for first in ["get", "get_next"]:
        reader = R(str(any_video.path), frame_count=n)
        counter = counted(reader)
        frame = reader.get(0) if first == "get" else reader.get_next()[1]
        assert_frame(any_video, frame, 0)
        assert counter.seeks == []
        # Playback goes on, and every frame is still the right one.
        for i in range(1, any_video.n_frames):
            assert_frame(any_video, reader.get(i) if i % 2 else reader.get_next()[1], i)
        reader._container = counter._inner
        reader.close()


@pytest.mark.parametrize("cache", [False, True], ids=["nocache", "cache"])
@pytest.mark.parametrize("source", ["file", "bytes"])
def test_playback_after_a_jump_returns_every_frame(each_video, source, cache):
    """A jump (a short single-threaded run) followed by a long forward run, which
    goes back to frame threads on the way: frames equal PyAV's own decode."""
    n = each_video.n_frames
    if source == "file":
        reader = R(str(each_video.path), frame_count=n, cache_frames=cache)
    else:
        reader = R.from_bytes(each_video.data, frame_count=n)
    keys = keyframe_indices(each_video)
    with reader:
        for start in sorted({keys[-1] + 1, keys[1], keys[1] + 2, 3, n // 2, keys[-1] - 1}):
            assert_frame(each_video, reader.get(start), start)
            for step in range(1, n):
                i = (start + step) % n
                if step % 3:
                    index, frame = reader.get_next()
                    assert index == i
                else:
                    frame = reader.get(i)
                assert_frame(each_video, frame, i)


def test_playback_after_a_short_jump_takes_one_seek_back_to_frame_threads(video_160):
    """After a jump that lands a few frames into a group (a single-threaded run),
    playback makes exactly one more seek: back to the group's keyframe with frame
    threads, early in the group, or at the next keyframe, late in it."""
    keys = keyframe_indices(video_160)
    n = video_160.n_frames
    for offset, switch_at in [(1, keys[2]), (5, keys[3])]:
        with R(str(video_160.path), frame_count=n) as reader:
            reader.get(5)
            counter = counted(reader)
            target = keys[2] + offset
            assert_frame(video_160, reader.get(target), target)
            assert len(counter.seeks) == 1
            for i in range(target + 1, keys[3] + 5):
                index, frame = reader.get_next()
                assert index == i
                assert_frame(video_160, frame, i)
            assert len(counter.seeks) == 2
            with av.open(str(video_160.path)) as c:
                pts = sorted(p.pts for p in c.demux(video=0) if p.size)
            assert counter.seeks[-1] == pts[switch_at]
            reader._container = counter._inner


def test_damaged_packet_mid_group_never_shifts_later_frames(video):
    """A packet damaged in the middle of a group: PyAV's decoder reports it
    rather than dropping the frame, so frames counted on after a keyframe seek
    keep their indices. Every access either fails with PyAV's error or returns
    the frame asked for."""
    data = bytearray(video.data)
    with av.open(io.BytesIO(bytes(data))) as c:
        packets = sorted((p.pts, p.pos, p.size) for p in c.demux(video=0) if p.size)
    _, pos, size = packets[14]
    data[pos + 4:pos + size] = bytes(size - 4)
    damaged = bytes(data)
    with pytest.raises(av.FFmpegError):
        media.pyav_frames(damaged)
    for count in [30, 0]:
        with R.from_bytes(damaged, frame_count=count) as reader:
            assert reader.size() == 30
            served = set()
            for i in [12, 25, 13, 16, 19, 11, 21, 29, 15, 0, 14, 17, 9, 23] + list(range(30)):
                try:
                    frame = reader.get(i)
                except av.FFmpegError:
                    assert 14 <= i < 20                 # the damaged group, from the packet on
                    continue
                assert media.frame_index(frame) == i
                if i < 14 or i >= 20:
                    assert_frame(video, frame, i)
                served.add(i)
            assert served >= set(range(14)) | set(range(20, 30))
