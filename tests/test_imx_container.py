"""IMX containers: byte layout, reader, manifest, detection and the v2 writer."""

from __future__ import annotations

import fnmatch
import json
import os
import random
import stat
import struct
from pathlib import Path

import pytest

from vorantis.engine import video_reader as vr

from imx_reference import MAGIC, V1_UPGRADE, ReferenceReader


def entry(name: bytes, offset: int, size: int) -> bytes:
    return struct.pack("<H", len(name)) + name + struct.pack("<QQ", offset, size)


def container(entries: list[tuple[bytes, int, int]], tail: bytes = b"", version: int = 2,
              count: int | None = None) -> bytes:
    head = MAGIC + struct.pack("<HH", version, len(entries) if count is None else count)
    return head + b"".join(entry(*e) for e in entries) + tail


def write(tmp_path: Path, data: bytes, name: str = "c.imx") -> Path:
    p = tmp_path / name
    p.write_bytes(data)
    return p


# ---------------------------------------------------------------------------
# Layout written by the writer
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("files, expected", [
    ({}, bytes.fromhex("494D5800 0200 0000")),
    ({"a": b"xyz"}, bytes.fromhex("494D5800 0200 0100"
                                  "0100 61 1B00000000000000 0300000000000000 78797A")),
    ({"a": b"", "b": b"\x01\x02"}, bytes.fromhex("494D5800 0200 0200"
                                                 "0100 61 2E00000000000000 0000000000000000"
                                                 "0100 62 2E00000000000000 0200000000000000"
                                                 "0102")),
    ({"é.json": b"{}"}, bytes.fromhex("494D5800 0200 0100"
                                      "0700 C3A92E6A736F6E 2100000000000000 0200000000000000"
                                      "7B7D")),
])
def test_writer_byte_layout(tmp_path, files, expected):
    out = tmp_path / "out.imx"
    assert vr.write_imx_v2_container(str(out), files) is None
    assert out.read_bytes() == expected


@pytest.mark.parametrize("files", [
    {},
    {"z.mp4": b"zz", "a.mp4": b"a" * 1000, "m/n/o.bin": b"", "": b"empty name"},
    {"vidéos/ñ 视频.mp4": bytes(range(256)), "manifest.json": b'{"format_version": 2}',
     "\\back\\slash": bytearray(b"ba"), "emoji 🎞": memoryview(b"mv")},
])
def test_round_trip(tmp_path, files):
    out = tmp_path / "rt.imx"
    vr.write_imx_v2_container(out, files)
    c = vr.ImxContainer(out)
    assert c.list_files() == list(files)  # insertion order, not sorted
    offset = 8 + sum(18 + len(n.encode()) for n in files)
    for name, value in files.items():
        assert c.get_entry(name) == (offset, len(value))
        assert c.read_file(name) == bytes(value)
        assert c.has_file(name)
        offset += len(value)
    assert out.stat().st_size == offset
    assert vr.is_imx_file(str(out)) and vr.is_imx_v2_file(str(out))


def test_version_field_not_interpreted(tmp_path):
    data = container([(b"a", 27, 3)], b"xyz", version=7)
    c = vr.ImxContainer(write(tmp_path, data))
    assert c._entries == {"a": (27, 3)} and c.read_file("a") == b"xyz"


def test_empty_container(tmp_path):
    c = vr.ImxContainer(write(tmp_path, container([])))
    assert (c.list_files(), c.has_metadata, c.metadata, c.format_version) == ([], False, None, 0)
    assert c._entries == {} and c._metadata is None


# ---------------------------------------------------------------------------
# Reader
# ---------------------------------------------------------------------------

def test_state_and_path(tmp_path):
    p = write(tmp_path, container([(b"a", 27, 3)], b"xyz"))
    c = vr.ImxContainer(p)
    assert c.path is p and c._entries == {"a": (27, 3)} and c._metadata is None
    other = write(tmp_path, b"0" * 27 + b"new", "other.imx")
    c.path = other  # later reads open the new path with the old table
    assert c.read_file("a") == b"new"


