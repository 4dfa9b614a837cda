"""The `vorantis-video` command-line tool, run in-process through `main(argv)`."""

from __future__ import annotations

import importlib.metadata
import io
import json
import os
import re
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

import vorantis
from vorantis import cli
from conftest import DEFAULT_KEY, xor_reference


@pytest.fixture
def run(capsys, monkeypatch):
    """Runs the tool in-process: (exit status, stdout, stderr); `stdin` feeds standard input."""
    def _run(*argv, stdin: bytes = b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        code = cli.main([str(a) for a in argv])
        out, err = capsys.readouterr()
        return code, out, err
    return _run


def imx_bytes(entries) -> bytes:
    """A v2 container laid out by hand: header, table, then the data back to back."""
    names = [n.encode("utf-8") for n, _ in entries]
    offset = 8 + sum(2 + len(n) + 16 for n in names)
    table = b""
    for name, (_, data) in zip(names, entries):
        table += struct.pack("<H", len(name)) + name + struct.pack("<QQ", offset, len(data))
        offset += len(data)
    return b"IMX\0" + struct.pack("<HH", 2, len(entries)) + table + b"".join(d for _, d in entries)


def parse_imx(data: bytes):
    """[(name, offset, size)] read from a container's bytes."""
    assert data[:4] == b"IMX\0"
    version, count = struct.unpack_from("<HH", data, 4)
    assert version == 2
    pos, out = 8, []
    for _ in range(count):
        (n,) = struct.unpack_from("<H", data, pos)
        name = data[pos + 2:pos + 2 + n].decode("utf-8")
        offset, size = struct.unpack_from("<QQ", data, pos + 2 + n)
        out.append((name, offset, size))
        pos += 18 + n
    return out


def read_png(path: Path) -> np.ndarray:
    """An 8-bit RGB PNG decoded by Pillow, its chunks' CRCs checked with zlib."""
    Image = pytest.importorskip("PIL.Image")
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos = 8
    while pos < len(data):
        (n,) = struct.unpack_from(">I", data, pos)
        tag, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        (crc,) = struct.unpack_from(">I", data, pos + 8 + n)
        assert zlib.crc32(tag + body) == crc, tag
        pos += 12 + n
    with Image.open(path) as img:
        assert img.mode == "RGB"
        return np.asarray(img)


def entry_rows(stdout: str):
    """(name, offset, size) from the entry lines of `info` on a container."""
    rows = [line.split(None, 2) for line in stdout.splitlines()
            if line.startswith("    ") and line.split()[0].isdigit()]
    return [(name, int(off), int(size)) for off, size, name in rows]


def single_line_error(err: str, *parts: str) -> None:
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert "Traceback" not in err
    for part in parts:
        assert part in lines[0], (part, lines[0])


# ---------------------------------------------------------------------------
# pack, extract, info on containers
# ---------------------------------------------------------------------------


@pytest.fixture
def model_tree(tmp_path, video):
    """A model folder (manifest, a video in a subfolder, binary data) and one loose file."""
    root = tmp_path / "model"
    (root / "videos").mkdir(parents=True)
    (root / "data").mkdir()
    manifest = {"format_version": 2, "name": "test avatar", "fps": 25}
    contents = {
        "manifest.json": json.dumps(manifest).encode(),
        "videos/idle.mp4": video.data,
        "data/blob.bin": np.random.default_rng(1).integers(0, 256, 1_500_000, dtype=np.uint8).tobytes(),
        "data/empty.bin": b"",
        "Zeta.txt": "sé".encode(),
    }
    for name, data in contents.items():
        (root / name).write_bytes(data)
    loose = tmp_path / "loose.txt"
    loose.write_bytes(b"loose")
    return root, loose, contents, manifest


def test_pack_writes_sorted_v2_container_and_extract_round_trips(tmp_path, run, model_tree):
    root, loose, contents, _ = model_tree
    out = tmp_path / "model.imx"
    code, stdout, _ = run("pack", out, root, loose)
    assert code == 0, stdout

    data = out.read_bytes()
    table = parse_imx(data)
    assert [n for n, _, _ in table] == sorted(contents) + ["loose.txt"]
    expected = {**contents, "loose.txt": b"loose"}
    offset = 8 + sum(18 + len(n.encode()) for n in expected)
    for name, off, size in table:  # contiguous, in table order
        assert (off, size) == (offset, len(expected[name]))
        assert data[off:off + size] == expected[name]
        offset += size
    assert offset == len(data)

    dest = tmp_path / "out"
    code, _, _ = run("extract", out, "-o", dest)
    assert code == 0
    written = {str(p.relative_to(dest)).replace(os.sep, "/"): p.read_bytes()
               for p in dest.rglob("*") if p.is_file()}
    assert written == expected

    only = tmp_path / "only"
    code, _, _ = run("extract", out, "videos/idle.mp4", "Zeta.txt", "-o", only)
    assert code == 0
    assert sorted(p.name for p in only.rglob("*") if p.is_file()) == ["Zeta.txt", "idle.mp4"]
    assert (only / "videos" / "idle.mp4").read_bytes() == contents["videos/idle.mp4"]


def test_info_on_container_lists_entries_and_manifest(tmp_path, run, model_tree):
    root, _, contents, manifest = model_tree
    out = tmp_path / "model.imx"
    assert run("pack", out, root)[0] == 0
    code, stdout, _ = run("info", out)
    assert code == 0
    assert "format version: 2" in stdout
    assert f"manifest keys: {', '.join(manifest)}" in stdout
    assert entry_rows(stdout) == parse_imx(out.read_bytes())


def test_info_on_container_without_manifest(tmp_path, run):
    path = tmp_path / "bare.imx"
    path.write_bytes(imx_bytes([("a", b"xyz")]))
    code, stdout, _ = run("info", path)
    assert code == 0
    assert "manifest: none (format version 0)" in stdout
    assert entry_rows(stdout) == [("a", 27, 3)]


# ---------------------------------------------------------------------------
# info on videos
# ---------------------------------------------------------------------------


@pytest.fixture
def video_container(tmp_path, video):
    path = tmp_path / "with_video.imx"
    path.write_bytes(imx_bytes([("manifest.json", b"{}"), ("clip.mp4", video.data),
                                ("enc.vrtensor", xor_reference(video.data, DEFAULT_KEY))]))
    return path


@pytest.mark.parametrize("kind", ["plain", "vrtensor", "member", "encrypted member"])
def test_info_on_video(run, video, encrypted_video, video_container, kind):
    spec = {"plain": video.path, "vrtensor": encrypted_video,
            "member": f"{video_container}::clip.mp4",
            "encrypted member": f"{video_container}::enc.vrtensor"}[kind]
    code, stdout, err = run("info", spec)
    assert code == 0, err
    assert "codec: h264" in stdout
    assert f"frame size: {video.width}x{video.height}" in stdout
    assert "frame rate: 25 fps" in stdout
    assert f"frame count: {video.n_frames}" in stdout
    assert f"keyframe interval: {video.gop} frames" in stdout


# ---------------------------------------------------------------------------
# encrypt / decrypt
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("key", [None, "schlüssel-ключ"])
@pytest.mark.parametrize("progress", [False, True])
def test_encrypt_then_decrypt_restores_the_file(tmp_path, run, key, progress):
    # An MP4 box header, then noise: decryption must recognise the result as a video.
    plain = b"\0\0\0\x18ftypisom" + np.random.default_rng(3).integers(0, 256, 2_500_003, dtype=np.uint8).tobytes()
    src, enc, dec = tmp_path / "clip.mp4", tmp_path / "clip.vrtensor", tmp_path / "back.mp4"
    src.write_bytes(plain)
    key_args = ([] if key is None else ["--key", key]) + (["--progress"] if progress else [])
    key_bytes = DEFAULT_KEY if key is None else key.encode("utf-8")

    code, _, err = run("encrypt", src, enc, *key_args)
    assert code == 0
    assert enc.read_bytes() == xor_reference(plain, key_bytes)
    code, _, err2 = run("decrypt", enc, dec, *key_args)
    assert code == 0
    assert dec.read_bytes() == plain
    if progress:
        assert "100%" in err and "100%" in err2
    else:  # no terminal: the report line only
        assert "%" not in err + err2 and len(err.splitlines()) == len(err2.splitlines()) == 1


def test_decrypt_refuses_to_overwrite_its_input(tmp_path, run):
    path = tmp_path / "a.vrtensor"
    path.write_bytes(b"0123456789")
    code, _, err = run("decrypt", path, path)
    assert code == 1
    single_line_error(err, str(path), "same file")
    assert path.read_bytes() == b"0123456789"


# ---------------------------------------------------------------------------
# frames
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("kind, window, expected", [
    ("plain", [], list(range(30))),
    ("plain", ["--start", "2", "--stop", "20", "--step", "5"], [2, 7, 12, 17]),
    ("plain", ["--step", "-7"], [29, 22, 15, 8, 1]),
    ("plain", ["--start", "-3"], [27, 28, 29]),
    ("vrtensor", ["--start", "25"], [25, 26, 27, 28, 29]),
    ("member", ["--stop", "12", "--step", "3"], [0, 3, 6, 9]),
])
def test_frames_writes_the_requested_frames_as_png(tmp_path, run, video, encrypted_video,
                                                   video_container, kind, window, expected):
    spec = {"plain": video.path, "vrtensor": encrypted_video, "member": f"{video_container}::clip.mp4"}[kind]
    dest = tmp_path / "frames"
    code, _, err = run("frames", spec, "-o", dest, *window)
    assert code == 0, err
    files = sorted(dest.iterdir())
    assert [p.name for p in files] == [f"frame_{i:06d}.png" for i in sorted(expected)]
    for i in expected:
        rgb = read_png(dest / f"frame_{i:06d}.png")
        np.testing.assert_array_equal(rgb, video.frames[i][:, :, ::-1])


# ---------------------------------------------------------------------------
# bbox
# ---------------------------------------------------------------------------


def _write_masks(path: Path, images) -> list:
    h5py = pytest.importorskip("h5py", reason="h5py is not installed (the masks extra)")
    simplejpeg = pytest.importorskip("simplejpeg", reason="simplejpeg is not installed (the masks extra)")
    encoded = [b"" if img is None else simplejpeg.encode_jpeg(img, quality=95, colorspace="RGB")
               for img in images]
    with h5py.File(path, "w") as f:
        ds = f.create_dataset("face_masks", (len(encoded),), dtype=h5py.vlen_dtype(np.uint8))
        for i, blob in enumerate(encoded):
            ds[i] = np.frombuffer(blob, dtype=np.uint8)
    return [simplejpeg.decode_jpeg(b) for b in encoded if b]


def test_bbox_prints_the_padded_union_box(tmp_path, run):
    w, h = 160, 96
    a = np.zeros((h, w, 3), np.uint8)
    a[16:32, 32:64] = 255
    b = np.zeros((h, w, 3), np.uint8)
    b[48:80, 96:112, 1] = 200
    path = tmp_path / "masks.h5"
    decoded = _write_masks(path, [a, None, b, np.zeros((h, w, 3), np.uint8)])

    nonzero = np.any(np.stack(decoded).max(axis=3) > 0, axis=0)
    ys, xs = np.nonzero(nonzero)
    pad = 5
    expected = (max(0, xs.min() - pad), max(0, ys.min() - pad), min(w, xs.max() + 1 + pad),
                min(h, ys.max() + 1 + pad))

    code, stdout, err = run("bbox", path, "--width", w, "--height", h, "--padding", pad)
    assert code == 0, err
    assert f"x1={expected[0]} y1={expected[1]} x2={expected[2]} y2={expected[3]}" in stdout


def test_bbox_refuses_masks_without_pixels(tmp_path, run):
    path = tmp_path / "blank.h5"
    _write_masks(path, [np.zeros((32, 32, 3), np.uint8), None])
    code, _, err = run("bbox", path, "--width", 32, "--height", 32)
    assert code == 1
    single_line_error(err, str(path), "No non-zero mask pixels found")


# ---------------------------------------------------------------------------
# Refusals and usage errors
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name, why", [
    ("/etc/passwd", "absolute path"),
    ("\\\\server\\share\\x", "absolute path"),
    ("../x", "'..' component"),
    ("a/../../x", "'..' component"),
    ("videos\\..\\..\\x", "'..' component"),
    ("C:\\Windows\\x", "drive letter"),
    ("c:x", "drive letter"),
    ("./", "names no file"),
])
def test_extract_refuses_names_that_escape(tmp_path, run, name, why):
    container = tmp_path / "evil.imx"
    container.write_bytes(imx_bytes([("fine.txt", b"ok"), (name, b"pwned")]))
    dest = tmp_path / "out" / "deep"
    code, _, err = run("extract", container, "-o", dest)
    assert code == 1
    single_line_error(err, str(container), repr(name), why)
    assert not (tmp_path / "out").exists()  # nothing written, not even the good member


