"""A plain Python reader of IMX containers, field by field with struct: the
independent reference that the container tests and the fuzz script compare
with."""

from __future__ import annotations

import json
import os
import struct

MAGIC = b"IMX\x00"
V1_UPGRADE = ("This model uses an outdated container format (IMX v1). Please upgrade:\n"
              "  pip install --upgrade vorantis\n"
              "  vorantis convert ")


class ReferenceReader:
    """The table read field by field with struct, as a plain Python reader would."""

    def __init__(self, path):
        self.path = path
        self._entries = {}
        self._metadata = None
        with open(path, "rb") as f:
            header = f.read(8)
            if len(header) < 8:
                raise RuntimeError("File too small to be an IMX container")
            magic = header[:4]
            if magic != MAGIC:
                if magic == b"VIMX":
                    raise RuntimeError(V1_UPGRADE + str(path))
                raise RuntimeError(f"Not an IMX file: bad magic {magic!r}")
            (count,) = struct.unpack_from("<H", header, 6)
            for _ in range(count):
                (name_len,) = struct.unpack("<H", f.read(2))
                name = f.read(name_len).decode("utf-8")
                self._entries[name] = struct.unpack("<QQ", f.read(16))
        if "manifest.json" in self._entries:
            self._metadata = json.loads(self.read_file("manifest.json"))

    def read_file(self, name):
        offset, size = self._entries[name]
        end = os.path.getsize(self.path)
        if offset >= end:
            return b""
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read(min(size, end - offset))
