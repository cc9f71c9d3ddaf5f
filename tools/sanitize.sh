#!/usr/bin/env bash
# The test suite on python3.14 against a build with the address and undefined-behaviour
# sanitizers, failing on any sanitizer report. Extra arguments go to pytest.
#
# The interpreter is not instrumented, so the sanitizer runtime is preloaded into it; its
# objects come from malloc rather than its own pools, so that the address sanitizer sees a
# use after free of a Python object too. CPython leaves memory allocated at exit by design:
# leak detection is off. A test that exhausts memory on purpose wants a MemoryError, not an
# abort: failed allocations return null. Reports go to files as well as ending the process
# at once, so that a report in a child interpreter whose failure a test expected still counts.
set -euo pipefail
dir=${SPRIG_BUILD_DIR:-build/sanitize}
py=python3.14
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPRIG_SANITIZE=ON \
        -DPython_EXECUTABLE="$(command -v $py)" >/dev/null
fi
cmake --build "$dir" -- -j2 >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
if grep -q "warning:" "$dir.log"; then cat "$dir.log" >&2; fi

logs=$(pwd)/$dir-reports
rm -rf "$logs"
mkdir -p "$logs"
common="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$logs/report"
common+=":allocator_may_return_null=1"
export ASAN_OPTIONS="detect_leaks=0:detect_stack_use_after_return=0:$common"
export UBSAN_OPTIONS="$common"
export PYTHONMALLOC=malloc
# The sanitizers make every call several times slower: the corpus tests take every 80th
# module of the standard library (the optimized legs of make test cover the rest).
export SPRIG_CORPUS_STEP=${SPRIG_CORPUS_STEP:-80}
# Instrumented frames are larger; the interpreter's own recursion guards need more room.
ulimit -s unlimited 2>/dev/null || ulimit -s 65536 || true

echo "== $py (address and undefined-behaviour sanitizers)"
# test_packaging, test_typing, the start-up hook tests and the type checks of the documents'
# examples install a separate, uninstrumented module with pip (SPRIG_SLICE=1 skips what the
# installation fixture serves). test_clones runs the digests, which test_digest covers here,
# in pools of child interpreters over the whole library: instrumented, that alone took
# minutes.
export SPRIG_SLICE=1
# The instrumented native module, never the pure implementation (tests/conftest.py checks).
export SPRIG_EXPECT_IMPLEMENTATION=native
sanitized() {
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
        PYTHONPATH=$dir $py -m pytest -q -p no:cacheprovider \
        --basetemp="${TMPDIR:-/tmp}/sprig-pytest-sanitize-${SPRIG_SHARD/\//-of-}" \
        --ignore=tests/test_packaging.py --ignore=tests/test_typing.py \
        --ignore=tests/test_clones.py \
        --deselect=tests/test_readme.py::test_typed_examples_pass_mypy_strict \
        --deselect=tests/test_readme.py::test_typed_examples_pass_pyright_strict "$@"
}
# The suite in shards side by side, one per core (SPRIG_JOBS sets another number).
source tools/jobs.sh
status=0
for ((k = 1; k <= jobs_max; k++)); do
    SPRIG_SHARD=$k/$jobs_max job "shard-$k" sanitized "$@"
done
jobs_finish || status=$?
if compgen -G "$logs/report*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$logs"/report* >&2
    exit 1
fi
exit $status
