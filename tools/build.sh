#!/usr/bin/env bash
# Builds the extension for one interpreter into build/<version>-<kind>:
#   build.sh release|debug [VERSION]     (VERSION: 3.13, 3.14 or 3.15; default 3.14)
# release builds for pythonVERSION, debug for the debug interpreter pythonVERSIONd.
# Prints the build directory.
set -euo pipefail
kind=${1:-}
version=${2:-3.14}
case $kind in
    release) py=python$version;  type=Release ;;
    debug)   py=python${version}d; type=Debug ;;
    *) echo "build.sh: release|debug [VERSION]" >&2; exit 2 ;;
esac
command -v "$py" >/dev/null || { echo "build.sh: $py not found" >&2; exit 2; }
dir=${SPRIG_BUILD_DIR:-build/$version-$kind}
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$type \
        -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
fi
cmake --build "$dir" -- -j2 >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
if grep -q "warning:" "$dir.log"; then cat "$dir.log" >&2; fi
echo "$dir"
