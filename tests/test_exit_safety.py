"""The interpreter exits cleanly while a daemon thread is inside a call.

At exit CPython ends a daemon thread that tries to take the GIL back by
unwinding its stack; each case below keeps a daemon thread calling one
operation in a loop and lets the interpreter exit after a short, varied delay,
so that the exit lands at many different points of the call. Every run must
end with status 0 and without a fatal error.

The runs are forked from one warmed-up process per case (the imports are paid
once); each child is its own interpreter and goes through the ordinary exit
of one (`Py_FinalizeEx`) when its script ends.
"""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from vorantis.engine import video_reader as vr

RUNS = 20
PARALLEL = 4
# Delays before the exit, spread over the first 60 ms of the loop.
DELAYS = [0.003 + 0.06 * k / (RUNS - 1) for k in range(RUNS)]
BIG = 17 << 20  # large enough for the two-thread XOR path

# Each case: set-up lines (run in the child, before its thread starts) and the
# body of the thread's loop. `A` holds the fixture paths, `i` counts iterations.
CASES = {
    "mp4_get": ("r = vr.MP4VideoReader(A['video'], frame_count=30)",
                "r.get(i * 7 % 30)"),
    "mp4_get_cached": ("r = vr.MP4VideoReader(A['video'], frame_count=30, cache_frames=True)",
                       "r.get(29 - i % 30)"),
    "mp4_get_next": ("r = vr.MP4VideoReader(A['video'], frame_count=30)",
                     "r.get_next()"),
    "mp4_seek_to_start": ("r = vr.MP4VideoReader(A['video'], frame_count=30)",
                          "r.seek_to_start(); r.get_next(); r.get(25)"),
    "mp4_open_path": ("", "vr.MP4VideoReader(A['video']).get(12)"),
    "mp4_open_bytes": ("data = open(A['video'], 'rb').read()",
                       "vr.MP4VideoReader.from_bytes(data).get(12)"),
    "mp4_open_section": ("c = vr.ImxContainer(A['imx']); off, size = c.get_entry('clip.mp4')",
                         "vr.MP4VideoReader(A['imx'], base_offset=off, file_size=size).get(12)"),
    "mp4_close": ("", "r = vr.MP4VideoReader(A['video'], frame_count=30); r.get(20); r.close()"),
    "video_reader_path": ("", "vr.VideoReader(A['video'])"),
    "video_reader_vrtensor": ("", "vr.VideoReader(A['vrtensor'])"),
    "iter_frames_path": ("", "for f in vr.iter_video_frames(A['video']): pass"),
    "iter_frames_vrtensor": ("", "for f in vr.iter_video_frames(A['vrtensor'], max_frames=20): pass"),
    "iter_frames_abandoned": ("", "g = vr.iter_video_frames(A['video']); next(g); next(g); del g"),
    "mask_bbox": ("", "vr.compute_mask_bbox(A['masks'], 256, 256)"),
    "xor_bytes": (f"data = bytes({BIG})", "vr.xor_decrypt_bytes(data)"),
    "xor_write": (f"data = bytes({BIG}); out = open(os.devnull, 'wb')",
                  "vr._write_xor_encrypted(out, i, data, vr.ENCRYPT_KEY)"),
    "xor_streaming": ("dst = A['scratch'] + '/%d.bin' % os.getpid()",
                      "vr._streaming_xor_decrypt_file(A['big'], dst, vr.ENCRYPT_KEY, 1 << 20)"),
    "read_and_decrypt": ("", "vr.read_and_decrypt_file(A['big'])"),
    "imx_reads": ("", "c = vr.ImxContainer(A['imx']); c.read_file('clip.mp4'); c.read_file('big.bin')"),
}

