"""`vorantis-video` on damaged input, in pipelines and for scripts (--json)."""

from __future__ import annotations

import io
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vorantis
from vorantis.cli.png import encode_png
from conftest import DEFAULT_KEY, xor_reference
from test_cli import imx_bytes, parse_imx, single_line_error


@pytest.fixture
def run(capsys):
    def _run(*argv):
        code = vorantis.cli.main([str(a) for a in argv])
        out, err = capsys.readouterr()
        return code, out, err
    return _run


def imx_with_entry(name: str, offset: int, size: int, payload: bytes = b"data") -> bytes:
    """A container whose single table entry says (offset, size), whatever the file holds."""
    raw = name.encode()
    return (b"IMX\0" + struct.pack("<HH", 2, 1) + struct.pack("<H", len(raw)) + raw
            + struct.pack("<QQ", offset, size) + payload)


# ---------------------------------------------------------------------------
# --json, parsed back
# ---------------------------------------------------------------------------


def pyav_facts(path: Path) -> dict:
    import av

    with av.open(str(path)) as c:
        stream = c.streams.video[0]
        packets = [p for p in c.demux(stream) if p.size]
        return {"keyframes": [i for i, p in enumerate(packets) if p.is_keyframe],
                "pixel_format": stream.codec_context.pix_fmt}


@pytest.mark.parametrize("decode", [False, True])
def test_info_json_on_a_video(run, video, decode):
    code, out, err = run("info", "--json", video.path, *(["--decode"] if decode else []))
    assert code == 0, err
    d = json.loads(out)
    facts = pyav_facts(video.path)
    assert (d["codec"], d["width"], d["height"]) == ("h264", video.width, video.height)
    assert (d["frame_count"], d["frame_count_from"]) == (video.n_frames, "decoding" if decode else "packets")
    assert d["keyframes"] == facts["keyframes"] == list(range(0, video.n_frames, video.gop))
    assert (d["pixel_format"], d["bit_depth"]) == (facts["pixel_format"], 8)
    assert (d["frame_rate"], d["frame_rate_num"], d["frame_rate_den"]) == (25.0, 25, 1)
    assert (d["keyframe_interval_min"], d["keyframe_interval_max"]) == (video.gop, video.gop)
    assert d["rotation"] in (None, 0)


def test_info_json_on_a_container_and_its_escaped_names(tmp_path, run, video):
    path = tmp_path / "c.imx"
    path.write_bytes(imx_bytes([("manifest.json", b'{"format_version": 2, "k": 1}'),
                                ("clip.mp4", video.data), ("bell\x07\x1b[2J.txt", b"x")]))
    code, out, _ = run("info", "--json", path)
    assert code == 0
    d = json.loads(out)
    assert [(e["name"], e["offset"], e["size"]) for e in d["entries"]] == parse_imx(path.read_bytes())
    assert (d["format_version"], d["manifest_keys"], d["manifest_error"]) == (2, ["format_version", "k"], None)
    assert d["manifest"] == "object"
    code, out, _ = run("info", path)
    assert "\x07" not in out and "\x1b" not in out
    assert "bell\\x07\\x1b[2J.txt" in out


def test_bbox_json_agrees_with_the_text(tmp_path, run):
    from test_cli import _write_masks

    mask = np.zeros((40, 60, 3), np.uint8)
    mask[10:20, 30:35] = 255
    path = tmp_path / "m.h5"
    _write_masks(path, [mask])
    code, out, _ = run("bbox", path, "--width", 60, "--height", 40, "--padding", 2, "--json")
    assert code == 0
    box = json.loads(out)
    code, text, _ = run("bbox", path, "--width", 60, "--height", 40, "--padding", 2)
    assert f"x1={box['x1']} y1={box['y1']} x2={box['x2']} y2={box['y2']}" in text
    assert box["x1"] < 30 <= 34 < box["x2"] and box["y1"] < 10 <= 19 < box["y2"]


# ---------------------------------------------------------------------------
# Damaged containers and members: exit 1, one line
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("offset, size", [
    (31, 2**64 - 1), (31, 2**40), (10**6, 4), (2**64 - 1, 1), (2**63, 2**63), (31, 5),
])
@pytest.mark.parametrize("command", [
    ["info", "{c}::v.mp4"], ["frames", "{c}::v.mp4", "-o", "{tmp}/f"], ["extract", "{c}", "-o", "{tmp}/x"],
    ["extract", "{c}", "v.mp4", "-o", "-"],
])
def test_a_member_past_the_end_is_refused_alike(tmp_path, run, offset, size, command):
    container = tmp_path / "c.imx"
    container.write_bytes(imx_with_entry("v.mp4", offset, size))  # the data is at 31, 4 bytes long
    argv = [a.format(c=container, tmp=tmp_path) for a in command]
    code, _, err = run(*argv)
    assert code == 1
    single_line_error(err, str(container), "'v.mp4' runs past the end of the file")


