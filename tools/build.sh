#!/usr/bin/env bash
# Builds the extension for one interpreter into build/<version>-<kind>, inside the root that
# holds that interpreter (tools/roots):
#   build.sh release|debug [VERSION]     (VERSION: 3.11 to 3.15; default 3.14)
# release builds for the release interpreter, debug for its debug build (pythonVERSIONd).
# CXX picks another compiler (with SPRIG_BUILD_DIR for its own directory); SPRIG_WERROR=1
# makes any warning an error, as it is under CI. Prints the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-}
version=${2:-3.14}
case $kind in
    release) type=Release ;;
    debug)   type=Debug ;;
    *) echo "build.sh: release|debug [VERSION]" >&2; exit 2 ;;
esac
py=$(tools/interpreter "$version" "$kind")
dir=${SPRIG_BUILD_DIR:-build/$version-$kind}
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$type -DPython_EXECUTABLE="$py" \
        ${SPRIG_CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$dir" -- -j2 >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
if grep -q "warning:" "$dir.log"; then
    cat "$dir.log" >&2
    if [ -n "${SPRIG_WERROR:-}" ] || [ "${CI:-}" = true ]; then
        echo "build.sh: warnings in $dir" >&2; exit 1
    fi
fi
echo "$dir"
