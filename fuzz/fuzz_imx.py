"""Fuzzing of the IMX container reader.

Every input is written to a file and opened with `ImxContainer`, then with a
plain Python reference reader; both must give the same result: the same
exception type and message, or the same table, manifest and embedded bytes.
Any other exception, a crash or a hang is a finding.

  PYTHONPATH=python python fuzz/fuzz_imx.py --seconds 60            # atheris (libFuzzer)
  PYTHONPATH=python python fuzz/fuzz_imx.py --seconds 60 --no-atheris  # seeded mutation loop

Prints the number of inputs that ran.
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import sys
import tempfile
import time

from vorantis.engine import video_reader as vr

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from imx_reference import MAGIC, ReferenceReader  # noqa: E402

EXPECTED = (RuntimeError, struct.error, ValueError)  # ValueError: UTF-8 and JSON decoding


def outcome(make, path):
    try:
        obj = make(path)
    except EXPECTED as e:
        return type(e), str(e)
    files = {n: obj.read_file(n) for n in obj._entries}
    return obj._entries, obj._metadata, files


class Runner:
    def __init__(self, directory: str):
        self.path = os.path.join(directory, "fuzz.imx")
        self.runs = 0
        self.objects = 0

    def one(self, data: bytes) -> None:
        with open(self.path, "wb") as f:
            f.write(data)
        ours = outcome(vr.ImxContainer, self.path)
        ref = outcome(ReferenceReader, self.path)
        if ours != ref:
            raise AssertionError(f"mismatch for {data!r}:\n ours {ours!r}\n ref  {ref!r}")
        if not isinstance(ours[0], type):
            self.objects += 1
            c = vr.ImxContainer(self.path)
            c.find_files("*")
            try:
                c.format_version
            except AttributeError:
                if isinstance(c.metadata, dict):
                    raise
        self.runs += 1


def seeds() -> list[bytes]:
    def entry(name: bytes, offset: int, size: int) -> bytes:
        return struct.pack("<H", len(name)) + name + struct.pack("<QQ", offset, size)
    out = [MAGIC + struct.pack("<HH", 2, 0)]
    body = entry(b"a", 45, 3) + entry(b"manifest.json", 48, 15)
    out.append(MAGIC + struct.pack("<HH", 2, 2) + body + b"xyz" + b'{"version": 2} ')
    out.append(MAGIC + struct.pack("<HH", 2, 3) + entry("é/视".encode(), 2**64 - 1, 2**64 - 1)
               + entry(b"b", 0, 8) + entry(b"b", 1, 2))
    out.append(b"VIMX" + bytes(12))
    return out


def mutate(rng: random.Random, data: bytes) -> bytes:
    b = bytearray(data)
    for _ in range(rng.randrange(1, 5)):
        op = rng.randrange(5)
        if op == 0 and b:
            b[rng.randrange(len(b))] = rng.randrange(256)
        elif op == 1:
            del b[rng.randrange(len(b) + 1):]
        elif op == 2:
            pos = rng.randrange(len(b) + 1)
            b[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 20)))
        elif op == 3 and len(b) >= 8:
            struct.pack_into("<H", b, 6, rng.choice([0, 1, 2, 3, 255, 0xFFFF]))
        elif op == 4 and len(b) > 10:
            pos = rng.randrange(len(b) - 8)
            b[pos:pos + 8] = rng.choice([2**64 - 1, 2**63, 0, 8, len(b)]).to_bytes(8, "little")
    return bytes(b)


def run_loop(runner: Runner, seconds: float, seed: int) -> None:
    rng = random.Random(seed)
    pool = seeds()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for _ in range(100):
            data = mutate(rng, rng.choice(pool))
            runner.one(data)
            if len(pool) < 500 and rng.random() < 0.05:
                pool.append(data)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--no-atheris", action="store_true")
    args, rest = ap.parse_known_args()
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=base) as d:
        runner = Runner(d)
        try:
            import atheris
        except ImportError:
            atheris = None
        if atheris is None or args.no_atheris:
            t0 = time.monotonic()
            run_loop(runner, args.seconds, args.seed)
            print(f"mutation loop: {runner.runs} inputs ran in {time.monotonic() - t0:.0f} s "
                  f"({runner.objects} opened as containers), no finding")
            return
        corpus = os.path.join(d, "corpus")
        os.mkdir(corpus)
        for i, s in enumerate(seeds()):
            with open(os.path.join(corpus, f"seed{i}"), "wb") as f:
                f.write(s)
        ReferenceReader.__init__ = atheris.instrument_func(ReferenceReader.__init__)
        t0 = time.monotonic()

        def target(data: bytes) -> None:
            runner.one(data)
            if runner.runs % 20000 == 0:
                print(f"#{runner.runs} inputs, {runner.objects} containers, "
                      f"{time.monotonic() - t0:.0f} s", flush=True)

        atheris.Setup([sys.argv[0], f"-max_total_time={int(args.seconds)}", f"-seed={args.seed}",
                       "-max_len=4096", "-print_final_stats=1", *rest, corpus], target)
        atheris.Fuzz()


if __name__ == "__main__":
    main()
