#!/usr/bin/env python3
"""Fails unless a wheel's file name carries a manylinux tag and every platform tag names glibc 2.LIMIT or older."""
import re
import sys
from pathlib import Path

# The legacy manylinux names and the glibc minor version each stands for.
LEGACY = {"manylinux1": 5, "manylinux2010": 12, "manylinux2014": 17}


def glibc_minors(name: str) -> list[int]:
    """The glibc minor version that each platform tag of the wheel file `name` needs."""
    plats = name[: -len(".whl")].split("-")[-1].split(".")
    minors = []
    for plat in plats:
        m = re.fullmatch(r"manylinux_2_(\d+)_\w+", plat)
        if m:
            minors.append(int(m[1]))
        elif plat.startswith(tuple(LEGACY)):
            minors.append(LEGACY[plat.split("_")[0]])
        else:
            sys.exit(f"CI: {name}: platform tag {plat!r} is no manylinux tag")
    return minors


def main() -> None:
    if len(sys.argv) != 3:
        sys.exit("usage: check_wheel_tag.py WHEEL MAX_GLIBC_MINOR")
    name, limit = Path(sys.argv[1]).name, int(sys.argv[2])
    minors = glibc_minors(name)
    print(f"glibc needed: 2.{min(minors)} (tags of {name}; limit 2.{limit})")
    if min(minors) > limit:
        sys.exit(f"CI: {name} needs a glibc newer than 2.{limit}")


if __name__ == "__main__":
    main()