def test_extract_refuses_to_write_through_a_link(tmp_path, run):
    container = tmp_path / "c.imx"
    container.write_bytes(imx_bytes([("link/x.txt", b"pwned")]))
    dest, elsewhere = tmp_path / "out", tmp_path / "elsewhere"
    dest.mkdir()
    elsewhere.mkdir()
    (dest / "link").symlink_to(elsewhere, target_is_directory=True)
    code, _, err = run("extract", container, "-o", dest)
    assert code == 1
    single_line_error(err, "outside the output directory")
    assert list(elsewhere.iterdir()) == []


def test_extract_writes_backslash_names_as_folders(tmp_path, run):
    container = tmp_path / "c.imx"
    container.write_bytes(imx_bytes([("videos\\idle.mp4", b"v"), ("./a//b.txt", b"b")]))
    code, _, _ = run("extract", container, "-o", tmp_path / "out")
    assert code == 0
    assert (tmp_path / "out" / "videos" / "idle.mp4").read_bytes() == b"v"
    assert (tmp_path / "out" / "a" / "b.txt").read_bytes() == b"b"


@pytest.fixture
def bad_inputs(tmp_path, not_media, audio_only, video_container):
    vimx = tmp_path / "old.imx"
    vimx.write_bytes(b"VIMX" + bytes(20))
    small = tmp_path / "small.imx"
    small.write_bytes(b"IMX\0\2")
    return {"missing": tmp_path / "missing.mp4", "vimx": vimx, "small": small, "not_media": not_media,
            "audio_only": audio_only, "container": video_container}


