"""Objects that leave their process: pickling, fork, process pools and the Dask example.

Anything that could hang (a fork, a pool) runs in a subprocess under a timeout.
"""

from __future__ import annotations

import copy
import hashlib
import json
import os
import pickle
import subprocess
import sys
import textwrap
import typing
import weakref
from pathlib import Path

import numpy as np
import pytest

import vorantis.engine.video_reader as vr

FUNCTION = type(vr.is_imx_file)
REPO = Path(__file__).resolve().parent.parent


def _surface():
    """(name, function) for every function, method, classmethod and property getter."""
    for name, value in vars(vr).items():
        if isinstance(value, FUNCTION):
            yield name, value
        elif isinstance(value, type) and value.__module__ == vr.__name__:
            for member, raw in vars(value).items():
                if isinstance(raw, FUNCTION):
                    yield f"{name}.{member}", raw
                elif isinstance(raw, property):
                    yield f"{name}.{member}.fget", raw.fget
                elif isinstance(raw, classmethod):
                    yield f"{name}.{member}.__func__", raw.__func__


SURFACE = dict(_surface())
# Reachable under their qualified name, hence picklable by reference.
BY_NAME = [n for n in SURFACE if not n.endswith((".fget", ".__func__"))]


def sha1(frame: np.ndarray) -> str:
    return hashlib.sha1(np.ascontiguousarray(frame).tobytes()).hexdigest()


# --- Functions --------------------------------------------------------------------

@pytest.mark.parametrize("name", BY_NAME)
def test_function_pickles_by_reference(name):
    fn = SURFACE[name]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        blob = pickle.dumps(fn, protocol)
        assert pickle.loads(blob) is fn
        assert len(blob) < 200  # a reference, not the function


@pytest.mark.parametrize("name", sorted(SURFACE))
def test_function_copies_to_itself_and_takes_weak_references(name):
    fn = SURFACE[name]
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
    ref = weakref.ref(fn)
    assert ref() is fn
    assert fn.__globals__ is vars(vr)


def test_classmethod_and_bound_methods_pickle():
    assert pickle.loads(pickle.dumps(vr.MP4VideoReader.from_bytes)) == vr.MP4VideoReader.from_bytes
    with pytest.raises(pickle.PicklingError):  # as a Python property's getter
        pickle.dumps(vars(vr.VideoReader)["width"].fget)


@pytest.mark.parametrize("name", sorted(SURFACE))
def test_type_hints_resolve(name):
    hints = typing.get_type_hints(SURFACE[name])
    assert set(hints) == set(SURFACE[name].__annotations__)
    for value in hints.values():
        assert not isinstance(value, (str, typing.ForwardRef)), (name, value)


@pytest.mark.parametrize("name, key, expected", [
    ("iter_video_frames", "return", typing.Iterator[np.ndarray]),
    ("compute_mask_bbox", "return", typing.Tuple[int, int, int, int]),
    ("MP4VideoReader.get_next", "return", typing.Tuple[int, np.ndarray]),
    ("MP4VideoReader.from_bytes.__func__", "return", vr.MP4VideoReader),
    ("MP4VideoReader.__enter__", "return", vr.MP4VideoReader),
    ("ImxContainer.get_entry", "return", typing.Tuple[int, int]),
    ("ImxContainer.metadata.fget", "return", typing.Optional[dict]),
    ("VideoReader.get", "return", np.ndarray),
    ("MP4VideoReader.close", "return", type(None)),
])
def test_type_hints_values(name, key, expected):
    assert typing.get_type_hints(SURFACE[name])[key] == expected


# --- Classes ----------------------------------------------------------------------

@pytest.fixture
def model(tmp_path, video):
    """An IMX container holding the plain video beside a manifest."""
    path = tmp_path / "model.imx"
    vr.write_imx_v2_container(str(path), {"manifest.json": b'{"format_version": 2}',
                                          "a.mp4": video.data, "b.bin": b"x" * 10})
    return path


def _open(kind, video, model):
    if kind == "path":
        return vr.MP4VideoReader(str(video.path))
    if kind == "path_cached":
        return vr.MP4VideoReader(str(video.path), cache_frames=True, frame_count=video.n_frames)
    if kind == "section":
        offset, size = vr.ImxContainer(str(model)).get_entry("a.mp4")
        return vr.MP4VideoReader(str(model), base_offset=offset, file_size=size)
    return vr.MP4VideoReader.from_bytes(video.data)


