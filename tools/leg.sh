#!/usr/bin/env bash
# One leg of the test run, inside the root that holds the interpreter:
#   leg.sh release|debug|pure VERSION [pytest arguments]
# release and debug build the extension for that interpreter, then run the suite on the
# native implementation. pure builds nothing: the suite runs on the package in the checkout
# (python/sprig) with the pure implementation, forced by SPRIG_NO_EXTENSIONS=1 on CPython;
# on PyPy (VERSION pypy) it is the only one there is. Each leg names the implementation it
# tests (SPRIG_EXPECT_IMPLEMENTATION), and tests/conftest.py stops at once on the other one.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=$1 version=$2; shift 2
if [ "$kind" = pure ]; then
    py=$(tools/interpreter "$version" release)
    dir=python
    [ "$version" = pypy ] || export SPRIG_NO_EXTENSIONS=1
    export SPRIG_EXPECT_IMPLEMENTATION=pure
else
    py=$(tools/interpreter "$version" "$kind")
    dir=$(tools/build.sh "$kind" "$version")
    if [[ "${CXXFLAGS:-}" == *-stdlib=libc++* ]]; then
        # The module must really use that library, not the compiler's default one.
        readelf -d "$dir"/*/_native*.so 2>/dev/null | grep -q "NEEDED.*\[libc++\.so" \
            || { echo "leg: the module built with $CXX does not link libc++" >&2; exit 1; }
    fi
    export SPRIG_EXPECT_IMPLEMENTATION=native
fi
note=""
[ "$kind" = debug ] && note=", reference-leak loop"
[ -n "${SPRIG_CORPUS_STEP:-}" ] && note+=", every ${SPRIG_CORPUS_STEP}th corpus module"
case $kind in
    debug) name=python${version}d what="debug build" ;;
    release) name=python$version what="release build" ;;
    pure) name=python$version what="pure implementation" ;;
esac
if [ "$version" = pypy ]; then
    name="pypy3 ($("$py" -c 'import sys
print("PyPy %d.%d.%d, Python %d.%d" % (*sys.pypy_version_info[:3], *sys.version_info[:2]))'))"
fi
echo "== $name ($what$note)"
# An interpreter without pytest of its own (the pyenv-built 3.12, PyPy) uses the root's:
# pytest and hypothesis are pure Python.
path=$dir
"$py" -c 'import pytest, hypothesis' 2>/dev/null || path=$dir:/usr/lib/python3/dist-packages
# Legs run side by side: each keeps its temporary files apart.
PYTHONPATH=$path exec "$py" -m pytest -q -p no:cacheprovider \
    --basetemp="${TMPDIR:-/tmp}/sprig-pytest-$version-$kind" "$@"
