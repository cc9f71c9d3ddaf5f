#!/usr/bin/env bash
# Builds the extension with every supported compiler that the roots provide, failing on any
# warning, and runs a quick slice of the suite on each build (side by side, see tools/jobs.sh):
#   g++ 12, clang 14 and clang 19 on Debian 12 (CPython 3.11); g++ 14 and 16 on Debian
#   testing (CPython 3.14).
#   compilers.sh [--skip-defaults] [pytest arguments in place of the slice]
# --skip-defaults leaves out g++ 12 and g++ 16, each root's own compiler, which every test
# leg of `make test` builds with already (under CI, where warnings fail those builds too).
set -euo pipefail
cd "$(dirname "$0")/.."
slice=(tests/test_walks.py tests/test_hash.py tests/test_visitors.py -q -x)
legs=("debian12 3.11 g++-12" "debian12 3.11 clang++-14" "debian12 3.11 clang++-19"
      "testing 3.14 g++-14" "testing 3.14 g++-16")
if [ "${1:-}" = --skip-defaults ]; then
    legs=("debian12 3.11 clang++-14" "debian12 3.11 clang++-19" "testing 3.14 g++-14")
    shift
fi
[ $# -gt 0 ] && slice=("$@")
source tools/jobs.sh
start=$SECONDS
leg() {
    local root=$1 version=$2 cxx=$3
    echo "== $cxx, CPython $version"
    # No link-time optimisation: each compiler's own diagnostics are what is judged here.
    SPRIG_CORPUS_STEP=50 tools/pyroot --root "$root" bash -c '
        set -euo pipefail
        cxx=$1 version=$2; shift 2
        command -v "$cxx" >/dev/null || { echo "compilers: $cxx is not in this root" >&2; exit 2; }
        dir=$(CXX=$cxx SPRIG_BUILD_DIR=build/cc-$cxx SPRIG_WERROR=1 \
              SPRIG_CMAKE_ARGS=-DSPRIG_LTO=OFF \
              tools/build.sh release "$version")
        PYTHONPATH=$dir SPRIG_EXPECT_IMPLEMENTATION=native \
            "$(tools/interpreter "$version" release)" -m pytest -p no:cacheprovider \
            --basetemp="/tmp/sprig-pytest-$cxx" "$@"
    ' bash "$cxx" "$version" "${slice[@]}"
}
for spec in "${legs[@]}"; do
    read -r root version cxx <<<"$spec"
    job "$cxx" leg "$root" "$version" "$cxx"
done
jobs_finish
echo "== every compiler built without a warning and passed, in $((SECONDS - start)) s"
