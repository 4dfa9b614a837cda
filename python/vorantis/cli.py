"""`vorantis-video`: inspect, pack, unpack, encrypt and play the video assets of an avatar model.

Built on the public callables of `vorantis.engine.video_reader`. Exit codes: 0 on
success, 1 when an input is refused (one line on stderr naming the file and the
reason), 2 on bad usage.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import mmap
import os
import re
import struct
import sys
import tempfile
import threading
import time
import zlib
from fractions import Fraction
from typing import Callable, Iterator, List, Optional, Sequence, Tuple

import numpy as np

import vorantis
from vorantis.engine import video_reader as vr

PROG = "vorantis-video"

# Progress bars are drawn for inputs at least this large.
PROGRESS_MIN_BYTES = 16 * 1024 * 1024
PROGRESS_MIN_FRAMES = 100
# Bytes per read when copying or encrypting.
COPY_CHUNK = 1 << 20
# `pack` maps input files at least this large instead of reading them.
MAP_MIN_BYTES = 1 << 20
# Largest count and name length that the container's 16-bit fields hold.
_MAX_ENTRIES = 0xFFFF


class Refused(Exception):
    """An input the tool will not process; reported as one line, exit status 1."""

    def __init__(self, path: object, reason: str):
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


class UsageError(Exception):
    """Bad usage detected after parsing; exit status 2."""


# Failures of the host, PyAV and h5py that mean "this input cannot be used".
_REFUSABLE = (OSError, ValueError, RuntimeError, KeyError, EOFError, struct.error)


def _one_line(text: str) -> str:
    lines = [line.strip() for line in str(text).splitlines() if line.strip()]
    return "; ".join(lines)


def _reason(exc: BaseException) -> str:
    strerror = getattr(exc, "strerror", None)
    if isinstance(exc, OSError) and strerror:
        return _one_line(strerror)
    if isinstance(exc, KeyError) and exc.args:
        return _one_line(exc.args[0])
    if isinstance(exc, UnicodeError):
        return f"not valid text ({exc})"
    return _one_line(str(exc)) or type(exc).__name__


@contextlib.contextmanager
def _refusing(path: object) -> Iterator[None]:
    """Turns the failures that an unusable input causes into `Refused` naming `path`."""
    try:
        yield
    except Refused:
        raise
    except _REFUSABLE as exc:
        where = getattr(exc, "filename", None) if isinstance(exc, OSError) else None
        raise Refused(where if isinstance(where, (str, os.PathLike)) else path, _reason(exc)) from exc
    except Exception as exc:
        if type(exc).__module__.split(".")[0] in ("av", "h5py"):
            raise Refused(path, _reason(exc)) from exc
        raise


# ---------------------------------------------------------------------------
# Progress bar
# ---------------------------------------------------------------------------


class Progress:
    """A one-line progress bar on stderr, drawn only when `total` reaches `minimum`."""

    WIDTH = 30

    def __init__(self, label: str, total: int, minimum: int, unit: str = "bytes"):
        self.label = label
        self.total = total
        self.unit = unit
        self.enabled = total > 0 and total >= minimum
        self._last = -1.0

    def _amount(self, n: int) -> str:
        if self.unit == "bytes":
            return f"{n / 1048576:.1f} MiB"
        return str(n)

    def update(self, done: int, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self._last < 0.1:
            return
        self._last = now
        frac = min(1.0, done / self.total)
        filled = int(frac * self.WIDTH)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        sys.stderr.write(f"\r{self.label} [{bar}] {frac * 100:5.1f}%  "
                         f"{self._amount(done)} / {self._amount(self.total)}")
        sys.stderr.flush()

    def finish(self) -> None:
        if self.enabled:
            self.update(self.total, force=True)
            sys.stderr.write("\n")
            sys.stderr.flush()


# ---------------------------------------------------------------------------
# PNG writer (8-bit RGB, no filter, zlib)
# ---------------------------------------------------------------------------

_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _png_chunk(tag: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))


def encode_png(rgb: np.ndarray, level: int = 6) -> bytes:
    """A PNG image of an 8-bit (height, width, 3) RGB array."""
    height, width, channels = rgb.shape
    if channels != 3 or rgb.dtype != np.uint8:
        raise ValueError("expected an 8-bit array of shape (height, width, 3)")
    rows = np.empty((height, 1 + width * 3), dtype=np.uint8)
    rows[:, 0] = 0  # filter type None on every row
    rows[:, 1:] = rgb.reshape(height, width * 3)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (_PNG_SIGNATURE + _png_chunk(b"IHDR", header)
            + _png_chunk(b"IDAT", zlib.compress(rows.tobytes(), level)) + _png_chunk(b"IEND", b""))


# ---------------------------------------------------------------------------
# Sources: a video file, a ".vrtensor" file, or CONTAINER::member
# ---------------------------------------------------------------------------


def _key_bytes(text: Optional[str]) -> bytes:
    return text.encode("utf-8") if text else vr.ENCRYPT_KEY


def _split_member(source: str) -> Tuple[str, Optional[str]]:
    if "::" in source and not os.path.exists(source):
        container, _, member = source.partition("::")
        return container, member
    return source, None


class Source:
    """One video to read: where it is, how to open it with PyAV, how to build a reader on it."""

    def __init__(self, spec: str, key: str = ""):
        self.spec = spec
        self.key = key
        self.container, self.member = _split_member(spec)
        self._data: Optional[bytes] = None
        self.offset = self.size = 0
        if self.member is not None:
            with _refusing(self.container):
                box = vr.ImxContainer(self.container)
                self.offset, self.size = box.get_entry(self.member)
            if self.size <= 0:
                raise Refused(spec, "embedded file is empty")
            if vr.is_encrypted_file(self.member):
                with _refusing(self.container):
                    raw = box.read_file(self.member)
                self._data = vr.xor_decrypt_bytes(raw, _key_bytes(key))
        elif vr.is_encrypted_file(spec):
            with _refusing(spec):
                self._data = vr.read_and_decrypt_file(spec, _key_bytes(key))

    @property
    def kind(self) -> str:
        if self.member is not None:
            enc = ", encrypted" if self._data is not None else ""
            return f"embedded at offset {self.offset}, {self.size} bytes{enc}"
        return "encrypted .vrtensor file" if self._data is not None else "video file"

    def av_input(self):
        """What to hand to `av.open`: a path, or an in-memory stream."""
        if self._data is not None:
            return io.BytesIO(self._data)
        if self.member is not None:
            with _refusing(self.container), open(self.container, "rb") as f:
                f.seek(self.offset)
                return io.BytesIO(f.read(self.size))
        return self.spec

    def reader(self, cache_frames: bool = False, frame_count: int = 0):
        with _refusing(self.spec):
            try:
                if self._data is not None:
                    return vr.MP4VideoReader.from_bytes(self._data, frame_count)
                if self.member is not None:
                    return vr.MP4VideoReader(self.container, base_offset=self.offset, file_size=self.size,
                                             frame_count=frame_count, cache_frames=cache_frames)
                return vr.MP4VideoReader(self.spec, frame_count=frame_count, cache_frames=cache_frames)
            except IndexError:  # the first video stream of an empty stream list
                raise Refused(self.spec, "no video stream") from None


def _format_rate(rate) -> str:
    if rate is None:
        return "unknown"
    rate = Fraction(rate)
    if rate.denominator == 1:
        return f"{rate.numerator} fps"
    return f"{float(rate):.3f} fps ({rate.numerator}/{rate.denominator})"


def _keyframe_interval(positions: List[int], packets: int) -> str:
    if not positions:
        return "no keyframe"
    if len(positions) == 1:
        return f"only frame {positions[0]} is a keyframe"
    gaps = sorted({b - a for a, b in zip(positions, positions[1:])})
    if len(gaps) == 1:
        return f"{gaps[0]} frames"
    return f"{gaps[0]} to {gaps[-1]} frames (irregular)"


def probe(source: Source) -> dict:
    """Codec, frame rate and keyframe positions from PyAV's demuxer (no decoding)."""
    import av

    with _refusing(source.spec):
        with av.open(source.av_input()) as c:
            if not c.streams.video:
                raise Refused(source.spec, "no video stream")
            stream = c.streams.video[0]
            keys: List[int] = []
            packets = 0
            for packet in c.demux(stream):
                if packet.size == 0:
                    continue
                if packet.is_keyframe:
                    keys.append(packets)
                packets += 1
            return {
                "codec": stream.codec_context.name,
                "rate": stream.average_rate,
                "keyframes": keys,
                "packets": packets,
                "duration": float(c.duration) / 1e6 if c.duration else None,
            }