MP4_KINDS = ["path", "path_cached", "section", "from_bytes"]


@pytest.mark.parametrize("kind", MP4_KINDS)
def test_mp4_reader_pickles_as_its_source_and_position(kind, video, model):
    reader = _open(kind, video, model)
    reader.get(7)
    assert reader.get_next()[0] == 8
    blob = pickle.dumps(reader)
    limit = len(video.data) + 1000 if kind == "from_bytes" else 1000
    assert len(blob) < limit  # no decoded frame travels
    clone = pickle.loads(blob)
    assert type(clone) is vr.MP4VideoReader
    assert clone._current_frame_idx == 8
    for protocol in (0, 1, 2, pickle.HIGHEST_PROTOCOL):
        other = pickle.loads(pickle.dumps(reader, protocol))
        assert other._current_frame_idx == 8
        other.close()
    assert (clone.size(), clone.width, clone.height) == (video.n_frames, video.width, video.height)
    assert clone._cache_frames == reader._cache_frames
    index, frame = clone.get_next()
    assert index == 9
    np.testing.assert_array_equal(frame, video.frames[9])
    for i in (3, 25, 0, -1):
        np.testing.assert_array_equal(clone.get(i), video.frames[i])
    # the original is untouched by its clone
    index, frame = reader.get_next()
    assert index == 9
    np.testing.assert_array_equal(frame, video.frames[9])
    copied = copy.deepcopy(reader)
    assert copied.get_next()[0] == 10 and reader._current_frame_idx == 9
    clone.close(), reader.close(), copied.close()


def test_mp4_reader_at_its_end_loops_after_unpickling(video):
    reader = vr.MP4VideoReader(str(video.path))
    with pytest.raises(IndexError):
        reader._advance_to_frame(video.n_frames)
    clone = pickle.loads(pickle.dumps(reader))
    assert clone._at_end is True
    assert [clone.get_next()[0] for _ in range(2)] == [reader.get_next()[0] for _ in range(2)]


@pytest.mark.parametrize("kind", MP4_KINDS)
def test_closed_mp4_reader_pickles_to_a_closed_reader(kind, video, model):
    reader = _open(kind, video, model)
    reader.get(2)
    reader.close()
    blob = pickle.dumps(reader)
    assert len(blob) < 1000
    clone = pickle.loads(blob)
    assert clone.size() == reader.size() and clone.width == video.width
    with pytest.raises(ValueError, match="closed"):
        clone.get(0)
    clone.close()


def test_bound_method_pickles_with_its_reader(video):
    reader = vr.MP4VideoReader(str(video.path))
    get = pickle.loads(pickle.dumps(reader.get))
    np.testing.assert_array_equal(get(5), video.frames[5])
    assert reader._current_frame_idx == -1  # the clone decoded, not the original


@pytest.mark.parametrize("state", [{}, {"path": "x"}, {"path": "x", "frame_count": 3, "closed": False}, None])
def test_bad_mp4_state_fails_clearly(state):
    reader = vr.MP4VideoReader.__new__(vr.MP4VideoReader)
    with pytest.raises((ValueError, FileNotFoundError, TypeError, KeyError)):
        reader.__setstate__(state)
    del reader  # its finaliser copes with a half-built reader


def test_unpickling_a_reader_whose_file_is_gone_fails_clearly(tmp_path, video):
    path = tmp_path / "gone.mp4"
    path.write_bytes(video.data)
    blob = pickle.dumps(vr.MP4VideoReader(str(path), frame_count=video.n_frames))
    path.unlink()
    with pytest.raises(FileNotFoundError):
        pickle.loads(blob)


@pytest.mark.parametrize("encrypted", [False, True])
def test_video_reader_pickles_as_path_and_key(encrypted, video, encrypted_video_custom_key):
    path, key = encrypted_video_custom_key if encrypted else (video.path, "")
    reader = vr.VideoReader(str(path), key)
    blob = pickle.dumps(reader)
    assert len(blob) < 1000
    clone = pickle.loads(blob)
    assert clone.size() == video.n_frames
    for i in (0, 11, -1):
        np.testing.assert_array_equal(clone.get(i), video.frames[i])
    reader.close()
    closed = pickle.loads(pickle.dumps(reader))
    assert closed._container is None
    np.testing.assert_array_equal(closed.get(4), video.frames[4])