def test_duplicates_later_location_first_position(tmp_path):
    data = container([(b"x", 1, 2), (b"y", 3, 4), (b"x", 5, 6)])
    c = vr.ImxContainer(write(tmp_path, data))
    assert c.list_files() == ["x", "y"]
    assert c.get_entry("x") == (5, 6)


@pytest.mark.parametrize("offset, size, expected", [
    (30, 3, b"DEF"),
    (36, 10, b"J"),                 # runs past the end
    (36, 2**64 - 1, b"J"),          # stated size far beyond the file
    (37, 5, b""),                   # starts at the end
    (10**6, 5, b""),
    (2**64 - 1, 2**64 - 1, b""),
    (17, 0, b""),
])
def test_read_file_ranges(tmp_path, offset, size, expected):
    data = container([(b"n", offset, size)]) + b"ABCDEFGHIJ"
    assert len(data) == 37
    c = vr.ImxContainer(write(tmp_path, data))
    assert c.read_file("n") == expected
    assert c.get_entry("n") == (offset, size)


def test_stated_sizes_reserve_no_memory(tmp_path):
    import tracemalloc
    huge_count = container([(b"a", 45, 2**64 - 1)], count=0xFFFF)
    huge_count += b"tail of the file"
    tracemalloc.start()
    try:
        for data in (huge_count, MAGIC + b"\x02\x00\xff\xff"):
            with pytest.raises(struct.error):
                vr.ImxContainer(write(tmp_path, data))
        c = vr.ImxContainer(write(tmp_path, container([(b"a", 46, 2**40), (b"b", 47, 2**64 - 1)],
                                                      b"z" * 1000), "ok.imx"))
        assert c.read_file("a") == b"z" * 1000
        assert c.read_file("b") == b"z" * 999
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 256 * 1024


def test_find_files_matches_fnmatch(tmp_path):
    names = ["videos/idle.mp4", "a.mp4", "B.MP4", "manifestjson", "[x].txt", "q", "videos/x/y.mp4"]
    files = {n: b"" for n in names}
    out = tmp_path / "f.imx"
    vr.write_imx_v2_container(str(out), files)
    c = vr.ImxContainer(str(out))
    for pattern in ["*.mp4", "videos/*", "?", "[!a]*", "[[]x].txt", "*", "", "*.MP4"]:
        assert c.find_files(pattern) == [n for n in names if fnmatch.fnmatch(n, pattern)]
    assert c.find_files("*.mp4")[:2] == ["videos/idle.mp4", "a.mp4"]


def test_lookup_errors(tmp_path):
    c = vr.ImxContainer(write(tmp_path, container([(b"a", 0, 1)])))
    for method in (c.read_file, c.get_entry):
        with pytest.raises(KeyError) as e:
            method("clip.mp4")
        assert e.value.args == ("File not found in IMX container: 'clip.mp4'",)
    assert not c.has_file("A")
    assert c.list_files() is not c.list_files()


@pytest.mark.parametrize("data", [b"", b"IMX\x00\x02\x00\x00", b"VIMX"])
def test_too_small(tmp_path, data):
    with pytest.raises(RuntimeError, match="^File too small to be an IMX container$"):
        vr.ImxContainer(write(tmp_path, data))


@pytest.mark.parametrize("as_path", [str, Path])
def test_v1_refused_with_path(tmp_path, as_path):
    p = as_path(write(tmp_path, b"VIMX" + b"\xff" * 100, "old model.imx"))
    with pytest.raises(RuntimeError) as e:
        vr.ImxContainer(p)
    assert str(e.value) == V1_UPGRADE + str(p)


@pytest.mark.parametrize("magic", [b"RIFF", b"IMX\x01", b"imx\x00", b"\x00\xff'\""])
def test_bad_magic(tmp_path, magic):
    with pytest.raises(RuntimeError) as e:
        vr.ImxContainer(write(tmp_path, magic + b"\x02\x00\x00\x00"))
    assert str(e.value) == "Not an IMX file: bad magic " + repr(magic)