# Forks one child per run (PARALLEL at a time). A child runs its case and falls
# off the end of the script, so that it exits as any interpreter does; the
# parent reports each child's wait status and error output as JSON.
HARNESS = textwrap.dedent('''
    import json, os, sys, threading, time
    import av, numpy
    try:
        import h5py, simplejpeg
        import vorantis.engine.compression
    except ImportError:  # without the masks extra: its case is skipped
        pass
    import vorantis.engine.video_reader as vr

    A = json.loads(sys.argv[1])
    setup, step = A['case']
    delays = A['delays']
    child = None
    running, results = {}, []

    def reap():
        pid, status = os.wait()
        k = running.pop(pid)
        with open(os.path.join(A['scratch'], '%d.err' % k), errors='replace') as f:
            results.append({'run': k, 'status': status, 'stderr': f.read()})

    for k, delay in enumerate(delays):
        while len(running) >= A['parallel']:
            reap()
        pid = os.fork()
        if pid == 0:
            child = (k, delay)
            break
        running[pid] = k

    if child is None:
        while running:
            reap()
        print(json.dumps(results))
    else:
        k, delay = child
        err = os.open(os.path.join(A['scratch'], '%d.err' % k), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        os.dup2(err, 2)
        import faulthandler
        faulthandler.enable()
        exec(setup)
        started = threading.Event()

        code = compile(step, 'step', 'exec')

        def loop():
            ns = {'i': 0}
            while True:
                exec(code, globals(), ns)
                ns['i'] += 1
                started.set()

        threading.Thread(target=loop, daemon=True).start()
        started.wait(5)
        time.sleep(delay)
''')


@pytest.fixture(scope="module")
def assets(tmp_path_factory, video, encrypted_video):
    d = tmp_path_factory.mktemp("exit_assets")
    big = d / "big.vrtensor"
    big.write_bytes(np.random.default_rng(3).integers(0, 256, 4 << 20, dtype=np.uint8).tobytes())
    imx = d / "model.imx"
    vr.write_imx_v2_container(str(imx), {"clip.mp4": video.data, "big.bin": bytes(2 << 20)})
    script = d / "exit_harness.py"
    script.write_text(HARNESS)
    masks = d / "masks.h5"
    if MISSING_MASKS:
        return {"video": str(video.path), "vrtensor": str(encrypted_video), "big": str(big),
                "imx": str(imx), "masks": None, "script": str(script)}
    import h5py
    import simplejpeg
    with h5py.File(masks, "w") as f:
        ds = f.create_dataset("face_masks", (4,), dtype=h5py.vlen_dtype(np.uint8))
        for n in range(4):
            m = np.zeros((256, 256, 1), np.uint8)
            m[40 * n:40 * n + 64, 30:200] = 255
            ds[n] = np.frombuffer(simplejpeg.encode_jpeg(m, quality=90, colorspace="GRAY"), np.uint8)
    return {"video": str(video.path), "vrtensor": str(encrypted_video), "big": str(big),
            "imx": str(imx), "masks": str(masks), "script": str(script)}


def describe(status: int) -> str:
    if os.WIFSIGNALED(status):
        return f"signal {os.WTERMSIG(status)}"
    return f"exit status {os.WEXITSTATUS(status)}"


# h5py and simplejpeg come with the masks extra; without them the mask case is skipped.
MISSING_MASKS = [m for m in ("h5py", "simplejpeg") if importlib.util.find_spec(m) is None]


@pytest.mark.parametrize("case", [
    pytest.param(case, marks=pytest.mark.skipif(
        case == "mask_bbox" and bool(MISSING_MASKS),
        reason=f"{' and '.join(MISSING_MASKS)} not installed (the masks extra)"))
    for case in CASES])
def test_exit_with_thread_inside_call(case, assets, tmp_path):
    args = dict(assets, case=CASES[case], delays=DELAYS, parallel=PARALLEL, scratch=str(tmp_path))
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(vr.__file__).parents[2]),
                                                    env.get("PYTHONPATH")] if p)
    proc = subprocess.run([sys.executable, assets["script"], json.dumps(args)],
                          capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    results = json.loads(proc.stdout)
    assert len(results) == RUNS
    failed = [r for r in results
              if r["status"] != 0 or "Fatal Python error" in r["stderr"]
              or "terminate called" in r["stderr"]]
    report = "\n".join(f"run {r['run']}: {describe(r['status'])}\n{r['stderr'][-1500:]}"
                       for r in failed[:3])
    assert not failed, f"{len(failed)}/{RUNS} runs crashed at exit\n{report}"