def test_imx_container_pickles_as_its_path(model, video):
    box = vr.ImxContainer(str(model))
    blob = pickle.dumps(box)
    assert len(blob) < 200 + len(str(model))
    clone = pickle.loads(blob)
    assert clone.list_files() == box.list_files() and clone.metadata == box.metadata
    assert clone.get_entry("a.mp4") == box.get_entry("a.mp4")
    assert clone.read_file("a.mp4") == video.data
    assert pickle.loads(pickle.dumps(box.read_file))("b.bin") == b"x" * 10
    os.unlink(model)
    with pytest.raises(FileNotFoundError):
        pickle.loads(blob)


# --- Fork and process pools (each in a subprocess under a timeout) -------------------------

FORK_SCRIPT = r'''
import hashlib, json, os, sys, threading, time
import numpy as np
from vorantis.engine import video_reader as vr

path, model, offset, size, out_path = sys.argv[1:6]
offset, size = int(offset), int(size)
h = lambda a: hashlib.sha1(np.ascontiguousarray(a).tobytes()).hexdigest()

plain = vr.MP4VideoReader(path)
plain.get(5); plain.get_next()                       # stands at 6
cached = vr.MP4VideoReader(path, cache_frames=True)
cached.get(9)
section = vr.MP4VideoReader(model, base_offset=offset, file_size=size)
section.get(12)
decoded = vr.VideoReader(path)
frames = vr.iter_video_frames(path)
next(frames); next(frames)                           # yielded 0 and 1
unused = vr.MP4VideoReader(path)                     # freed in the child, never used there
unused.get(4)
unused_decoded = vr.VideoReader(path)
unused_frames = vr.iter_video_frames(path)
next(unused_frames)

ready, stop = threading.Event(), threading.Event()
def other_thread():                                  # a reader in use on another thread
    r = vr.MP4VideoReader(path); r.get(3); ready.set(); stop.wait()
threading.Thread(target=other_thread, daemon=True).start()
ready.wait()

read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read)
    out = {"old_next": plain.get_next()[0], "old": [h(plain.get(i)) for i in (2, 20, 0)],
           "cached": h(cached.get(3)), "section": h(section.get(14)),
           "decoded": h(decoded.get(4)), "iterated": h(next(frames)),
           "new": [h(vr.MP4VideoReader(path).get(i)) for i in (1, 29)]}
    del unused, unused_decoded, unused_frames
    section.close()
    decoded.close()
    os.write(write, json.dumps(out).encode())
    os.close(write)
    raise SystemExit(0)                              # a full interpreter exit in the child
os.close(write)
deadline = time.time() + 60
while time.time() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.05)
else:
    os.kill(pid, 9); os.waitpid(pid, 0)
    sys.exit("the child hung")
child = json.loads(os.read(read, 1 << 20).decode() or "{}")
parent = {"old_next": plain.get_next()[0], "old": [h(plain.get(i)) for i in (2, 20, 0)],
          "cached": h(cached.get(3)), "section": h(section.get(14)), "decoded": h(decoded.get(4)),
          "iterated": h(next(frames)), "new": [h(vr.MP4VideoReader(path).get(i)) for i in (1, 29)]}
stop.set()
with open(out_path, "w") as f:
    json.dump({"status": status, "child": child, "parent": parent}, f)
'''


def _run(args, timeout=120):
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                              [str(Path(vr.__file__).parents[2]), os.environ.get("PYTHONPATH", "")])))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_readers_opened_before_a_fork_work_in_the_child_and_parent(tmp_path, video, model):
    script = tmp_path / "fork_child.py"
    script.write_text(FORK_SCRIPT)
    offset, size = vr.ImxContainer(str(model)).get_entry("a.mp4")
    out = tmp_path / "out.json"
    _run([str(script), str(video.path), str(model), str(offset), str(size), str(out)])
    result = json.loads(out.read_text())
    assert result["status"] == 0
    f = [sha1(x) for x in video.frames]
    expected = {"old_next": 7, "old": [f[2], f[20], f[0]], "cached": f[3], "section": f[14],
                "decoded": f[4], "iterated": f[2], "new": [f[1], f[29]]}
    assert result["child"] == expected
    assert result["parent"] == expected


