#!/usr/bin/env bash
# Builds the extension for one interpreter into build/<name>: build.sh release|debug
set -euo pipefail
kind=$1
case $kind in
    release) py=python3.14;  type=Release ;;
    debug)   py=python3.14d; type=Debug ;;
    *) echo "build.sh: release or debug" >&2; exit 2 ;;
esac
dir=${SPRIG_BUILD_DIR:-build/$kind}
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$type \
        -DPython_EXECUTABLE="$(command -v $py)" >/dev/null
fi
cmake --build "$dir" -- -j2 >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
if grep -q "warning:" "$dir.log"; then cat "$dir.log" >&2; fi
