"""Decode-all VideoReader and the streaming iter_video_frames generator.

Expected frames come from PyAV's own decode of the same file (conftest's
`Video.frames`); the iterator's handling of its container is observed through
a wrapper around the real `av` module put into sys.modules for the test.
"""

from __future__ import annotations

import collections.abc
import gc
import inspect
import io
import sys
import warnings
import weakref

import av
import numpy as np
import pytest

import media
from conftest import DEFAULT_KEY, xor_reference
from vorantis.engine import video_reader as vr


def read_all(kind: str, path, key="") -> list:
    if kind == "reader":
        reader = vr.VideoReader(str(path), key)
        return [reader.get(i) for i in range(reader.size())]
    return list(vr.iter_video_frames(str(path), key))


def assert_same_frames(got: list, expected: list) -> None:
    assert len(got) == len(expected)
    for i, (a, b) in enumerate(zip(got, expected)):
        assert a.dtype == np.uint8 and a.shape == b.shape, i
        assert np.array_equal(a, b), f"frame {i} differs"


def pyav_outcome(source):
    """What a plain PyAV loop over `source` produces: a frame count or the exception."""
    try:
        with av.open(source) as container:
            stream = container.streams.video[0]
            stream.thread_type = "AUTO"
            container.seek(0)
            return sum(1 for f in container.decode(video=0) if f.to_ndarray(format="bgr24") is not None)
    except Exception as exc:  # noqa: BLE001 - the exception is the expected value
        return exc


def error_identity(exc):
    """Type, errno, message and file name of an error; not the FFmpeg log line that
    some PyAV releases attach to an error's args, which varies between runs."""
    if isinstance(exc, OSError):
        return type(exc), exc.errno, exc.strerror, exc.filename
    return type(exc), exc.args


# ---------------------------------------------------------------------------
# A spy around the real `av` module
# ---------------------------------------------------------------------------


class ContainerSpy:
    def __init__(self, real, spy):
        self._real = real
        self._spy = spy

    @property
    def streams(self):
        return self._real.streams

    def seek(self, *args, **kwargs):
        self._spy.seeks.append((args, kwargs))
        return self._real.seek(*args, **kwargs)

    def decode(self, *args, **kwargs):
        for frame in self._real.decode(*args, **kwargs):
            if self._spy.delivered == self._spy.deliver_limit:
                return
            if self._spy.decode_error is not None and self._spy.delivered == self._spy.fail_at:
                raise self._spy.decode_error
            self._spy.delivered += 1
            if self._spy.on_deliver:
                self._spy.on_deliver()
            yield frame

    def close(self):
        self._spy.closes += 1
        self._real.close()
        if self._spy.close_error is not None:
            raise self._spy.close_error


class AvSpy:
    """Stands in for `av`: records open/close and can inject failures."""

    def __init__(self):
        self.open_calls = []
        self.seeks = []
        self.containers = []
        self.deliver_limit = None
        self.closes = 0
        self.delivered = 0
        self.decode_error = None
        self.fail_at = 0
        self.close_error = None
        self.on_deliver = None

    def __getattr__(self, name):
        return getattr(av, name)

    def open(self, *args, **kwargs):
        self.open_calls.append((args, kwargs))
        self.containers.append(ContainerSpy(av.open(*args, **kwargs), self))
        return self.containers[-1]


@pytest.fixture
def spy(monkeypatch) -> AvSpy:
    s = AvSpy()
    monkeypatch.setitem(sys.modules, "av", s)
    return s


# ---------------------------------------------------------------------------
# Frames
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["reader", "iterator"])
@pytest.mark.parametrize("fixture", ["video", "video_bframes", "video_160"])
def test_frames_equal_pyav_decode(kind, fixture, request):
    v = request.getfixturevalue(fixture)
    assert_same_frames(read_all(kind, v.path), v.frames)


def test_reader_surface_and_state(video):
    r = vr.VideoReader(str(video.path), "ignored", 7)
    assert list(vars(r)) == ["_path", "_is_encrypted", "_container", "_width", "_height",
                             "_frames", "_frame_count"]
    assert r._path == str(video.path) and r._is_encrypted is False
    assert (r.size(), r.width, r.height) == (video.n_frames, video.width, video.height)
    assert isinstance(r._frames, list) and len(r._frames) == video.n_frames
    with pytest.raises(AttributeError):
        r.width = 1
    members = {k for k, v in vars(vr.VideoReader).items() if not k.startswith("__") or k == "__init__"}
    assert members == {"__init__", "get", "size", "width", "height", "close"}
    assert not hasattr(vr.VideoReader, "__enter__") and not hasattr(vr.VideoReader, "__del__")


