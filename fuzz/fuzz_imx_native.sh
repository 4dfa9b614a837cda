#!/usr/bin/env bash
# Coverage-guided fuzzing of the IMX table scanner and the writer's layout
# (fuzz/fuzz_imx_table.cpp) with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer; no interpreter involved.
#
#   fuzz/fuzz_imx_native.sh [SECONDS]      # default 60
#
# Builds into build/fuzz, seeds the corpus (build/fuzz/corpus, kept between
# runs) with small valid containers, runs for SECONDS and prints executions,
# coverage (edges "cov" and features "ft") and findings (build/fuzz/findings).
# Needs clang and its runtime libraries (Debian: clang, libclang-rt-<version>-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build/fuzz

command -v clang++ >/dev/null || { echo "clang++ not found (Debian: apt-get install clang libclang-rt-dev)" >&2; exit 2; }
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVORANTIS_BUILD_EXTENSION=OFF -DVORANTIS_FUZZ=ON >/dev/null
cmake --build "$out" --target fuzz_imx_table -j2 >/dev/null

mkdir -p "$out/corpus" "$out/findings"
python3 - "$out/corpus" <<'PY'
import os, struct, sys

def container(entries, magic=b"IMX\0", version=2):
    table, data = b"", b""
    start = 8 + sum(18 + len(n.encode()) for n, _ in entries)
    for name, payload in entries:
        raw = name.encode()
        table += struct.pack("<H", len(raw)) + raw + struct.pack("<QQ", start + len(data), len(payload))
        data += payload
    return magic + struct.pack("<HH", version, len(entries)) + table + data

seeds = {
    "empty": container([]),
    "one": container([("weights.bin", b"\x01\x02\x03")]),
    "manifest": container([("manifest.json", b'{"format_version": 2}'), ("a/b.bin", b"xy")]),
    "unicode": container([("gewichte-\u00e4\u00f6\u00fc.bin", b"z"), ("\u6a21\u578b", b"")]),
    "empty_name": container([("", b"data")]),
    "many": container([(f"layer{i}.bin", bytes(i)) for i in range(40)]),
    "v1": container([("x", b"1")], magic=b"VIMX", version=1),
}
for name, blob in seeds.items():
    with open(os.path.join(sys.argv[1], "seed-" + name), "wb") as f:
        f.write(blob)
PY

log="$out/last_run.log"
set +e
"$out/fuzz/fuzz_imx_table" "$out/corpus" -max_total_time="$seconds" -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$out/findings/" >"$log" 2>&1
rc=$?
set -e

done_line=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
cov=$(echo "$done_line" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
ft=$(echo "$done_line" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
corpus=$(echo "$done_line" | sed -n 's/.*corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p')
findings=$(find "$out/findings" -type f | wc -l)

echo "fuzz_imx_table: ${seconds} s"
echo "  executions      ${execs:-?} (${speed:-?}/s)"
echo "  coverage        cov ${cov:-?} edges, ft ${ft:-?} features, corpus ${corpus:-?}"
echo "  findings        ${findings} (in $out/findings)"
if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
  grep -E 'ERROR|check failed|SUMMARY' "$log" | head -20
  echo "  exit status $rc; full log in $log"
  exit 1
fi
