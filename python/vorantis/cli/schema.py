"""The `--json` documents: one JSON object per report, its keys and their types declared here.

Every document carries `schema_version` (raised when a key changes meaning or goes away;
new keys may appear without it) and `kind`. Values are numbers, flags, identifiers and
names, never sentences. `path` is the input as given on the command line, "-" for
standard input. Types: "int", "float", "bool", "str", "list[int]", "list[str]",
"list[entry]" (objects with the keys of ENTRY), and "|null" where a value may be absent.
"""

from __future__ import annotations

from typing import Dict

SCHEMA_VERSION = 1

ENTRY: Dict[str, str] = {
    "name": "str",          # the member's name as stored (UTF-8)
    "offset": "int",        # byte offset of its data in the container
    "size": "int",          # bytes
    "past_end": "bool",     # its data runs past the end of the file
}

FIELDS: Dict[str, Dict[str, str]] = {
    "container": {
        "schema_version": "int",
        "kind": "str",                  # "container"
        "path": "str",
        "header_version": "int",
        "table_entries": "int",         # the count the header declares
        "file_size": "int",             # bytes
        "format_version": "int|null",   # the manifest's, 0 without a manifest, null when unreadable
        "manifest": "str",              # "none", "object", "not_object" or "broken"
        "manifest_error": "str|null",   # the parser's message when "broken"
        "manifest_keys": "list[str]|null",
        "entries": "list[entry]",       # in table order
    },
    "video": {
        "schema_version": "int",
        "kind": "str",                  # "video"
        "path": "str",
        "source": "str",                # "file", "vrtensor", "member" or "stdin"
        "container": "str|null",        # for a member: the container's path
        "member": "str|null",           # for a member: its name
        "offset": "int|null",           # for a member: its data's offset in the container
        "size": "int",                  # bytes of the video as stored
        "encrypted": "bool",            # XOR-encrypted (.vrtensor)
        "codec": "str",
        "decoder": "str",
        "pixel_format": "str|null",
        "bit_depth": "int|null",
        "width": "int",
        "height": "int",
        "rotation": "int|null",         # degrees, from metadata; frames are returned unrotated
        "frame_rate": "float|null",     # frames per second
        "frame_rate_num": "int|null",   # the rate as the exact fraction num/den
        "frame_rate_den": "int|null",
        "frame_count": "int",
        "frame_count_from": "str",      # "packets" or "decoding" (--decode, to the end)
        "packets": "int",               # the demuxer's packets of the stream
        "frames_decoded": "int|null",   # --decode: frames decoded, from frame 0; null without
        "decode_failed_at": "int|null", # --decode: the frame that failed to decode (exit 1)
        "decode_error": "str|null",     # its error's type name ("InvalidDataError")
        "decode_error_message": "str|null",  # and the library's own message
        "frames_in_header": "int",      # 0 when the container does not say
        "keyframes": "list[int]",       # frame positions (packet order)
        "keyframe_interval_min": "int|null",  # smallest and largest gap between keyframes,
        "keyframe_interval_max": "int|null",  # null with fewer than two keyframes
        "duration": "float|null",       # seconds
    },
    "bbox": {
        "schema_version": "int",
        "kind": "str",                  # "bbox"
        "path": "str",
        "x1": "int",                    # left, inclusive
        "y1": "int",                    # top, inclusive
        "x2": "int",                    # right, exclusive
        "y2": "int",                    # bottom, exclusive
        "width": "int",                 # the frame's, as given
        "height": "int",
        "padding": "int",
    },
}


def document(kind: str, **values: object) -> dict:
    """The document of `kind`, its keys in the declared order (a missing one is a bug)."""
    values.update(schema_version=SCHEMA_VERSION, kind=kind)
    return {key: values[key] for key in FIELDS[kind]}