def test_every_truncation_of_a_table(tmp_path):
    full = container([(b"alpha", 100, 5), ("é".encode(), 7, 8)], b"payload")
    table_end = len(full) - len(b"payload")
    for cut in range(8, table_end):
        p = write(tmp_path, full[:cut])
        with pytest.raises(Exception) as ours:
            vr.ImxContainer(p)
        with pytest.raises(Exception) as ref:
            ReferenceReader(p)
        assert type(ours.value) is type(ref.value) and str(ours.value) == str(ref.value), cut
        if cut == table_end - 1:
            assert type(ours.value) is struct.error
    # a name cut inside a multi-byte character is a decoding error first
    with pytest.raises(UnicodeDecodeError):
        vr.ImxContainer(write(tmp_path, full[:8 + 23 + 3]))


@pytest.mark.parametrize("names", [
    [("n%d" % i) * 9000 for i in range(3)] + ["é" * 30000],  # few entries, a long table
    ["clip_%05d.mp4" % i for i in range(3000)],
])
def test_long_tables_read_in_pieces(tmp_path, names):
    files = {n: n[-3:].encode() for n in names}
    out = tmp_path / "long.imx"
    vr.write_imx_v2_container(str(out), files)
    full = out.read_bytes()
    c = vr.ImxContainer(str(out))
    assert c.list_files() == names and all(c.read_file(n) == v for n, v in files.items())
    table_end = 8 + sum(18 + len(n.encode()) for n in names)
    for cut in (table_end - 1, table_end - 17, table_end // 2, 4096 + 8, 70000):
        p = write(tmp_path, full[:cut])
        assert outcome(vr.ImxContainer, p) == outcome(ReferenceReader, p), cut


@pytest.mark.parametrize("name, exc", [
    (b"\xff", UnicodeDecodeError), (b"\xc3", UnicodeDecodeError), (b"\xed\xa0\x80", UnicodeDecodeError),
])
def test_invalid_utf8_name(tmp_path, name, exc):
    with pytest.raises(exc) as e:
        vr.ImxContainer(write(tmp_path, container([(b"ok", 0, 0), (name, 0, 0)])))
    with pytest.raises(exc) as ref:
        name.decode("utf-8")
    assert str(e.value) == str(ref.value)


# ---------------------------------------------------------------------------
# Manifest
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("manifest, version, has", [
    (b'{"format_version": 3, "version": 2}', 3, True),
    (b'{"version": 2}', 2, True),
    (b'{}', 1, True),
    (b'{"format_version": "x"}', "x", True),
    (b'null', 0, False),
    ('{"version": 5}'.encode("utf-16"), 5, True),
])
def test_manifest_versions(tmp_path, manifest, version, has):
    out = tmp_path / "m.imx"
    vr.write_imx_v2_container(str(out), {"v.mp4": b"1", "manifest.json": manifest})
    c = vr.ImxContainer(str(out))
    assert c.format_version == version and c.has_metadata is has
    assert c.read_file("manifest.json") == manifest


def test_manifest_array_and_identity(tmp_path):
    out = tmp_path / "m.imx"
    vr.write_imx_v2_container(str(out), {"manifest.json": b"[1, 2]"})
    c = vr.ImxContainer(str(out))
    assert c.metadata == [1, 2] and c.has_metadata
    with pytest.raises(AttributeError):
        c.format_version
    with pytest.raises(AttributeError):
        c.metadata = {}

    vr.write_imx_v2_container(str(out), {"manifest.json": b'{"version": 2, "extra": [1]}'})
    c = vr.ImxContainer(str(out))
    md = c.metadata
    assert md is c.metadata and md == {"version": 2, "extra": [1]}
    md["format_version"] = 9
    assert c.format_version == 9


def test_manifest_invalid_json(tmp_path):
    out = tmp_path / "m.imx"
    vr.write_imx_v2_container(str(out), {"manifest.json": b"{not json"})  # written as is
    with pytest.raises(json.JSONDecodeError):
        vr.ImxContainer(str(out))


def test_subclass_read_file_loads_manifest(tmp_path):
    out = tmp_path / "m.imx"
    vr.write_imx_v2_container(str(out), {"manifest.json": b'{"version": 2}'})
    seen = []

    class Patched(vr.ImxContainer):
        def read_file(self, name):
            seen.append(name)
            return b'{"format_version": 4}'

    c = Patched(str(out))
    assert seen == ["manifest.json"] and c.format_version == 4
    assert vr.ImxContainer.read_file(c, "manifest.json") == b'{"version": 2}'


# ---------------------------------------------------------------------------
# Detection
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("content, expected", [
    (None, False), ("dir", False), (b"", False), (b"IMX", False), (b"VIMX\x02\x00\x00\x00", False),
    (MAGIC, True), (MAGIC + b"\x07\x00\xff\xff garbage", True), (b"IMX\x01", False),
])
def test_detection(tmp_path, content, expected):
    p = tmp_path / "probe"
    if content == "dir":
        p.mkdir()
    elif content is not None:
        p.write_bytes(content)
    assert vr.is_imx_file(str(p)) is expected
    assert vr.is_imx_v2_file(p) is expected


def test_detection_lets_other_errors_through():
    for fn in (vr.is_imx_file, vr.is_imx_v2_file):
        with pytest.raises(TypeError):
            fn(None)


# ---------------------------------------------------------------------------
# Writer failures
# ---------------------------------------------------------------------------

class NoItems:
    def __len__(self):
        return 1


WRITE_FAILURES = [
    (5, TypeError),
    (dict.fromkeys(range(65536), b""), struct.error),
    (NoItems(), AttributeError),
    ({b"bytes-name": b""}, AttributeError),
    ({"ok": b"", "\ud800": b""}, UnicodeEncodeError),
    ({"ok": b"", "n" * 65536: b""}, struct.error),
    ({"ok": b"", "v": 5}, TypeError),
    ({"ok": b"1", "s": "text has a length"}, TypeError),  # refused by write itself
]


@pytest.mark.parametrize("files, exc", WRITE_FAILURES)
def test_failed_write_leaves_nothing(tmp_path, files, exc):
    new = tmp_path / "new.imx"
    with pytest.raises(exc):
        vr.write_imx_v2_container(str(new), files)
    existing = tmp_path / "old.imx"
    existing.write_bytes(b"previous container")
    with pytest.raises(exc):
        vr.write_imx_v2_container(str(existing), files)
    assert existing.read_bytes() == b"previous container"
    assert sorted(os.listdir(tmp_path)) == ["old.imx"]


@pytest.mark.parametrize("as_path", [str, os.fsencode, Path])
def test_writer_path_types(tmp_path, as_path):
    vr.write_imx_v2_container(as_path(tmp_path / "p.imx"), {"a": b"xyz"})
    assert (tmp_path / "p.imx").read_bytes() == container([(b"a", 27, 3)], b"xyz")
    assert os.listdir(tmp_path) == ["p.imx"]


def test_writer_bad_path_type_fails_like_open(tmp_path):
    with pytest.raises(TypeError) as ours:
        vr.write_imx_v2_container(None, {"a": b""})
    with pytest.raises(TypeError) as host:
        open(None, "wb")
    assert str(ours.value) == str(host.value)


def test_write_oserror_names_the_output(tmp_path):
    target = tmp_path / "missing" / "x.imx"
    with pytest.raises(FileNotFoundError) as e:
        vr.write_imx_v2_container(str(target), {"a": b""})
    assert e.value.filename == str(target)
    with pytest.raises(IsADirectoryError):
        vr.write_imx_v2_container(str(tmp_path), {"a": b""})
    assert os.listdir(tmp_path) == []


def test_rewrite_keeps_mode_and_symlink(tmp_path):
    real = tmp_path / "real.imx"
    real.write_bytes(b"old")
    real.chmod(0o640)
    link = tmp_path / "link.imx"
    link.symlink_to(real)
    vr.write_imx_v2_container(str(link), {"a": b"xyz"})
    assert link.is_symlink()
    assert real.read_bytes() == container([(b"a", 27, 3)], b"xyz")
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["link.imx", "real.imx"]


# ---------------------------------------------------------------------------
# Robustness: random and damaged containers against the reference reader
# ---------------------------------------------------------------------------

EDGE_NUMBERS = [0, 1, 7, 8, 27, 2**31, 2**32 - 1, 2**63 - 1, 2**63, 2**64 - 2, 2**64 - 1]


def random_container(rng: random.Random) -> bytes:
    entries = []
    for _ in range(rng.randrange(6)):
        kind = rng.random()
        if kind < 0.1:
            name = b"manifest.json"
        elif kind < 0.2:
            name = bytes(rng.randrange(256) for _ in range(rng.randrange(4)))
        else:
            name = rng.choice(["a", "b", "é", "视", "v/x.mp4", ""]).encode() * rng.randrange(1, 3)
        offset = rng.choice(EDGE_NUMBERS + [rng.randrange(200)])
        size = rng.choice(EDGE_NUMBERS + [rng.randrange(200)])
        entries.append((name, offset, size))
    tail = rng.choice([b"", b"{}", b'{"version": 2}', b"null", bytes(rng.randrange(256) for _ in range(40))])
    count = None if rng.random() < 0.7 else rng.choice([len(entries) + 1, 0xFFFF, rng.randrange(8)])
    data = bytearray(container(entries, tail, version=rng.randrange(65536), count=count))
    mutation = rng.random()
    if mutation < 0.3:
        del data[rng.randrange(len(data) + 1):]
    elif mutation < 0.5:
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
    elif mutation < 0.55:
        data = bytearray(MAGIC + bytes(rng.randrange(256) for _ in range(rng.randrange(60))))
    return bytes(data)


def outcome(make, path):
    try:
        obj = make(path)
    except (RuntimeError, struct.error, ValueError) as e:  # ValueError: UTF-8 and JSON errors
        return type(e), str(e)
    files = {n: obj.read_file(n) for n in obj._entries}
    return obj._entries, obj._metadata, files


def test_random_and_damaged_containers(tmp_path):
    rng = random.Random(20260)
    p = tmp_path / "fuzz.imx"
    kinds = set()
    for i in range(3000):
        data = random_container(rng)
        p.write_bytes(data)
        ours = outcome(vr.ImxContainer, p)
        assert ours == outcome(ReferenceReader, p), (i, data)
        kinds.add(ours[0] if isinstance(ours[0], type) else dict)
    # the generator reached every kind of outcome
    assert {dict, RuntimeError, struct.error, UnicodeDecodeError, json.JSONDecodeError} <= kinds


@pytest.mark.parametrize("obj, signature", [
    (vr.is_imx_file, "(path: 'str') -> 'bool'"),
    (vr.is_imx_v2_file, "(path: 'str') -> 'bool'"),
    (vr.write_imx_v2_container, "(output_path: 'str', files: 'dict') -> 'None'"),
    (vr.ImxContainer.__init__, "(self, path: 'str') -> 'None'"),
    (vr.ImxContainer.get_entry, "(self, name: 'str') -> 'Tuple[int, int]'"),
    (vr.ImxContainer.find_files, "(self, pattern: 'str') -> 'List[str]'"),
    (vr.ImxContainer.metadata.fget, "(self) -> 'Optional[dict]'"),
])
def test_surface(obj, signature):
    import inspect
    assert str(inspect.signature(obj)) == signature
    assert obj.__module__ == "vorantis.engine.video_reader"


# ---------------------------------------------------------------------------
# Writer: every kind of buffer a caller may hold
# ---------------------------------------------------------------------------

def _anonymous_mmap(data: bytes):
    import mmap
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


def _buffer_kinds():
    import array

    import numpy as np
    grid = np.arange(12, dtype=np.uint16).reshape(3, 4)
    return {
        "bytes": lambda: b"\x00\x01\xfe\xff",
        "bytearray": lambda: bytearray(b"abc"),
        "memoryview": lambda: memoryview(b"abcd"),
        "memoryview cast H": lambda: memoryview(b"\x01\x00\x02\x00\x03\x00").cast("H"),
        "memoryview 2-D": lambda: memoryview(bytes(range(6))).cast("B", (2, 3)),
        "uint8 array": lambda: np.arange(5, dtype=np.uint8),
        "uint16 2-D": lambda: np.arange(6, dtype=np.uint16).reshape(2, 3),
        "float64": lambda: np.linspace(0.0, 1.0, 3),
        "int32 3-D": lambda: np.arange(24, dtype=np.int32).reshape(2, 3, 4),
        "0-d float32": lambda: np.array(1.5, dtype=np.float32),
        "empty 2-D": lambda: np.zeros((0, 3), dtype=np.uint16),
        "bool": lambda: np.array([True, False, True]),
        "array h": lambda: array.array("h", [1, -2, 3]),
        "array d": lambda: array.array("d", [0.5]),
        "mmap": lambda: _anonymous_mmap(b"mapped!"),
        "transposed copy": lambda: np.ascontiguousarray(grid.T),
    }


@pytest.mark.parametrize("kind", list(_buffer_kinds()))
def test_writer_stores_each_buffers_bytes(tmp_path, kind):
    value = _buffer_kinds()[kind]()
    expected = memoryview(value).tobytes()  # the buffer's own bytes, in memory order
    out = tmp_path / "kinds.imx"
    vr.write_imx_v2_container(str(out), {"a.bin": value, "b.txt": b"hello"})
    c = vr.ImxContainer(str(out))
    assert c.get_entry("a.bin") == (8 + 2 * 18 + 5 + 5, len(expected))
    assert c.read_file("a.bin") == expected
    assert c.read_file("b.txt") == b"hello"
    assert out.stat().st_size == 8 + 2 * 18 + 10 + len(expected) + 5


def _non_contiguous():
    import numpy as np
    grid = np.arange(12, dtype=np.uint16).reshape(3, 4)
    return {
        "memoryview step": (lambda: memoryview(b"abcdef")[::2], BufferError),
        "array columns": (lambda: grid[:, ::2], ValueError),
        "array transposed": (lambda: grid.T, ValueError),
        "fortran order": (lambda: np.asfortranarray(grid), ValueError),
    }


@pytest.mark.parametrize("kind", list(_non_contiguous()))
def test_writer_refuses_non_contiguous_before_writing(tmp_path, kind):
    make, exc = _non_contiguous()[kind]
    existing = tmp_path / "old.imx"
    existing.write_bytes(b"previous container")
    with pytest.raises(exc, match="contiguous"):
        vr.write_imx_v2_container(str(existing), {"first": b"written before", "bad": make()})
    with pytest.raises(exc, match="contiguous"):
        vr.write_imx_v2_container(str(tmp_path / "new.imx"), {"bad": make()})
    assert existing.read_bytes() == b"previous container"
    assert sorted(os.listdir(tmp_path)) == ["old.imx"]



class _KeepingFile:
    """A file object that keeps what `write` is handed, as a buffering or
    patched file may, and writes it only when closed."""

    kept: list = []
    real_open = open

    def __init__(self, path, mode):
        self._path = path
        _KeepingFile.real_open(path, mode).close()  # "xb": the temporary name must be new

    def write(self, data):
        _KeepingFile.kept.append(data)
        return memoryview(data).nbytes

    def close(self):
        with _KeepingFile.real_open(self._path, "wb") as f:
            for data in _KeepingFile.kept:
                f.write(data)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def test_writer_hands_the_file_objects_that_keep_their_bytes(tmp_path, monkeypatch):
    import builtins
    import gc

    import numpy as np

    sizes = [70_000, 300_000, 5_000]
    expected = [bytes([i + 1]) * n for i, n in enumerate(sizes)]
    files = {"a": bytearray(expected[0]), "b": np.frombuffer(expected[1], np.uint8).copy(),
             "c": memoryview(bytearray(expected[2]))}
    real_open = builtins.open
    _KeepingFile.kept = []
    monkeypatch.setattr(builtins, "open",
                        lambda p, m="r", *a, **k: _KeepingFile(p, m) if m == "xb" else real_open(p, m, *a, **k))
    vr.write_imx_v2_container(str(tmp_path / "out.imx"), files)
    monkeypatch.setattr(builtins, "open", real_open)
    del files
    gc.collect()
    churn = [bytearray(b"\xee" * n) for n in sizes * 4]  # reuse of freed memory shows here
    kept = [bytes(memoryview(d).cast("B")) for d in _KeepingFile.kept[2:]]
    assert kept == expected
    del churn
    c = vr.ImxContainer(str(tmp_path / "out.imx"))
    assert [c.read_file(n) for n in "abc"] == expected