# ---------------------------------------------------------------------------
# info
# ---------------------------------------------------------------------------


def _read_head(path: str, n: int) -> bytes:
    with _refusing(path), open(path, "rb") as f:
        return f.read(n)


def _info_container(path: str) -> None:
    with _refusing(path):
        box = vr.ImxContainer(path)
        file_size = os.path.getsize(path)
    _, header_version, count = struct.unpack("<4sHH", _read_head(path, 8))
    names = box.list_files()
    print(f"container: {path}")
    print(f"  IMX container, header version {header_version}, {count} table entries, {file_size} bytes")
    meta = box.metadata
    if not box.has_metadata:
        print("  manifest: none (format version 0)")
    elif isinstance(meta, dict):
        print(f"  format version: {box.format_version}")
        keys = ", ".join(str(k) for k in meta) or "(none)"
        print(f"  manifest keys: {keys}")
    else:
        print(f"  manifest: a JSON {type(meta).__name__}, not an object (no format version)")
    print(f"  entries ({len(names)}):")
    print(f"    {'offset':>12}  {'size':>12}  name")
    for name in names:
        offset, size = box.get_entry(name)
        past_end = "  (runs past the end of the file)" if offset + size > file_size else ""
        print(f"    {offset:>12}  {size:>12}  {name}{past_end}")


