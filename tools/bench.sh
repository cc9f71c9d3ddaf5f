#!/usr/bin/env bash
# Builds the optimized extension and times it against the ast module:
#   bench.sh [--python VERSION] [bench.py options]      (default: 3.14)
#   bench.sh --all [bench.py options]
# --all runs the benchmark on every supported version over one corpus (the 3.14 standard
# library, so that every version times the same workload), each writing
# bench/results-VERSION.json, then prints the versions side by side (bench/combine.py), also
# into bench/results-versions.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=(3.14)
all=false
case ${1:-} in
    --python) versions=("$2"); shift 2 ;;
    --python=*) versions=("${1#--python=}"); shift ;;
    --all) all=true; versions=(3.13 3.14 3.15); shift ;;
esac
if ! $all; then
    v=${versions[0]}
    dir=$(tools/build.sh release "$v")
    PYTHONPATH=$dir exec "python$v" bench/bench.py "$@"
fi
corpus=$(python3.14 -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')
results=()
for v in "${versions[@]}"; do
    dir=$(tools/build.sh release "$v")
    echo "== python$v" >&2
    PYTHONPATH=$dir "python$v" bench/bench.py --corpus "$corpus" \
        --json "bench/results-$v.json" "$@" >"bench/results-$v.txt"
    results+=("bench/results-$v.json")
done
python3.14 bench/combine.py "${results[@]}" | tee bench/results-versions.txt
exit "${PIPESTATUS[0]}"
