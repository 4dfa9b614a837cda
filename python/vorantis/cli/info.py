"""`info`: what a container, a video, a ".vrtensor" file or CONTAINER::member holds."""

from __future__ import annotations

import argparse
import json
import struct
import sys
from fractions import Fraction
from typing import Callable, Optional, Tuple

from .errors import Refused, about_the_input, own_words, plural, printable, refusing
from .progress import Progress, progress_option
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


def decode_every_frame(source: Source, packets: int,
                       progress: Optional[bool] = None) -> Tuple[int, Optional[BaseException]]:
    """Decodes the video from frame 0 to the real end of its stream through the reader's
    `get_next`, the module's own decode path: (frames decoded, the error that stopped
    decoding, or None). The reader is given a frame count so that it does not count
    frames itself; `get_next` does not consult it and turns back to frame 0 at the end
    of the stream, which is how the end is found."""
    decoded = 0
    with source.reader(frame_count=max(packets, 1)) as reader, \
            Progress("decode", packets, progress, unit="frame") as bar:
        while True:
            try:
                index, _ = reader.get_next()
            except StopIteration:  # not even frame 0
                return decoded, None
            except Exception as exc:
                if not about_the_input(exc):
                    raise
                bar.abandon()
                return decoded, exc
            if index == 0 and decoded:
                return decoded, None
            decoded += 1
            bar.update(decoded)


def describe_video(source: Source, decode: bool, progress: Optional[bool] = None) -> dict:
    """`decode`: count the frames by decoding every one; when decoding fails partway,
    the count stays the demuxer's and the document names the failing frame and error."""
    facts = probe(source)
    packets = facts["packets"]
    decoded: Optional[int] = None
    failure: Optional[BaseException] = None
    if decode:
        decoded, failure = decode_every_frame(source, packets, progress)
    if decoded is not None and failure is None:
        count, method = decoded, "decoding"
    else:
        count, method = packets, "packets"
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
        packets=packets,
        frames_decoded=decoded,
        decode_failed_at=None if failure is None else decoded,
        decode_error=None if failure is None else type(failure).__name__,
        decode_error_message=None if failure is None else own_words(failure),
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
    failed_at = d["decode_failed_at"]
    if d["frames_decoded"] is None:
        how = "packets; --decode to count by decoding"
    elif failed_at is not None:
        how = f"packets; decoding failed at frame {failed_at}"
    else:
        others = []
        if d["packets"] != d["frames_decoded"]:
            others.append(f"the demuxer lists {plural(d['packets'], 'packet')}")
        if d["frames_in_header"] and d["frames_in_header"] != d["frames_decoded"]:
            others.append(f"the header says {plural(d['frames_in_header'], 'frame')}")
        how = "; ".join(["decoded", ", ".join(others)] if others else ["decoded"])
    print(f"  frame count: {d['frame_count']} ({how})")
    if failed_at is not None:
        print(f"  decoding: {_decoded_before(failed_at)}; frame {failed_at} failed: {_failure(d)}")
    print(f"  keyframe interval: {keyframe_interval(d['keyframes'])}")
    if d["duration"] is not None:
        print(f"  duration: {d['duration']:.3f} s")


def _decoded_before(failed_at: int) -> str:
    if failed_at > 1:
        return f"frames 0 to {failed_at - 1} decoded"
    return "frame 0 decoded" if failed_at == 1 else "no frame decoded"


def _failure(d: dict) -> str:
    return f"{d['decode_error_message']} ({d['decode_error']})"


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
    d = describe_video(source, args.decode, args.progress)
    code = _report(d, args.json, lambda: _print_video(d, source))
    failed_at = d["decode_failed_at"]
    if failed_at is not None:  # reported in full above; the failure decides the status
        sys.stdout.flush()
        raise Refused(source.spec, f"decoding failed at frame {failed_at} ({_decoded_before(failed_at)}, "
                      f"{plural(d['packets'], 'packet')} in the stream): {_failure(d)}")
    return code


def register(sub) -> None:
    p = sub.add_parser("info", help="describe a container, a video, a .vrtensor file or CONTAINER::member",
                       description="Describe a container (entries, manifest) or a video (codec, pixel format, "
                                   "frame size, rate, frame count, keyframes, rotation).")
    p.add_argument("path", metavar="PATH",
                   help="a container, a video, a .vrtensor file, CONTAINER::member, or - for standard input")
    p.add_argument("--key", metavar="TEXT", default="",
                   help="key text (UTF-8) of an encrypted video (default: the built-in key)")
    p.add_argument("--decode", action="store_true",
                   help="count frames by decoding every one (slow; the default counts the demuxer's "
                        "packets); a frame that fails to decode is named with its error, the rest "
                        "of the report is printed, and the exit status is 1")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    progress_option(p, "the frames decoded (with --decode)")
    p.set_defaults(func=cmd_info)
