"""compute_mask_bbox: boxes of real JPEG masks in HDF5, storage variants, the
empty and bad inputs, and the native scan against the NumPy formulation."""

from __future__ import annotations

import io
import time

import numpy as np
import pytest

# Installed with the package where they publish wheels (Python 3.10-3.14), the
# masks extra elsewhere; without them this file is skipped.
h5py = pytest.importorskip("h5py", reason="h5py is not installed (the masks extra)")
simplejpeg = pytest.importorskip("simplejpeg", reason="simplejpeg is not installed (the masks extra)")

import vorantis.engine.compression as compression
from vorantis.engine import video_reader as vr

MESSAGE = "No non-zero mask pixels found"
# numpy.exceptions arrived in NumPy 1.25; older releases have the class at the top level.
AxisError = getattr(np, "exceptions", np).AxisError


# ---------------------------------------------------------------------------
# Independent formulations
# ---------------------------------------------------------------------------

def reference_box(masks, frame_w, frame_h, padding=16):
    """The box written directly with NumPy reductions; None for an empty union."""
    gx1, gy1, gx2, gy2 = frame_w, frame_h, 0, 0
    for m in masks:
        nonzero = np.max(m, axis=2) > 0
        if not np.any(nonzero):
            continue
        ys = np.where(np.any(nonzero, axis=1))[0]
        xs = np.where(np.any(nonzero, axis=0))[0]
        gx1, gy1 = min(gx1, int(xs[0])), min(gy1, int(ys[0]))
        gx2, gy2 = max(gx2, int(xs[-1]) + 1), max(gy2, int(ys[-1]) + 1)
    if gx2 <= gx1 or gy2 <= gy1:
        return None
    return (max(0, gx1 - padding), max(0, gy1 - padding),
            min(frame_w, gx2 + padding), min(frame_h, gy2 + padding))


def rect_mask(h, w, rects, channels=1):
    """White rectangles (y0, y1, x0, x1), exclusive ends, on black."""
    m = np.zeros((h, w, channels), np.uint8)
    for y0, y1, x0, x1 in rects:
        m[y0:y1, x0:x1] = 255
    return m


def jpeg(mask):
    if mask.shape[2] == 1:
        return simplejpeg.encode_jpeg(mask, quality=95, colorspace="GRAY")
    return simplejpeg.encode_jpeg(mask, quality=95, colorsubsampling="420")


def write_masks(target, blobs, storage="vlen_uint8"):
    """Writes `blobs` (encoded images, b"" for an empty element) as "face_masks"."""
    with h5py.File(target, "w") as f:
        if storage == "vlen_uint8":
            ds = f.create_dataset("face_masks", (len(blobs),), dtype=h5py.vlen_dtype(np.uint8))
            for i, b in enumerate(blobs):
                ds[i] = np.frombuffer(b, np.uint8)
        elif storage == "vlen_int8":
            ds = f.create_dataset("face_masks", (len(blobs),), dtype=h5py.vlen_dtype(np.int8))
            for i, b in enumerate(blobs):
                ds[i] = np.frombuffer(b, np.int8)
        elif storage == "fixed_bytes":  # elements read back as numpy.bytes_
            f.create_dataset("face_masks", data=np.array(blobs, dtype=bytes))
        elif storage == "opaque":  # fixed-size opaque values, zero-padded after the image
            size = max(len(b) for b in blobs)
            f.create_dataset("face_masks",
                             data=np.array([np.void(b.ljust(size, b"\0")) for b in blobs]))
        else:
            raise AssertionError(storage)


def h5_bytes(blobs, storage="vlen_uint8"):
    buf = io.BytesIO()
    write_masks(buf, blobs, storage)
    buf.seek(0)
    return buf


