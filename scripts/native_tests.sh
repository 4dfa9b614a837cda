#!/usr/bin/env bash
# Builds and runs the kernels' native tests (CTest, doctest) under
# AddressSanitizer and UndefinedBehaviorSanitizer; no interpreter involved.
#
#   scripts/native_tests.sh [CMAKE_ARGS...]   # SANITIZE=0 to build without sanitizers
#
# Installs the test framework (Debian: doctest-dev) when it is missing, and
# CMake into the active virtual environment when there is none on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/native

if [ ! -f /usr/include/doctest/doctest.h ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q >/dev/null
  $sudo apt-get install -y -q doctest-dev >/dev/null
fi
if ! command -v cmake >/dev/null; then
  python3 -m pip install --quiet cmake
fi

flags=""
if [ "${SANITIZE:-1}" != 0 ]; then
  flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
fi
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Debug -DVORANTIS_BUILD_EXTENSION=OFF "$@" \
  -DVORANTIS_NATIVE_TESTS=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$out" -j2
(cd "$out" && ctest --output-on-failure -j2)
