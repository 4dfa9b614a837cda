#!/usr/bin/env bash
# Builds the extension in place for development: python/vorantis/engine/video_reader*.so.
# Run the tests against it with: PYTHONPATH=python python -m pytest
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/dev -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/dev -j2
cp build/dev/video_reader*.so python/vorantis/engine/
