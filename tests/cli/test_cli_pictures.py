"""The pictures the tool draws: the mask preview of `bbox` and the contact sheet of `sheet`."""

from __future__ import annotations

import json

import numpy as np
import pytest

from test_cli import _write_masks, imx_bytes, read_png, run, single_line_error  # noqa: F401

GREEN, YELLOW = (0, 255, 0), (255, 255, 0)
# Thumbnails are compared with an independent 2x2 block mean of PyAV's own decode; the
# tool averages areas in floating point and rounds, so the two may differ by rounding.
THUMB_TOLERANCE = 1


def _ring(shape, box):
    """The outermost pixels of a box (right and bottom exclusive)."""
    x1, y1, x2, y2 = box
    ring = np.zeros(shape, dtype=bool)
    ring[y1:y2, x1:x2] = True
    ring[y1 + 1:y2 - 1, x1 + 1:x2 - 1] = False
    return ring


def _masks(tmp_path, w=64, h=48):
    a = np.zeros((h, w, 3), np.uint8)
    a[10:20, 12:30] = 255
    b = np.zeros((h, w, 3), np.uint8)
    b[30:36, 40:50, 1] = 220  # one channel is enough
    path = tmp_path / "masks.h5"
    decoded = _write_masks(path, [a, None, b])
    return path, np.any(np.stack(decoded).max(axis=3) > 0, axis=0)


@pytest.fixture
def model(tmp_path, video, video_bframes):
    """A container: a manifest, two videos, a text file, and the face masks."""
    masks, union = _masks(tmp_path)
    path = tmp_path / "model.imx"
    path.write_bytes(imx_bytes([("manifest.json", b'{"format_version": 2, "name": "t"}'),
                                ("a.mp4", video.data), ("notes.txt", b"hello"),
                                ("b.mp4", video_bframes.data), ("masks.h5", masks.read_bytes())]))
    return path


@pytest.mark.parametrize("over, frame", [(None, None), ("file", 7), ("member", -1), ("vrtensor", 0)])
def test_bbox_preview_outlines_the_boxes_and_tints_only_mask_pixels(tmp_path, run, video, model,
                                                                    encrypted_video, over, frame):
    masks, union = _masks(tmp_path)
    base = ["bbox", masks, "--width", 64, "--height", 48, "--padding", 4, "--json"]
    code, plain_out, _ = run(*base)
    assert code == 0
    sources = {"file": video.path, "member": f"{model}::b.mp4", "vrtensor": encrypted_video}
    extra = [] if over is None else ["--over", sources[over], "--frame", frame]
    out_png = tmp_path / "preview.png"
    code, out, err = run(*base, "--preview", out_png, *extra)
    assert code == 0, err
    assert out == plain_out  # the report is the same with or without the picture
    report = json.loads(out)
    box = (report["x1"], report["y1"], report["x2"], report["y2"])
    ys, xs = np.nonzero(union)
    extent = (xs.min(), ys.min(), xs.max() + 1, ys.max() + 1)

    img = read_png(out_png).astype(int)
    assert img.shape == (48, 64, 3)
    box_ring, extent_ring = _ring(union.shape, box), _ring(union.shape, extent)
    assert (img[box_ring] == GREEN).all()
    assert (img[extent_ring & ~box_ring] == YELLOW).all()

    if over is None:
        background = np.full((48, 64, 3), 128)
    else:
        background = video.frames[frame][:, :, ::-1].astype(int)  # PyAV's decode, in RGB
    free = ~(box_ring | extent_ring)
    np.testing.assert_array_equal(img[free & ~union], background[free & ~union])
    tinted, under = img[free & union], background[free & union]
    assert (tinted[:, 0] >= under[:, 0]).all() and (tinted[:, 1:] <= under[:, 1:]).all()
    assert (tinted != under).any(axis=1).all()


@pytest.mark.parametrize("over, frame, culprit, reason", [
    ("{model}::nope.mp4", None, "model", "File not found in IMX container: 'nope.mp4'"),
    ("{model}::notes.txt", None, "model", "not a decodable video"),
    ("{video}", 30, "video", "frame 30 is out of range (30 frames)"),
    ("{video}", -31, "video", "out of range"),
    ("{big}", None, "big", "its frames are 160x120, not the 64x48"),
])
def test_bbox_preview_refusals_leave_no_picture(tmp_path, run, video, video_160, model,
                                                over, frame, culprit, reason):
    masks, _ = _masks(tmp_path)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    names = {"model": model, "video": video.path, "big": video_160.path}
    argv = ["bbox", masks, "--width", 64, "--height", 48, "--preview", out_dir / "p.png",
            "--over", over.format(**names)] + ([] if frame is None else ["--frame", frame])
    code, _, err = run(*argv)
    assert code == 1
    single_line_error(err, str(names[culprit]), reason)
    assert list(out_dir.iterdir()) == []


