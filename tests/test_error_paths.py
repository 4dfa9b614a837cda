"""Failures in the middle of an operation: memory exhaustion at every entry
point, interrupts during decoding, errors of clean-up during destruction.

Memory exhaustion comes from CPython's own fault injection
(`_testcapi.set_nomemory`: every Python allocation from the n-th on fails), run
in a child process because a C++ exception escaping into the interpreter aborts
it. After each injected failure the reader must still hand out the frame asked
for: the failure may not leave a frame under another frame's index, nor a
decoder standing somewhere other than where the reader believes.
"""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
from pathlib import Path

import av
import pytest

import media
from vorantis.engine import video_reader as vr

try:
    import _testcapi
    HAVE_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAVE_NOMEMORY = False

TESTS_DIR = Path(__file__).parent
# Where the package under test was imported from (the source tree or an
# installed wheel): the child processes import the same one.
PYTHON_DIR = Path(vr.__file__).parents[2]

# How long a case may run before its child reports where it stands and ends
# (a sweep takes seconds; the subprocess timeout is only the last resort).
CASE_LIMIT = 240

PRELUDE = """
import faulthandler, inspect, random, sys, _testcapi
faulthandler.dump_traceback_later({limit}, exit=True)
sys.path[:0] = [{tests!r}, {python!r}]
import media
from vorantis.engine import video_reader as vr

# Each operation runs once without failures before failures are injected into
# it, recording the imports it makes: its modules are then loaded, and a name
# whose import fails (the implicit relative import of an older Cython build:
# PyAV 12 tries "av.video.numpy" before "numpy" at every conversion) is marked
# absent in sys.modules, as Python 2 did, so that it fails again without taking
# an import lock. An allocation failure inside importlib can leave a module's
# lock held (seen on CPython 3.11), and the next import of that name would wait
# for ever.
recording = []

def audit(event, args):
    if recording and event == "import":
        recording[-1].append(args[0])

sys.addaudithook(audit)
warmed = set()

def warm(fn, expected):
    key = getattr(fn, "__code__", None) or getattr(fn, "__func__", None) or fn
    if key in warmed:
        return
    warmed.add(key)
    names = []
    recording.append(names)
    try:
        fn()
    except expected:
        pass
    finally:
        recording.pop()
    for name in names:
        if name not in sys.modules:
            sys.modules[name] = None

def nomemory(k, fn, *expected):
    warm(fn, expected)
    _testcapi.set_nomemory(k)
    try:
        fn()
    except (MemoryError,) + expected:
        pass
    finally:
        _testcapi.remove_mem_hooks()

def check(reader, index):
    got = media.frame_index(reader.get(index))
    assert got == index, (index, got)
"""

# Each case runs in a fresh interpreter; `V` is a 12-frame video, `LONG` one of
# 270 frames (indices above 256 are ints that take an allocation to make).
CASES = {
    # The decoder's iterator slot, first step, every allocation failing.
    "decoder slot": """
        r = vr.MP4VideoReader(V, frame_count=12)
        nomemory(0, lambda: next(r._decoder))
    """,
    # The frame iterator: opening, stepping and closing fail at every allocation
    # (PyAV imported first: an import that fails half-way can hang the next one);
    # a failed close leaves the container to the iterator's finaliser.
    "frame iterator": """
        list(vr.iter_video_frames(V, max_frames=1))
        for k in range(220):
            nomemory(k, lambda: list(vr.iter_video_frames(V, max_frames=3)))
            it = vr.iter_video_frames(V)
            nomemory(k, lambda: next(it))
            nomemory(k, it.close)
            del it
        frames = vr.iter_video_frames(V, max_frames=3)
        assert [media.frame_index(f) for f in frames] == [0, 1, 2]
    """,
    # Reader access under the lock: after each failure the next frames are right.
    "reader": """
        r = vr.MP4VideoReader(V, frame_count=12)
        for k in range(150):
            t = k * 5 % 12
            nomemory(k, lambda: r.get(t))
            for t2 in (t, (t + 1) % 12, (t + 7) % 12):
                check(r, t2)
            nomemory(k, r.get_next)
            i, f = r.get_next()
            assert media.frame_index(f) == i
    """,
    # Frames above 256: the index objects themselves need memory.
    "reader long": """
        rng = random.Random(1)
        for cache in (False, True):
            r = vr.MP4VideoReader(LONG, frame_count=270, cache_frames=cache)
            for k in range(160):
                t = rng.randrange(257, 270)
                nomemory(k % 80, lambda: r.get(t))
                for t2 in (t, min(t + 1, 269), t - 3):
                    check(r, t2)
    """,
    # The container reader and writer.
    "container": """
        import os, tempfile
        d = tempfile.mkdtemp()
        path = os.path.join(d, "c.imx")
        files = {"a": b"x" * 100, "b": bytearray(b"yz"), "manifest.json": b'{"version": 2}'}
        for k in range(150):
            nomemory(k, lambda: vr.write_imx_v2_container(path, files), OSError)
            nomemory(k, lambda: vr.ImxContainer(path).read_file("a"), OSError, KeyError)
        vr.write_imx_v2_container(path, files)
        c = vr.ImxContainer(path)
        assert {n: c.read_file(n) for n in c.list_files()} == {k: bytes(v) for k, v in files.items()}
    """,
}