def _info_video(spec: str, key: str) -> None:
    source = Source(spec, key)
    facts = probe(source)
    with source.reader() as reader:
        width, height, count = reader.width, reader.height, reader.size()
    print(f"video: {spec}")
    print(f"  source: {source.kind}")
    print(f"  codec: {facts['codec']}")
    print(f"  frame size: {width}x{height}")
    print(f"  frame rate: {_format_rate(facts['rate'])}")
    print(f"  frame count: {count}")
    print(f"  keyframe interval: {_keyframe_interval(facts['keyframes'], facts['packets'])}")
    if facts["duration"] is not None:
        print(f"  duration: {facts['duration']:.3f} s")


def cmd_info(args: argparse.Namespace) -> int:
    container, member = _split_member(args.path)
    if member is None and _read_head(args.path, 4) in (vr.IMX_MAGIC, vr._OLD_IMX_V1_MAGIC):
        _info_container(args.path)
    else:
        _info_video(args.path, args.key)
    return 0


# ---------------------------------------------------------------------------
# pack / extract
# ---------------------------------------------------------------------------


def _collect(inputs: Sequence[str], output: str) -> List[Tuple[str, str]]:
    """(name, file path) pairs: plain files under their base name, a directory's files
    under their relative names in sorted order."""
    out_real = os.path.realpath(output)
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
            pairs.extend(p for p in sorted(found) if os.path.realpath(p[1]) != out_real)
        elif os.path.exists(item):
            pairs.append((os.path.basename(os.path.normpath(item)), item))
        else:
            raise Refused(item, "No such file or directory")
    return pairs


def _load(path: str):
    """The content of a file: large files mapped read-only instead of copied into memory."""
    with _refusing(path), open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size >= MAP_MIN_BYTES:
            try:
                return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            except (OSError, ValueError):
                pass
        return f.read()


