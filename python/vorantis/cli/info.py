"""`info`: what a container, a video, a ".vrtensor" file or CONTAINER::member holds."""

from __future__ import annotations

import argparse
import json
import struct
import sys
from fractions import Fraction
from typing import Callable, Optional

from .errors import Refused, plural, printable, refusing
from .schema import document
from .sources import (STDIO, Model, Source, file_size, format_rate, is_container_head,
                      keyframe_gaps, keyframe_interval, probe, read_stdin, split_member,
                      temporary_file)


def _head(path: str, n: int) -> bytes:
    file_size(path)
    with refusing(path), open(path, "rb") as f:
        return f.read(n)


def describe_container(model: Model, path: Optional[str] = None) -> dict:
    """`path`: the input as given (default: the model's label)."""
    with refusing(model.label), open(model.path, "rb") as f:
        _, header_version, count = struct.unpack("<4sHH", f.read(8))
    entries = []
    for name in model.names():
        offset, size = model.box.get_entry(name)
        entries.append({"name": name, "offset": offset, "size": size,
                        "past_end": model.past_end(offset, size)})
    manifest = model.manifest
    if model.manifest_error:
        state = "broken"
    elif not model.has_manifest:
        state = "none"
    else:
        state = "object" if isinstance(manifest, dict) else "not_object"
    version = model.format_version
    return document(
        "container",
        path=path if path is not None else model.label,
        header_version=header_version,
        table_entries=count,
        file_size=model.size,
        format_version=version if isinstance(version, int) and not isinstance(version, bool) else None,
        manifest=state,
        manifest_error=model.manifest_error,
        manifest_keys=[str(k) for k in manifest] if isinstance(manifest, dict) else None,
        entries=entries,
    )


def _print_container(d: dict, manifest, model_label: str, model_version: object) -> None:
    print(f"container: {model_label}")
    print(f"  IMX container, header version {d['header_version']}, "
          f"{plural(d['table_entries'], 'table entry', 'table entries')}, "
          f"{d['file_size']} bytes")
    if d["manifest_error"]:
        print(f"  manifest: broken ({d['manifest_error']})")
    elif d["manifest"] == "none":
        print("  manifest: none (format version 0)")
    elif d["manifest_keys"] is not None:
        print(f"  format version: {printable(str(model_version))}")
        print(f"  manifest keys: {printable(', '.join(d['manifest_keys'])) or '(none)'}")
    else:
        print(f"  manifest: a JSON {type(manifest).__name__}, not an object (no format version)")
    print(f"  entries ({len(d['entries'])}):")
    print(f"    {'offset':>12}  {'size':>12}  name")
    for e in d["entries"]:
        past_end = "  (runs past the end of the file)" if e["past_end"] else ""
        print(f"    {e['offset']:>12}  {e['size']:>12}  {printable(e['name'])}{past_end}")


def describe_video(source: Source, decode: bool) -> dict:
    facts = probe(source)
    if decode:
        with source.reader() as reader:
            count, method = reader.size(), "decoding"
    else:
        count, method = facts["packets"], "packets"
    if count == 0:
        raise Refused(source.spec, "the video stream holds no frame")
    rate: Optional[Fraction] = Fraction(facts["rate"]) if facts["rate"] else None
    gaps = keyframe_gaps(facts["keyframes"])
    if source.spec == STDIO:
        kind = "stdin"
    elif source.member is not None:
        kind = "member"
    else:
        kind = "vrtensor" if source.encrypted else "file"
    return document(
        "video",
        path=source.spec,
        source=kind,
        container=source.container if source.member is not None else None,
        member=source.member,
        offset=source.offset if source.member is not None else None,
        size=source.size,
        encrypted=source.encrypted,
        codec=facts["codec"],
        decoder=facts["decoder"],
        pixel_format=facts["pixel_format"],
        bit_depth=facts["bit_depth"],
        width=facts["width"],
        height=facts["height"],
        rotation=facts["rotation"],
        frame_rate=None if rate is None else float(rate),
        frame_rate_num=None if rate is None else rate.numerator,
        frame_rate_den=None if rate is None else rate.denominator,
        frame_count=count,
        frame_count_from=method,
        frames_in_header=facts["frames_in_header"],
        keyframes=facts["keyframes"],
        keyframe_interval_min=gaps[0] if gaps else None,
        keyframe_interval_max=gaps[-1] if gaps else None,
        duration=facts["duration"],
    )


def _print_video(d: dict, source: Source) -> None:
    print(f"video: {d['path']}")
    print(f"  source: {source.kind}")
    decoder = "" if d["decoder"] == d["codec"] else f" (decoder {d['decoder']})"
    print(f"  codec: {d['codec']}{decoder}")
    depth = d["bit_depth"]
    note = f", {depth}-bit (frames are converted to 8-bit BGR)" if depth and depth > 8 else ""
    print(f"  pixel format: {d['pixel_format'] or 'unknown'}{note}")
    print(f"  frame size: {d['width']}x{d['height']}")
    if d["rotation"]:
        print(f"  rotation: {d['rotation']} degrees (metadata; frames are returned unrotated)")
    rate = Fraction(d["frame_rate_num"], d["frame_rate_den"]) if d["frame_rate_num"] else None
    print(f"  frame rate: {format_rate(rate)}")
    how = "decoded" if d["frame_count_from"] == "decoding" else "packets; --decode to count by decoding"
    print(f"  frame count: {d['frame_count']} ({how})")
    print(f"  keyframe interval: {keyframe_interval(d['keyframes'])}")
    if d["duration"] is not None:
        print(f"  duration: {d['duration']:.3f} s")


def cmd_info(args: argparse.Namespace) -> int:
    path = args.path
    _, member = split_member(path)
    if path == STDIO:
        data = read_stdin()
        if is_container_head(data[:4]):
            with temporary_file(data) as tmp:
                return _report_container(Model(tmp, label="<stdin>"), args.json, path)
        return _report_video(Source(path, args.key, data=data), args)
    if member is None and is_container_head(_head(path, 4)):
        return _report_container(Model(path), args.json)
    return _report_video(Source(path, args.key), args)


def _report(d: dict, as_json: bool, show: Callable[[], None]) -> int:
    """Prints `d` as one JSON object, or as text through `show`."""
    if as_json:
        json.dump(d, sys.stdout, indent=2)
        print()
    else:
        show()
    return 0


def _report_container(model: Model, as_json: bool, path: Optional[str] = None) -> int:
    d = describe_container(model, path)
    return _report(d, as_json, lambda: _print_container(d, model.manifest, model.label,
                                                         model.format_version))


def _report_video(source: Source, args: argparse.Namespace) -> int:
    d = describe_video(source, args.decode)
    return _report(d, args.json, lambda: _print_video(d, source))


def register(sub, common) -> None:
    p = sub.add_parser("info", parents=[common], help="describe a container, a video, a .vrtensor file or CONTAINER::member",
                       description="Describe a container (entries, manifest) or a video (codec, pixel format, "
                                   "frame size, rate, frame count, keyframes, rotation).")
    p.add_argument("path", metavar="PATH",
                   help="a container, a video, a .vrtensor file, CONTAINER::member, or - for standard input")
    p.add_argument("--key", metavar="TEXT", default="",
                   help="key text (UTF-8) of an encrypted video (default: the built-in key)")
    p.add_argument("--decode", action="store_true",
                   help="count frames by decoding every one (slow; the default counts the demuxer's packets)")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    p.set_defaults(func=cmd_info)
