"""What scripts rely on from `vorantis-video`: the `--json` documents match their declared
keys and types, and each exit status is reached by the failure it stands for."""

from __future__ import annotations

import json

import numpy as np
import pytest

from vorantis.cli import schema
from vorantis.engine import video_reader as vr
from conftest import DEFAULT_KEY, xor_reference
from test_cli import imx_bytes, run  # noqa: F401  (the fixture)

# The values a key of this kind may take; other str values are names from the input.
ENUMS = {"kind": {"container", "video", "bbox"},
         "source": {"file", "vrtensor", "member", "stdin"},
         "manifest": {"none", "object", "not_object", "broken"},
         "frame_count_from": {"packets", "decoding"}}


def _is(value, declared: str) -> bool:
    if value is None:
        return declared.endswith("|null")
    kind = declared.split("|")[0]
    if kind.startswith("list["):
        item = kind[5:-1]
        return isinstance(value, list) and all(_is(v, item) for v in value)
    if kind == "entry":
        return isinstance(value, dict) and conforms(value, schema.ENTRY) == []
    # JSON's true/false are not numbers here, nor numbers flags.
    return type(value) is {"int": int, "float": float, "bool": bool, "str": str}[kind]


def conforms(doc: dict, fields: dict) -> list:
    """What in `doc` breaks the declaration `fields` (empty when it conforms)."""
    problems = []
    if list(doc) != list(fields):
        problems.append(f"keys {list(doc)} != declared {list(fields)}")
    for key, declared in fields.items():
        if key in doc and not _is(doc[key], declared):
            problems.append(f"{key}={doc[key]!r} is not {declared}")
        if key in ENUMS and key in doc and doc[key] not in ENUMS[key]:
            problems.append(f"{key}={doc[key]!r} is not one of {sorted(ENUMS[key])}")
    return problems




@pytest.fixture
def inputs(tmp_path, video, encrypted_video):
    container = tmp_path / "model.imx"
    container.write_bytes(imx_bytes([("manifest.json", b'{"format_version": 2, "k": [1]}'),
                                     ("clip.mp4", video.data),
                                     ("enc.vrtensor", xor_reference(video.data, DEFAULT_KEY))]))
    bare = tmp_path / "bare.imx"
    bare.write_bytes(imx_bytes([("a.bin", b"xyz")]))
    broken = tmp_path / "broken.imx"
    broken.write_bytes(imx_bytes([("manifest.json", b"{nope"), ("a.bin", b"xyz")]))
    return {"video": video.path, "vrtensor": encrypted_video, "container": container,
            "bare": bare, "broken": broken}


INFO_CASES = [
    ("{video}", None, "video", {"source": "file", "encrypted": False, "member": None}),
    ("{vrtensor}", None, "video", {"source": "vrtensor", "encrypted": True}),
    ("{container}::clip.mp4", None, "video", {"source": "member", "member": "clip.mp4"}),
    ("{container}::enc.vrtensor", None, "video", {"source": "member", "encrypted": True}),
    ("-", "video", "video", {"source": "stdin", "container": None, "offset": None}),
    ("{container}", None, "container", {"manifest": "object", "format_version": 2}),
    ("-", "container", "container", {"manifest": "object", "table_entries": 3}),
    ("{bare}", None, "container", {"manifest": "none", "format_version": 0, "manifest_keys": None}),
    ("{broken}", None, "container", {"manifest": "broken", "format_version": None}),
]


# Every case as it is, and the videos once more with --decode.
@pytest.mark.parametrize("arg, stdin_from, kind, expect, decode",
                         [(*case, False) for case in INFO_CASES]
                         + [(*case, True) for case in INFO_CASES if case[2] == "video"])
def test_info_json_matches_its_declaration(run, inputs, video, arg, stdin_from, kind, expect, decode):
    path = arg.format(**inputs)
    stdin = inputs[stdin_from].read_bytes() if stdin_from else b""
    code, out, err = run("info", "--json", path, *(["--decode"] if decode else []), stdin=stdin)
    assert code == 0, err
    doc = json.loads(out)
    assert conforms(doc, schema.FIELDS[kind]) == []
    assert (doc["schema_version"], doc["kind"], doc["path"]) == (schema.SCHEMA_VERSION, kind, path)
    assert {k: doc[k] for k in expect} == expect
    if kind == "video":
        assert doc["frame_count"] == video.n_frames
        assert doc["keyframe_interval_min"] == doc["keyframe_interval_max"] == video.gop
        assert doc["frame_rate"] == doc["frame_rate_num"] / doc["frame_rate_den"] == 25.0
        assert doc["size"] == len(video.data)
    else:
        names = [e["name"] for e in doc["entries"]]
        assert len(names) == doc["table_entries"] and "manifest.json" in names or doc["manifest"] == "none"