def cmd_pack(args: argparse.Namespace) -> int:
    pairs = _collect(args.inputs, args.output)
    if len(pairs) > _MAX_ENTRIES:
        raise Refused(args.output, f"{len(pairs)} files; a container holds at most {_MAX_ENTRIES}")
    files: dict = {}
    origin: dict = {}
    for name, path in pairs:
        try:
            encoded = name.encode("utf-8")
        except UnicodeEncodeError:
            raise Refused(path, "file name is not valid UTF-8") from None
        if len(encoded) > _MAX_ENTRIES:
            raise Refused(path, f"name is {len(encoded)} bytes long; at most {_MAX_ENTRIES} fit")
        if name in files:
            raise Refused(path, f"duplicate name {name!r} (also from {origin[name]})")
        files[name] = _load(path)
        origin[name] = path
    try:
        with _refusing(args.output):
            vr.write_imx_v2_container(args.output, files)
        total = sum(len(v) for v in files.values())
        sizes = {name: len(v) for name, v in files.items()}
    finally:
        for value in files.values():
            if isinstance(value, mmap.mmap):
                value.close()
    print(f"packed {len(files)} files ({total} bytes) into {args.output}")
    for name, size in sizes.items():
        print(f"  {size:>12}  {name}")
    return 0


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


def cmd_extract(args: argparse.Namespace) -> int:
    with _refusing(args.container):
        box = vr.ImxContainer(args.container)
        file_size = os.path.getsize(args.container)
    names = list(dict.fromkeys(args.names)) if args.names else box.list_files()
    plan = []
    targets: dict = {}
    for name in names:
        with _refusing(args.container):
            offset, size = box.get_entry(name)
        try:
            parts = member_path_parts(name)
        except ValueError as exc:
            raise Refused(args.container, f"refusing to extract {name!r}: {exc}") from None
        if offset + size > file_size:
            raise Refused(args.container, f"{name!r} runs past the end of the file")
        key = tuple(parts)
        if key in targets:
            raise Refused(args.container, f"{name!r} and {targets[key]!r} would be written to the same file")
        targets[key] = name
        plan.append((name, parts, offset, size))

    with _refusing(args.output):
        os.makedirs(args.output, exist_ok=True)
    out_real = os.path.realpath(args.output)
    total = sum(p[3] for p in plan)
    bar = Progress("extract", total, PROGRESS_MIN_BYTES)
    done = 0
    with _refusing(args.container), open(args.container, "rb") as src:
        for name, parts, offset, size in plan:
            target = os.path.join(args.output, *parts)
            with _refusing(target):
                os.makedirs(os.path.dirname(target), exist_ok=True)
                if not _inside(os.path.realpath(target), out_real):
                    raise Refused(args.container, f"refusing to extract {name!r}: "
                                  "it would be written outside the output directory (through a link)")
                src.seek(offset)
                with open(target, "wb") as dst:
                    left = size
                    while left:
                        chunk = src.read(min(COPY_CHUNK, left))
                        if not chunk:
                            raise Refused(args.container, f"{name!r} is cut short")
                        dst.write(chunk)
                        left -= len(chunk)
                        done += len(chunk)
                        bar.update(done)
            print(f"  {size:>12}  {name}")
    bar.finish()
    print(f"extracted {len(plan)} files ({total} bytes) into {args.output}")
    return 0


# ---------------------------------------------------------------------------
# encrypt / decrypt
# ---------------------------------------------------------------------------


def _check_in_out(src: str, dst: str) -> int:
    with _refusing(src):
        size = os.path.getsize(src)
        if os.path.isdir(src):
            raise Refused(src, "is a directory")
    if os.path.exists(dst):
        with _refusing(dst):
            if os.path.samefile(src, dst):
                raise Refused(dst, "input and output are the same file")
    return size