@pytest.mark.parametrize("argv, culprit, reason", [
    (["info", "{missing}"], "missing", "No such file or directory"),
    (["info", "{not_media}"], "not_media", "not a decodable video"),
    (["info", "{audio_only}"], "audio_only", "no video stream"),
    (["info", "{vimx}"], "vimx", "outdated container format (IMX v1)"),
    (["info", "{small}"], "small", "File too small to be an IMX container"),
    (["info", "{container}::nope.mp4"], "container", "File not found in IMX container: 'nope.mp4'"),
    (["frames", "{container}::manifest.json", "-o", "{tmp}"], "container", "not a decodable video"),
    (["extract", "{container}", "nope", "-o", "{tmp}"], "container", "'nope'"),
    (["extract", "{vimx}", "-o", "{tmp}"], "vimx", "outdated container format"),
    (["pack", "{tmp}/o.imx", "{missing}"], "missing", "No such file or directory"),
    (["decrypt", "{missing}", "{tmp}/o"], "missing", "No such file or directory"),
    (["encrypt", "{missing}", "{tmp}/o"], "missing", "No such file or directory"),
    (["bbox", "{not_media}", "--width", "8", "--height", "8"], "not_media", ""),
])
def test_refused_inputs_exit_1_with_one_line(tmp_path, run, bad_inputs, argv, culprit, reason):
    names = {k: str(v) for k, v in bad_inputs.items()}
    argv = [a.format(tmp=tmp_path / "dest", **names) for a in argv]
    code, _, err = run(*argv)
    assert code == 1
    single_line_error(err, "vorantis-video: error:", names[culprit], reason)


