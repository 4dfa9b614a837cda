"""The repeating-key XOR stream: in memory, whole files, streamed files, positioned writes."""

from __future__ import annotations

import io

import numpy as np
import pytest

import vorantis.engine.video_reader as vr
from conftest import DEFAULT_KEY, xor_reference

RNG = np.random.default_rng(1234)


def rand_bytes(n: int) -> bytes:
    return RNG.integers(0, 256, n, dtype=np.uint8).tobytes()


@pytest.mark.parametrize(
    "path, expected",
    [
        ("clip.vrtensor", True),
        (".vrtensor", True),
        ("dir.vrtensor/clip.vrtensor", True),
        ("clip.VRTENSOR", False),
        ("clip.vrtensor.mp4", False),
        ("clip.mp4", False),
        ("clipvrtensor", False),
        ("", False),
    ],
)
def test_is_encrypted_file_is_a_suffix_test(path, expected):
    assert vr.is_encrypted_file(path) is expected


def test_is_encrypted_file_wrong_types():
    with pytest.raises(TypeError):
        vr.is_encrypted_file(b"clip.vrtensor")
    with pytest.raises(AttributeError):
        vr.is_encrypted_file(42)


@pytest.mark.parametrize("key_len", [1, 2, 3, 22, 23, 24, 255, 4095, 4096, 4097, 10_000, 1 << 20])
@pytest.mark.parametrize("n", [0, 1, 2, 22, 23, 24, 1000, 70_001, (1 << 20) + 7])
def test_xor_decrypt_bytes_matches_reference(key_len, n):
    key = rand_bytes(key_len)
    data = rand_bytes(n)
    out = vr.xor_decrypt_bytes(data, key)
    assert type(out) is bytes
    assert out == xor_reference(data, key)


def test_key_stream_rules():
    key = b"\x01\x02\x04"
    # data byte 4 is XORed with key byte 1
    assert vr.xor_decrypt_bytes(bytes(6), key) == b"\x01\x02\x04\x01\x02\x04"
    # shorter than the key: only the first bytes of the key are used
    assert vr.xor_decrypt_bytes(b"\x00\x00", key) == b"\x01\x02"
    assert vr.xor_decrypt_bytes(b"", key) == b""


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_input_types_untouched_and_result_bytes(wrap):
    original = rand_bytes(5000)
    data = wrap(bytearray(original)) if wrap is not bytes else original
    out = vr.xor_decrypt_bytes(data, wrap(b"secret") if wrap is not memoryview else memoryview(b"secret"))
    assert type(out) is bytes
    assert bytes(data) == original
    assert vr.xor_decrypt_bytes(out, b"secret") == original


def test_default_key_is_bound_at_import(monkeypatch):
    data = rand_bytes(100)
    expected = xor_reference(data, DEFAULT_KEY)
    assert vr.ENCRYPT_KEY == DEFAULT_KEY
    assert vr.xor_decrypt_bytes(data) == expected
    monkeypatch.setattr(vr, "ENCRYPT_KEY", b"another")
    assert vr.xor_decrypt_bytes(data) == expected


@pytest.mark.parametrize(
    "data, key, exc",
    [
        (b"abc", b"", ZeroDivisionError),
        (b"", b"", ZeroDivisionError),
        (b"abc", "key", TypeError),
        ("abc", b"key", TypeError),
        (b"abc", 5, TypeError),
    ],
)
def test_xor_decrypt_bytes_errors(data, key, exc):
    with pytest.raises(exc):
        vr.xor_decrypt_bytes(data, key)


def test_read_and_decrypt_file(tmp_path):
    plain = rand_bytes(300_000)
    path = tmp_path / "a.vrtensor"
    path.write_bytes(xor_reference(plain, DEFAULT_KEY))
    assert vr.read_and_decrypt_file(str(path)) == plain
    assert vr.read_and_decrypt_file(path, DEFAULT_KEY) == plain
    with pytest.raises(FileNotFoundError):
        vr.read_and_decrypt_file(str(tmp_path / "missing.vrtensor"))
    with pytest.raises(ZeroDivisionError):
        vr.read_and_decrypt_file(str(path), b"")


def test_read_and_decrypt_file_goes_through_module_attribute(tmp_path, monkeypatch):
    path = tmp_path / "x.bin"
    path.write_bytes(b"abc")
    seen = []
    monkeypatch.setattr(vr, "xor_decrypt_bytes", lambda data, key: seen.append((data, key)) or b"!")
    assert vr.read_and_decrypt_file(str(path), b"k") == b"!"
    assert seen == [(b"abc", b"k")]


KEY = b"0123456789abcdefghijklm"  # 23 bytes
L = len(KEY)


@pytest.mark.parametrize("chunk_size", [1, L - 1, L, L + 1, 262144, 10**9, None, -1, -5000])
@pytest.mark.parametrize("n", [0, 1, 1000, 3 * 262144 + 5])
def test_streaming_matches_whole_file(tmp_path, chunk_size, n):
    src = tmp_path / "src.vrtensor"
    dst = tmp_path / "dst.mp4"
    data = rand_bytes(n)
    src.write_bytes(data)
    assert vr._streaming_xor_decrypt_file(str(src), str(dst), KEY, chunk_size) is None
    assert dst.read_bytes() == vr.read_and_decrypt_file(str(src), KEY) == xor_reference(data, KEY)


