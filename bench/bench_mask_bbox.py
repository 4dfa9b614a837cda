"""compute_mask_bbox on 500 face masks of 512x512 in HDF5, side by side with
the same algorithm written with NumPy reductions and the same decoder.

Two parts, each for colour (3-channel, 4:2:0) and grayscale JPEG masks:

1. The scan alone: the per-mask work after decoding, on the same decoded
   arrays. NumPy: the reductions (channel max, > 0, any, any per axis, where)
   timed directly. Native: compute_mask_bbox over a stand-in file of one-byte
   elements whose decoder returns the pre-decoded arrays, minus the same pass
   whose decoder returns an empty (0, 0, 3) array; the difference is the scan.
   "cold": 500 distinct masks, scanned from memory; "warm": 4 masks in turn,
   in cache as a mask is right after its decoding. All-zero masks show the
   kernel's worst case (every pixel read).
2. The whole pass over the file: ours, the NumPy formulation, and the floor:
   reading every element and decoding it, nothing else (ours and the floor
   take turns 15 times; the slow NumPy pass runs 3 times).

Candidates take turns in every repeat; the table shows medians. On a shared
machine the ratio ours/floor is the median of the ratios of back-to-back runs,
which cancels most of the load that other processes add.

    PYTHONPATH=python python bench/bench_mask_bbox.py
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import types

import h5py
import numpy as np
import simplejpeg

import vorantis.engine.compression as compression
from vorantis.engine import video_reader as vr
from timing import interleaved, paired
from vorantis.engine.compression import decode_jpeg

N_MASKS = 500
SIZE = 512
REPEATS = 7
PASS_REPEATS = 15


def face_masks(n: int) -> list[np.ndarray]:
    rng = np.random.default_rng(11)
    yy, xx = np.mgrid[0:SIZE, 0:SIZE].astype(np.float32)
    out = []
    for _ in range(n):
        cy, cx = rng.uniform(200, 320, 2)
        ry, rx = rng.uniform(90, 160, 2)
        d = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2
        out.append((np.clip((1.15 - d) * 6.0, 0.0, 1.0) * 255.0).astype(np.uint8))
    return out


def encode(mask: np.ndarray, colour: bool) -> bytes:
    if colour:
        rgb = np.ascontiguousarray(np.repeat(mask[:, :, None], 3, axis=2))
        return simplejpeg.encode_jpeg(rgb, quality=90, colorsubsampling="420")
    return simplejpeg.encode_jpeg(np.ascontiguousarray(mask[:, :, None]), quality=90,
                                  colorspace="GRAY")


def write_h5(target, blobs) -> None:
    with h5py.File(target, "w") as f:
        ds = f.create_dataset("face_masks", (len(blobs),), dtype=h5py.vlen_dtype(np.uint8))
        for i, b in enumerate(blobs):
            ds[i] = np.frombuffer(b, np.uint8)


# --- the NumPy formulation -------------------------------------------------

def numpy_scan(mask_img):
    gray = np.max(mask_img, axis=2)
    nonzero = gray > 0
    if not np.any(nonzero):
        return None
    rows = np.any(nonzero, axis=1)
    cols = np.any(nonzero, axis=0)
    y_indices = np.where(rows)[0]
    x_indices = np.where(cols)[0]
    return int(x_indices[0]), int(y_indices[0]), int(x_indices[-1]) + 1, int(y_indices[-1]) + 1


def numpy_bbox(h5_data, frame_w, frame_h, padding=16):
    from vorantis.engine.compression import decode_jpeg as decode

    gx1, gy1, gx2, gy2 = frame_w, frame_h, 0, 0
    with h5py.File(h5_data, "r") as f:
        masks_ds = f["face_masks"]
        for i in range(len(masks_ds)):
            mask_bytes = bytes(masks_ds[i])
            if not mask_bytes:
                continue
            box = numpy_scan(decode(mask_bytes))
            if box is None:
                continue
            gx1, gy1 = min(gx1, box[0]), min(gy1, box[1])
            gx2, gy2 = max(gx2, box[2]), max(gy2, box[3])
    if gx2 <= gx1 or gy2 <= gy1:
        raise RuntimeError("No non-zero mask pixels found")
    return (max(0, gx1 - padding), max(0, gy1 - padding),
            min(frame_w, gx2 + padding), min(frame_h, gy2 + padding))


def floor_pass(h5_data):
    with h5py.File(h5_data, "r") as f:
        masks_ds = f["face_masks"]
        for i in range(len(masks_ds)):
            mask_bytes = bytes(masks_ds[i])
            if mask_bytes:
                decode_jpeg(mask_bytes)


class _ListFile:
    """Stands in for h5py.File in the scan-alone timing: "face_masks" is a list
    of one-byte elements, so that a pass costs the scan and little else."""

    def __init__(self, n):
        self._data = {"face_masks": [b"x"] * n}

    def __enter__(self):
        return self._data

    def __exit__(self, *exc):
        return False


def native_scan_candidates(arrays):
    """compute_mask_bbox over len(arrays) elements that decode to `arrays` in
    turn, and the same pass decoding to an empty array (the pass's overhead)."""
    empty = np.zeros((0, 0, 3), np.uint8)
    state = {"i": 0, "empty": False}
    fake_h5py = types.ModuleType("h5py")
    fake_h5py.File = lambda data, mode: _ListFile(len(arrays))

    def stub_decode(_data):
        if state["empty"]:
            return empty
        a = arrays[state["i"]]
        state["i"] += 1
        return a

    def run(empty_arrays):
        state["i"], state["empty"] = 0, empty_arrays
        real_decode, real_h5py = compression.decode_jpeg, sys.modules["h5py"]
        compression.decode_jpeg, sys.modules["h5py"] = stub_decode, fake_h5py
        try:
            try:
                vr.compute_mask_bbox(None, SIZE, SIZE)
            except RuntimeError:
                pass
        finally:
            compression.decode_jpeg, sys.modules["h5py"] = real_decode, real_h5py

    return (lambda: run(False)), (lambda: run(True))


def scan_rows(label, arrays):
    native, base = native_scan_candidates(arrays)

    def numpy_only():
        for a in arrays:
            numpy_scan(a)

    r = interleaved({"numpy": numpy_only, "native": native, "base": base}, REPEATS)
    n = len(arrays)
    np_ms = statistics.median(r["numpy"]) / n * 1e3
    nat_ms = max(paired(r["native"], r["base"], lambda x, y: x - y), 1e-9) / n * 1e3
    return (label, np_ms, nat_ms)


def main() -> None:
    masks = face_masks(N_MASKS)
    with tempfile.TemporaryDirectory(prefix="bench_mask_bbox_") as tmp:
        scan_table, pass_table = measure(masks, tmp)
    report(scan_table, pass_table)


def measure(masks, tmp):
    scan_table = []
    pass_table = []
    for colour in (True, False):
        kind = "colour 3ch" if colour else "gray 1ch"
        blobs = [encode(m, colour) for m in masks]
        path = os.path.join(tmp, f"masks_{'colour' if colour else 'gray'}.h5")
        write_h5(path, blobs)

        arrays = [decode_jpeg(b) for b in blobs]
        scan_table.append(scan_rows(f"{kind} face, cold", arrays))
        scan_table.append(scan_rows(f"{kind} face, warm", arrays[:4] * (N_MASKS // 4)))
        blank = [np.zeros_like(arrays[0])] * 4
        scan_table.append(scan_rows(f"{kind} all-zero, warm", blank * (N_MASKS // 4)))
        del arrays, blank

        assert vr.compute_mask_bbox(path, SIZE, SIZE) == numpy_bbox(path, SIZE, SIZE)
        r = interleaved({
            "floor": lambda: floor_pass(path),
            "ours": lambda: vr.compute_mask_bbox(path, SIZE, SIZE),
        }, PASS_REPEATS)
        r.update(interleaved({"numpy": lambda: numpy_bbox(path, SIZE, SIZE)}, 3))
        t = {name: statistics.median(v) for name, v in r.items()}
        ours_floor = paired(r["ours"], r["floor"], lambda x, y: x / y)
        pass_table.append((kind, t["floor"], t["ours"], t["numpy"], ours_floor))
    return scan_table, pass_table


def report(scan_table, pass_table):
    print(f"Scan alone, per mask ({SIZE}x{SIZE}), median of {REPEATS} runs")
    print(f"{'masks':34s} {'numpy ms':>9s} {'native ms':>10s} {'numpy/native':>13s}")
    for label, np_ms, nat_ms in scan_table:
        print(f"{label:34s} {np_ms:9.3f} {nat_ms:10.4f} {np_ms / nat_ms:12.1f}x")
    print()
    print(f"Whole pass over {N_MASKS} masks ({SIZE}x{SIZE}) in HDF5, median of "
          f"{PASS_REPEATS} runs (NumPy: 3)")
    print(f"{'masks':12s} {'floor ms':>9s} {'ours ms':>8s} {'numpy ms':>9s} "
          f"{'ours/floor':>11s} {'numpy/floor':>12s} {'numpy/ours':>11s}")
    for kind, fl, ours, nump, ours_floor in pass_table:
        print(f"{kind:12s} {fl * 1e3:9.1f} {ours * 1e3:8.1f} {nump * 1e3:9.1f} "
              f"{ours_floor:10.3f}x {nump / fl:11.2f}x {nump / ours:10.2f}x")
    print("(ours/floor: median of the ratios of runs taken back to back; native scan: median")
    print(" of the differences of back-to-back runs)")


if __name__ == "__main__":
    main()
