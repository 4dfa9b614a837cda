"""What the commands read: containers (tolerant of a broken manifest), their members with
one bounds check, videos from files, ".vrtensor" files, members or standard input, and
what PyAV's demuxer says about a video."""

from __future__ import annotations

import contextlib
import io
import os
import sys
import tempfile
from fractions import Fraction
from typing import Iterator, List, Optional, Tuple

from vorantis.engine import video_reader as vr

from .errors import REFUSABLE, UNDECODABLE, Refused, printable, reason, refusing

MANIFEST = "manifest.json"
STDIO = "-"
KEY_HINT = "encrypted: is the key right? see --key"


def key_bytes(text: Optional[str]) -> bytes:
    return text.encode("utf-8") if text else vr.ENCRYPT_KEY


def split_member(spec: str) -> Tuple[str, Optional[str]]:
    """CONTAINER::member into its two parts; a path that exists is never split."""
    if "::" in spec and not os.path.exists(spec):
        container, _, member = spec.partition("::")
        return container, member
    return spec, None


def read_stdin() -> bytes:
    with refusing("<stdin>"):
        data = sys.stdin.buffer.read()
    if not data:
        raise Refused("<stdin>", "empty input")
    return data


def input_size(path: str) -> int:
    """The size of a file that is to be read; a directory is refused."""
    with refusing(path):
        if os.path.isdir(path):
            raise Refused(path, "is a directory")
        return os.path.getsize(path)


def file_size(path: str) -> int:
    """The size of a file that is to be read; an empty file or a directory is refused."""
    size = input_size(path)
    if size == 0:
        raise Refused(path, "empty file")
    return size


@contextlib.contextmanager
def temporary_file(data: bytes) -> Iterator[str]:
    """Bytes (read from standard input) in a temporary file, for callables that want a path."""
    with tempfile.TemporaryDirectory(prefix="vorantis-stdin-") as tmp:
        path = os.path.join(tmp, "stdin")
        with open(path, "wb") as f:
            f.write(data)
        yield path


# ---------------------------------------------------------------------------
# Containers
# ---------------------------------------------------------------------------


class _TableOnly(vr.ImxContainer):
    """The module's container reader with the manifest left unread, so that a container
    whose manifest is broken still opens and its other members stay reachable."""

    def __init__(self, path: str):
        self._skip_manifest = True
        try:
            super().__init__(path)
        finally:
            self._skip_manifest = False

    def read_file(self, name: str) -> bytes:
        if self._skip_manifest and name == MANIFEST:
            return b"null"
        return super().read_file(name)


class Model:
    """An open container: its table, its file size and its manifest (or why it is broken)."""

    def __init__(self, path: str, label: Optional[str] = None):
        self.path = path
        self.label = label or path  # the name shown to the user
        self.size = file_size(path) if label is None else os.path.getsize(path)
        if self.size == 0:
            raise Refused(self.label, "empty file")
        self.manifest_error: Optional[str] = None
        with refusing(self.label):
            try:
                self.box = vr.ImxContainer(path)
            except REFUSABLE as exc:  # the table or the manifest is at fault
                self.box = _TableOnly(path)  # raises again if it is the table
                if not self.box.has_file(MANIFEST):
                    raise
                self.manifest_error = f"{MANIFEST}: {reason(exc)}"
        self.manifest = None if self.manifest_error else self.box.metadata

    @property
    def has_manifest(self) -> bool:
        return self.box.has_file(MANIFEST) and (self.manifest_error is not None or self.manifest is not None)

    @property
    def format_version(self) -> Optional[object]:
        """As the module reports it; None when the manifest is broken or not an object."""
        if self.manifest_error is not None:
            return None
        if self.manifest is not None and not isinstance(self.manifest, dict):
            return None
        return self.box.format_version

    def names(self) -> List[str]:
        return self.box.list_files()

    def past_end(self, offset: int, size: int) -> bool:
        return offset > self.size or size > self.size - offset

    def entry(self, name: str) -> Tuple[int, int]:
        """(offset, size) of a member that lies wholly inside the file."""
        with refusing(self.label):
            offset, size = self.box.get_entry(name)
        if self.past_end(offset, size):
            raise Refused(self.label, f"{printable(name)!r} runs past the end of the file")
        return offset, size

    def read(self, name: str) -> bytes:
        self.entry(name)
        with refusing(self.label):
            return self.box.read_file(name)


def is_container_head(head: bytes) -> bool:
    return head[:4] in (vr.IMX_MAGIC, vr._OLD_IMX_V1_MAGIC)


# ---------------------------------------------------------------------------
# Videos
# ---------------------------------------------------------------------------