@pytest.mark.parametrize("from_stdin", [False, True])
def test_bbox_json_matches_its_declaration(tmp_path, run, from_stdin):
    from test_cli import _write_masks  # skips without the masks extra

    mask = np.zeros((40, 60, 3), np.uint8)
    mask[10:20, 30:35] = 255
    path = tmp_path / "m.h5"
    _write_masks(path, [mask])
    arg = "-" if from_stdin else path
    code, out, err = run("bbox", arg, "--width", 60, "--height", 40, "--padding", 2, "--json",
                         stdin=path.read_bytes())
    assert code == 0, err
    doc = json.loads(out)
    assert conforms(doc, schema.FIELDS["bbox"]) == []
    assert (doc["kind"], doc["path"]) == ("bbox", str(arg))
    assert (doc["width"], doc["height"], doc["padding"]) == (60, 40, 2)


# ---------------------------------------------------------------------------
# Exit statuses
# ---------------------------------------------------------------------------


def _break_av_open(monkeypatch):
    """PyAV's `open` as a changed API might fail: a TypeError about its arguments."""
    import av

    def changed_open(*args, **kwargs):
        raise TypeError("open() got an unexpected keyword argument 'mode'")
    monkeypatch.setattr(av, "open", changed_open)


def _break_reader(monkeypatch):
    def changed_reader(*args, **kwargs):
        raise AttributeError("'av.VideoStream' object has no attribute 'codec_context'")
    monkeypatch.setattr(vr, "MP4VideoReader", changed_reader)


def _break_mask_bbox(monkeypatch):
    def changed_bbox(*args, **kwargs):
        raise TypeError("Accessing a group is done with bytes or str, not <class 'int'>")
    monkeypatch.setattr(vr, "compute_mask_bbox", changed_bbox)


@pytest.mark.parametrize("argv, breakage, status, says", [
    (["info", "{video}"], None, 0, None),
    (["info", "{not_media}"], None, 1, "not a decodable video"),
    (["info", "{tmp}/missing.mp4"], None, 1, "No such file or directory"),
    (["info", "--no-such-option", "{video}"], None, 2, "unrecognized arguments"),
    (["frames", "{video}", "-o", "{tmp}/f", "--step", "0"], None, 2, "step"),
    (["decrypt", "{vrtensor}", "{tmp}/out.mp4", "--key", "wrong"], None, 3, "not a recognisable video"),
    (["info", "{video}"], _break_av_open, 70, "internal error: TypeError"),
    (["frames", "{video}", "-o", "{tmp}/f", "--stop", "1"], _break_reader, 70, "internal error: AttributeError"),
    (["bbox", "{video}", "--width", "8", "--height", "8"], _break_mask_bbox, 70, "internal error: TypeError"),
])
def test_each_exit_status_is_reached(tmp_path, run, monkeypatch, video, encrypted_video, not_media,
                                     argv, breakage, status, says):
    if breakage:
        breakage(monkeypatch)
    monkeypatch.delenv("VORANTIS_DEBUG", raising=False)
    args = [a.format(video=video.path, vrtensor=encrypted_video, not_media=not_media, tmp=tmp_path)
            for a in argv]
    code, _, err = run(*args)
    assert code == status, err
    if says:  # the last line says why; argparse's usage line may come before it
        lines = err.strip().splitlines()
        assert says in lines[-1] and "Traceback" not in err, err
        assert len(lines) == 1 or (status == 2 and lines[0].startswith("usage:")), err
    if status == 70:  # not blamed on the input
        assert "not a decodable video" not in err and "--debug" in err


@pytest.mark.parametrize("ask", ["option", "environment", "environment 0"])
def test_internal_error_traceback_on_request(run, monkeypatch, video, ask):
    _break_av_open(monkeypatch)
    monkeypatch.delenv("VORANTIS_DEBUG", raising=False)
    if ask.startswith("environment"):
        monkeypatch.setenv("VORANTIS_DEBUG", ask.split()[1] if " " in ask else "1")
    code, _, err = run(*(["--debug"] if ask == "option" else []), "info", video.path)
    assert code == 70
    shown = "Traceback (most recent call last)" in err
    assert shown == (ask != "environment 0"), err
    assert err.strip().splitlines()[-1].startswith("vorantis-video: internal error: TypeError")
    if shown:
        assert "changed_open" in err  # where it happened