def decoded(blobs):
    """Masks as an independent decoder (simplejpeg, default options) gives them."""
    return [np.atleast_3d(simplejpeg.decode_jpeg(b, colorspace="GRAY" if
                                                 simplejpeg.decode_jpeg_header(b)[2] == "Gray"
                                                 else "RGB")) for b in blobs if b]


# ---------------------------------------------------------------------------
# Real JPEG masks
# ---------------------------------------------------------------------------

# (frame_w, frame_h, padding, mask size (h, w), masks as rectangle lists, expected box)
CASES = {
    "single": (208, 96, 16, (96, 208), [[(16, 32, 32, 64)]], (16, 0, 80, 48)),
    "single_no_padding": (208, 96, 0, (96, 208), [[(16, 32, 32, 64)]], (32, 16, 64, 32)),
    "last_column_and_row": (192, 96, 0, (96, 192), [[(80, 96, 176, 192)]], (176, 80, 192, 96)),
    "last_column_padded": (192, 96, 16, (96, 192), [[(48, 64, 176, 192)]], (160, 32, 192, 80)),
    "corners_of_two_masks": (192, 96, 16, (96, 192),
                             [[(0, 16, 0, 16)], [(80, 96, 176, 192)]], (0, 0, 192, 96)),
    "two_rects_one_mask": (192, 96, 3, (96, 192),
                           [[(16, 32, 32, 48), (48, 64, 96, 144)]], (29, 13, 147, 67)),
    "frame_larger_than_mask": (400, 300, 16, (96, 192), [[(80, 96, 176, 192)]], (160, 64, 208, 112)),
    # the seeds clamp a union lying beyond the frame: global_x1 stays frame_w
    "union_beyond_frame": (100, 300, 16, (96, 192), [[(16, 32, 128, 160)]], (84, 0, 100, 48)),
}


@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("name", list(CASES))
def test_boxes_of_jpeg_masks(name, channels):
    frame_w, frame_h, padding, (h, w), masks, expected = CASES[name]
    blobs = [jpeg(rect_mask(h, w, rects, channels)) for rects in masks]
    assert reference_box(decoded(blobs), frame_w, frame_h, padding) == expected
    assert vr.compute_mask_bbox(h5_bytes(blobs), frame_w, frame_h, padding) == expected


def test_default_padding_and_host_ints():
    blobs = [jpeg(rect_mask(96, 208, [(48, 64, 96, 112)]))]
    assert vr.compute_mask_bbox(h5_bytes(blobs), 208, 96) == (80, 32, 128, 80)
    big = 10**30
    assert vr.compute_mask_bbox(h5_bytes(blobs), 2 * big, 2 * big, big) == (0, 0, 112 + big,
                                                                            64 + big)
    expected = reference_box(decoded(blobs), -1, 96, -4)  # a negative seed wins the min
    assert expected == (3, 52, -1, 60)
    result = vr.compute_mask_bbox(h5_bytes(blobs), -1, 96, -4)
    assert result == expected and all(type(v) is int for v in result)


@pytest.mark.parametrize("storage", ["vlen_uint8", "vlen_int8", "fixed_bytes", "opaque"])
def test_storage_variants(storage):
    blobs = [jpeg(rect_mask(96, 192, [(16, 32, 32, 64)], 3)), b"",
             jpeg(rect_mask(96, 192, [(64, 80, 128, 144)]))]
    if storage == "opaque":  # fixed-size values cannot be empty
        blobs = [b for b in blobs if b]
    expected = reference_box(decoded(blobs), 192, 96, 0)
    assert expected == (32, 16, 144, 80)
    assert vr.compute_mask_bbox(h5_bytes(blobs, storage), 192, 96, 0) == expected


def test_path_input(tmp_path):
    blobs = [jpeg(rect_mask(96, 192, [(32, 48, 16, 32)]))]
    path = tmp_path / "masks.h5"
    write_masks(str(path), blobs)
    assert vr.compute_mask_bbox(str(path), 192, 96, 0) == (16, 32, 32, 48)


