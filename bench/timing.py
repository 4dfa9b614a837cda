"""Timing helpers shared by the benchmark scripts.

Figures on a shared machine are noisy: candidates take turns within every
round (so that runs of one round saw the same load), results are medians,
and ratios are medians of per-round ratios.
"""

from __future__ import annotations

import os
import random
import resource
import statistics
import subprocess
import sys
import time
import tracemalloc
from typing import Callable


def median_time(fn: Callable[[], object], repeat: int, number: int = 1) -> float:
    """Median over `repeat` samples of the seconds per call of `number` calls."""
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - t0) / number)
    return statistics.median(samples)


def cpu_seconds() -> float:
    """User and system CPU time of this process and its finished children."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def interleaved(candidates: dict, repeats: int, *, number: int = 1, shuffle: bool = False,
                cpu: bool = False):
    """Seconds per call of each candidate (a callable of no arguments), one entry
    per round; every candidate runs once per round, in a random order with
    `shuffle`. With `cpu`, returns (wall, cpu) dictionaries."""
    wall = {name: [] for name in candidates}
    cpus = {name: [] for name in candidates}
    for _ in range(repeats):
        order = list(candidates)
        if shuffle:
            random.shuffle(order)
        for name in order:
            c0, t0 = cpu_seconds() if cpu else 0.0, time.perf_counter()
            for _ in range(number):
                candidates[name]()
            wall[name].append((time.perf_counter() - t0) / number)
            if cpu:
                cpus[name].append((cpu_seconds() - c0) / number)
    return (wall, cpus) if cpu else wall


def side_by_side(ours, base, repeat: int, number: int = 1) -> tuple[float, float]:
    """Medians of `ours` and `base` timed in alternation."""
    runs = interleaved({"ours": ours, "base": base}, repeat, number=number)
    return statistics.median(runs["ours"]), statistics.median(runs["base"])


def paired(a: list, b: list, op) -> float:
    """Median over rounds of op(a[i], b[i])."""
    return statistics.median(op(x, y) for x, y in zip(a, b))


def paired_ratio(ours: list, base: list) -> float:
    """Median over rounds of ours/base measured in the same round."""
    return paired(ours, base, lambda x, y: x / y)


def ratio_spread(ours: list, base: list) -> str:
    """Interquartile range of the per-round ratios: how noisy the machine was."""
    ratios = [a / b for a, b in zip(ours, base)]
    if len(ratios) < 2:
        return "-"
    q = statistics.quantiles(ratios, n=4)
    return f"{q[0]:.2f}-{q[2]:.2f}"


def fmt_seconds(seconds: float) -> str:
    """A duration in us below a millisecond, else in ms, right-aligned."""
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.1f} us"
    return f"{seconds * 1e3:8.2f} ms"


def peak_traced(fn: Callable[[], object]) -> int:
    """Peak bytes allocated through Python's allocators during fn(), result included."""
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    result = fn()
    peak = tracemalloc.get_traced_memory()[1] - base
    del result
    tracemalloc.stop()
    return peak


# Appended to a child's code: prints the child's own resident high-water mark
# (ru_maxrss would carry the parent's over fork/exec).
PRINT_PEAK_RSS = ('\nprint(next(int(l.split()[1]) for l in open("/proc/self/status")'
                  ' if l.startswith("VmHWM:")))\n')


def child_peak_rss_kib(code: str, *args: str) -> int:
    """Runs `code` in a fresh interpreter and returns its peak RSS in KiB."""
    out = subprocess.run([sys.executable, "-c", code + PRINT_PEAK_RSS, *args], check=True,
                         capture_output=True, text=True)
    return int(out.stdout.strip().splitlines()[-1])


# glibc's mmap and trim thresholds pinned: freeing multi-MiB frames then no longer
# returns their pages to the system, so the next frame's array does not page-fault
# them in again. A tuning users do not have by default: figures taken with it are
# only ever shown beside the default ones (`--tuned`).
TUNED_MALLOC = {"MALLOC_MMAP_THRESHOLD_": str(64 << 20), "MALLOC_TRIM_THRESHOLD_": str(4 << 30)}


def malloc_setting() -> str:
    """How this process's allocator is set: 'default' or the pinned thresholds."""
    pinned = [f"{k}={os.environ[k]}" for k in TUNED_MALLOC if k in os.environ]
    return ("tuned: " + " ".join(pinned)) if pinned else "default (glibc's own thresholds)"


def run_tuned(argv: list[str]) -> None:
    """Runs this script once more, with `argv`, in a child whose glibc mmap and trim
    thresholds are pinned; its figures print after (beside) the default run's."""
    print("\n" + "=" * 30 + " the same, allocator tuned " + "=" * 30, flush=True)
    subprocess.run([sys.executable, sys.argv[0], *argv], env=dict(os.environ, **TUNED_MALLOC),
                   check=True)
