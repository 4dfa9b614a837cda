"""XOR cipher benchmark: in-memory decryption and streamed file decryption.

Prints medians of repeated runs measured side by side, and ratios against the
baselines: the NumPy tile-and-XOR formulation, a plain copy of the same bytes,
and `cp` of the same file.

    python bench/bench_xor.py [--mib 64] [--file-mib 256] [--repeat 7]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import tempfile

import numpy as np

import vorantis.engine.video_reader as vr
from timing import median_time, peak_traced

KEY = vr.ENCRYPT_KEY


def numpy_xor(data: bytes, key: bytes = KEY) -> bytes:
    key_len = len(key)
    data_arr = np.frombuffer(data, dtype=np.uint8).copy()
    key_arr = np.frombuffer(key, dtype=np.uint8)
    full_key = np.tile(key_arr, len(data_arr) // key_len + 1)[: len(data_arr)]
    data_arr ^= full_key
    return data_arr.tobytes()


def numpy_streaming(src: str, dst: str, key: bytes = KEY, chunk_size: int = 262144) -> None:
    key_len = len(key)
    key_arr = np.frombuffer(key, dtype=np.uint8)
    with open(src, "rb") as s, open(dst, "wb") as d:
        offset = 0
        while True:
            chunk = s.read(chunk_size)
            if not chunk:
                break
            data_arr = np.frombuffer(chunk, dtype=np.uint8).copy()
            indices = np.arange(offset % key_len, offset % key_len + len(chunk)) % key_len
            data_arr ^= key_arr[indices]
            d.write(data_arr.tobytes())
            offset += len(chunk)


def anon_huge_kib() -> int:
    try:
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith("AnonHugePages:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--file-mib", type=int, default=256)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()

    n = args.mib << 20
    data = np.random.default_rng(0).integers(0, 256, n, dtype=np.uint8).tobytes()
    assert vr.xor_decrypt_bytes(data) == numpy_xor(data)

    t_ours = median_time(lambda: vr.xor_decrypt_bytes(data), args.repeat)
    t_np = median_time(lambda: numpy_xor(data), args.repeat)
    t_copy = median_time(lambda: memoryview(data).tobytes(), args.repeat)
    m_ours = peak_traced(lambda: vr.xor_decrypt_bytes(data))
    m_np = peak_traced(lambda: numpy_xor(data))
    m_copy = peak_traced(lambda: memoryview(data).tobytes())
    before = anon_huge_kib()
    held = vr.xor_decrypt_bytes(data)
    huge = anon_huge_kib() - before
    del held

    print(f"\nxor_decrypt_bytes on {args.mib} MiB (median of {args.repeat})")
    print(f"{'operation':<34}{'time ms':>10}{'GB/s':>8}{'vs ours':>9}{'peak extra MiB':>16}")
    for name, t, m in [("xor_decrypt_bytes (native)", t_ours, m_ours),
                       ("NumPy tile-and-XOR", t_np, m_np),
                       ("plain copy (memoryview.tobytes)", t_copy, m_copy)]:
        print(f"{name:<34}{t * 1e3:>10.1f}{n / t / 1e9:>8.2f}{t / t_ours:>9.2f}{m / 2**20:>16.1f}")
    print(f"huge pages backing one fresh result: {huge // 1024} MiB of {args.mib} MiB "
          f"(THP mode: {open('/sys/kernel/mm/transparent_hugepage/enabled').read().strip()})")

    # Streamed file decryption
    tmp = tempfile.mkdtemp(prefix="bench_xor_")
    try:
        src = os.path.join(tmp, "src.vrtensor")
        fsize = args.file_mib << 20
        block = np.random.default_rng(1).integers(0, 256, 1 << 24, dtype=np.uint8).tobytes()
        with open(src, "wb") as f:
            for _ in range(fsize // len(block)):
                f.write(block)
        dst = os.path.join(tmp, "dst.mp4")
        dst_cp = os.path.join(tmp, "dst_cp.mp4")
        dst_np = os.path.join(tmp, "dst_np.mp4")
        vr._streaming_xor_decrypt_file(src, dst, KEY)  # warm the page cache
        repeat = max(3, args.repeat // 2)

        def run_cp():
            subprocess.run(["cp", src, dst_cp], check=True)

        t_stream = median_time(lambda: vr._streaming_xor_decrypt_file(src, dst, KEY), repeat)
        t_cp = median_time(run_cp, repeat)
        t_npst = median_time(lambda: numpy_streaming(src, dst_np), 1)
        m_stream = peak_traced(lambda: vr._streaming_xor_decrypt_file(src, dst, KEY))
        m_npst = peak_traced(lambda: numpy_streaming(src, dst_np))
        with open(dst, "rb") as a, open(dst_np, "rb") as b:
            assert a.read() == b.read()
        print(f"\n_streaming_xor_decrypt_file on a {args.file_mib} MiB file (median of {repeat})")
        print(f"{'operation':<34}{'time ms':>10}{'GB/s':>8}{'vs cp':>9}{'peak extra MiB':>16}")
        print(f"{'_streaming_xor_decrypt_file':<34}{t_stream * 1e3:>10.1f}{fsize / t_stream / 1e9:>8.2f}"
              f"{t_cp / t_stream:>9.2f}{m_stream / 2**20:>16.1f}")
        print(f"{'NumPy chunked formulation':<34}{t_npst * 1e3:>10.1f}{fsize / t_npst / 1e9:>8.2f}"
              f"{t_cp / t_npst:>9.2f}{m_npst / 2**20:>16.1f}")
        print(f"{'cp':<34}{t_cp * 1e3:>10.1f}{fsize / t_cp / 1e9:>8.2f}{1.0:>9.2f}{'-':>16}")
        print("('vs cp' is throughput relative to cp: above 1 is faster)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
