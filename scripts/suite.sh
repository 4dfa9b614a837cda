#!/usr/bin/env bash
# The suite as CI runs it in an environment with the wheel installed: what it
# runs against, the README's test command from the repository root, and the tool.
#
#   scripts/suite.sh PYTHON [INTERPRETER_OPTIONS...] [-- PYTEST_ARGS...]
#
# PYTHON is the environment's interpreter; the options (-X dev) go to it, the
# arguments after -- follow `tests`. $CHECK_INSTALLED_ARGS go to
# check_installed.py (--absent NAME).
set -euo pipefail
cd "$(dirname "$0")/.."
py=$1; shift
opts=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do opts+=("$1"); shift; done
[ $# -gt 0 ] && shift
# shellcheck disable=SC2086
"$py" "${opts[@]}" scripts/check_installed.py ${CHECK_INSTALLED_ARGS:-}
PATH=$(dirname "$py"):$PATH
# The README's test command (with the interpreter's options, if any):
python "${opts[@]}" -m pytest -q tests "$@"
vorantis-video --version