POOL_SCRIPT = r'''
import hashlib, json, multiprocessing, sys
import numpy as np
from vorantis.engine import video_reader as vr

def main():
    method, path, model = sys.argv[1:4]
    reader = vr.MP4VideoReader(path)
    reader.get(3)                                    # used before the workers start
    box = vr.ImxContainer(model)
    with multiprocessing.get_context(method).Pool(2) as pool:
        # a hung worker raises TimeoutError here; leaving the block terminates the pool
        frames = pool.map_async(reader.get, [0, 7, 3, 29, 12]).get(60)
        plain = pool.apply_async(vr.xor_decrypt_bytes, (vr.xor_decrypt_bytes(b"payload"),)).get(60)
        member = pool.apply_async(box.read_file, ("b.bin",)).get(60)
    print(json.dumps({"frames": [hashlib.sha1(f.tobytes()).hexdigest() for f in frames],
                      "plain": plain.decode(), "member": member.decode(),
                      "after": reader.get_next()[0]}))

if __name__ == "__main__":
    main()
'''


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_process_pool_maps_a_readers_get(method, tmp_path, video, model):
    import multiprocessing

    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method here")
    script = tmp_path / "pool.py"
    script.write_text(POOL_SCRIPT)
    proc = _run([str(script), method, str(video.path), str(model)])
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["frames"] == [sha1(video.frames[i]) for i in (0, 7, 3, 29, 12)]
    assert result == {**result, "plain": "payload", "member": "x" * 10, "after": 4}


# --- The Dask example -------------------------------------------------------------------

