"""Per-call cost of the module's entry points and its import time.

What a call costs beyond its work, in CPU time of the process: a cached `MP4VideoReader.get` (the frame
asked for is the current one: one copy of a 64x48 frame), `get_next` over a
30-frame clip (it decodes: the cache serves `get`), `xor_decrypt_bytes` of 16
bytes, and the module's import in a fresh interpreter (NumPy imported before
the clock starts, so that the figure is the module's own). CPU time rather
than wall time: on a shared machine the wait for a core is most of the wall
time of a microsecond call.

With `--against DIR` (a directory holding another installed `vorantis`
package, for example a copy of site-packages/vorantis from an earlier build)
that build's extension is loaded beside this one under another name, the
calls of both take turns within every round, and the table sets them side by
side with the median of the per-round ratios; the imports alternate between
child processes.

    python bench/bench_call_overhead.py [--against DIR] [--rounds 15]
"""

from __future__ import annotations

import argparse
import glob
import importlib.util
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import paired_ratio, ratio_spread  # noqa: E402

import vorantis.engine.video_reader as this_build  # noqa: E402


def load_other_build(directory: str):
    """The extension of the vorantis package under `directory`, as its own module."""
    (path,) = glob.glob(os.path.join(directory, "vorantis", "engine", "video_reader*.so"))
    spec = importlib.util.spec_from_file_location("_against.video_reader", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def call_rows(vr, clip: str, stack) -> dict:
    """row -> a callable of no arguments running `number` calls."""
    cached = vr.MP4VideoReader(clip, cache_frames=True)
    stack.append(cached)
    for i in range(cached.size()):
        cached.get(i)
    cached.get(5)
    looping = vr.MP4VideoReader(clip, cache_frames=True)
    stack.append(looping)
    data = bytes(16)
    get, get_next, xor = cached.get, looping.get_next, vr.xor_decrypt_bytes

    def many(fn, arg, number):
        def run():
            for _ in range(number):
                fn(*arg)
        run.number = number
        return run

    return {
        "get (cached)": many(get, (5,), 5000),
        "get_next (decodes)": many(get_next, (), 300),
        "xor_decrypt_bytes (16 B)": many(xor, (data,), 50000),
    }


def cpu_rounds(candidates: dict, rounds: int) -> dict:
    """CPU seconds of this process (all its threads) per batch of each candidate,
    one entry per round, the candidates in a random order within every round."""
    runs = {name: [] for name in candidates}
    for _ in range(rounds):
        order = list(candidates)
        random.shuffle(order)
        for name in order:
            t0 = time.process_time()
            candidates[name]()
            runs[name].append(time.process_time() - t0)
    return runs


def import_seconds(pythonpath: str | None) -> float:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([pythonpath, env.get("PYTHONPATH", "")])
    code = ("import numpy, time; t = time.process_time(); import vorantis.engine.video_reader; "
            "print(time.process_time() - t)")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True, env=env)
    return float(out.stdout)


def fmt(seconds: float) -> str:
    return f"{seconds * 1e6:9.3f} us" if seconds < 1e-3 else f"{seconds * 1e3:9.3f} ms"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="directory holding another installed vorantis package")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    from vorantis._samples import encode_h264

    builds = {"this build": this_build}
    if args.against:
        builds["against"] = load_other_build(args.against)
    keep = []
    with tempfile.TemporaryDirectory() as tmp:
        clip = os.path.join(tmp, "clip.mp4")
        encode_h264(clip, 30, width=64, height=48, gop=10)
        rows = {name: call_rows(vr, clip, keep) for name, vr in builds.items()}
        results = {}
        for row in next(iter(rows.values())):
            candidates = {name: rows[name][row] for name in builds}
            runs = cpu_rounds(candidates, args.rounds)
            results[row] = {name: [t / candidates[name].number for t in runs[name]] for name in builds}
        paths = {"this build": None, "against": args.against}
        imports = {name: [] for name in builds}
        for _ in range(args.rounds):
            for name in builds:
                imports[name].append(import_seconds(paths[name]))
        results["import (NumPy already loaded)"] = imports
        for reader in keep:
            reader.close()

    header = f"{'row':30}" + "".join(f"{name:>14}" for name in builds)
    if args.against:
        header += f"{'ratio':>8}{'(IQR)':>12}{'diff':>14}"
    print(f"{args.rounds} interleaved rounds; medians per call (CPU time)")
    print(header)
    for row, runs in results.items():
        medians = {name: statistics.median(runs[name]) for name in builds}
        line = f"{row:30}" + "".join(f"{fmt(m):>14}" for m in medians.values())
        if args.against:
            ours, base = runs["this build"], runs["against"]
            diff = medians["this build"] - medians["against"]
            line += f"{paired_ratio(ours, base):8.3f}{ratio_spread(ours, base):>12}{diff * 1e6:+11.3f} us"
        print(line)


if __name__ == "__main__":
    main()
