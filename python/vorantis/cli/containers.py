"""`pack` and `extract`: writing files into a v2 container and out of one."""

from __future__ import annotations

import argparse
import mmap
import os
import re
import sys
from typing import List, Sequence, Tuple

from vorantis.engine import video_reader as vr

from .errors import PROG, Refused, UsageError, plural, printable, refusing
from .progress import Progress, progress_option
from .sources import STDIO, Model

# Bytes per read when copying.
COPY_CHUNK = 1 << 20
# `pack` maps input files at least this large instead of reading them.
MAP_MIN_BYTES = 1 << 20
# Largest count and name length that the container's 16-bit fields hold.
MAX_ENTRIES = 0xFFFF


def status(text: str) -> None:
    """A report on what was done: standard error, so that standard output carries data only."""
    print(text, file=sys.stderr)


def check_output_directory(path: str) -> None:
    """Refuses an existing file where the directory that `-o` names is to be."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise Refused(path, "not a directory")


def output_directory(path: str) -> None:
    """Creates the directory that `-o` names; an existing file there is refused."""
    check_output_directory(path)
    with refusing(path):
        os.makedirs(path, exist_ok=True)


# ---------------------------------------------------------------------------
# pack
# ---------------------------------------------------------------------------


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def collect(inputs: Sequence[str], output: str) -> List[Tuple[str, str]]:
    """(name, file path) pairs: plain files under their base name, a directory's files
    under their relative names in sorted order (the output itself left out)."""
    pairs: List[Tuple[str, str]] = []
    for item in inputs:
        if os.path.isdir(item):
            found = []
            for root, dirs, files in os.walk(item):
                dirs.sort()
                for fname in files:
                    full = os.path.join(root, fname)
                    rel = os.path.relpath(full, item).replace(os.sep, "/")
                    found.append((rel, full))
            pairs.extend(p for p in sorted(found) if not _same_file(p[1], output))
        elif os.path.exists(item):
            if _same_file(item, output):
                raise Refused(item, "is the output container itself")
            pairs.append((os.path.basename(os.path.normpath(item)), item))
        else:
            raise Refused(item, "No such file or directory")
    return pairs


def _load(path: str):
    """The content of a file: large files mapped read-only instead of copied into memory."""
    with refusing(path), open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size >= MAP_MIN_BYTES:
            try:
                return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            except (OSError, ValueError):
                pass
        return f.read()


def cmd_pack(args: argparse.Namespace) -> int:
    if args.output == STDIO:  # '-' means standard output everywhere else; never a file by surprise
        raise UsageError("OUT '-': pack writes a file, not standard output (./- names a file called '-')")
    if os.path.isdir(args.output):
        raise Refused(args.output, "is a directory")
    pairs = collect(args.inputs, args.output)
    if len(pairs) > MAX_ENTRIES:
        raise Refused(args.output, f"{len(pairs)} files; a container holds at most {MAX_ENTRIES}")
    files: dict = {}
    origin: dict = {}
    try:
        for name, path in pairs:
            try:
                encoded = name.encode("utf-8")
            except UnicodeEncodeError:
                raise Refused(path, "file name is not valid UTF-8") from None
            if len(encoded) > MAX_ENTRIES:
                raise Refused(path, f"name is {len(encoded)} bytes long; at most {MAX_ENTRIES} fit")
            if name in files:
                raise Refused(path, f"duplicate name {printable(name)!r} (also from {origin[name]})")
            files[name] = _load(path)
            origin[name] = path
        with refusing(args.output):
            vr.write_imx_v2_container(args.output, files)
        sizes = {name: len(v) for name, v in files.items()}
    finally:
        for value in files.values():
            if isinstance(value, mmap.mmap):
                value.close()
    status(f"packed {plural(len(sizes), 'file')} ({sum(sizes.values())} bytes) into {args.output}")
    for name, size in sizes.items():
        status(f"  {size:>12}  {printable(name)}")
    return 0


# ---------------------------------------------------------------------------
# extract
# ---------------------------------------------------------------------------

_DRIVE = re.compile(r"^[A-Za-z]:")


def member_path_parts(name: str) -> List[str]:
    """The path components under which a member is written, or ValueError when the
    name would leave the output directory (or names no file)."""
    if not name:
        raise ValueError("empty name")
    if "\x00" in name:
        raise ValueError("name contains a NUL character")
    if name[0] in "/\\":
        raise ValueError("absolute path")
    if _DRIVE.match(name):
        raise ValueError("drive letter")
    parts = re.split(r"[\\/]", name)
    if ".." in parts:
        raise ValueError("'..' component")
    parts = [p for p in parts if p not in ("", ".")]
    if not parts:
        raise ValueError("names no file")
    return parts


def _inside(path: str, directory: str) -> bool:
    return os.path.commonpath([path, directory]) == directory


def _copy(src, dst, size: int, name: str, label: str, bar: Progress, done: int) -> int:
    left = size
    while left:
        chunk = src.read(min(COPY_CHUNK, left))
        if not chunk:
            raise Refused(label, f"{printable(name)!r} is cut short")
        dst.write(chunk)
        left -= len(chunk)
        done += len(chunk)
        bar.update(done)
    return done


def _extract_to_stdout(model: Model, names: List[str], args: argparse.Namespace) -> int:
    if len(names) != 1:
        raise Refused(args.container, "-o - writes one member to standard output: name exactly one")
    name = names[0]
    offset, size = model.entry(name)
    out = sys.stdout.buffer
    with refusing(args.container), open(model.path, "rb") as src:
        src.seek(offset)
        _copy(src, out, size, name, args.container, Progress("extract", 0, False), 0)
    out.flush()
    return 0


def cmd_extract(args: argparse.Namespace) -> int:
    model = Model(args.container)
    names = list(dict.fromkeys(args.names)) if args.names else model.names()
    if args.output == STDIO:
        return _extract_to_stdout(model, names, args)
    plan = []
    targets: dict = {}
    for name in names:
        offset, size = model.entry(name)
        try:
            parts = member_path_parts(name)
        except ValueError as exc:
            raise Refused(args.container, f"refusing to extract {printable(name)!r}: {exc}") from None
        key = tuple(parts)
        if key in targets:
            raise Refused(args.container, f"{printable(name)!r} and {printable(targets[key])!r} "
                          "would be written to the same file")
        targets[key] = name
        plan.append((name, parts, offset, size))

    output_directory(args.output)
    out_real = os.path.realpath(args.output)
    total = sum(p[3] for p in plan)
    done = 0
    with Progress("extract", total, args.progress) as bar, \
            refusing(args.container), open(args.container, "rb") as src:
        for name, parts, offset, size in plan:
            target = os.path.join(args.output, *parts)
            with refusing(target):
                os.makedirs(os.path.dirname(target), exist_ok=True)
                if not _inside(os.path.realpath(target), out_real):
                    raise Refused(args.container, f"refusing to extract {printable(name)!r}: "
                                  "it would be written outside the output directory (through a link)")
                src.seek(offset)
                with open(target, "wb") as dst:
                    done = _copy(src, dst, size, name, args.container, bar, done)
    for name, _, _, size in plan:
        status(f"  {size:>12}  {printable(name)}")
    status(f"extracted {plural(len(plan), 'file')} ({total} bytes) into {args.output}")
    if model.manifest_error:
        status(f"{PROG}: warning: {args.container}: {model.manifest_error}")
    return 0


def register(sub) -> None:
    p = sub.add_parser("pack", help="write files and directories into a v2 container",
                       description="Write files and directories into a new v2 container: a directory's "
                                   "files under their relative names, sorted; a file under its base name.")
    p.add_argument("output", metavar="OUT", help="the container to write (replaced if it exists; not -)")
    p.add_argument("inputs", metavar="FILES_OR_DIRS", nargs="+", help="files and directories to pack")
    progress_option(p, None)  # the container is written in one call
    p.set_defaults(func=cmd_pack)

    p = sub.add_parser("extract", help="write embedded files out of a container",
                       description="Write embedded files out of a container; names that would leave "
                                   "the output directory are refused.")
    p.add_argument("container", metavar="CONTAINER", help="the container to read")
    p.add_argument("names", metavar="NAMES", nargs="*", help="embedded files to write (default: all)")
    p.add_argument("-o", "--output", metavar="DIR", required=True,
                   help="directory to write into (created if missing), or - to write one member "
                        "to standard output")
    progress_option(p, "the bytes written (not with -o -)")
    p.set_defaults(func=cmd_extract)
