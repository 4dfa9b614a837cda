"""Streams that stop decoding partway, through `info --decode` and `frames`: the tool
names the frame that failed and its error, keeps what it wrote, and exits 1."""

from __future__ import annotations

import io
import json
from pathlib import Path

import numpy as np
import pytest

from vorantis.cli import schema
from test_cli import read_png, run, single_line_error  # noqa: F401
from test_cli_contract import conforms


def _packets(data: bytes) -> list:
    """(pos, size) of the video packets in file order."""
    import av

    with av.open(io.BytesIO(data)) as c:
        return sorted((p.pos, p.size) for p in c.demux(video=0) if p.size)


def pyav_decode(path: Path):
    """PyAV's own decode with the reader's threading ("AUTO"): (frames, error or None)."""
    import av

    frames = []
    try:
        with av.open(str(path)) as c:
            stream = c.streams.video[0]
            stream.thread_type = "AUTO"
            for frame in c.decode(stream):
                frames.append(frame.to_ndarray(format="bgr24"))
    except av.FFmpegError as exc:
        return frames, exc
    return frames, None


@pytest.fixture(scope="module")
def damaged(tmp_path_factory, video) -> Path:
    """The 30-frame clip (keyframes at 0, 10, 20) with the payload of packet 14 zeroed:
    mid-group, so PyAV's decoder refuses it and the group's later frames with it."""
    data = bytearray(video.data)
    pos, size = _packets(video.data)[14]
    data[pos + 4:pos + size] = bytes(size - 4)
    path = tmp_path_factory.mktemp("damaged") / "damaged.mp4"
    path.write_bytes(bytes(data))
    return path


@pytest.fixture(scope="module")
def cut_short(tmp_path_factory, video) -> Path:
    """The clip with its sample table in front, cut in the middle of packet 17's data:
    the header still promises 30 frames, the demuxer finds 18 packets."""
    import av

    folder = tmp_path_factory.mktemp("cut")
    faststart = folder / "faststart.mp4"  # a path: the muxer reopens it to move the table
    with av.open(str(video.path)) as src, \
            av.open(str(faststart), "w", options={"movflags": "faststart"}) as out:
        template = src.streams.video[0]
        if hasattr(out, "add_stream_from_template"):  # PyAV 14 and newer
            stream = out.add_stream_from_template(template)
        else:
            stream = out.add_stream(template=template)
        for packet in src.demux(video=0):
            if packet.size:
                packet.stream = stream
                out.mux(packet)
    data = faststart.read_bytes()
    pos, size = _packets(data)[17]
    path = folder / "cut.mp4"
    path.write_bytes(data[:pos + size // 2])
    return path




@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_info_decode_names_the_frame_that_fails(run, damaged, as_json):
    good, error = pyav_decode(damaged)
    assert error is not None and 0 < len(good) < 30      # the fixture is damaged mid-stream
    failed = len(good)
    code, out, err = run("info", "--decode", *(["--json"] if as_json else []), damaged)
    assert code == 1
    single_line_error(err, str(damaged), f"decoding failed at frame {failed}",
                      f"frames 0 to {failed - 1} decoded", error.strerror, type(error).__name__)
    if as_json:
        doc = json.loads(out)
        assert conforms(doc, schema.FIELDS["video"]) == []
        assert {k: doc[k] for k in ("frame_count", "frame_count_from", "packets", "frames_decoded",
                                    "decode_failed_at", "decode_error", "decode_error_message")} == {
            "frame_count": 30, "frame_count_from": "packets", "packets": 30, "frames_decoded": failed,
            "decode_failed_at": failed, "decode_error": type(error).__name__,
            "decode_error_message": error.strerror}
    else:  # the whole report, the failure in it
        assert "frame size: 64x48" in out and "keyframe interval: 10 frames" in out
        assert f"frame count: 30 (packets; decoding failed at frame {failed})" in out
        assert f"frame {failed} failed: {error.strerror} ({type(error).__name__})" in out


def test_info_without_decode_does_not_decode(run, damaged):
    """The default counts packets: the damage stays unseen, as the help says."""
    code, out, err = run("info", "--json", damaged)
    doc = json.loads(out)
    assert (code, doc["frame_count"], doc["frame_count_from"]) == (0, 30, "packets")
    assert (doc["frames_decoded"], doc["decode_failed_at"], doc["decode_error"]) == (None, None, None)


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_info_decode_counts_the_frames_a_cut_stream_decodes_to(run, cut_short, as_json):
    frames, error = pyav_decode(cut_short)
    if error is not None:  # older FFmpeg (PyAV 17 and before) reports the cut packet
        pytest.skip(f"this FFmpeg reports the cut packet as an error: {error}")
    code, out, err = run("info", "--decode", *(["--json"] if as_json else []), cut_short)
    assert code == 0, err
    n = len(frames)
    if as_json:
        doc = json.loads(out)
        assert conforms(doc, schema.FIELDS["video"]) == []
        assert (doc["frame_count"], doc["frame_count_from"], doc["frames_decoded"]) == (n, "decoding", n)
        assert (doc["packets"], doc["frames_in_header"], doc["decode_failed_at"]) == (18, 30, None)
    else:
        assert f"frame count: {n} (decoded; the demuxer lists 18 packets, the header says 30 frames)" in out


@pytest.mark.parametrize("window", [[], ["--start", "12", "--step", "3"], ["--step", "-1"],
                                    ["--start", "14", "--stop", "16"]],
                         ids=["all", "into the damaged group", "backwards", "the damaged frame first"])
def test_frames_stops_at_the_frame_that_fails_and_keeps_what_it_wrote(tmp_path, run, video, damaged,
                                                                     window):
    good, error = pyav_decode(damaged)
    out_dir = tmp_path / "png"
    code, _, err = run("frames", damaged, "-o", out_dir, *window)
    assert code == 1
    single_line_error(err, str(damaged), "cannot be decoded", error.strerror, str(out_dir))
    failed = int(err.split("frame ", 1)[1].split()[0])
    written, selected = (int(err.split("wrote ", 1)[1].split()[i]) for i in (0, 3))
    args = dict(zip(window[::2], map(int, window[1::2])))
    selection = list(range(30))[slice(args.get("--start"), args.get("--stop"), args.get("--step", 1))]
    assert selected == len(selection)
    # Only the damaged group fails; every frame selected before the failing one was
    # written, and nothing after it.
    assert len(good) <= failed < 20 and failed in selection
    before = selection[:selection.index(failed)]
    assert written == len(before)
    assert sorted(p.name for p in out_dir.iterdir()) == sorted(f"frame_{i:06d}.png" for i in before)
    for i in before:
        reference = good[i] if i < len(good) else video.frames[i]
        np.testing.assert_array_equal(read_png(out_dir / f"frame_{i:06d}.png"), reference[:, :, ::-1])
