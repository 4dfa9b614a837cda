"""Summarise many avatar models on Dask's distributed scheduler.

For every IMX model given, the client reads the container's table and ships to
the workers, as task arguments, the container itself and one MP4VideoReader per
video member. Both travel as descriptions (a path; a path with the member's
offset and size, and its frame count), not as decoded data: a worker opens
the section it is given. Each task returns, per video, the frame count and the
SHA-1 of the first and last frames (BGR bytes), and per model the bounding box
of its face masks when it has a "face_masks.h5" member.

Runs on a LocalCluster of worker processes by default, or on a running cluster
given its scheduler's address; the model files must then be readable at the same
paths on every worker (a shared file system).

    python examples/dask_models.py --demo 4                 # generated sample models
    python examples/dask_models.py models/*.imx --workers 4
    python examples/dask_models.py models/*.imx --scheduler tcp://10.0.0.5:8786

Needs the optional extra: pip install "vorantis[dask]".
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import os
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional, Tuple

from vorantis.engine import video_reader as vr

MASKS = "face_masks.h5"


# --- The tasks: each runs on a worker, on objects shipped to it ---------------

def summarize_video(reader: vr.MP4VideoReader) -> Dict[str, Any]:
    """Frame count, size and the SHA-1 of the first and last frames of one video."""
    with reader:
        n = reader.size()
        first = reader.get(0)
        last = reader.get(n - 1)
        return {"frames": n, "width": reader.width, "height": reader.height,
                "first_sha1": hashlib.sha1(first.tobytes()).hexdigest(),
                "last_sha1": hashlib.sha1(last.tobytes()).hexdigest(),
                "worker_pid": os.getpid()}


def mask_box(container: vr.ImxContainer, width: int, height: int) -> Tuple[int, int, int, int]:
    """The padded union box of the model's face masks, for frames of width x height."""
    return vr.compute_mask_bbox(io.BytesIO(container.read_file(MASKS)), width, height)


# --- The job --------------------------------------------------------------------

def video_members(container: vr.ImxContainer) -> List[str]:
    return sorted(container.find_files("*.mp4"))


def manifest_frame_counts(container: vr.ImxContainer) -> Dict[str, int]:
    """Frame counts the model's manifest declares ("videos": {..: {"file", "frames"}})."""
    meta = container.metadata or {}
    videos = meta.get("videos", {}) if isinstance(meta, dict) else {}
    return {v["file"]: int(v.get("frames", 0)) for v in videos.values()
            if isinstance(v, dict) and "file" in v}


def run(client, model_paths: List[str]) -> Dict[str, Any]:
    """Submits one task per video and one per model with masks; gathers the results."""
    futures: Dict[Tuple[str, str], Any] = {}
    containers = {}
    for path in model_paths:
        box = vr.ImxContainer(path)
        containers[path] = box
        counts = manifest_frame_counts(box)
        for name in video_members(box):
            offset, size = box.get_entry(name)
            # Opening here reads the section and, with the manifest's frame count,
            # decodes nothing; the reader travels as (path, offset, size, count).
            reader = vr.MP4VideoReader(path, base_offset=offset, file_size=size,
                                       frame_count=counts.get(name, 0))
            # Not closed here: the client may pickle task arguments after submit
            # returns, and a closed reader travels as a closed reader.
            futures[(path, name)] = client.submit(summarize_video, reader, pure=False)
    videos = client.gather(futures)
    report: Dict[str, Any] = {}
    box_futures = {}
    for path, box in containers.items():
        members = {name: videos[(path, name)] for name in video_members(box)}
        report[path] = {"videos": members, "mask_box": None}
        if box.has_file(MASKS) and members:
            first = members[min(members)]
            box_futures[path] = client.submit(mask_box, box, first["width"], first["height"], pure=False)
    for path, box in client.gather(box_futures).items():
        report[path]["mask_box"] = list(box)
    return report


# --- Sample models ----------------------------------------------------------------

def build_demo_models(directory: str, count: int) -> List[str]:
    """`count` small models: two clips each, a manifest, and JPEG face masks in HDF5."""
    import h5py
    import numpy as np
    import simplejpeg

    from vorantis._samples import encode_h264

    paths = []
    width, height = 96, 64
    for m in range(count):
        files: Dict[str, bytes] = {}
        videos = {}
        for k, n in enumerate((12 + 3 * m, 20 + m)):
            buf = io.BytesIO()
            encode_h264(buf, n, width=width, height=height, gop=8)
            name = f"clip{k}.mp4"
            files[name] = buf.getvalue()
            videos[f"clip{k}"] = {"file": name, "frames": n}
        masks = io.BytesIO()
        with h5py.File(masks, "w") as f:
            ds = f.create_dataset("face_masks", (3,), dtype=h5py.vlen_dtype(np.uint8))
            for i in range(3):
                mask = np.zeros((height, width, 1), dtype=np.uint8)
                mask[20 + 2 * m: 30 + 2 * m + i, 24 + 6 * m: 40 + 6 * m + 2 * i] = 255
                ds[i] = np.frombuffer(simplejpeg.encode_jpeg(mask, quality=95, colorspace="GRAY"),
                                      dtype=np.uint8)
        files[MASKS] = masks.getvalue()
        files["manifest.json"] = json.dumps({"format_version": vr.IMX_VERSION, "videos": videos}).encode()
        path = os.path.join(directory, f"model{m}.imx")
        vr.write_imx_v2_container(path, files)
        paths.append(path)
    return paths


def print_report(report: Dict[str, Any], seconds: float, workers: int) -> None:
    pids = set()
    for path, model in report.items():
        print(f"{path}: mask box {tuple(model['mask_box']) if model['mask_box'] else '-'}")
        for name, v in model["videos"].items():
            pids.add(v["worker_pid"])
            print(f"  {name:12s} {v['frames']:5d} frames {v['width']}x{v['height']}  "
                  f"first {v['first_sha1'][:12]}  last {v['last_sha1'][:12]}")
    n_videos = sum(len(m["videos"]) for m in report.values())
    print(f"{len(report)} models, {n_videos} videos in {seconds:.2f} s on {workers} workers "
          f"({len(pids)} worker processes did the work)")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("models", nargs="*", help="IMX model files")
    parser.add_argument("--demo", type=int, metavar="N", default=0,
                        help="build N sample models in a temporary folder and summarise them")
    parser.add_argument("--scheduler", metavar="ADDRESS", default=None,
                        help="address of a running scheduler (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    parser.add_argument("--json", metavar="FILE", default=None, help="also write the results as JSON")
    args = parser.parse_args(argv)
    if not args.models and not args.demo:
        parser.error("give model files or --demo N")

    from dask.distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory(prefix="vorantis-dask-") as tmp:
        paths = list(args.models) + (build_demo_models(tmp, args.demo) if args.demo else [])
        if args.scheduler:
            client = Client(args.scheduler)
            cluster = None
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
            client = Client(cluster)
        try:
            workers = len(client.scheduler_info()["workers"])
            t0 = time.perf_counter()
            report = run(client, paths)
            seconds = time.perf_counter() - t0
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    print_report(report, seconds, workers)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
