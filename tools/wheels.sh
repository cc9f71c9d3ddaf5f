#!/usr/bin/env bash
# Builds the sdist, one wheel per supported CPython and the pure wheel into dist/, each native
# one in the root that holds its interpreter (side by side, see tools/jobs.sh); auditwheel
# then checks each native wheel and repairs it to the manylinux tag below, and fails if a
# wheel needs a newer system than that. The pure wheel (py3-none-any: the package without
# its native module, built without CMake) is what pip takes where no native wheel fits.
#
# The wheels are compiled by g++ 12, whose C++ runtime (libstdc++ 12) asks for nothing newer
# than that of the oldest systems of the tag. The module calls few C library functions, none of
# them newer than that either. (A statically linked runtime would drag in parts of the C++
# library that need a far newer C library.)
# A native build that fails stops here (SPRIG_REQUIRE_NATIVE=1): it never falls back to a
# pure wheel, as a user's sdist build does.
#   wheels.sh [VERSION...]        (default: 3.11 to 3.15)
set -euo pipefail
cd "$(dirname "$0")/.."
plat=manylinux_2_28_x86_64
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13 3.14 3.15)
rm -rf dist
mkdir -p dist/raw
start=$SECONDS
echo "== sdist"
tools/pyroot python3.14 -c 'import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))' dist
echo "== pure wheel"
tools/pyroot python3.14 -c 'import sys, scikit_build_core.build as b
print(b.build_wheel(sys.argv[1], {"wheel.cmake": "false"}))' dist >/dev/null
wheel() {
    echo "== wheel for CPython $1"
    # The build backend is pure Python: an interpreter without one (the pyenv-built 3.12)
    # borrows the root's.
    CXX=g++-12 tools/pyroot --root "$(tools/roots "$1")" bash -c '
        set -euo pipefail
        export CXX=g++-12 SPRIG_REQUIRE_NATIVE=1
        py=$(tools/interpreter "$1" release)
        "$py" -c "import scikit_build_core" 2>/dev/null || export PYTHONPATH=/usr/lib/python3/dist-packages
        "$py" -c "import sys, scikit_build_core.build as b
print(b.build_wheel(sys.argv[1], {\"build-dir\": \"build/wheel-{wheel_tag}\"}))" dist/raw
    ' bash "$1" >/dev/null
}
source tools/jobs.sh
for v in "${versions[@]}"; do job "wheel-$v" wheel "$v"; done
jobs_finish
echo "== auditwheel"
tools/pyroot bash -c '
    set -euo pipefail
    plat=$1
    for w in dist/raw/*.whl; do
        auditwheel show "$w" | tr "\n" " " | sed "s/  */ /g"; echo
        auditwheel repair --plat "$plat" --only-plat -w dist "$w" >/dev/null 2>&1 || {
            echo "wheels: $w cannot be tagged $plat:" >&2; auditwheel show "$w" >&2; exit 1; }
    done
' bash "$plat"
rm -rf dist/raw
ls -1 dist
echo "== sdist, pure wheel and ${#versions[@]} native wheels in $((SECONDS - start)) s"
