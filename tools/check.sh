#!/usr/bin/env bash
# The whole test suite on every supported CPython: for each version, the optimized build on
# pythonX.Y, then the debug build on pythonX.Yd, where the interpreter's assertions are live
# and the reference-leak loop runs.
#   check.sh [--python VERSION]... [pytest arguments]
# --python (repeatable) picks versions; the default is every supported one.
set -euo pipefail
versions=()
while [ $# -gt 0 ]; do
    case $1 in
        --python) versions+=("$2"); shift 2 ;;
        --python=*) versions+=("${1#--python=}"); shift ;;
        *) break ;;
    esac
done
[ ${#versions[@]} -gt 0 ] || versions=(3.13 3.14 3.15)
start=$SECONDS
for v in "${versions[@]}"; do
    for kind in release debug; do
        dir=$(tools/build.sh "$kind" "$v")
        py=python$v; [ "$kind" = debug ] && py=python${v}d
        echo "== $py ($kind build$([ "$kind" = debug ] && echo ", reference-leak loop"))"
        PYTHONPATH=$dir "$py" -m pytest -q -p no:cacheprovider "$@"
    done
done
echo "== all versions passed in $((SECONDS - start)) s: ${versions[*]}"