def test_reader_get_indices_copies_and_close(video):
    r = vr.VideoReader(str(video.path))
    n = video.n_frames
    assert np.array_equal(r.get(-1), video.frames[-1])
    assert np.array_equal(r.get(-n), video.frames[0])
    for bad, shown in [(n, n), (-n - 1, -1), (10**20, 10**20)]:
        with pytest.raises(IndexError) as info:
            r.get(bad)
        assert str(info.value) == f"Frame index {shown} out of range [0, {n})"
    a = r.get(3)
    assert not np.shares_memory(a, r._frames[3])
    a[:] = 0
    assert np.array_equal(r.get(3), video.frames[3])
    r.close()
    assert r._container is None
    r.close()
    assert np.array_equal(r.get(5), video.frames[5]) and r.size() == n and r.width == video.width


def test_reader_get_from_many_threads(video_bframes):
    from concurrent.futures import ThreadPoolExecutor

    r = vr.VideoReader(str(video_bframes.path))
    indices = np.random.default_rng(5).integers(-r.size(), r.size(), 400)
    with ThreadPoolExecutor(8) as pool:
        got = list(pool.map(r.get, indices.tolist()))
    for i, frame in zip(indices, got):
        assert np.array_equal(frame, video_bframes.frames[i])


@pytest.mark.parametrize("kind", ["reader", "iterator"])
def test_opens_rewinds_and_threads_like_plain_pyav(kind, spy, video):
    if kind == "reader":
        r = vr.VideoReader(str(video.path))
    else:
        it = vr.iter_video_frames(str(video.path))
        next(it)
    assert spy.open_calls == [((str(video.path),), {})]
    assert spy.seeks == [((0,), {})]
    stream = spy.containers[0].streams.video[0]
    assert stream.thread_type == av.codec.context.ThreadType.AUTO
    (r if kind == "reader" else it).close()
    (r if kind == "reader" else it).close()
    assert spy.closes == 1


def test_decoder_delivering_no_frames(spy, video):
    spy.deliver_limit = 0
    r = vr.VideoReader(str(video.path))
    assert r.size() == 0 and r._frames == []
    for index, shown in [(0, 0), (-1, -1)]:
        with pytest.raises(IndexError, match=rf"^Frame index {shown} out of range \[0, 0\)$"):
            r.get(index)
    assert list(vr.iter_video_frames(str(video.path))) == [] and spy.closes == 1


# ---------------------------------------------------------------------------
# Encrypted files and key rules
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["reader", "iterator"])
def test_encrypted_default_and_custom_key(kind, video, encrypted_video, encrypted_video_custom_key):
    assert_same_frames(read_all(kind, encrypted_video), video.frames)
    assert_same_frames(read_all(kind, encrypted_video, None), video.frames)
    path, key = encrypted_video_custom_key
    assert_same_frames(read_all(kind, path, key), video.frames)


@pytest.mark.parametrize("kind", ["reader", "iterator"])
def test_encrypted_opened_from_memory(kind, spy, video, encrypted_video):
    read_all(kind, encrypted_video)
    (args, kwargs), = spy.open_calls
    assert kwargs == {} and len(args) == 1 and isinstance(args[0], io.BytesIO)
    assert args[0].getvalue() == video.data


@pytest.mark.parametrize("kind", ["reader", "iterator"])
def test_key_rules(kind, video, encrypted_video, media_dir, monkeypatch):
    with pytest.raises(AttributeError):
        read_all(kind, encrypted_video, DEFAULT_KEY)  # bytes have no encode
    # a plain file ignores the key whatever it is; so does a suffix in other case
    assert_same_frames(read_all(kind, video.path, DEFAULT_KEY), video.frames)
    upper = media_dir / "plain_copy.VRTENSOR"
    upper.write_bytes(video.data)
    assert_same_frames(read_all(kind, upper), video.frames)
    # the default key is the module's ENCRYPT_KEY at the time of the call
    other = media_dir / f"other_key_{kind}.vrtensor"
    other.write_bytes(xor_reference(video.data, b"another key"))
    monkeypatch.setattr(vr, "ENCRYPT_KEY", b"another key")
    assert_same_frames(read_all(kind, other), video.frames)