class Source:
    """One video to read: a file, a ".vrtensor" file, CONTAINER::member or standard input."""

    def __init__(self, spec: str, key: str = "", data: Optional[bytes] = None):
        """`data`: standard input when it has been read already."""
        self.spec = spec
        self.container, self.member = split_member(spec)
        self.data: Optional[bytes] = None  # the video's bytes when held in memory
        self.encrypted = False
        self.offset = self.size = 0
        if spec == STDIO:
            self.data = data if data is not None else read_stdin()
            self.size = len(self.data)
        elif self.member is not None:
            model = Model(self.container)
            self.offset, self.size = model.entry(self.member)
            if self.size == 0:
                raise Refused(spec, "embedded file is empty")
            if vr.is_encrypted_file(self.member):
                self.encrypted = True
                self.data = vr.xor_decrypt_bytes(model.read(self.member), key_bytes(key))
        else:
            self.size = file_size(spec)
            if vr.is_encrypted_file(spec):
                self.encrypted = True
                with refusing(spec):
                    self.data = vr.read_and_decrypt_file(spec, key_bytes(key))

    @property
    def hint(self) -> Optional[str]:
        return KEY_HINT if self.encrypted else None

    @property
    def kind(self) -> str:
        if self.spec == STDIO:
            return "standard input"
        if self.member is not None:
            enc = ", encrypted" if self.encrypted else ""
            return f"embedded at offset {self.offset}, {self.size} bytes{enc}"
        return "encrypted .vrtensor file" if self.encrypted else "video file"

    def refusing(self):
        return refusing(self.spec, self.hint, video=True)

    def av_input(self):
        """What to hand to `av.open`: a path, or an in-memory stream."""
        if self.data is not None:
            return io.BytesIO(self.data)
        if self.member is not None:
            with refusing(self.container), open(self.container, "rb") as f:
                f.seek(self.offset)
                return io.BytesIO(f.read(self.size))
        return self.spec

    def reader(self, cache_frames: bool = False, frame_count: int = 0):
        with self.refusing():
            try:
                if self.data is not None:
                    return vr.MP4VideoReader.from_bytes(self.data, frame_count)
                if self.member is not None:
                    return vr.MP4VideoReader(self.container, base_offset=self.offset, file_size=self.size,
                                             frame_count=frame_count, cache_frames=cache_frames)
                return vr.MP4VideoReader(self.spec, frame_count=frame_count, cache_frames=cache_frames)
            except IndexError:  # the first video stream of an empty stream list
                raise Refused(self.spec, "no video stream") from None
            except (AttributeError, TypeError):
                # What a stream that PyAV set up no decoder for raises; the same types from
                # anywhere else are a fault of the tool or of a changed library.
                if not self._lacks_decoder():
                    raise
                raise Refused(self.spec, self._undecodable()) from None

    def _lacks_decoder(self) -> bool:
        """Whether PyAV opens the input but sets up no decoder for its first video stream."""
        import av

        try:
            with av.open(self.av_input()) as c:
                return bool(c.streams.video) and c.streams.video[0].codec_context is None
        except Exception:  # asked only to explain another failure
            return False

    def _undecodable(self) -> str:
        return f"{UNDECODABLE} ({self.hint})" if self.hint else UNDECODABLE


def _bit_depth(pix_fmt: Optional[str]) -> Optional[int]:
    import av

    if not pix_fmt:
        return None
    try:
        components = av.VideoFormat(pix_fmt).components
    except (ValueError, TypeError):
        return None
    bits = [getattr(c, "bits", 0) for c in components]
    return max(bits) if bits else None


def _rotation(stream, frame) -> Optional[int]:
    rotation = getattr(frame, "rotation", None)  # PyAV 13 and later
    if rotation is None:
        text = stream.metadata.get("rotate")
        rotation = int(text) if text and text.lstrip("-").isdigit() else None
    return None if rotation is None else int(rotation) % 360


def probe(source: Source) -> dict:
    """Facts about a video from PyAV's demuxer: codec, pixel format, frame rate, packets,
    keyframe positions; the first frame is decoded for the frame size and rotation."""
    import av

    with source.refusing():
        with av.open(source.av_input()) as c:
            if not c.streams.video:
                raise Refused(source.spec, "no video stream")
            stream = c.streams.video[0]
            ctx = stream.codec_context
            if ctx is None:
                raise Refused(source.spec, f"{source._undecodable()}: PyAV set up no decoder for it")
            codec = getattr(ctx.codec, "canonical_name", None) or ctx.name
            # `ctx.format` is None while the stream's pixel format is unknown;
            # PyAV 17's `pix_fmt` dereferences a null descriptor then.
            pix_fmt = ctx.format.name if ctx.format is not None else None
            facts = {
                "codec": codec,
                "decoder": ctx.name,
                "pixel_format": pix_fmt,
                "bit_depth": _bit_depth(pix_fmt),
                "width": ctx.width,
                "height": ctx.height,
                "rate": stream.average_rate or stream.guessed_rate,
                "frames_in_header": int(stream.frames or 0),
                "duration": float(c.duration) / 1e6 if c.duration else None,
                "rotation": None,
            }
            keys: List[int] = []
            packets = 0
            frame = None
            for packet in c.demux(stream):
                if packet.size == 0:
                    continue
                if packet.is_keyframe:
                    keys.append(packets)
                packets += 1
                if frame is None:
                    frames = packet.decode()
                    frame = frames[0] if frames else None
            if frame is None:
                frame = next(iter(ctx.decode(None)), None)  # drain the decoder
            if frame is None:
                raise Refused(source.spec, source._undecodable())
            facts.update(width=frame.width, height=frame.height, rotation=_rotation(stream, frame))
            if facts["pixel_format"] is None:
                facts["pixel_format"] = frame.format.name
                facts["bit_depth"] = _bit_depth(frame.format.name)
            facts.update(keyframes=keys, packets=packets)
            return facts


def format_rate(rate) -> str:
    if rate is None:
        return "unknown"
    rate = Fraction(rate)
    if rate.denominator == 1:
        return f"{rate.numerator} fps"
    return f"{float(rate):.3f} fps ({rate.numerator}/{rate.denominator})"


def keyframe_gaps(positions: List[int]) -> List[int]:
    """The distinct gaps between consecutive keyframes, smallest first."""
    return sorted({b - a for a, b in zip(positions, positions[1:])})


def keyframe_interval(positions: List[int]) -> str:
    if not positions:
        return "no keyframe"
    if len(positions) == 1:
        return f"only frame {positions[0]} is a keyframe"
    gaps = keyframe_gaps(positions)
    if len(gaps) == 1:
        return f"{gaps[0]} frames"
    return f"{gaps[0]} to {gaps[-1]} frames (irregular)"

