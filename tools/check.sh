#!/usr/bin/env bash
# The whole test suite: the optimized build on python3.14, then the debug build on
# python3.14d, where the interpreter's assertions are live and the leak loop runs.
set -euo pipefail
tools/build.sh release
tools/build.sh debug
echo "== python3.14 (release build)"
PYTHONPATH=build/release python3.14 -m pytest -q -p no:cacheprovider "$@"
echo "== python3.14d (debug build, reference-leak loop)"
PYTHONPATH=build/debug python3.14d -m pytest -q -p no:cacheprovider "$@"
