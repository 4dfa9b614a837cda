#!/usr/bin/env python3
"""Prints the direct requirements that pyproject.toml declares (the base ones and those of the named extras), one a line, markers kept."""
import argparse
import re
import sys
from pathlib import Path

try:
    import tomllib
except ModuleNotFoundError:  # Python 3.10
    import tomli as tomllib

REQ = re.compile(r"\s*([A-Za-z0-9_.\-]+)\s*(\[[^\]]*\])?\s*([^;]*?)\s*(?:;\s*(.*?))?\s*$")


def and_markers(*markers: str | None) -> str | None:
    present = [m for m in markers if m]
    if len(present) <= 1:
        return present[0] if present else None
    return " and ".join(f"({m})" for m in present)


def requirements(project: dict, extras: list[str], base: bool) -> list[tuple[str, str, str, str | None]]:
    """(name, its extras, specifier, marker) of each direct requirement; an extra's
    reference to the project's own extras is followed, its marker kept."""
    own = project["name"].lower()
    optional = project.get("optional-dependencies", {})
    out: list[tuple[str, str, str, str | None]] = []

    def add(specs: list[str], marker: str | None, seen: frozenset) -> None:
        for spec in specs:
            m = REQ.fullmatch(spec)
            if not m:
                sys.exit(f"cannot read the requirement {spec!r}")
            name, extra_list, specifier, own_marker = m.groups()
            both = and_markers(marker, own_marker)
            if name.lower() == own:
                for extra in (extra_list or "[]")[1:-1].split(","):
                    extra = extra.strip()
                    if extra and extra not in seen:
                        add(optional[extra], both, seen | {extra})
                continue
            out.append((name, (extra_list or "").replace(" ", ""), specifier, both))

    if base:
        add(project.get("dependencies", []), None, frozenset())
    for extra in extras:
        if extra not in optional:
            sys.exit(f"pyproject.toml declares no extra {extra!r}")
        add(optional[extra], None, frozenset({extra}))
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--pyproject", default=Path(__file__).resolve().parent.parent / "pyproject.toml")
    ap.add_argument("--extra", action="append", default=[], help="an extra to include (repeatable)")
    ap.add_argument("--no-base", action="store_true", help="leave out the base dependencies")
    ap.add_argument("--only", action="append", default=[], help="only this distribution (repeatable)")
    ap.add_argument("--lower-bounds", action="store_true",
                    help="print NAME==BOUND from each requirement's '>=' bound (fails on one without)")
    ap.add_argument("--names", action="store_true", help="print the distribution names alone")
    args = ap.parse_args()
    with open(args.pyproject, "rb") as f:
        project = tomllib.load(f)["project"]
    only = {n.lower() for n in args.only}
    for name, its_extras, specifier, marker in requirements(project, args.extra, not args.no_base):
        if only and name.lower() not in only:
            continue
        if args.names:
            print(name)
            continue
        if args.lower_bounds:
            m = re.fullmatch(r">=\s*([0-9][0-9A-Za-z.]*)", specifier)
            if not m:
                sys.exit(f"no plain lower bound in the requirement of {name}: {specifier!r}")
            specifier = f"=={m[1]}"
        print(f"{name}{its_extras}{specifier}" + (f"; {marker}" if marker else ""))


if __name__ == "__main__":
    main()