def test_pack_refuses_duplicate_names(tmp_path, run):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    (tmp_path / "a" / "x.bin").write_bytes(b"1")
    (tmp_path / "b" / "x.bin").write_bytes(b"2")
    code, _, err = run("pack", tmp_path / "o.imx", tmp_path / "a", tmp_path / "b")
    assert code == 1
    single_line_error(err, "duplicate name 'x.bin'")
    assert not (tmp_path / "o.imx").exists()


@pytest.mark.parametrize("argv", [
    [],
    ["nonsense"],
    ["info"],
    ["extract", "c.imx"],
    ["bbox", "m.h5", "--height", "4"],
    ["bbox", "m.h5", "--width", "0", "--height", "4"],
    ["frames", "v.mp4", "-o", "d", "--step", "0"],
    ["frames", "v.mp4", "-o", "d", "--start", "x"],
])
def test_bad_usage_exits_2(run, argv):
    code, out, err = run(*argv)
    assert code == 2
    assert "error" in err and "Traceback" not in err


def test_help_through_python_m(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(Path(vorantis.__file__).parent.parent))
    proc = subprocess.run([sys.executable, "-m", "vorantis", "--help"], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=60)
    assert proc.returncode == 0, proc.stderr
    for command in ("info", "pack", "extract", "encrypt", "decrypt", "frames", "bbox", "demo"):
        assert command in proc.stdout


def test_version_option_prints_the_package_version(run):
    code, out, err = run("--version")
    assert code == 0, err
    assert out.strip() == f"vorantis-video {vorantis.__version__}"


def test_installed_metadata_carries_the_package_version():
    try:
        dist = importlib.metadata.distribution("vorantis")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vorantis is not installed")
    if Path(dist.locate_file("vorantis/__init__.py")).resolve() != Path(vorantis.__file__).resolve():
        pytest.skip("the imported vorantis is not the installed one")
    assert dist.version == vorantis.__version__


def test_demo_runs(run):
    code, stdout, err = run("demo")
    assert code == 0, err
    assert "forward pass" in stdout and "ping-pong pass" in stdout
    assert len(re.findall(r"pass.* frames in .* = +\d+ fps", stdout)) == 3
    assert "from the cache" in stdout and "equal to the forward pass: all" in stdout