def test_dask_example_on_a_local_cluster(tmp_path):
    pytest.importorskip("distributed")
    import media

    out = tmp_path / "report.json"
    _run([str(REPO / "examples" / "dask_models.py"), "--demo", "2", "--workers", "2",
          "--json", str(out)], timeout=300)
    report = json.loads(out.read_text())
    assert len(report) == 2
    pids = set()
    for path, model in report.items():
        assert model["mask_box"] is not None and len(model["mask_box"]) == 4
        assert set(model["videos"]) == {"clip0.mp4", "clip1.mp4"}
        for summary in model["videos"].values():
            pids.add(summary["worker_pid"])
    # the models were temporary: rebuild the same ones and decode them with PyAV
    import importlib.util

    spec = importlib.util.spec_from_file_location("dask_models", REPO / "examples" / "dask_models.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    rebuilt = example.build_demo_models(str(tmp_path), 2)
    for got, path in zip(report.values(), rebuilt):
        box = vr.ImxContainer(path)
        for name, summary in got["videos"].items():
            frames = media.pyav_frames(box.read_file(name))
            assert summary["frames"] == len(frames)
            assert summary["first_sha1"] == sha1(frames[0]) and summary["last_sha1"] == sha1(frames[-1])
        assert tuple(got["mask_box"]) == example.mask_box(box, 96, 64)
    assert os.getpid() not in pids


# --- Readers are told apart by identity, never by equality ------------------------------

# The end of each fork script below: waits for the child `pid`, killed after 60 s.
WAIT_FOR_CHILD = r'''
deadline = time.time() + 60
while time.time() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.05)
else:
    os.kill(pid, 9); os.waitpid(pid, 0)
    sys.exit("the child hung")
'''


class _EqualityOnly:
    """__eq__ without __hash__: instances are unhashable."""

    def __eq__(self, other):
        return type(other) is type(self)

    __hash__ = None  # what defining __eq__ alone does


class _AllEqual:
    """Value equality that makes every instance equal (and hash alike)."""

    def __eq__(self, other):
        return type(other) is type(self)

    def __hash__(self):
        return 0


@pytest.mark.parametrize("base", [vr.MP4VideoReader, vr.VideoReader])
def test_unhashable_reader_subclass_constructs_and_pickles(base, video):
    cls = type("Reader", (_EqualityOnly, base), {"__module__": __name__})
    globals()["Reader"] = cls  # reachable for pickle by its qualified name
    try:
        reader = cls(str(video.path))
        reader.get(4)
        clone = pickle.loads(pickle.dumps(reader))
        np.testing.assert_array_equal(clone.get(6), video.frames[6])
        clone.close(), reader.close()
    finally:
        del globals()["Reader"]


class AllEqualVideoReader(_AllEqual, vr.VideoReader):
    pass


def test_equal_video_readers_keep_their_own_keys(video, encrypted_video, encrypted_video_custom_key):
    custom_path, custom_key = encrypted_video_custom_key
    readers = [AllEqualVideoReader(str(encrypted_video)), AllEqualVideoReader(str(custom_path), custom_key)]
    assert readers[0] == readers[1]
    for reader in readers:
        clone = pickle.loads(pickle.dumps(reader))
        np.testing.assert_array_equal(clone.get(7), video.frames[7])


EQUAL_FORK_SCRIPT = r'''
import hashlib, json, os, sys, time
import numpy as np
from vorantis.engine import video_reader as vr

class SamePath:
    def __eq__(self, other):
        return isinstance(other, SamePath) and self._path == other._path
    def __hash__(self):
        return hash(self._path)

class MP4(SamePath, vr.MP4VideoReader): pass
class Decoded(SamePath, vr.VideoReader): pass

path = sys.argv[1]
h = lambda a: hashlib.sha1(np.ascontiguousarray(a).tobytes()).hexdigest()
a, b = MP4(path), MP4(path)
a.get(3); b.get(5)
c, d = Decoded(path), Decoded(path)
assert a == b and c == d
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read)
    out = {"a": h(a.get(21)), "b": h(b.get(23)), "next": b.get_next()[0]}
    c.close(); d.close()                             # the parent's containers are left alone
    os.write(write, json.dumps(out).encode())
    os._exit(0)
os.close(write)
''' + WAIT_FOR_CHILD + r'''print(json.dumps({"status": status, **json.loads(os.read(read, 1 << 16).decode() or "{}")}))
'''


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_equal_readers_are_each_detached_in_a_forked_child(tmp_path, video):
    script = tmp_path / "equal_fork.py"
    script.write_text(EQUAL_FORK_SCRIPT)
    out = json.loads(_run([str(script), str(video.path)]).stdout.strip().splitlines()[-1])
    assert out == {"status": 0, "a": sha1(video.frames[21]), "b": sha1(video.frames[23]), "next": 24}


# --- Fork hook and decoder claims ---------------------------------------------------------

HALF_DETACH_SCRIPT = r'''
import json, os, sys, threading, time
from vorantis.engine import video_reader as vr
sys.path.insert(0, sys.argv[2])
import media

reader = vr.MP4VideoReader(sys.argv[1])
reader.get(3)
reader._lock.acquire()                               # as if a parent thread were inside get

class NoLocks:                                       # making the child's new lock fails
    def __getattr__(self, name):
        if name == "Lock":
            def fail():
                raise MemoryError("no lock")
            return fail
        return getattr(threading, name)

vr.threading = NoLocks()
pid = os.fork()
if pid == 0:
    vr.threading = threading
    os._exit(0 if media.frame_index(reader.get(8)) == 8 else 3)
vr.threading = threading
''' + WAIT_FOR_CHILD + r'''print(json.dumps({"status": status}))
'''


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_a_failure_in_the_fork_hook_leaves_no_reader_half_detached(tmp_path, video):
    script = tmp_path / "half_detach.py"
    script.write_text(HALF_DETACH_SCRIPT)
    proc = _run([str(script), str(video.path), str(REPO / "tests")])
    assert json.loads(proc.stdout.strip().splitlines()[-1]) == {"status": 0}
    assert "MemoryError" in proc.stderr  # reported, not swallowed


# --- from_bytes keeps bytes of its own ----------------------------------------------------

def _buffers(data: bytes):
    return {
        "bytes subclass": type("Blob", (bytes,), {})(data),
        "bytearray": bytearray(data),
        "memoryview": memoryview(bytearray(data)),
        "numpy": np.frombuffer(data, dtype=np.uint8).copy(),
    }


@pytest.mark.parametrize("kind", ["bytes subclass", "bytearray", "memoryview", "numpy"])
def test_from_bytes_keeps_a_copy_of_a_buffer_that_is_not_bytes(kind, video):
    source = _buffers(video.data)[kind]
    reader = vr.MP4VideoReader.from_bytes(source)
    assert type(reader._mp4_bytes) is bytes and reader._mp4_bytes == video.data
    np.testing.assert_array_equal(reader.get(2), video.frames[2])
    if not isinstance(source, bytes):
        memoryview(source).cast("B")[:] = bytes(len(video.data))  # the caller reuses its buffer
    clone = pickle.loads(pickle.dumps(reader))
    np.testing.assert_array_equal(clone.get(12), video.frames[12])
    np.testing.assert_array_equal(reader.get(25), video.frames[25])


def test_from_bytes_of_exact_bytes_keeps_that_object(video):
    data = video.data
    assert vr.MP4VideoReader.from_bytes(data)._mp4_bytes is data


@pytest.mark.parametrize("source", ["text", [0, 1, 2], np.zeros((4, 4), np.uint8)[:, ::2]])
def test_from_bytes_refuses_what_has_no_contiguous_bytes(source):
    with pytest.raises((TypeError, ValueError, BufferError)):
        vr.MP4VideoReader.from_bytes(source)


BYTEARRAY_FORK_SCRIPT = r'''
import hashlib, json, os, sys, time
import numpy as np
from vorantis.engine import video_reader as vr

data = bytearray(open(sys.argv[1], "rb").read())
reader = vr.MP4VideoReader.from_bytes(data)
reader.get(2)
data[:] = bytes(len(data))                           # changed after construction
h = lambda a: hashlib.sha1(np.ascontiguousarray(a).tobytes()).hexdigest()
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read)
    try:
        out = {"frame": h(reader.get(17))}
    except Exception as e:
        out = {"error": repr(e)}
    os.write(write, json.dumps(out).encode())
    os._exit(0)
os.close(write)
''' + WAIT_FOR_CHILD + r'''print(json.dumps(json.loads(os.read(read, 1 << 16).decode() or "{}")))
'''


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_from_bytes_of_a_changed_bytearray_reopens_the_original_bytes_after_fork(tmp_path, video):
    script = tmp_path / "bytearray_fork.py"
    script.write_text(BYTEARRAY_FORK_SCRIPT)
    out = json.loads(_run([str(script), str(video.path)]).stdout.strip().splitlines()[-1])
    assert out == {"frame": sha1(video.frames[17])}


CLAIM_SCRIPT = r'''
import json, os, sys, threading, time
import av
from vorantis.engine import video_reader as vr
sys.path.insert(0, sys.argv[2])
import media

reader = vr.MP4VideoReader(sys.argv[1])
reader.get(3)
pid = os.fork()
if pid == 0:
    opens, opening, go_on = [], threading.Event(), threading.Event()
    real_open = av.open
    def slow_open(*args, **kwargs):                  # the reopen in progress, GIL released
        opens.append(threading.get_ident())
        opening.set()
        go_on.wait(10)
        return real_open(*args, **kwargs)
    av.open = slow_open
    got = {}
    def advance():
        got["advanced"] = media.frame_index(reader._advance_to_frame(9))
    worker = threading.Thread(target=advance)
    worker.start()
    opening.wait(10)
    try:
        reader.get(4)
        got["get"] = "served"
    except RuntimeError as e:
        got["get"] = "refused" if "in use" in str(e) else repr(e)
    go_on.set()
    worker.join(20)
    av.open = real_open
    got["after"] = media.frame_index(reader.get(12))
    got["opens"] = len(opens)
    os.write(1, (json.dumps(got) + "\n").encode())
    os._exit(0)
''' + WAIT_FOR_CHILD


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_a_detached_reader_is_claimed_before_it_reopens(tmp_path, video):
    script = tmp_path / "claim.py"
    script.write_text(CLAIM_SCRIPT)
    out = json.loads(_run([str(script), str(video.path), str(REPO / "tests")]).stdout.strip().splitlines()[-1])
    assert out == {"advanced": 9, "get": "refused", "after": 12, "opens": 1}


# --- The interned-name table does not grow with use ---------------------------------------

def test_pickling_from_threads_adds_no_interned_names(video, model):
    import threading

    readers = [_open(kind, video, model) for kind in MP4_KINDS]
    decoded = vr.VideoReader(str(video.path))
    for r in readers + [decoded]:
        pickle.dumps(r)
    before = vr._diagnostics.interned_name_count()

    def work():
        for _ in range(250):
            for r in readers[:3] + [decoded]:  # small pickles; from_bytes carries the video
                r.__getstate__()
            pickle.dumps(readers[0])

    for _ in range(2):
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert vr._diagnostics.interned_name_count() == before