@pytest.mark.parametrize("command", [["info", "{p}"], ["extract", "{p}", "-o", "{tmp}/x"],
                                     ["info", "{p}::a"], ["frames", "{p}", "-o", "{tmp}/x"]])
def test_an_empty_file_is_called_empty(tmp_path, run, command):
    path = tmp_path / "empty.imx"
    path.write_bytes(b"")
    code, _, err = run(*[a.format(p=path, tmp=tmp_path) for a in command])
    assert code == 1
    single_line_error(err, str(path), "empty file")


@pytest.mark.parametrize("manifest", [b"{not json", b"\xff\xfe", b""])
def test_a_broken_manifest_is_named_and_hides_nothing(tmp_path, run, video, manifest):
    path = tmp_path / "c.imx"
    path.write_bytes(imx_bytes([("manifest.json", manifest), ("clip.mp4", video.data)]))
    code, out, _ = run("info", path)
    assert code == 0 and "manifest: broken (manifest.json: " in out
    code, out, err = run("info", f"{path}::clip.mp4")
    assert code == 0, err
    assert f"frame count: {video.n_frames}" in out
    code, _, err = run("extract", path, "-o", tmp_path / "out")
    assert code == 0 and "manifest.json" in err
    assert (tmp_path / "out" / "clip.mp4").read_bytes() == video.data
    assert (tmp_path / "out" / "manifest.json").read_bytes() == manifest


@pytest.mark.parametrize("command", [["extract", "{c}", "-o", "{f}"], ["frames", "{v}", "-o", "{f}"]])
def test_output_directory_that_is_a_file(tmp_path, run, video, command):
    container = tmp_path / "c.imx"
    container.write_bytes(imx_bytes([("a", b"1")]))
    existing = tmp_path / "file"
    existing.write_bytes(b"keep")
    code, _, err = run(*[a.format(c=container, v=video.path, f=existing) for a in command])
    assert code == 1
    single_line_error(err, str(existing), "not a directory")
    assert existing.read_bytes() == b"keep"


def test_encrypted_input_that_does_not_decode_suggests_the_key(tmp_path, run, encrypted_video):
    code, _, err = run("info", encrypted_video, "--key", "wrong")
    assert code == 1
    single_line_error(err, str(encrypted_video), "not a decodable video", "--key")


@pytest.mark.parametrize("window, expected", [
    (["--start", "5", "--stop", "5"], None), (["--start", "40"], None), (["--step", "-1", "--stop", "29"], None),
    (["--start", "-1"], "wrote 1 frame of"), (["--start", "27"], "wrote 3 frames of"),
])
def test_frame_ranges_empty_or_counted(tmp_path, run, video, window, expected):
    code, _, err = run("frames", video.path, "-o", tmp_path / "f", *window)
    if expected is None:
        assert code == 1
        single_line_error(err, str(video.path), "selects no frame")
        assert not (tmp_path / "f").exists()
    else:
        assert code == 0 and expected in err


def test_pack_refuses_its_output_among_the_inputs(tmp_path, run):
    out = tmp_path / "o.imx"
    out.write_bytes(b"old")
    (tmp_path / "a.txt").write_bytes(b"a")
    code, _, err = run("pack", out, tmp_path / "a.txt", out)
    assert code == 1
    single_line_error(err, str(out), "output container itself")
    assert out.read_bytes() == b"old"


@pytest.mark.parametrize("key", ["wrong", None])
def test_decrypt_warns_when_the_result_is_not_media(tmp_path, run, encrypted_video, video, key):
    out = tmp_path / "out.mp4"
    code, _, err = run("decrypt", encrypted_video, out, *(["--key", key] if key else []))
    key_bytes = key.encode() if key else DEFAULT_KEY
    assert out.read_bytes() == xor_reference(encrypted_video.read_bytes(), key_bytes)  # kept either way
    if key:
        assert code == 3 and "not a recognisable video" in err and "Traceback" not in err
    else:
        assert code == 0 and out.read_bytes() == video.data and "warning" not in err


# ---------------------------------------------------------------------------
# Seeded fuzz: truncations and bit flips through the tool
# ---------------------------------------------------------------------------


