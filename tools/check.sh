#!/usr/bin/env bash
# The test suite on every supported CPython, each in the root that holds it (tools/roots):
# for each version, the optimized build on its release interpreter, then the debug build on
# its debug interpreter, where the interpreter's assertions are live and the reference-leak
# loop runs. CPython 3.12 is a release build only here, so it has no leak loop. 3.11's release
# leg builds with clang 19 and LLVM's libc++, 3.13's with g++ 14 (see tools/compilers.sh). The pure
# implementation runs too (leg.sh pure): on 3.14 the whole suite, on PyPy (version "pypy", in a
# root without a compiler; Python 3.11) a slice.
#   check.sh [--python VERSION]... [pytest arguments]
# --python (repeatable) picks versions (3.11 to 3.15, pypy); the default is every one. The
# 3.14 release leg runs the whole suite on the whole standard-library corpus, the one place
# where every module is checked; the other legs every test file on every Nth corpus module
# (3.14 pure: 10th; release legs 10th, debug legs 40th, PyPy 50th;
# SPRIG_CORPUS_STEP sets one step for all of them). Legs other than 3.14's also run fewer
# generated trees and leave the process-pool runs and `make install` into a virtual
# environment to 3.14 (SPRIG_SLICE=1). The legs run side by side, one per core (SPRIG_JOBS
# sets another number), each printed when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=()
while [ $# -gt 0 ]; do
    case $1 in
        --python) versions+=("$2"); shift 2 ;;
        --python=*) versions+=("${1#--python=}"); shift ;;
        *) break ;;
    esac
done
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13 3.14 3.15 pypy)
tools/layers.sh
source tools/jobs.sh
start=$SECONDS
# The whole-suite legs first: they take longest, and the slices fill the other slots meanwhile.
ordered=()
for v in "${versions[@]}"; do [ "$v" = 3.14 ] && ordered=("$v" "${ordered[@]}") || ordered+=("$v"); done
for v in "${ordered[@]}"; do
    root=$(tools/roots "$v")
    kinds=(release debug)
    case $v in 3.14) kinds+=(pure) ;; pypy) kinds=(pure) ;; esac
    for kind in "${kinds[@]}"; do
        if [ "$v" = 3.12 ] && [ "$kind" = debug ]; then
            echo "== python3.12d: none on this machine (pyenv builds release interpreters only);" \
                 "3.12 runs without the reference-leak loop"
            continue
        fi
        step=${SPRIG_CORPUS_STEP:-} slice=0 extra=()
        if [ -z "$step" ]; then
            case $v-$kind in
                3.14-release) ;;
                3.14-pure|*-release) step=10 ;;
                pypy-*) step=50 ;;
                *-debug) step=40 ;;
            esac
        fi
        if [ "$v" != 3.14 ]; then
            slice=1
            # The clone finder's runs over the whole library are the 3.14 legs' to make.
            [ "$kind" != pure ] || extra=(--ignore=tests/test_clones.py)
        fi
        # Some legs build with another of the supported compilers than their root's own, so
        # that each one builds the module (without a warning, under CI) and passes a leg.
        cxx=() label=$v-$kind
        case $label in
            3.14-*) ;;
            3.11-release) cxx=(CXX=clang++-19 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++) ;;
            3.13-release) cxx=(CXX=g++-14) ;;
            *-release) cxx=(CXX=c++) ;;
        esac
        # Link-time optimisation only where it is timed and shipped: 3.14 and the wheels.
        if [ "$kind" = release ] && [ "$v" != 3.14 ]; then
            cxx+=(SPRIG_BUILD_DIR="build/$label-${cxx[0]#CXX=}" SPRIG_CMAKE_ARGS=-DSPRIG_LTO=OFF)
        fi
        job "$label" env SPRIG_CORPUS_STEP="$step" SPRIG_SLICE=$slice "${cxx[@]}" \
            tools/pyroot --root "$root" tools/leg.sh "$kind" "$v" "${extra[@]}" "$@"
    done
done
jobs_finish
echo "== all versions passed in $((SECONDS - start)) s: ${versions[*]}"