@pytest.fixture(scope="module")
def long_video(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("long") / "long.mp4"
    media.encode_h264(str(path), 270, gop=10)
    return path


@pytest.mark.skipif(not HAVE_NOMEMORY, reason="this interpreter has no _testcapi.set_nomemory")
@pytest.mark.parametrize("case", list(CASES))
def test_memory_failure_reaches_the_caller(case, video, long_video):
    if case == "frame iterator" and int(av.__version__.split(".")[0]) < 13:
        # PyAV 12: a MemoryError surfaces in the caller after the sweep's failed
        # steps, outside any call that failed (not yet traced to its source).
        pytest.skip("the frame iterator sweep is not yet clean beside PyAV 12")
    script = PRELUDE.format(limit=CASE_LIMIT, tests=str(TESTS_DIR), python=str(PYTHON_DIR))
    script += f"V = {str(video.path)!r}\nLONG = {str(long_video)!r}\n"
    script += textwrap.dedent(CASES[case]) + "\nprint('done')\n"
    try:
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=CASE_LIMIT + 60)
    except subprocess.TimeoutExpired as e:
        err = e.stderr.decode(errors="replace") if isinstance(e.stderr, bytes) else e.stderr or ""
        pytest.fail(f"the child did not end, nor report, within {CASE_LIMIT + 60} s:\n{err[-3000:]}")
    assert run.returncode == 0, run.stderr[-3000:]  # a hang ends here with the child's stacks
    assert run.stdout.strip().endswith("done")


# ---------------------------------------------------------------------------
# Interrupts and MemoryError are never swallowed
# ---------------------------------------------------------------------------

class FailingCodecContexts:
    """Stands in for av.CodecContext: making or configuring a context fails."""

    def __init__(self, exc, at):
        self.exc, self.at = exc, at

    def create(self, codec, mode):
        if self.at == "create":
            raise self.exc()
        exc = self.exc

        class Context:
            def __setattr__(self, name, value):
                if name != "thread_type":  # the copied configuration fails
                    raise exc()

        return Context()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
@pytest.mark.parametrize("at", ["create", "configure"])
def test_interrupt_while_preparing_a_seek_reaches_the_caller(video, monkeypatch, exc, at):
    # The single-threaded context is made for a new reader's first frames or
    # for the first short run after a keyframe seek, whichever comes first.
    monkeypatch.setattr(av, "CodecContext", FailingCodecContexts(exc, at))
    r = None
    with pytest.raises(exc):
        r = vr.MP4VideoReader(str(video.path), frame_count=video.n_frames)
        r.get(0)
        r.get(25)  # far ahead, no cache: a keyframe seek and a short run
    monkeypatch.undo()
    r = r or vr.MP4VideoReader(str(video.path), frame_count=video.n_frames)
    for i in (25, 5, 6, 17, 0):
        assert media.frame_index(r.get(i)) == i


class InterruptedDemux:
    """A container whose packet generator raises once it has passed the end."""

    def __init__(self, inner, exc):
        self._inner, self._exc = inner, exc
        self.armed = False

    def __getattr__(self, name):
        return getattr(self._inner, name)

    def demux(self, *streams):
        for packet in self._inner.demux(*streams):
            yield packet
            if packet.size == 0 and self.armed:
                raise self._exc()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
