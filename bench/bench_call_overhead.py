"""Per-call cost of the module's entry points and its import time.

What a call costs beyond its work: a cached `MP4VideoReader.get` (the frame
asked for is the current one: one copy of a 64x48 frame), `get_next` over a
30-frame clip (it decodes: the cache serves `get`), `xor_decrypt_bytes` of 16
bytes, and the module's import in a fresh interpreter (NumPy imported before
the clock starts, so that the figure is the module's own).

With `--against DIR` (a directory holding another installed `vorantis`
package, for example a copy of site-packages/vorantis from an earlier build)
both builds are measured in alternating child processes, round after round,
and the table sets them side by side with the median of the per-round ratios.

    python bench/bench_call_overhead.py [--against DIR] [--rounds 7]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROWS = ["get (cached)", "get_next (cached)", "xor_decrypt_bytes (16 B)", "import"]


def measure(clip: str) -> dict:
    """Median seconds per call of each row in this process."""
    sys.path.insert(0, str(HERE))
    from timing import median_time

    import vorantis.engine.video_reader as vr

    out = {}
    with vr.MP4VideoReader(clip, cache_frames=True) as reader:
        for i in range(reader.size()):
            reader.get(i)
        reader.get(5)
        out["get (cached)"] = median_time(lambda: reader.get(5), repeat=15, number=2000)
        out["get_next (cached)"] = median_time(reader.get_next, repeat=15, number=300)
    data = bytes(16)
    out["xor_decrypt_bytes (16 B)"] = median_time(lambda: vr.xor_decrypt_bytes(data), repeat=15,
                                                  number=20000)
    code = ("import numpy, time; t = time.perf_counter(); import vorantis.engine.video_reader; "
            "print(time.perf_counter() - t)")
    imports = [float(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                    text=True, env=dict(os.environ)).stdout) for _ in range(5)]
    out["import"] = statistics.median(imports)
    return out


def run_child(clip: str, pythonpath: str | None) -> dict:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([pythonpath, env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, __file__, "--child", clip], check=True,
                          capture_output=True, text=True, env=env)
    return json.loads(proc.stdout)


def fmt(seconds: float) -> str:
    return f"{seconds * 1e6:9.3f} us" if seconds < 1e-3 else f"{seconds * 1e3:9.3f} ms"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="directory holding another installed vorantis package")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.child)))
        return

    from vorantis._samples import encode_h264

    with tempfile.TemporaryDirectory() as tmp:
        clip = os.path.join(tmp, "clip.mp4")
        encode_h264(clip, 30, width=64, height=48, gop=10)
        builds = {"this build": None}
        if args.against:
            builds["against"] = args.against
        runs = {name: [] for name in builds}
        for _ in range(args.rounds):
            for name, path in builds.items():
                runs[name].append(run_child(clip, path))

    header = f"{'row':28}" + "".join(f"{name:>15}" for name in builds)
    if args.against:
        header += f"{'ratio':>9}{'diff':>13}"
    print(header)
    for row in ROWS:
        medians = {name: statistics.median(r[row] for r in rounds) for name, rounds in runs.items()}
        line = f"{row:28}" + "".join(f"{fmt(m):>15}" for m in medians.values())
        if args.against:
            ratio = statistics.median(a[row] / b[row] for a, b in zip(runs["this build"], runs["against"]))
            diff = medians["this build"] - medians["against"]
            line += f"{ratio:9.3f}{diff * 1e6:+10.3f} us"
        print(line)


if __name__ == "__main__":
    main()