def cmd_encrypt(args: argparse.Namespace) -> int:
    key = _key_bytes(args.key)
    total = _check_in_out(args.input, args.output)
    bar = Progress("encrypt", total, PROGRESS_MIN_BYTES)
    offset = 0
    with _refusing(args.input), open(args.input, "rb") as src:
        with _refusing(args.output), open(args.output, "wb") as dst:
            while True:
                with _refusing(args.input):
                    chunk = src.read(COPY_CHUNK)
                if not chunk:
                    break
                vr._write_xor_encrypted(dst, offset, chunk, key)
                offset += len(chunk)
                bar.update(offset)
    bar.finish()
    print(f"encrypted {args.input} -> {args.output} ({offset} bytes)")
    return 0


def _run_watching(work: Callable[[], None], watch: str, bar: Progress) -> None:
    """Runs `work`, drawing `bar` from the growing size of the file `watch` meanwhile."""
    if not bar.enabled:
        work()
        return
    failure: List[BaseException] = []

    def run() -> None:
        try:
            work()
        except BaseException as exc:  # handed to the calling thread
            failure.append(exc)

    worker = threading.Thread(target=run, name="vorantis-decrypt", daemon=True)
    worker.start()
    while worker.is_alive():
        worker.join(0.1)
        with contextlib.suppress(OSError):
            bar.update(os.path.getsize(watch))
    if failure:
        raise failure[0]
    bar.finish()


def cmd_decrypt(args: argparse.Namespace) -> int:
    key = _key_bytes(args.key)
    total = _check_in_out(args.input, args.output)
    bar = Progress("decrypt", total, PROGRESS_MIN_BYTES)
    with _refusing(args.input):
        _run_watching(lambda: vr._streaming_xor_decrypt_file(args.input, args.output, key),
                      args.output, bar)
    print(f"decrypted {args.input} -> {args.output} ({os.path.getsize(args.output)} bytes)")
    return 0


# ---------------------------------------------------------------------------
# frames
# ---------------------------------------------------------------------------


def cmd_frames(args: argparse.Namespace) -> int:
    if args.step == 0:
        raise UsageError("--step must not be 0")
    source = Source(args.source, args.key)
    with source.reader(cache_frames=args.step < 0) as reader:
        indices = range(*slice(args.start, args.stop, args.step).indices(reader.size()))
        with _refusing(args.output):
            os.makedirs(args.output, exist_ok=True)
        digits = max(6, len(str(max(reader.size() - 1, 0))))
        bar = Progress("frames", len(indices), PROGRESS_MIN_FRAMES, unit="frames")
        for n, index in enumerate(indices, 1):
            with _refusing(args.source):
                frame = reader.get(index)
            target = os.path.join(args.output, f"frame_{index:0{digits}d}.png")
            with _refusing(target), open(target, "wb") as f:
                f.write(encode_png(np.ascontiguousarray(frame[:, :, ::-1])))
            bar.update(n)
        bar.finish()
    print(f"wrote {len(indices)} frames of {args.source} to {args.output}")
    return 0


# ---------------------------------------------------------------------------
# bbox
# ---------------------------------------------------------------------------


def cmd_bbox(args: argparse.Namespace) -> int:
    if args.width <= 0 or args.height <= 0:
        raise UsageError("--width and --height must be positive")
    if args.padding < 0:
        raise UsageError("--padding must not be negative")
    if not os.path.isfile(args.masks):
        raise Refused(args.masks, "No such file or directory" if not os.path.exists(args.masks) else "not a file")
    try:
        with _refusing(args.masks):
            x1, y1, x2, y2 = vr.compute_mask_bbox(args.masks, args.width, args.height, args.padding)
    except ImportError as exc:
        raise Refused(args.masks, f"the mask box needs a module that is missing: {exc}") from None
    print(f"bbox: x1={x1} y1={y1} x2={x2} y2={y2} (right and bottom exclusive: "
          f"a {x2 - x1}x{y2 - y1} box in a {args.width}x{args.height} frame, padding {args.padding})")
    return 0


