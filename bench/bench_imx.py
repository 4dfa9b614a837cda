"""IMX container benchmark: opening containers and reading an embedded file.

Sets `ImxContainer` beside baselines measured in the same run:
  - opening a 10- and a 10,000-entry container against a plain Python reader
    that reads the table field by field with struct.unpack;
  - `read_file` of a 100 MiB member against a plain open/seek/read of the same range.

Run: PYTHONPATH=python python bench/bench_imx.py [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import marshal
import os
import sys
import tempfile

from vorantis.engine import video_reader as vr

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
# The container table read the straightforward way: one read and one unpack per field.
from imx_reference import ReferenceReader  # noqa: E402
from timing import fmt_seconds, side_by_side  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()

    rows = []
    with tempfile.TemporaryDirectory() as d:
        for count in (10, 10_000):
            path = os.path.join(d, f"c{count}.imx")
            files = {f"videos/clip_{i:05d}.mp4": bytes([i % 256]) * 16 for i in range(count)}
            files["manifest.json"] = json.dumps({"format_version": 2, "name": "bench"}).encode()
            vr.write_imx_v2_container(path, files)
            assert vr.ImxContainer(path)._entries == ReferenceReader(path)._entries
            number = 200 if count == 10 else 5
            ours, base = side_by_side(lambda: vr.ImxContainer(path), lambda: ReferenceReader(path),
                                      args.repeat, number)
            rows.append((f"open, {count} entries", ours, "plain Python reader", base))
            if count == 10_000:
                # The same dict decoded from bytes by the interpreter's own native
                # deserialiser: what creating these str, int, tuple and dict objects
                # costs in C, with no file access at all.
                blob = marshal.dumps(vr.ImxContainer(path)._entries)
                floor, base2 = side_by_side(lambda: marshal.loads(blob),
                                            lambda: ReferenceReader(path), args.repeat, number)
                rows.append(("  dict via marshal.loads", floor, "plain Python reader", base2))

        big = os.path.join(d, "big.imx")
        payload = os.urandom(1 << 20) * 100  # 100 MiB
        vr.write_imx_v2_container(big, {"head.bin": b"h" * 4096, "video.mp4": payload})
        del payload
        c = vr.ImxContainer(big)
        offset, size = c.get_entry("video.mp4")

        def plain_read():
            with open(big, "rb") as f:
                f.seek(offset)
                return f.read(size)

        assert c.read_file("video.mp4") == plain_read()
        ours, base = side_by_side(lambda: c.read_file("video.mp4"), plain_read, args.repeat)
        rows.append(("read_file, 100 MiB", ours, "open/seek/read", base))

    print(f"{'case':<24}{'ours':>12}  {'baseline':<22}{'time':>12}{'ours/base':>11}")
    for case, ours, name, base in rows:
        print(f"{case:<24}{fmt_seconds(ours):>12}  {name:<22}{fmt_seconds(base):>12}{ours / base:>10.3f}x")
    print()
    o10k, b10k = rows[1][1], rows[1][3]
    print(f"creating the 10,000-entry dict natively from bytes (marshal.loads, no file): "
          f"{rows[2][1] * 1e3:.2f} ms; the 10x target would be {b10k * 1e2:.2f} ms")
    print(f"10,000-entry open: {b10k / o10k:.1f}x faster than the plain reader "
          f"(target >= 10x), {o10k * 1e3:.2f} ms (target < 2 ms)")
    print(f"read_file / open-seek-read: {rows[3][1] / rows[3][3]:.3f} (target <= 1.2)")


if __name__ == "__main__":
    main()
