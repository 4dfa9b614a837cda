"""`info`: what a container, a video, a ".vrtensor" file or CONTAINER::member holds."""

from __future__ import annotations

import argparse
import json
import struct
import sys
from fractions import Fraction
from typing import Callable, Optional

from .errors import Refused, plural, printable, refusing
from .sources import (STDIO, Model, Source, file_size, format_rate, is_container_head,
                      keyframe_interval, probe, read_stdin, split_member, temporary_file)


def _head(path: str, n: int) -> bytes:
    file_size(path)
    with refusing(path), open(path, "rb") as f:
        return f.read(n)


def describe_container(model: Model) -> dict:
    with refusing(model.label), open(model.path, "rb") as f:
        _, header_version, count = struct.unpack("<4sHH", f.read(8))
    entries = []
    for name in model.names():
        offset, size = model.box.get_entry(name)
        entries.append({"name": name, "offset": offset, "size": size,
                        "past_end": model.past_end(offset, size)})
    manifest = model.manifest
    return {
        "kind": "container",
        "path": model.label,
        "header_version": header_version,
        "table_entries": count,
        "file_size": model.size,
        "format_version": model.format_version,
        "manifest_present": model.has_manifest,
        "manifest_error": model.manifest_error,
        "manifest_keys": [str(k) for k in manifest] if isinstance(manifest, dict) else None,
        "entries": entries,
    }


def _print_container(d: dict, manifest) -> None:
    print(f"container: {d['path']}")
    print(f"  IMX container, header version {d['header_version']}, "
          f"{plural(d['table_entries'], 'table entry', 'table entries')}, "
          f"{d['file_size']} bytes")
    if d["manifest_error"]:
        print(f"  manifest: broken ({d['manifest_error']})")
    elif not d["manifest_present"]:
        print("  manifest: none (format version 0)")
    elif d["manifest_keys"] is not None:
        print(f"  format version: {d['format_version']}")
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
    return {
        "kind": "video",
        "path": source.spec,
        "source": source.kind,
        "codec": facts["codec"],
        "decoder": facts["decoder"],
        "pixel_format": facts["pixel_format"],
        "bit_depth": facts["bit_depth"],
        "width": facts["width"],
        "height": facts["height"],
        "rotation": facts["rotation"],
        "frame_rate": None if rate is None else f"{rate.numerator}/{rate.denominator}",
        "frame_count": count,
        "frame_count_from": method,
        "frames_in_header": facts["frames_in_header"],
        "keyframes": facts["keyframes"],
        "keyframe_interval": keyframe_interval(facts["keyframes"]),
        "duration": facts["duration"],
    }


def _print_video(d: dict) -> None:
    print(f"video: {d['path']}")
    print(f"  source: {d['source']}")
    decoder = "" if d["decoder"] == d["codec"] else f" (decoder {d['decoder']})"
    print(f"  codec: {d['codec']}{decoder}")
    depth = d["bit_depth"]
    note = f", {depth}-bit (frames are converted to 8-bit BGR)" if depth and depth > 8 else ""
    print(f"  pixel format: {d['pixel_format'] or 'unknown'}{note}")
    print(f"  frame size: {d['width']}x{d['height']}")
    if d["rotation"]:
        print(f"  rotation: {d['rotation']} degrees (metadata; frames are returned unrotated)")
    print(f"  frame rate: {format_rate(Fraction(d['frame_rate']) if d['frame_rate'] else None)}")
    how = "decoded" if d["frame_count_from"] == "decoding" else "packets; --decode to count by decoding"
    print(f"  frame count: {d['frame_count']} ({how})")
    print(f"  keyframe interval: {d['keyframe_interval']}")
    if d["duration"] is not None:
        print(f"  duration: {d['duration']:.3f} s")


def cmd_info(args: argparse.Namespace) -> int:
    path = args.path
    _, member = split_member(path)
    if path == STDIO:
        data = read_stdin()
        if is_container_head(data[:4]):
            with temporary_file(data) as tmp:
                return _report_container(Model(tmp, label="<stdin>"), args.json)
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


def _report_container(model: Model, as_json: bool) -> int:
    d = describe_container(model)
    return _report(d, as_json, lambda: _print_container(d, model.manifest))


def _report_video(source: Source, args: argparse.Namespace) -> int:
    d = describe_video(source, args.decode)
    return _report(d, args.json, lambda: _print_video(d))


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
