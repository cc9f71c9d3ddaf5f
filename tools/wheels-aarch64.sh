#!/usr/bin/env bash
# Cross-compiles one manylinux aarch64 wheel per CPython that Debian ships for arm64 (3.11 on
# Debian 12; 3.13, 3.14 and 3.15 on testing; Debian has no 3.12 at all) into dist/, beside
# the x86_64 ones, with g++ 12 for aarch64 (tools/aarch64-toolchain.cmake). auditwheel, run
# under emulation (it offers only the tags of the machine it runs on), then checks each wheel
# and repairs it to the tag below, and fails if a wheel needs a newer system than that.
#   wheels-aarch64.sh [VERSION...]        (default: 3.11 3.13 3.14 3.15)
set -euo pipefail
cd "$(dirname "$0")/.."
plat=manylinux_2_28_aarch64
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.13 3.14 3.15)
raw=dist/raw-aarch64
rm -rf "$raw" dist/sprig-*-manylinux*_aarch64.whl
mkdir -p "$raw"
start=$SECONDS
root_of() { if [ "$1" = 3.11 ]; then echo debian12-arm64; else echo testing-arm64; fi; }
wheel() {
    echo "== aarch64 wheel for CPython $1"
    # The build machine's interpreter of the same version runs the build backend, and names
    # the wheel for its version; the target's extension suffix and platform are said here,
    # since a cross build cannot ask the target's interpreter.
    tools/pyroot --root "$(root_of "$1")" bash -c '
        set -euo pipefail
        version=$1
        export CMAKE_TOOLCHAIN_FILE=$PWD/tools/aarch64-toolchain.cmake
        export SETUPTOOLS_EXT_SUFFIX=.cpython-${version/./}-aarch64-linux-gnu.so
        export _PYTHON_HOST_PLATFORM=linux-aarch64 SPRIG_REQUIRE_NATIVE=1
        "python$version" -c "import sys, scikit_build_core.build as b
print(b.build_wheel(sys.argv[1], {\"build-dir\": \"build/wheel-{wheel_tag}\"}))" "$2"
    ' bash "$1" "$raw" >/dev/null
}
source tools/jobs.sh
for v in "${versions[@]}"; do job "aarch64-wheel-$v" wheel "$v"; done
jobs_finish
echo "== auditwheel (emulated)"
tools/aarch64-run testing-arm64 bash -c '
    set -euo pipefail
    plat=$1 raw=$2
    for w in "$raw"/*.whl; do
        python3.14-aarch64 -m auditwheel show "$w" | tr "\n" " " | sed "s/  */ /g"; echo
        python3.14-aarch64 -m auditwheel repair --plat "$plat" --only-plat -w dist "$w" \
            >/dev/null 2>&1 || {
            echo "wheels-aarch64: $w cannot be tagged $plat:" >&2
            python3.14-aarch64 -m auditwheel show "$w" >&2; exit 1; }
    done
' bash "$plat" "$raw"
rm -rf "$raw"
ls -1 dist/*_aarch64.whl
echo "== ${#versions[@]} aarch64 wheels in $((SECONDS - start)) s"