@pytest.mark.parametrize("argv", [
    ["bbox", "m.h5", "--width", "8", "--height", "8", "--frame", "1"],
    ["bbox", "m.h5", "--width", "8", "--height", "8", "--over", "v.mp4"],
    ["bbox", "m.h5", "--width", "8", "--height", "8", "--preview", "-"],
    ["sheet", "m.imx", "-o", "-"],
    ["sheet", "m.imx", "-o", "s.png", "--rows", "0"],
])
def test_picture_options_misused_exit_2(tmp_path, run, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    code, _, err = run(*argv)
    assert code == 2 and "Traceback" not in err
    assert list(tmp_path.iterdir()) == []


def _find(sheet: np.ndarray, thumb: np.ndarray) -> tuple:
    """Where `thumb` lies in `sheet`, all but a few pixels within the tolerance (an outline
    may be drawn over it)."""
    from numpy.lib.stride_tricks import sliding_window_view

    th, tw = thumb.shape[:2]
    windows = sliding_window_view(sheet.astype(np.int16), (th, tw, 3))[:, :, 0]
    close = (np.abs(windows - thumb.astype(np.int16)) <= THUMB_TOLERANCE).all(axis=-1)
    score = close.reshape(close.shape[0], close.shape[1], -1).mean(axis=2)
    y, x = np.unravel_index(np.argmax(score), score.shape)
    return int(y), int(x), float(score[y, x])


def _half(frame_bgr: np.ndarray) -> np.ndarray:
    rgb = frame_bgr[:, :, ::-1].astype(np.float64)
    h, w = rgb.shape[:2]
    return np.rint(rgb.reshape(h // 2, 2, w // 2, 2, 3).mean(axis=(1, 3))).astype(np.uint8)


def test_sheet_of_a_video_shows_its_first_middle_and_last_frame(tmp_path, run, video):
    out_png = tmp_path / "sheet.png"
    code, _, err = run("sheet", video.path, "-o", out_png, "--thumb-height", 24)
    assert code == 0, err
    sheet = read_png(out_png)
    places = [_find(sheet, _half(video.frames[i])) for i in (0, 14, 29)]
    assert all(score == 1.0 for _, _, score in places), places
    assert len({y for y, _, _ in places}) == 1  # one row
    assert places[0][1] < places[1][1] < places[2][1]  # first, middle, last


def test_sheet_of_a_model_pages_its_videos_and_draws_the_mask_box(tmp_path, run, video,
                                                                  video_bframes, model):
    out_png = tmp_path / "sheet.png"
    code, _, err = run("sheet", model, "-o", out_png, "--thumb-height", 24, "--rows", 1,
                       "--padding", 4)
    assert code == 0, err
    pages = [read_png(out_png), read_png(tmp_path / "sheet-2.png")]
    assert not (tmp_path / "sheet-3.png").exists()
    masks, _ = _masks(tmp_path)
    code, out, _ = run("bbox", masks, "--width", 64, "--height", 48, "--padding", 4, "--json")
    box = json.loads(out)
    half = (box["x1"] // 2, box["y1"] // 2, -(-box["x2"] // 2), -(-box["y2"] // 2))
    for page, clip in zip(pages, (video, video_bframes)):  # container order, one per page
        y, x, score = _find(page, _half(clip.frames[0]))
        assert score > 0.8
        green = np.all(page == GREEN, axis=2)
        ring = np.zeros_like(green)
        ring[y:y + 24, x:x + 32] = _ring((24, 32), half)
        np.testing.assert_array_equal(green, ring)


@pytest.mark.parametrize("contents, reason", [
    ([("manifest.json", b"{}"), ("notes.txt", b"x")], "holds no video"),
    ([("a.mp4", b"not a video at all" * 50)], "not a decodable video"),
    ([("a.mp4", "{video}"), ("masks.h5", b"not HDF5")], ""),
])
def test_sheet_refusals_leave_no_picture(tmp_path, run, video, contents, reason):
    if any(name.endswith(".h5") for name, _ in contents):
        pytest.importorskip("h5py", reason="without the masks extra the sheet leaves the box out")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    path = tmp_path / "m.imx"
    path.write_bytes(imx_bytes([(n, video.data if d == "{video}" else d) for n, d in contents]))
    code, _, err = run("sheet", path, "-o", out_dir / "s.png")
    assert code == 1
    single_line_error(err, str(path), reason)
    assert list(out_dir.iterdir()) == []
