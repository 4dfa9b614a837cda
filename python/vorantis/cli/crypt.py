"""`encrypt` and `decrypt`: the XOR cipher of ".vrtensor" files, streaming, `-` for stdio."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
from typing import IO, Callable, Iterator, List, Optional

from vorantis.engine import video_reader as vr

from .containers import COPY_CHUNK, status
from .errors import EXIT_NOT_MEDIA, PROG, Refused, refusing
from .progress import Progress, progress_option
from .sources import STDIO, input_size, is_container_head, key_bytes

# Enough of a file's start to recognise its format (an MPEG transport stream shows its
# sync byte at 0 and 188).
SNIFF_BYTES = 189
_ISO_BOXES = (b"ftyp", b"moov", b"mdat", b"free", b"skip", b"wide", b"pnot", b"styp", b"sidx", b"moof")


def media_kind(head: bytes) -> Optional[str]:
    """The kind of media or container file that starts with `head`, or None."""
    if is_container_head(head):
        return "IMX container"
    if head[4:8] in _ISO_BOXES:
        return "MP4/QuickTime"
    if head[:4] == b"\x1aE\xdf\xa3":
        return "Matroska/WebM"
    if head[:4] == b"RIFF" and head[8:12] == b"AVI ":
        return "AVI"
    if head[:4] == b"\x30\x26\xb2\x75":
        return "ASF/WMV"
    if head[:3] == b"FLV":
        return "FLV"
    if head[:4] == b"OggS":
        return "Ogg"
    if head[:4] == b"DKIF":
        return "IVF"
    if head[:4] in (b"\x00\x00\x01\xba", b"\x00\x00\x01\xb3"):
        return "MPEG program/elementary stream"
    if head[:4] == b"\x00\x00\x00\x01" or head[:3] == b"\x00\x00\x01":
        return "H.264/H.265 elementary stream"
    if head[:1] == head[188:189] == b"\x47":
        return "MPEG transport stream"
    return None


def _check_in_out(src: str, dst: str) -> int:
    """The input's size (0 for standard input); input and output must differ."""
    size = 0 if src == STDIO else input_size(src)
    if dst != STDIO and os.path.isdir(dst):
        raise Refused(dst, "is a directory")
    if src != STDIO and dst != STDIO and os.path.exists(dst):
        with refusing(dst):
            if os.path.samefile(src, dst):
                raise Refused(dst, "input and output are the same file")
    return size


@contextlib.contextmanager
def _opened(path: str, mode: str) -> Iterator[IO[bytes]]:
    if path == STDIO:
        stream = sys.stdin.buffer if "r" in mode else sys.stdout.buffer
        yield stream
        if "w" in mode:
            stream.flush()
        return
    with refusing(path), open(path, mode) as f:
        yield f


def _xor_stream(src: str, dst: str, key: bytes, bar: Progress) -> bytes:
    """XORs `src` into `dst` chunk by chunk; returns the first bytes written."""
    offset = 0
    head = b""
    with _opened(src, "rb") as fin, _opened(dst, "wb") as fout:
        while True:
            with refusing(_label(src, "<stdin>")):
                chunk = fin.read(COPY_CHUNK)
            if not chunk:
                break
            if offset == 0:
                head = vr.xor_decrypt_bytes(chunk[:SNIFF_BYTES], key)
            # The key byte at file position i is key[i % len(key)]: encrypting and
            # decrypting are the same XOR, each piece placed by its file position.
            with refusing(dst):
                vr._write_xor_encrypted(fout, offset, chunk, key)
            offset += len(chunk)
            bar.update(offset)
    return head


def _label(path: str, stdio: str) -> str:
    return stdio if path == STDIO else path


def cmd_encrypt(args: argparse.Namespace) -> int:
    key = key_bytes(args.key)
    total = _check_in_out(args.input, args.output)
    with Progress("encrypt", total, args.progress) as bar:
        _xor_stream(args.input, args.output, key, bar)
    status(f"encrypted {_label(args.input, 'standard input')} -> {_label(args.output, 'standard output')}")
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


def cmd_decrypt(args: argparse.Namespace) -> int:
    key = key_bytes(args.key)
    total = _check_in_out(args.input, args.output)
    with Progress("decrypt", total, args.progress) as bar:
        if STDIO in (args.input, args.output):
            head = _xor_stream(args.input, args.output, key, bar)
        else:
            with refusing(args.input):
                _run_watching(lambda: vr._streaming_xor_decrypt_file(args.input, args.output, key),
                              args.output, bar)
            with refusing(args.output), open(args.output, "rb") as f:
                head = f.read(SNIFF_BYTES)
    output = _label(args.output, "standard output")
    if head and media_kind(head) is None and (args.input == STDIO or vr.is_encrypted_file(args.input)):
        print(f"{PROG}: warning: {output}: the decrypted bytes are not a recognisable video "
              f"or container file (is the key right? see --key); the output is kept",
              file=sys.stderr)
        return EXIT_NOT_MEDIA
    status(f"decrypted {_label(args.input, 'standard input')} -> {output}")
    return 0


def register(sub) -> None:
    for name, func, what in (("encrypt", cmd_encrypt, "XOR-encrypt a file (streaming)"),
                             ("decrypt", cmd_decrypt, "XOR-decrypt a file (streaming)")):
        p = sub.add_parser(name, help=what, description=what + ".",
                           epilog=None if name == "encrypt" else
                           "When a .vrtensor file decrypts to bytes that are not a recognisable video "
                           "or container (a wrong key, most often), a warning is printed and the exit "
                           f"status is {EXIT_NOT_MEDIA}; the output is kept.")
        p.add_argument("input", metavar="IN", help="the file to read, or - for standard input")
        p.add_argument("output", metavar="OUT", help="the file to write, or - for standard output")
        p.add_argument("--key", metavar="TEXT", default="",
                       help="key text, UTF-8 (default: the built-in key)")
        progress_option(p, "the bytes written")
        p.set_defaults(func=func)
