#!/usr/bin/env bash
# One leg of the test run, inside the root that holds the interpreter: builds the extension,
# then runs the suite on it.   leg.sh release|debug VERSION [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=$1 version=$2; shift 2
py=$(tools/interpreter "$version" "$kind")
dir=$(tools/build.sh "$kind" "$version")
note=""
[ "$kind" = debug ] && note=", reference-leak loop"
[ -n "${SPRIG_CORPUS_STEP:-}" ] && note+=", every ${SPRIG_CORPUS_STEP}th corpus module"
echo "== python$version$([ "$kind" = debug ] && echo d) ($kind build$note)"
# An interpreter without pytest of its own (the pyenv-built 3.12) uses the root's: pytest and
# hypothesis are pure Python.
path=$dir
"$py" -c 'import pytest, hypothesis' 2>/dev/null || path=$dir:/usr/lib/python3/dist-packages
# Legs run side by side: each keeps its temporary files apart.
PYTHONPATH=$path exec "$py" -m pytest -q -p no:cacheprovider \
    --basetemp="${TMPDIR:-/tmp}/sprig-pytest-$version-$kind" "$@"
