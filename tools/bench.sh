#!/usr/bin/env bash
# Builds the optimized extension and times it against the ast module on the standard library:
# bench.sh [bench.py options], e.g. --quick, --no-callgrind, --json PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh release
PYTHONPATH=${SPRIG_BUILD_DIR:-build/release} exec python3.14 bench/bench.py "$@"