# ---------------------------------------------------------------------------
# demo
# ---------------------------------------------------------------------------


def _demo_picture(i: int, n: int, width: int, height: int, hue: int) -> np.ndarray:
    """A moving bright disc on a slowly changing gradient (RGB)."""
    y, x = np.mgrid[0:height, 0:width]
    img = np.empty((height, width, 3), dtype=np.uint8)
    img[..., 0] = (x * 255 // max(width - 1, 1) + 3 * i) % 256
    img[..., 1] = (y * 255 // max(height - 1, 1)) % 256
    img[..., 2] = (hue + 2 * i) % 256
    cx = width / 2 + width / 3 * np.cos(2 * np.pi * i / n)
    cy = height / 2 + height / 3 * np.sin(2 * np.pi * i / n)
    img[(x - cx) ** 2 + (y - cy) ** 2 < (height / 8) ** 2] = 255
    return img


def _encode_demo_clip(path: str, n: int, width: int, height: int, fps: int, gop: int, hue: int) -> None:
    import av

    with av.open(path, mode="w", format="mp4") as out:
        stream = out.add_stream("libx264", rate=fps)
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
        stream.options = {"g": str(gop), "keyint_min": str(gop), "sc_threshold": "0",
                          "bf": "0", "preset": "ultrafast", "crf": "23"}
        for i in range(n):
            frame = av.VideoFrame.from_ndarray(_demo_picture(i, n, width, height, hue), format="rgb24")
            frame.pts = i
            frame.time_base = Fraction(1, fps)
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)


def _fps(frames: int, seconds: float) -> str:
    return f"{frames} frames in {seconds * 1000:8.1f} ms = {frames / max(seconds, 1e-9):9.0f} fps"


def cmd_demo(args: argparse.Namespace) -> int:
    width, height, fps, gop = 320, 240, 25, 25
    clips = {"idle.mp4": (120, 40), "talk.mp4": (50, 160)}
    with tempfile.TemporaryDirectory(prefix="vorantis-demo-") as tmp:
        print(f"building a sample avatar model in {tmp}")
        files = {}
        for name, (n, hue) in clips.items():
            path = os.path.join(tmp, name)
            _encode_demo_clip(path, n, width, height, fps, gop, hue)
            with open(path, "rb") as f:
                files[name] = f.read()
            print(f"  encoded {name}: {n} frames, {width}x{height}, H.264, {fps} fps, "
                  f"a keyframe every {gop} frames, {len(files[name])} bytes")
        manifest = {
            "format_version": vr.IMX_VERSION,
            "name": "demo avatar",
            "videos": {
                "idle": {"file": "idle.mp4", "frames": clips["idle.mp4"][0], "loop": "pingpong"},
                "talk": {"file": "talk.mp4", "frames": clips["talk.mp4"][0], "loop": "forward"},
            },
        }
        files = {"manifest.json": json.dumps(manifest, indent=2).encode("utf-8"), **files}
        model = os.path.join(tmp, "demo_model.imx")
        vr.write_imx_v2_container(model, files)
        box = vr.ImxContainer(model)
        print(f"  packed {model}: {os.path.getsize(model)} bytes, format version {box.format_version}, "
              f"entries {', '.join(box.list_files())}")

        meta = box.metadata
        assert isinstance(meta, dict)
        video = meta["videos"]["idle"]
        offset, size = box.get_entry(video["file"])
        n = video["frames"]
        print(f"playing {video['file']} from the container (offset {offset}, {size} bytes) "
              f"with MP4VideoReader and its frame cache")
        with vr.MP4VideoReader(model, base_offset=offset, file_size=size, frame_count=n,
                               cache_frames=True) as reader:
            t0 = time.perf_counter()
            forward = [reader.get(i) for i in range(n)]
            t_forward = time.perf_counter() - t0
            order = list(range(n - 1, -1, -1)) + list(range(1, n))
            t0 = time.perf_counter()
            mismatches = sum(not np.array_equal(reader.get(i), forward[i]) for i in order)
            t_pingpong = time.perf_counter() - t0
            cached = getattr(reader, "_cache_frames", False)
        # The same ping-pong without the cache: every backward step is a keyframe seek.
        with vr.MP4VideoReader(model, base_offset=offset, file_size=size, frame_count=n) as reader:
            reader.get(n - 1)
            t0 = time.perf_counter()
            mismatches += sum(not np.array_equal(reader.get(i), forward[i]) for i in order)
            t_seeking = time.perf_counter() - t0
        print(f"  forward pass   (decoding):             {_fps(n, t_forward)}")
        print(f"  ping-pong pass (back and forth):       {_fps(len(order), t_pingpong)}"
              f"{' from the cache' if cached else ' (cache refused: over its budget)'}")
        print(f"  ping-pong pass without the cache:      {_fps(len(order), t_seeking)} (keyframe seeks)")
        print(f"  frames of both ping-pong passes equal to the forward pass: "
              f"{'all ' + str(2 * len(order)) if not mismatches else f'{mismatches} differ'}")
    print("done; the temporary folder is removed")
    return 0 if not mismatches else 1


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect, pack, unpack, encrypt and play the video assets of an avatar model.",
        epilog="Exit status: 0 success, 1 refused input, 2 bad usage.")
    parser.add_argument("--version", action="version", version=f"{PROG} {vorantis.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("info", help="describe a container, a video, a .vrtensor file or CONTAINER::member")
    p.add_argument("path", metavar="PATH")
    p.add_argument("--key", default="", help="text key of an encrypted video (default: the built-in key)")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("pack", help="write files and directories into a v2 container")
    p.add_argument("output", metavar="OUT")
    p.add_argument("inputs", metavar="FILES_OR_DIRS", nargs="+")
    p.set_defaults(func=cmd_pack)

    p = sub.add_parser("extract", help="write embedded files out of a container")
    p.add_argument("container", metavar="CONTAINER")
    p.add_argument("names", metavar="NAMES", nargs="*", help="embedded files (default: all)")
    p.add_argument("-o", "--output", metavar="DIR", required=True)
    p.set_defaults(func=cmd_extract)

    for name, func, what in (("encrypt", cmd_encrypt, "XOR-encrypt a file (streaming)"),
                             ("decrypt", cmd_decrypt, "XOR-decrypt a file (streaming)")):
        p = sub.add_parser(name, help=what)
        p.add_argument("input", metavar="IN")
        p.add_argument("output", metavar="OUT")
        p.add_argument("--key", metavar="TEXT", default="", help="key text, UTF-8 (default: the built-in key)")
        p.set_defaults(func=func)

    p = sub.add_parser("frames", help="write decoded frames as PNG images")
    p.add_argument("source", metavar="SOURCE", help="video, .vrtensor file or CONTAINER::member")
    p.add_argument("-o", "--output", metavar="DIR", required=True)
    p.add_argument("--start", type=int, default=None)
    p.add_argument("--stop", type=int, default=None)
    p.add_argument("--step", type=int, default=1)
    p.add_argument("--key", default="", help="text key of an encrypted video (default: the built-in key)")
    p.set_defaults(func=cmd_frames)

    p = sub.add_parser("bbox", help="the padded box around every face-mask pixel")
    p.add_argument("masks", metavar="MASKS.h5")
    p.add_argument("--width", type=int, required=True, metavar="W")
    p.add_argument("--height", type=int, required=True, metavar="H")
    p.add_argument("--padding", type=int, default=16, metavar="P")
    p.set_defaults(func=cmd_bbox)

    p = sub.add_parser("demo", help="build a sample model and play it (no input needed)")
    p.set_defaults(func=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help (0) or a usage error (2)
        return exc.code if isinstance(exc.code, int) else 2
    try:
        return args.func(args)
    except UsageError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except Refused as exc:
        print(f"{PROG}: error: {exc.path}: {exc.reason}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    raise SystemExit(main())
