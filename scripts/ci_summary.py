#!/usr/bin/env python3
"""Prints the sessions of a nox run with their times (from its --report JSON) and the pytest counts of its log added up, ending on the tally line."""
import json
import re
import sys

# pytest's closing line: "== 3 failed, 10 passed, 1 skipped in 2.1s ==" or, with -q, "10 passed in 2.1s".
CLOSING = re.compile(r"^(?:=+ )?(\d+ (?:passed|failed|skipped|errors?|deselected|xfailed|xpassed|warnings?)\b.*) in [0-9.]+s")
COUNT = re.compile(r"(\d+) (passed|failed|skipped|errors?)\b")


def main() -> None:
    if len(sys.argv) != 3:
        sys.exit("usage: ci_summary.py REPORT_JSON NOX_LOG")
    report_path, log_path = sys.argv[1:]
    try:
        with open(report_path) as f:
            sessions = json.load(f)["sessions"]
    except (OSError, ValueError, KeyError) as e:
        print(f"no session report ({e})")
        sessions = []
    for s in sessions:
        name = max(s["signatures"], key=len) if s["signatures"] else s["name"]
        reason = s.get("reason") or ""
        print(f"{name:<22} {s['result']:<8} {s['duration']:6.0f}s  {reason}".rstrip())
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    suites = 0
    with open(log_path, errors="replace") as f:
        for line in f:
            m = CLOSING.match(line.strip())
            if not m:
                continue
            suites += 1
            for n, word in COUNT.findall(m[1]):
                counts["failed" if word.startswith("error") else word] += int(n)
    print(f"pytest suites: {suites}")
    print(f"total: {counts['passed']} passed, {counts['failed']} failed, {counts['skipped']} skipped")


if __name__ == "__main__":
    main()