@pytest.mark.parametrize("blobs", [
    [],
    [b"", b""],
    [jpeg(rect_mask(64, 64, [])), b"", jpeg(rect_mask(64, 64, [], 3))],
], ids=["no_elements", "only_empty", "all_black"])
def test_empty_union(blobs):
    with pytest.raises(RuntimeError, match=f"^{MESSAGE}$"):
        vr.compute_mask_bbox(h5_bytes(blobs), 64, 64)


# ---------------------------------------------------------------------------
# Errors propagate, after the file is closed, and no box comes back
# ---------------------------------------------------------------------------

def _not_hdf5(path, monkeypatch):
    path.write_bytes(b"not an hdf5 file" * 64)
    return OSError, None


def _no_dataset(path, monkeypatch):
    with h5py.File(path, "w") as f:
        f["masks"] = np.zeros(3)
    return KeyError, None


def _reference_element(path, monkeypatch):
    with h5py.File(path, "w") as f:
        f.create_dataset("face_masks", data=np.array([f.ref], dtype=h5py.ref_dtype))
    with h5py.File(path, "r") as f, pytest.raises(TypeError) as expected:
        bytes(f["face_masks"][0])
    return TypeError, str(expected.value)


def _corrupt_second_jpeg(path, monkeypatch):
    good = jpeg(rect_mask(64, 64, [(16, 32, 16, 32)]))
    bad = good[: len(good) // 2]
    with pytest.raises(ValueError) as expected:
        compression.decode_jpeg(bad)
    write_masks(str(path), [good, bad])
    return ValueError, str(expected.value)


def _decoded_without_channels(path, monkeypatch):
    monkeypatch.setattr(compression, "decode_jpeg", lambda data: np.ones((4, 4), np.uint8))
    write_masks(str(path), [b"x"])
    return AxisError, None


@pytest.mark.parametrize("make", [_not_hdf5, _no_dataset, _reference_element,
                                  _corrupt_second_jpeg, _decoded_without_channels])
def test_errors_propagate_after_close(tmp_path, monkeypatch, make):
    path = tmp_path / "bad.h5"
    exc_type, message = make(path, monkeypatch)
    for source in (str(path), io.BytesIO(path.read_bytes())):
        with pytest.raises(exc_type) as got:
            vr.compute_mask_bbox(source, 64, 64)
        if message is not None:
            assert str(got.value) == message
    with h5py.File(path, "w"):  # HDF5 refuses to truncate a file still open here
        pass
    with pytest.raises(FileNotFoundError):
        vr.compute_mask_bbox(str(tmp_path / "missing.h5"), 64, 64)


def test_decode_jpeg_looked_up_at_each_call(monkeypatch):
    seen = []

    def fake(data):
        seen.append(bytes(data))
        return np.zeros((2, 2, 1), np.uint8)

    monkeypatch.setattr(compression, "decode_jpeg", fake)
    with pytest.raises(RuntimeError, match=MESSAGE):
        vr.compute_mask_bbox(h5_bytes([b"a", b"", b"bc"]), 8, 8)
    assert seen == [b"a", b"bc"]
    monkeypatch.delattr(compression, "decode_jpeg")
    with pytest.raises(ImportError, match="decode_jpeg"):
        vr.compute_mask_bbox(h5_bytes([b"a"]), 8, 8)


# ---------------------------------------------------------------------------
# The native scan against the NumPy formulation
# ---------------------------------------------------------------------------

@pytest.fixture
def scan(monkeypatch):
    """compute_mask_bbox over one element whose decoded array is given."""
    holder = {}
    monkeypatch.setattr(compression, "decode_jpeg", lambda data: holder["array"])
    data = h5_bytes([b"x"])

    def run(arr):
        holder["array"] = arr
        h, w = arr.shape[0], arr.shape[1]
        expected = reference_box([arr], w, h, 0)
        if expected is None:
            with pytest.raises(RuntimeError, match=MESSAGE):
                vr.compute_mask_bbox(data, w, h, 0)
        else:
            assert vr.compute_mask_bbox(data, w, h, 0) == expected
        return expected

    return run


def test_exclusive_right_and_bottom(scan):
    m = np.zeros((100, 200, 1), np.uint8)
    m[5:8, 10:20] = 1
    assert scan(m) == (10, 5, 20, 8)


def test_any_channel_counts(scan):
    m = np.zeros((8, 8, 4), np.uint8)
    m[2, 6, 3] = 1
    m[5, 1, 1] = 7
    assert scan(m) == (1, 2, 7, 6)


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_nan_channel_makes_pixel_zero(scan, dtype):
    # the channel maximum of (nan, 1) is nan, and nan > 0 is false
    m = np.zeros((6, 6, 2), dtype)
    m[1, 1] = (np.nan, 1.0)
    m[4, 4] = (1.0, np.nan)
    m[3, 2] = (-0.0, np.inf)
    assert scan(m) == (2, 3, 3, 4)


DTYPES = [np.uint8, np.uint16, np.uint32, np.uint64, np.int8, np.int16, np.int32, np.int64,
          np.float16, np.float32, np.float64, np.bool_]
SPECIALS = [np.nan, np.inf, -np.inf, -0.0, 0.0, -1.0, 1e-3, 2.0]


def random_mask(rng, shape, dtype):
    a = np.zeros(shape, dtype)
    if a.size == 0:
        return a
    for _ in range(rng.integers(0, 7)):
        idx = tuple(rng.integers(0, n) for n in shape)
        if dtype == np.bool_:
            a[idx] = True
        elif np.issubdtype(dtype, np.floating):
            a[idx] = SPECIALS[rng.integers(len(SPECIALS))]
        elif np.issubdtype(dtype, np.signedinteger):
            a[idx] = rng.integers(-3, 4)
        else:
            a[idx] = rng.integers(1, 4) << (8 * (np.dtype(dtype).itemsize - 1))
    return a


def views(rng, shape, dtype):
    h, w, c = shape
    yield random_mask(rng, shape, dtype)
    yield np.asfortranarray(random_mask(rng, shape, dtype))
    yield random_mask(rng, (w, h, c), dtype).transpose(1, 0, 2)
    yield random_mask(rng, shape, dtype)[::-1, ::-1]
    yield random_mask(rng, (2 * h, 3 * w, c), dtype)[::2, ::3]
    yield random_mask(rng, (h, w, 2 * c), dtype)[:, :, ::2]
    yield np.broadcast_to(random_mask(rng, (1, w, c), dtype), shape)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_scan_matches_numpy(scan, dtype):
    rng = np.random.default_rng(np.dtype(dtype).num)
    shapes = [(1, 1, 1), (0, 4, 3), (4, 0, 1), (3, 1, 2), (1, 9, 4), (37, 41, 3), (16, 130, 1),
              (9, 70, 4)]
    found = 0
    for shape in shapes:
        for _ in range(4):
            for arr in views(rng, shape, dtype):
                found += scan(arr) is not None
    assert found > 50  # both outcomes are exercised


@pytest.mark.parametrize("make", [
    lambda a: a.astype(">u2"),
    lambda a: a.astype(">f4"),
    lambda a: a.astype(np.complex64),
    lambda a: a.astype(object),
    lambda a: a.astype(np.longdouble),
    lambda a: np.ma.array(a, mask=(a > 0) & (np.arange(a.shape[1])[None, :, None] > 20)),
    lambda a: a[:, :, :0],
], ids=["big_endian_u2", "big_endian_f4", "complex", "object", "longdouble", "masked",
        "no_channels"])
def test_other_results_follow_numpy(scan, make):
    a = np.zeros((30, 40, 3), np.uint8)
    a[3, 25, 1] = 9
    a[20, 4, 0] = 1
    arr = make(a)
    try:
        reference_box([arr], 40, 30, 0)
    except Exception as exc:  # the NumPy formulation fails: so must we, alike
        with pytest.raises(type(exc)):
            scan(arr)
    else:
        scan(arr)


@pytest.mark.parametrize("width", [7, 16, 33, 100, 131])
@pytest.mark.parametrize("channels", [1, 3, 4])
def test_bytewise_search_at_every_offset(scan, width, channels):
    # packed uint8 rows are searched in 64- and 16-byte blocks with an
    # overlapping tail: put the extreme pixels at every column in turn
    for col in range(width):
        m = np.zeros((5, width, channels), np.uint8)
        m[1, col, col % channels] = 1
        m[3, width - 1 - col, channels - 1] = 200
        m[2, (col * 7) % width, 0] = 3  # a middle row that may widen either margin
        scan(m)


# ---------------------------------------------------------------------------
# The exit gate around h5py work never hangs the interpreter
# ---------------------------------------------------------------------------

EXIT_GATE_PRELUDE = """
import atexit, io, os, queue, sys, threading, time
sys.path[:0] = [{python!r}]
MASKS = {masks!r}
"""

EXIT_GATE_CASES = {
    # An exit handler registered before the module is imported runs after the
    # module's hook; it hands work to a worker thread and joins it.
    "handler joins a worker": """
        import h5py  # (its own exit handlers then run after this one's)
        jobs = queue.Queue()
        def worker():
            box = jobs.get()()
            print("worker", box, flush=True)
        t = threading.Thread(target=worker, daemon=True)
        t.start()
        def handler():
            jobs.put(lambda: vr.compute_mask_bbox(MASKS, 256, 256))
            t.join()
        atexit.register(handler)
        from vorantis.engine import video_reader as vr
        print("main", vr.compute_mask_bbox(MASKS, 256, 256), flush=True)
    """,
    # A child forked while another thread is inside this module's h5py work
    # (between h5py calls: h5py's own lock is free, so fork can proceed)
    # exits without waiting for work that does not exist in it.
    "fork with work in flight": """
        import h5py
        from vorantis.engine import video_reader as vr
        inside, release = threading.Event(), threading.Event()
        class SlowFile(h5py.File):
            def __enter__(self):
                inside.set()
                release.wait()
                return super().__enter__()
        h5py.File = SlowFile
        t = threading.Thread(target=lambda: vr.compute_mask_bbox(MASKS, 256, 256), daemon=True)
        t.start()
        assert inside.wait(10)
        pid = os.fork()
        if pid == 0:
            start = time.monotonic()
            atexit._run_exitfuncs()
            os.write(1, b"child exit hooks took %.1f s\\n" % (time.monotonic() - start))
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        release.set()
        t.join()
        print("main", status, flush=True)
    """,
}


@pytest.mark.parametrize("case", list(EXIT_GATE_CASES))
def test_exit_gate_never_hangs(case, tmp_path):
    import subprocess
    import sys
    import textwrap
    from pathlib import Path

    masks = tmp_path / "m.h5"
    write_masks(masks, [jpeg(rect_mask(256, 256, [(10, 20, 50, 60)]))])
    script = EXIT_GATE_PRELUDE.format(python=str(Path(vr.__file__).parents[2]), masks=str(masks))
    script += textwrap.dedent(EXIT_GATE_CASES[case])
    started = time.monotonic()
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    assert "main" in run.stdout
    if case == "handler joins a worker":
        boxes = dict(line.split(" ", 1) for line in run.stdout.splitlines()
                     if line.startswith(("main", "worker")))
        assert boxes["worker"] == boxes["main"]  # the worker ran to its end
    else:
        took = float(run.stdout.split("took ")[1].split(" s")[0])
        assert took < 2.0, run.stdout
    assert time.monotonic() - started < 30