def test_interrupt_while_rewinding_reaches_the_caller(video, monkeypatch, exc):
    opened = []
    real_open = av.open
    monkeypatch.setattr(av, "open", lambda *a, **k: opened.append(InterruptedDemux(real_open(*a, **k), exc))
                        or opened[-1])
    r = vr.MP4VideoReader(str(video.path), frame_count=video.n_frames)
    opened[-1].armed = True
    for i in range(video.n_frames):  # the last frames come out of the end-of-file flush
        assert r.get_next()[0] == i
    with pytest.raises(exc):
        r.seek_to_start()  # drains what is left of the generator
    opened[-1].armed = False
    assert r.get_next()[0] == 0
    assert media.frame_index(r.get(3)) == 3


def test_del_reports_close_errors_as_unraisable(video, monkeypatch):
    class Broken:
        def close(self):
            raise OSError("close failed")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    r = vr.MP4VideoReader(str(video.path), frame_count=video.n_frames)
    real = r._container
    r._container = Broken()
    del r
    gc.collect()
    real.close()
    assert [type(u.exc_value) for u in seen] == [OSError]
    assert str(seen[0].exc_value) == "close failed"


# ---------------------------------------------------------------------------
# Re-initialisation and unlocked positioning
# ---------------------------------------------------------------------------

def test_init_refused_on_an_open_reader(video, video_bframes):
    r = vr.MP4VideoReader(str(video.path), frame_count=video.n_frames)
    assert media.frame_index(r.get(7)) == 7
    with pytest.raises(RuntimeError, match="open reader"):
        r.__init__(str(video_bframes.path))
    assert media.frame_index(r.get(8)) == 8 and r._path == str(video.path)
    r.close()
    r.__init__(str(video_bframes.path), frame_count=video_bframes.n_frames)  # closed: allowed
    assert media.frame_index(r.get(12)) == 12
    b = vr.MP4VideoReader.from_bytes(video.data)
    with pytest.raises(RuntimeError, match="open reader"):
        b.__init__(str(video.path))


RACE = """
import random, sys, threading, time
sys.path[:0] = [{tests!r}, {python!r}]
import media
from vorantis.engine import video_reader as vr
r = vr.MP4VideoReader({path!r}, frame_count=60)
stop = time.time() + 2.0
refused = []

def loop(step, seed):
    rng = random.Random(seed)
    while time.time() < stop:
        try:
            step(rng.randrange(60))
        except RuntimeError as e:
            refused.append(str(e))

threads = [threading.Thread(target=loop, args=(r._advance_to_frame, s)) for s in (1, 2)]
threads.append(threading.Thread(target=loop, args=(r.get, 3)))
threads.append(threading.Thread(target=loop, args=(lambda i: r.__init__({path!r}), 4)))
for t in threads:
    t.start()
for t in threads:
    t.join()
assert refused and all("another thread" in m or "open reader" in m for m in refused), set(refused)
for i in (0, 31, 59, 5):
    assert media.frame_index(r.get(i)) == i
print("done")
"""


def test_unlocked_positioning_from_threads_is_refused(video_160):
    # _advance_to_frame takes no lock: two threads in one decoder used to
    # corrupt FFmpeg's state and crash the process.
    script = RACE.format(tests=str(TESTS_DIR), python=str(PYTHON_DIR), path=str(video_160.path))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.strip().endswith("done")


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
def test_container_read_lets_interrupts_through(tmp_path, monkeypatch, exc):
    # A file object without a usable descriptor is read without its size; an
    # interrupt or MemoryError while asking for it is not "no descriptor".
    import builtins
    path = tmp_path / "big.imx"
    vr.write_imx_v2_container(str(path), {"big": bytes(200_000)})
    c = vr.ImxContainer(str(path))
    real_open = builtins.open

    class NoFileno:
        def __init__(self, f):
            self._f = f

        def __getattr__(self, name):
            return getattr(self._f, name)

        def __enter__(self):
            return self

        def __exit__(self, *a):
            self._f.close()

        def fileno(self):
            raise exc()

    monkeypatch.setattr(builtins, "open", lambda *a, **k: NoFileno(real_open(*a, **k)))
    with pytest.raises(exc):
        c.read_file("big")
    monkeypatch.undo()
    assert c.read_file("big") == bytes(200_000)
