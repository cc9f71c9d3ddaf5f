#!/usr/bin/env bash
# Builds the extension with every supported compiler that the roots provide, failing on any
# warning, and runs a quick slice of the suite on each build (side by side, see tools/jobs.sh):
#   g++ 12, clang 14 and clang 19 on Debian 12 (CPython 3.11); g++ 14 and 16 on Debian
#   testing (CPython 3.14).
#   compilers.sh [--skip-defaults] [pytest arguments in place of the slice]
# --skip-defaults leaves out the compilers that `make test` builds with already, under CI
# failing on any warning: g++ 12 and g++ 16, each root's own; g++ 14 (3.13's release leg) and
# clang 19 with libc++ (3.11's release leg).
set -euo pipefail
cd "$(dirname "$0")/.."
slice=(tests/test_walks.py tests/test_hash.py tests/test_visitors.py -q -x)
# root, CPython, compiler and, for a C++ library other than the compiler's own, its name
legs=("debian12 3.11 g++-12" "debian12 3.11 clang++-14" "debian12 3.11 clang++-19"
      "debian12 3.11 clang++-19 libc++" "testing 3.14 g++-14" "testing 3.14 g++-16")
if [ "${1:-}" = --skip-defaults ]; then
    legs=("debian12 3.11 clang++-14" "debian12 3.11 clang++-19")
    shift
fi
[ $# -gt 0 ] && slice=("$@")
source tools/jobs.sh
start=$SECONDS
leg() {
    local root=$1 version=$2 cxx=$3 lib=$4 label=$5
    echo "== $cxx${lib:+ with $lib}, CPython $version"
    # No link-time optimisation: each compiler's own diagnostics are what is judged here.
    SPRIG_CORPUS_STEP=50 tools/pyroot --root "$root" bash -c '
        set -euo pipefail
        cxx=$1 version=$2 lib=$3 label=$4; shift 4
        command -v "$cxx" >/dev/null || { echo "compilers: $cxx is not in this root" >&2; exit 2; }
        if [ -n "$lib" ]; then
            # CMake takes both from the environment when it first configures the build.
            export CXXFLAGS=-stdlib=$lib LDFLAGS=-stdlib=$lib
        fi
        dir=$(CXX=$cxx SPRIG_BUILD_DIR=build/cc-$label SPRIG_WERROR=1 \
              SPRIG_CMAKE_ARGS=-DSPRIG_LTO=OFF \
              tools/build.sh release "$version")
        if [ -n "$lib" ]; then
            # The module must really use that library, not the default one.
            needed=$(readelf -d "$dir"/sprig*.so "$dir"/*/_native*.so 2>/dev/null || true)
            grep -q "NEEDED.*\[$lib\.so" <<<"$needed" \
                || { echo "compilers: the module built by $cxx does not link $lib" >&2; exit 1; }
        fi
        PYTHONPATH=$dir SPRIG_EXPECT_IMPLEMENTATION=native \
            "$(tools/interpreter "$version" release)" -m pytest -p no:cacheprovider \
            --basetemp="/tmp/sprig-pytest-$label" "$@"
    ' bash "$cxx" "$version" "$lib" "$label" "${slice[@]}"
}
for spec in "${legs[@]}"; do
    read -r root version cxx lib <<<"$spec"
    label=$cxx${lib:+-$lib}
    job "$label" leg "$root" "$version" "$cxx" "$lib" "$label"
done
jobs_finish
echo "== every compiler built without a warning and passed, in $((SECONDS - start)) s"
