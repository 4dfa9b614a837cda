"""What the module's objects cost when they leave their process (pickle).

For each type: the size of its pickle and the time to rebuild it (loads of that
pickle), against the time to open the same source with the constructor, timed
in alternation. For VideoReader, which decodes every frame up front, also the
alternative of shipping its decoded frames: their pickle's size and the time to
load it, against decoding again.

Run: PYTHONPATH=python python bench/bench_processes.py [--repeat N]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import pickle
import sys
import tempfile

from vorantis._samples import encode_h264, moving_texture
from vorantis.engine import video_reader as vr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import fmt_seconds, side_by_side  # noqa: E402


def row(name: str, blob: bytes, rebuild: float, open_: float, what: str) -> str:
    return (f"| {name} | {len(blob):,} | {fmt_seconds(rebuild)} | {fmt_seconds(open_)} | "
            f"{rebuild / open_:.2f} | {what} |")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()
    r = args.repeat
    rows = []
    with tempfile.TemporaryDirectory() as d:
        clip = os.path.join(d, "clip.mp4")
        encode_h264(clip, 120, width=640, height=360, gop=25, picture=moving_texture())
        n = 120
        data = open(clip, "rb").read()
        small = {f"videos/clip_{i:05d}.mp4": b"x" * 16 for i in range(10_000)}
        big = os.path.join(d, "big.imx")
        vr.write_imx_v2_container(big, {**small, "manifest.json": json.dumps({"format_version": 2}).encode()})
        model = os.path.join(d, "model.imx")
        vr.write_imx_v2_container(model, {"manifest.json": b'{"format_version": 2}', "clip.mp4": data})

        for label, path in (("ImxContainer, 2 entries", model), ("ImxContainer, 10,000 entries", big)):
            box = vr.ImxContainer(path)
            blob = pickle.dumps(box)
            rebuild, open_ = side_by_side(lambda: pickle.loads(blob), lambda: vr.ImxContainer(path), r)
            rows.append(row(label, blob, rebuild, open_, "path; table read again"))
            table = pickle.dumps(vars(box))
            ship, open_ = side_by_side(lambda: pickle.loads(table), lambda: vr.ImxContainer(path), r)
            rows.append(row(label + " (alternative: its table)", table, ship, open_, "attribute dict"))

        offset, size = vr.ImxContainer(model).get_entry("clip.mp4")
        mp4 = {
            "MP4VideoReader, path": lambda: vr.MP4VideoReader(clip, frame_count=n),
            "MP4VideoReader, container section": lambda: vr.MP4VideoReader(
                model, base_offset=offset, file_size=size, frame_count=n),
            "MP4VideoReader.from_bytes": lambda: vr.MP4VideoReader.from_bytes(data, frame_count=n),
        }
        for label, opener in mp4.items():
            reader = opener()
            reader.get(60)
            blob = pickle.dumps(reader)
            rebuild, open_ = side_by_side(lambda: pickle.loads(blob).close(), lambda: opener().close(), r)
            rows.append(row(label, blob, rebuild, open_, "source, count, position"))
            # the first frame after the rebuild, at the position the original stood
            first, cold = side_by_side(lambda: pickle.loads(blob).get_next(),
                                       lambda: opener().get(61), r)
            rows.append(row(label + ": rebuild + get_next() at 61", blob, first, cold,
                            "against open + get(61)"))
            reader.close()
        counting = vr.MP4VideoReader(clip)
        blob = pickle.dumps(counting)
        rebuild, open_ = side_by_side(lambda: pickle.loads(blob).close(),
                                      lambda: vr.MP4VideoReader(clip).close(), r)
        rows.append(row("MP4VideoReader, path, count not given", blob, rebuild, open_,
                        "the count travels: nothing is counted again"))

        reader = vr.VideoReader(clip)
        blob = pickle.dumps(reader)
        frames = pickle.dumps([reader.get(i) for i in range(reader.size())], protocol=5)
        rebuild, open_ = side_by_side(lambda: pickle.loads(blob), lambda: vr.VideoReader(clip), r)
        rows.append(row("VideoReader (640x360, 120 frames)", blob, rebuild, open_, "path and key; decoded again"))
        ship, decode = side_by_side(lambda: pickle.loads(frames), lambda: pickle.loads(blob), r)
        rows.append(row("VideoReader (alternative: its frames)", frames, ship, decode,
                        "decoded BGR frames: loads, against decoding again"))
        arrays = [reader.get(i) for i in range(reader.size())]
        both, again = side_by_side(lambda: pickle.loads(pickle.dumps(arrays, protocol=5)),
                                   lambda: pickle.loads(pickle.dumps(reader)), r)
        rows.append(row("VideoReader (alternative: its frames), dumps + loads", frames, both, again,
                        "against dumps + loads of the path"))

    print(f"compressed video: {len(data):,} bytes; one BGR frame: {640 * 360 * 3:,} bytes\n")
    print("| object | pickle bytes | rebuild (loads) | open | rebuild / open | what travels |")
    print("|---|---:|---:|---:|---:|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