def test_streaming_default_chunk_and_keyword(tmp_path):
    src = tmp_path / "s"
    dst = tmp_path / "d"
    data = rand_bytes(600_000)
    src.write_bytes(data)
    vr._streaming_xor_decrypt_file(src_path=str(src), dst_path=str(dst), key=KEY)
    assert dst.read_bytes() == xor_reference(data, KEY)


@pytest.mark.parametrize(
    "key, chunk_size, exc",
    [(b"", 262144, ZeroDivisionError), (KEY, 0, ValueError), ("text", 262144, TypeError),
     (KEY, 1.5, TypeError)],
)
def test_streaming_refuses_before_touching_files(tmp_path, key, chunk_size, exc):
    src = tmp_path / "s"
    src.write_bytes(b"payload")
    dst = tmp_path / "d"
    dst.write_bytes(b"keep me")
    with pytest.raises(exc):
        vr._streaming_xor_decrypt_file(str(src), str(dst), key, chunk_size)
    assert dst.read_bytes() == b"keep me"


def test_streaming_missing_source_leaves_destination(tmp_path):
    dst = tmp_path / "d"
    with pytest.raises(FileNotFoundError):
        vr._streaming_xor_decrypt_file(str(tmp_path / "none"), str(dst), KEY)
    assert not dst.exists()


def test_streaming_requires_key(tmp_path):
    with pytest.raises(TypeError):
        vr._streaming_xor_decrypt_file(str(tmp_path / "a"), str(tmp_path / "b"))


def test_piecewise_writes_equal_whole_encryption():
    plain = rand_bytes(100_000)
    rng = np.random.default_rng(5)
    cuts = sorted(rng.integers(0, len(plain), 40).tolist()) + [len(plain)]
    f = io.BytesIO()
    pos = 0
    for cut in [0] + cuts:  # includes empty pieces
        piece = plain[pos:cut]
        vr._write_xor_encrypted(f, pos, piece, KEY)
        pos = cut
    assert f.getvalue() == xor_reference(plain, KEY)


@pytest.mark.parametrize("offset, first_key_byte", [(0, 0), (L, 0), (2 * L, 0), (-1, L - 1), (5, 5),
                                                    (-L - 2, L - 2), (10**30, 10**30 % L)])
def test_write_key_start_is_floored_remainder(offset, first_key_byte):
    f = io.BytesIO()
    vr._write_xor_encrypted(f, offset, bytes(3), KEY)
    assert f.getvalue() == bytes(KEY[(first_key_byte + j) % L] for j in range(3))


class ShortWriter:
    """A raw-file-like object that accepts at most `limit` bytes per write."""

    def __init__(self, limit):
        self.limit = limit
        self.buf = bytearray()
        self.calls = 0

    def write(self, b):
        self.calls += 1
        b = bytes(b)[: self.limit]
        self.buf += b
        return len(b)


def test_write_never_loses_data_on_short_writes():
    plain = rand_bytes(1000)
    w = ShortWriter(64)
    vr._write_xor_encrypted(w, 7, plain, KEY)
    assert bytes(w.buf) == xor_reference(plain, KEY, start=7)
    assert w.calls == -(-1000 // 64)


def test_write_one_call_and_input_untouched():
    w = ShortWriter(10**9)
    data = bytearray(b"hello world")
    vr._write_xor_encrypted(w, 0, data, KEY)
    assert w.calls == 1 and data == bytearray(b"hello world")
    w = ShortWriter(10**9)
    vr._write_xor_encrypted(w, 3, b"", KEY)
    assert w.calls == 1 and w.buf == b""


@pytest.mark.parametrize("data, key, exc", [(b"abc", b"", ZeroDivisionError), ("abc", KEY, TypeError),
                                            (b"abc", "text", TypeError)])
def test_write_errors_write_nothing(data, key, exc):
    w = ShortWriter(100)
    with pytest.raises(exc):
        vr._write_xor_encrypted(w, 0, data, key)
    assert w.calls == 0


def test_write_errors_of_file_propagate():
    with pytest.raises(AttributeError):
        vr._write_xor_encrypted(object(), 0, b"abc", KEY)
    f = io.BytesIO()
    f.close()
    with pytest.raises(ValueError):
        vr._write_xor_encrypted(f, 0, b"abc", KEY)


def test_concurrent_decryption_from_threads():
    from concurrent.futures import ThreadPoolExecutor

    blobs = [rand_bytes(2_000_000 + i) for i in range(8)]
    with ThreadPoolExecutor(4) as pool:
        outs = list(pool.map(lambda b: vr.xor_decrypt_bytes(b, KEY), blobs))
    assert all(o == xor_reference(b, KEY) for o, b in zip(outs, blobs))