# ---------------------------------------------------------------------------
# Bad input
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def damaged(media_dir, video_160) -> dict:
    data = video_160.data
    truncated = media_dir / "truncated.mp4"
    truncated.write_bytes(data[: len(data) // 2])
    corrupt = bytearray(data)
    at = int(len(data) * 0.3)
    corrupt[at:at + 200] = np.random.default_rng(1).integers(0, 256, 200, dtype=np.uint8).tobytes()
    corrupt_path = media_dir / "corrupt.mp4"
    corrupt_path.write_bytes(bytes(corrupt))
    return {"truncated": truncated, "corrupt": corrupt_path}


@pytest.mark.parametrize("kind", ["reader", "iterator"])
@pytest.mark.parametrize("case", ["missing", "not_media", "audio_only", "truncated", "corrupt"])
def test_bad_input_raises_pyav_error(kind, case, request, damaged, media_dir):
    path = {"missing": media_dir / "missing.mp4",
            "not_media": request.getfixturevalue("not_media"),
            "audio_only": request.getfixturevalue("audio_only"),
            **damaged}[case]
    expected = pyav_outcome(str(path))
    assert isinstance(expected, Exception), "PyAV itself should fail on this input"
    with pytest.raises(type(expected)) as info:
        read_all(kind, path)
    assert error_identity(info.value) == error_identity(expected)


def test_missing_encrypted_file_raises_host_error(media_dir):
    with pytest.raises(FileNotFoundError):
        vr.VideoReader(str(media_dir / "missing.vrtensor"))
    it = vr.iter_video_frames(str(media_dir / "missing.vrtensor"))
    with pytest.raises(FileNotFoundError):
        next(it)
    assert list(it) == []


# ---------------------------------------------------------------------------
# The iterator: limits, laziness, closing
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("max_frames, yielded, delivered", [
    (3, 3, 4), (0, 0, 1), (-1, 30, 30), (-5, 30, 30), (30, 30, 30), (29, 29, 30), (True, 1, 2),
])
def test_max_frames(spy, video, max_frames, yielded, delivered):
    frames = list(vr.iter_video_frames(str(video.path), max_frames=max_frames))
    assert [media.frame_index(f) for f in frames] == list(range(yielded))
    assert spy.delivered == delivered and spy.closes == 1


def test_max_frames_longer_than_video(media_dir):
    path = media_dir / "two.mp4"
    media.encode_h264(str(path), 2)
    assert len(list(vr.iter_video_frames(str(path), max_frames=3))) == 2


def test_nothing_touched_before_first_frame(spy, media_dir):
    it = vr.iter_video_frames(str(media_dir / "missing.mp4"), max_frames="x")
    unstarted = vr.iter_video_frames(str(media_dir / "missing.mp4"))
    unstarted.close()
    del unstarted
    assert spy.open_calls == []
    with pytest.raises(FileNotFoundError):
        next(it)
    assert len(spy.open_calls) == 1 and spy.closes == 0


def _drop(box):
    ref = weakref.ref(box.pop())
    assert ref() is None


def _drop_cycle(box):
    thread_count = box.pop()  # an argument the iterator ignores but holds
    thread_count.append(box[0])  # a reference cycle through the generator
    del thread_count
    ref = weakref.ref(box.pop())
    assert ref() is not None
    gc.collect()
    assert ref() is None


def _throw3(box):
    try:
        raise KeyError("thrown")
    except KeyError as exc:
        tb = exc.__traceback__
    with pytest.raises(KeyError), warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the 3-argument form, from 3.12
        box[0].throw(KeyError, KeyError("thrown"), tb)


ENDINGS = {
    "close": lambda box: box[0].close(),
    "throw": lambda box: pytest.raises(LookupError, box[0].throw, LookupError("x")),
    "throw3": _throw3,
    "drop": _drop,
    "drop_cycle": _drop_cycle,
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_suspended_iterator_ending_closes_once(spy, video, ending):
    thread_count = []
    box = [vr.iter_video_frames(str(video.path), "", thread_count), thread_count]
    del thread_count
    assert media.frame_index(next(box[0])) == 0
    assert spy.closes == 0
    if ending != "drop_cycle":
        box.pop()
    ENDINGS[ending](box)
    assert spy.closes == 1
    if box:
        assert list(box[0]) == [] and spy.closes == 1
        box[0].close()
    assert spy.closes == 1


@pytest.mark.parametrize("case", ["decode_error", "no_video_stream", "bad_max_frames"])
def test_error_inside_guard_closes(spy, video, audio_only, case):
    path, kwargs, error = str(video.path), {}, None
    if case == "decode_error":
        spy.decode_error, spy.fail_at, error = OSError("decoder broke"), 2, OSError
    elif case == "no_video_stream":
        path, error = str(audio_only), IndexError
    else:
        kwargs, error = {"max_frames": "x"}, TypeError
    it = vr.iter_video_frames(path, **kwargs)
    got = []
    with pytest.raises(error) as info:
        for frame in it:
            got.append(frame)
    if case == "decode_error":
        assert info.value is spy.decode_error and len(got) == 2
    assert spy.closes == 1
    assert list(it) == [] and spy.closes == 1


def test_close_failure_wins(spy, video):
    spy.decode_error, spy.fail_at = OSError("decoder broke"), 1
    spy.close_error = RuntimeError("close broke")
    it = vr.iter_video_frames(str(video.path))
    next(it)
    with pytest.raises(RuntimeError) as info:
        next(it)
    assert info.value is spy.close_error and info.value.__context__ is spy.decode_error
    assert spy.closes == 1

    spy.decode_error, spy.closes = None, 0
    it = vr.iter_video_frames(str(video.path))
    next(it)
    with pytest.raises(RuntimeError):
        it.close()
    assert spy.closes == 1


# ---------------------------------------------------------------------------
# The iterator: generator protocol and references
# ---------------------------------------------------------------------------


def test_generator_protocol(spy, video):
    assert inspect.isgeneratorfunction(vr.iter_video_frames)
    assert not inspect.isgeneratorfunction(vr.is_encrypted_file)
    it = vr.iter_video_frames(str(video.path), max_frames=2)
    assert isinstance(it, collections.abc.Generator)
    assert media.frame_index(it.send(None)) == 0
    assert media.frame_index(it.send("ignored")) == 1  # reaches the native iterator's send
    with pytest.raises(StopIteration):
        it.send("ignored")
    assert spy.closes == 1

    it = vr.iter_video_frames(str(video.path))
    with pytest.raises(KeyError):  # thrown before the start: raised, nothing opened
        it.throw(KeyError)
    assert list(it) == [] and len(spy.open_calls) == 1


def test_reentrant_advance_refused(spy, video):
    it = vr.iter_video_frames(str(video.path))
    seen = []

    def reenter():
        for attempt in (lambda: next(it), lambda: it.send(None), it.close,
                        lambda: it.throw(KeyError)):
            with pytest.raises(ValueError, match="generator already executing") as info:
                attempt()
            seen.append(info.type)

    spy.on_deliver = reenter
    next(it)
    assert len(seen) == 4 and it.gi_running is False
    spy.on_deliver = None
    assert media.frame_index(next(it)) == 1


def test_no_reference_kept_to_yielded_frames(video):
    it = vr.iter_video_frames(str(video.path))
    frame = next(it)
    # Dropping the caller's only reference frees the frame at once (no collection
    # needed): the suspended generator holds none. A reference count would say the
    # same less portably (3.14 counts the argument's borrowed reference otherwise).
    ref = weakref.ref(frame)
    del frame
    assert ref() is None
    nxt = next(it)
    assert media.frame_index(nxt) == 1


@pytest.mark.parametrize("obj, signature, summary", [
    (vr.VideoReader.__init__,
     "(self, video_path: 'str', key: 'str' = '', thread_count: 'int' = 0) -> 'None'", None),
    (vr.VideoReader.get, "(self, index: 'int') -> 'np.ndarray'",
     "Get a decoded frame by index (returns a copy)."),
    (vr.VideoReader.size, "(self) -> 'int'", "Return total number of decoded frames."),
    (vr.VideoReader.close, "(self) -> 'None'", None),
    (vr.VideoReader.width.fget, "(self) -> 'int'", None),
    (vr.iter_video_frames,
     "(video_path: 'str', key: 'str' = '', thread_count: 'int' = 0, max_frames: 'int' = -1)"
     " -> 'Iterator[np.ndarray]'",
     "Yield decoded BGR24 frames one at a time from a video file."),
])
def test_callable_surface(obj, signature, summary):
    assert str(inspect.signature(obj)) == signature
    assert (obj.__doc__.splitlines()[0] if obj.__doc__ else None) == summary
    assert obj.__module__ == "vorantis.engine.video_reader"
    assert vr.VideoReader.__doc__.startswith("PyAV-based video reader replacing FFmpeg C wrapper.")


def test_frame_iterator_refuses_a_call_while_running(spy, video):
    """The native iterator behind the generator, driven directly: a call made while
    another is inside it (here from the decoder's own callback) is refused, and the
    iterator carries on."""
    it = vr._native.frame_iterator(str(video.path), "", 0, -1)
    refused = []

    def reenter():
        for attempt in (lambda: next(it), it.close, lambda: it.send(1)):
            with pytest.raises(ValueError, match="frame iterator already running"):
                attempt()
            refused.append(attempt)

    spy.on_deliver = reenter
    assert media.frame_index(next(it)) == 0 and len(refused) == 3
    spy.on_deliver = None
    assert media.frame_index(it.send("ignored")) == 1
    it.close()
    assert spy.closes == 1 and list(it) == []
    with pytest.raises(TypeError):  # made only by the native table
        type(it)()