def _damaged(data: bytes, rng: np.random.Generator, n: int):
    for cut in sorted(set(rng.integers(0, len(data), n // 2).tolist())):
        yield data[:cut]
    for _ in range(n - n // 2):
        buf = bytearray(data)
        for pos in rng.integers(0, min(len(data), 4096), int(rng.integers(1, 8))):
            buf[pos] ^= 1 << int(rng.integers(0, 8))
        yield bytes(buf)


def mpeg4_transport_stream(n_frames: int) -> bytes:
    """MPEG-4 part 2 in an MPEG transport stream: cut short, PyAV may set up no decoder."""
    import av

    buf = io.BytesIO()
    with av.open(buf, "w", format="mpegts") as out:
        stream = out.add_stream("mpeg4", rate=25)
        stream.width, stream.height, stream.pix_fmt = 64, 48, "yuv420p"
        for i in range(n_frames):
            frame = av.VideoFrame.from_ndarray(np.full((48, 64, 3), 8 * i, np.uint8), format="rgb24")
            frame.pts = i
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)
    return buf.getvalue()


@pytest.mark.parametrize("target", ["container", "video", "vrtensor", "transport stream"])
def test_fuzzed_inputs_never_crash_the_tool(tmp_path, run, video, target):
    rng = np.random.default_rng({"container": 11, "video": 12, "vrtensor": 13, "transport stream": 14}[target])
    clip = video.data
    original = {"container": imx_bytes([("manifest.json", b'{"format_version": 2}'), ("clip.mp4", clip)]),
                "video": clip, "vrtensor": xor_reference(clip, DEFAULT_KEY),
                "transport stream": mpeg4_transport_stream(20)}[target]
    name = {"container": "c.imx", "video": "v.mp4", "vrtensor": "v.vrtensor", "transport stream": "v.ts"}[target]
    play = [["info", "{p}"], ["frames", "{p}", "-o", "{d}", "--start", "-2"]]
    commands = {"container": [["info", "{p}"], ["info", "{p}::clip.mp4"], ["extract", "{p}", "-o", "{d}"],
                              ["frames", "{p}::clip.mp4", "-o", "{d}", "--stop", "2"]],
                "video": play, "transport stream": play,
                "vrtensor": [["info", "{p}"], ["decrypt", "{p}", "{d}.out"]]}[target]
    path = tmp_path / name
    seen = set()
    for i, data in enumerate(_damaged(original, rng, 16)):
        path.write_bytes(data)
        for command in commands:
            code, _, err = run(*[a.format(p=path, d=tmp_path / f"o{i}") for a in command])
            assert code in (0, 1, 2, 3), (command, len(data), err)
            assert "Traceback" not in err and "internal error" not in err, (command, len(data), err)
            if code:
                assert len(err.strip().splitlines()) == 1, err
            seen.add(code)
    assert 1 in seen  # the damage was noticed somewhere


# ---------------------------------------------------------------------------
# Pipelines: `-` and a closed standard output (real processes)
# ---------------------------------------------------------------------------


def tool(*argv, **kw):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(vorantis.__file__).parent.parent),
                                                      os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-m", "vorantis", *map(str, argv)], env=env,
                          capture_output=True, timeout=60, **kw)


def test_encrypt_and_decrypt_through_standard_streams(tmp_path, video):
    enc = tool("encrypt", "-", "-", input=video.data)
    assert enc.returncode == 0, enc.stderr
    assert enc.stdout == xor_reference(video.data, DEFAULT_KEY)  # the report went to stderr
    assert b"encrypted" in enc.stderr
    dec = tool("decrypt", "-", "-", input=enc.stdout)
    assert (dec.returncode, dec.stdout) == (0, video.data)
    info = tool("info", "--json", "-", input=video.data)
    assert json.loads(info.stdout)["frame_count"] == video.n_frames


def test_a_closed_standard_output_ends_the_tool_quietly(tmp_path, video):
    many = tmp_path / "many.imx"
    many.write_bytes(imx_bytes([(f"file{i:05d}.bin", b"x") for i in range(20000)]))
    enc = tmp_path / "v.vrtensor"
    enc.write_bytes(xor_reference(video.data * 40, DEFAULT_KEY))
    env = dict(os.environ, PYTHONPATH=str(Path(vorantis.__file__).parent.parent))
    for argv, reader in ((["info", many], "head -1"), (["decrypt", enc, "-"], "head -c 10"),
                         (["extract", many, "file00000.bin", "-o", "-"], "true")):
        command = " ".join([sys.executable, "-m", "vorantis", *map(str, argv)])
        proc = subprocess.run(["bash", "-c", f"{command} | {reader}; echo \"${{PIPESTATUS[0]}}\" >&2"],
                              capture_output=True, text=False, env=env, timeout=60)
        err = proc.stderr.decode()
        status = int(err.strip().splitlines()[-1])
        assert status in (0, 141), err  # 0: everything fitted in the pipe before it closed
        assert "Traceback" not in err and "Error" not in err, err
        if argv[0] != "extract":
            assert status == 141, err


# ---------------------------------------------------------------------------
# PNG writer
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (9, 1), (48, 64), (33, 17)])
def test_png_round_trips_through_pillow(shape):
    Image = pytest.importorskip("PIL.Image")
    rng = np.random.default_rng(shape[0] * 100 + shape[1])
    h, w = shape
    smooth = (np.add.outer(np.arange(h), np.arange(w))[..., None] * [3, 5, 7]) % 256
    noise = rng.integers(0, 256, (h, w, 3))
    for img in (smooth.astype(np.uint8), noise.astype(np.uint8)):
        with Image.open(io.BytesIO(encode_png(img))) as decoded:
            np.testing.assert_array_equal(np.asarray(decoded.convert("RGB")), img)
