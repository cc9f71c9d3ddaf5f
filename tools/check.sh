#!/usr/bin/env bash
# The test suite on every supported CPython, each in the root that holds it (tools/roots):
# for each version, the optimized build on its release interpreter, then the debug build on
# its debug interpreter, where the interpreter's assertions are live and the reference-leak
# loop runs. CPython 3.12 is a release build only here, so it has no leak loop. The pure
# implementation runs too (leg.sh pure): on 3.14 the whole suite, on 3.11 and on PyPy
# (version "pypy", in a root without a compiler) a slice.
#   check.sh [--python VERSION]... [pytest arguments]
# --python (repeatable) picks versions (3.11 to 3.15, pypy); the default is every one. 3.14
# runs the whole suite; the others a representative slice: every test file, with every 4th
# module of the standard-library corpus (SPRIG_CORPUS_STEP sets another step for all of
# them), leaving `make install` into a virtual environment to 3.14 (SPRIG_SLICE=1). The legs
# run side by side, one per core (SPRIG_JOBS sets another number), each printed when it ends.
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
    case $v in 3.14|3.11) kinds+=(pure) ;; pypy) kinds=(pure) ;; esac
    for kind in "${kinds[@]}"; do
        if [ "$v" = 3.12 ] && [ "$kind" = debug ]; then
            echo "== python3.12d: none on this machine (pyenv builds release interpreters only);" \
                 "3.12 runs without the reference-leak loop"
            continue
        fi
        step=${SPRIG_CORPUS_STEP:-} slice=0
        if [ "$v" != 3.14 ]; then
            slice=1
            # debug: every 20th; pure, where Python code does the native module's work: 10th
            [ -n "$step" ] || { step=4; [ "$kind" = debug ] && step=20; [ "$kind" = pure ] && step=10; }
        fi
        extra=()
        if [ "$kind" = pure ] && [ "$v" != 3.14 ]; then
            # The pure slices leave out the clone finder's runs over the whole library, which
            # the pure 3.14 leg makes; PyPy takes every 50th module.
            extra=(--ignore=tests/test_clones.py)
            [ "$v" != pypy ] || [ -n "${SPRIG_CORPUS_STEP:-}" ] || step=50
        fi
        job "$v-$kind" env SPRIG_CORPUS_STEP="$step" SPRIG_SLICE=$slice \
            tools/pyroot --root "$root" tools/leg.sh "$kind" "$v" "${extra[@]}" "$@"
    done
done
jobs_finish
echo "== all versions passed in $((SECONDS - start)) s: ${versions[*]}"
