#!/usr/bin/env bash
# Builds the optimized extension and times it against the ast module, in the root that holds
# each interpreter:
#   bench.sh [--python VERSION] [bench.py options]      (default: 3.14)
#   bench.sh --all [bench.py options]
# --python pypy builds nothing: PyPy times the package in python/, the pure implementation,
# which is all it can load.
# --all runs the benchmark on every supported version over one corpus (a copy of the 3.14
# standard library, so that every version times the same workload; files an older parser
# cannot read are left out on that version), each writing bench/results-VERSION.json, then
# prints the versions side by side (bench/combine.py), also into bench/results-versions.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=(3.14)
all=false
case ${1:-} in
    --python) versions=("$2"); shift 2 ;;
    --python=*) versions=("${1#--python=}"); shift ;;
    --all) all=true; versions=(3.11 3.12 3.13 3.14 3.15); shift ;;
esac
# One version's run: the build, then bench.py with the given options.
run() {
    local v=$1; shift
    if [ "$v" = pypy ]; then
        tools/pyroot --root "$(tools/roots pypy)" bash -c '
            py=$(tools/interpreter pypy release) || exit
            PYTHONPATH=python exec "$py" bench/bench.py "$@"
        ' bash "$@"
        return
    fi
    tools/pyroot --root "$(tools/roots "$v")" --with bench bash -c '
        set -euo pipefail
        v=$1; shift
        dir=$(tools/build.sh release "$v")
        py=$(tools/interpreter "$v" release)
        path=$dir
        "$py" -c "import matplotlib" 2>/dev/null || path=$dir:/usr/lib/python3/dist-packages
        # Timing the pure implementation by mistake would say nothing about the native one.
        PYTHONPATH=$path "$py" -c "import sprig, sys
sys.exit(sprig.IMPLEMENTATION != \"native\" and \"bench: the native module did not load\")"
        PYTHONPATH=$path exec "$py" bench/bench.py "$@"
    ' bash "$v" "$@"
}
if ! $all; then
    run "${versions[0]}" "$@"
    exit
fi
corpus=build/bench-corpus
if [ ! -d "$corpus" ]; then
    tools/pyroot bash -c 'cp -r "$(python3.14 -c "import sysconfig; print(sysconfig.get_paths()[\"stdlib\"])")" "$1.partial" && mv "$1.partial" "$1"' bash "$corpus"
fi
results=()
for v in "${versions[@]}"; do
    echo "== python$v" >&2
    run "$v" --corpus "$corpus" --json "bench/results-$v.json" "$@" >"bench/results-$v.txt"
    results+=("bench/results-$v.json")
done
tools/pyroot python3.14 bench/combine.py "${results[@]}" | tee bench/results-versions.txt
exit "${PIPESTATUS[0]}"
