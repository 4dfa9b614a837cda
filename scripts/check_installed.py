#!/usr/bin/env python3
"""Prints the versions a suite runs against and fails unless vorantis is imported from this environment (never the source tree) and every --absent distribution is missing."""
import argparse
import importlib.metadata as md
import os
import sys

SHOWN = ("vorantis", "numpy", "av", "h5py", "simplejpeg", "pillow", "tqdm", "pytest", "mypy", "dask", "distributed")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--absent", action="append", default=[], help="a distribution that must not be installed")
    args = ap.parse_args()
    versions = []
    for name in SHOWN:
        try:
            versions.append(f"{name} {md.version(name)}")
        except md.PackageNotFoundError:
            pass
    print(f"Python {sys.version.split()[0]}: " + ", ".join(versions))

    import vorantis
    import vorantis.engine.video_reader as m

    env = os.path.realpath(sys.prefix)
    for f in (vorantis.__file__, m.__file__):
        print("imported:", f)
        if not os.path.realpath(f).startswith(env + os.sep):
            sys.exit(f"CI: {f} is not from the environment {env}")
    present = []
    for name in args.absent:
        try:
            present.append(f"{name} {md.version(name)}")
        except md.PackageNotFoundError:
            pass
    if present:
        sys.exit(f"CI: installed here, though this environment must go without them: {', '.join(present)}")
    if args.absent:
        print("absent, as required:", ", ".join(args.absent))


if __name__ == "__main__":
    main()
