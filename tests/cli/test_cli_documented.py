"""What the tool's help and the README say it does, checked against what it does:
one test per claim that the rest of the suite does not already exercise."""

from __future__ import annotations

import json
import shlex

import numpy as np
import pytest

from vorantis import cli
from vorantis.cli import progress
from vorantis.engine import video_reader as vr
import media
from test_cli import _write_masks, imx_bytes, parse_imx, read_png, run, single_line_error  # noqa: F401




def _has_masks_extra() -> bool:
    try:
        import h5py  # noqa: F401
        import simplejpeg  # noqa: F401
    except ImportError:
        return False
    return True


@pytest.fixture
def container(tmp_path, video):
    path = tmp_path / "model.imx"
    path.write_bytes(imx_bytes([("manifest.json", b'{"format_version": 2}'), ("clip.mp4", video.data)]))
    return path


# The commands that draw a bar, and what to run them on.
DRAWING = {
    "extract": ["extract", "{c}", "-o", "{tmp}/x"],
    "encrypt": ["encrypt", "{v}", "{tmp}/v.vrtensor"],
    "frames": ["frames", "{v}", "-o", "{tmp}/png", "--stop", "3"],
    "info --decode": ["info", "--decode", "{v}"],
    "sheet": ["sheet", "{c}", "-o", "{tmp}/sheet.png"],
}


@pytest.mark.parametrize("command", sorted(DRAWING))
@pytest.mark.parametrize("choice, terminal, drawn", [
    ("--progress", False, True),      # asked for: drawn even into a pipe
    (None, False, False),             # default: only on a terminal
    ("--no-progress", True, False),   # refused: not even on a terminal
])
def test_progress_bar_is_drawn_as_the_option_says(tmp_path, run, video, container, monkeypatch,
                                                  command, choice, terminal, drawn):
    monkeypatch.setattr(progress, "_stderr_is_terminal", lambda: terminal)
    argv = [a.format(c=container, v=video.path, tmp=tmp_path) for a in DRAWING[command]]
    code, _, err = run(*argv, *([choice] if choice else []))
    assert code == 0, err
    assert ("100%" in err) == drawn, err


@pytest.mark.parametrize("command", ["info", "pack", "extract", "encrypt", "decrypt", "frames",
                                     "bbox", "sheet", "demo"])
def test_only_the_commands_that_draw_a_bar_offer_it(run, command):
    code, out, _ = run(command, "--help")
    assert code == 0
    offered = command not in ("pack", "bbox", "demo")
    assert ("--progress" in out) == offered


def test_pack_replaces_an_existing_container(tmp_path, run, video):
    out = tmp_path / "model.imx"
    out.write_bytes(b"an older, longer file " * 1000)
    # --progress, unlisted, is accepted (a script may pass it to every command).
    code, _, err = run("pack", "--progress", out, video.path)
    assert code == 0 and "%" not in err, err
    data = out.read_bytes()
    [(name, offset, size)] = parse_imx(data)
    assert (name, data[offset:offset + size], len(data)) == ("plain.mp4", video.data, offset + size)


def test_extract_to_standard_output_writes_exactly_one_member(tmp_path, container, video, capfdbinary):
    assert cli.main(["extract", str(container), "clip.mp4", "-o", "-"]) == 0
    out, err = capfdbinary.readouterr()
    assert out == video.data and err == b""
    assert cli.main(["extract", str(container), "-o", "-"]) == 1      # all members: refused
    out, err = capfdbinary.readouterr()
    assert out == b""
    single_line_error(err.decode(), str(container), "name exactly one")


def test_frames_read_standard_input(tmp_path, run, video):
    code, _, err = run("frames", "-", "-o", tmp_path / "png", "--start", "-2", stdin=video.data)
    assert code == 0, err
    for i in (28, 29):
        np.testing.assert_array_equal(read_png(tmp_path / "png" / f"frame_{i:06d}.png"),
                                      video.frames[i][:, :, ::-1])


def test_bbox_padding_defaults_to_16(tmp_path, run):
    mask = np.zeros((96, 96, 3), np.uint8)
    mask[40:50, 40:50] = 255
    path = tmp_path / "m.h5"
    [decoded] = _write_masks(path, [mask])
    ys, xs = np.nonzero(decoded.max(axis=2))             # as JPEG left the square
    code, out, err = run("bbox", path, "--width", 96, "--height", 96, "--json")
    assert code == 0, err
    box = json.loads(out)
    assert (box["padding"], box["x1"], box["y1"], box["x2"], box["y2"]) == (
        16, xs.min() - 16, ys.min() - 16, xs.max() + 1 + 16, ys.max() + 1 + 16)


def test_demo_keep_leaves_a_model_and_each_suggestion_runs(tmp_path, run):
    keep = tmp_path / "sample"
    code, out, err = run("demo", "--keep", keep)
    assert code == 0, err
    model = keep / "demo_model.imx"
    assert f"the sample model is kept: {model}" in out
    masks = ["masks.h5"] if _has_masks_extra() else []  # the face masks, when they can be made
    assert vr.ImxContainer(str(model)).list_files() == ["manifest.json", "idle.mp4", "talk.mp4", *masks]
    suggestions = out.split("try next:", 1)[1].strip().splitlines()
    assert len(suggestions) >= 5
    for line in suggestions:
        prog, *argv = shlex.split(line)
        assert prog == "vorantis-video"
        code, _, err = run(*argv)
        assert code == 0, (line, err)


@pytest.mark.parametrize("width, height, frames", [(1280, 720, 388), (1920, 1080, 172)])
def test_cache_budget_fits_the_frame_counts_the_readme_gives(tmp_path, width, height, frames):
    """The usage tour: the 1 GiB cache holds 388 frames of 1280x720, 172 of 1920x1080."""
    path = tmp_path / "one.mp4"
    media.encode_h264(str(path), 1, width=width, height=height)
    for count, granted in [(frames, True), (frames + 1, False)]:
        with vr.MP4VideoReader(str(path), frame_count=count, cache_frames=True) as reader:
            assert reader._cache_frames is granted


def test_pack_refuses_dash_as_its_output(tmp_path, run, video, monkeypatch):
    """'-' means standard output to the other commands: pack writes no file called '-'."""
    monkeypatch.chdir(tmp_path)
    code, _, err = run("pack", "-", video.path)
    assert code == 2
    single_line_error(err, "pack", "'-'")
    assert list(tmp_path.iterdir()) == []
