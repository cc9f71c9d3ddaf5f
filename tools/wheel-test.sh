#!/usr/bin/env bash
# Installs the wheels in dist/ as a user would, with pip and nothing else, into a virtual
# environment of a system with no compiler: Debian 12 (CPython 3.11), Debian 13 (3.13),
# Debian testing (3.14, 3.15) and the host's pyenv-built 3.12. pip chooses among all of
# dist/: each of these must take its native wheel. From outside the checkout it imports
# sprig, runs the README's examples, then a quick slice of the suite against the installed
# package, which must use the native implementation.
# On PyPy (Debian testing), where no native wheel fits, pip must take the pure wheel, which
# runs the slice on the pure implementation; then the sdist installs there too, with no
# compiler, and so it does on a CPython with no compiler, falling back to the pure wheel.
# The systems are tried side by side (see tools/jobs.sh).
#   wheel-test.sh [VERSION...]     (3.11 to 3.15, pypy; default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."
slice=(tests/test_walks.py tests/test_typed.py tests/test_hash.py tests/test_visitors.py
       tests/test_edits.py -q -x -p no:cacheprovider)
legs=("debian12-bare python3 3.11" "debian13-bare python3 3.13" "testing-bare python3.14 3.14"
      "testing-bare python3.15 3.15" "testing-bare pyenv 3.12" "pypy-bare pypy3 pypy")
source tools/jobs.sh
start=$SECONDS
try_wheel() {
    local root=$1 py=$2 version=$3
    local tag=cp${version/./} want=native
    local pattern="sprig-*-$tag-$tag-manylinux*_x86_64.whl"
    [ "$version" = pypy ] && { pattern="sprig-*-py3-none-any.whl"; want=pure; }
    local wheel
    wheel=$(ls dist/$pattern 2>/dev/null | head -n 1 || true)
    [ -n "$wheel" ] || { echo "wheel-test: no $pattern in dist/ (make wheels)" >&2; exit 1; }
    echo "== $(basename "$wheel") on $root"
    SPRIG_CORPUS_STEP=100 SPRIG_EXPECT_IMPLEMENTATION=$want tools/pyroot --root "$root" bash -c '
        set -euo pipefail
        py=$1 version=$2 wheel=$3; shift 3
        if [ "$py" = pyenv ]; then
            [ -n "${SPRIG_PYTHON312:-}" ] || { echo "wheel-test: no pyenv-built CPython 3.12 on this machine" >&2; exit 2; }
            py=$SPRIG_PYTHON312/bin/python3.12
        fi
        # pytest and hypothesis (and on PyPy, the build backend) are pure Python: the
        # root'"'"'s copies serve an interpreter that has none of its own.
        "$py" -c "import pytest" 2>/dev/null || export PYTHONPATH=/usr/lib/python3/dist-packages
        ! command -v cc c++ g++ gcc >/dev/null || { echo "wheel-test: this root has a compiler" >&2; exit 1; }
        [ "$version" = pypy ] || "$py" -c "import sys; assert sys.version.startswith(\"$version.\"), sys.version"
        env=$(mktemp -d)
        "$py" -m venv --system-site-packages "$env/venv"
        "$env/venv/bin/python" -m pip install -q --no-index --only-binary :all: --find-links dist sprig
        checkout=$(pwd)
        cd "$env"
        "$env/venv/bin/python" "$checkout/tools/readme_examples.py" "$checkout/README.md"
        "$env/venv/bin/python" -c "import sprig, sys
assert sys.prefix in sprig.__file__, sprig.__file__
assert sprig.IMPLEMENTATION == \"$SPRIG_EXPECT_IMPLEMENTATION\", sprig.IMPLEMENTATION"
        cd "$checkout"
        "$env/venv/bin/python" -m pytest --basetemp="$env/tmp" "$@"
        if [ "$version" = pypy ]; then
            # The sdist, on PyPy and on a CPython without a compiler: both install the pure
            # implementation, built without CMake; Debian'"'"'s scikit-build-core builds it.
            export PYTHONPATH=/usr/lib/python3/dist-packages
            sdist=$(ls dist/sprig-*.tar.gz | head -n 1)
            for python in pypy3 python3; do
                "$python" -m venv "$env/$python"
                "$env/$python/bin/python" -m pip install -q --no-index --no-deps \
                    --no-build-isolation "$sdist" >"$env/$python.log" 2>&1 \
                    || { cat "$env/$python.log" >&2; exit 1; }
                (cd "$env" && "$env/$python/bin/python" -c "import ast, sprig, sys
assert sprig.IMPLEMENTATION == \"pure\" and sys.prefix in sprig.__file__, sprig.__file__
tree = ast.parse(\"x = f(1)\")
assert len(sprig.walk_dfs(tree)) == len(list(ast.walk(tree)))
print(\"   the sdist on\", sys.implementation.name, sys.version.split()[0], \"installs\",
      \"the pure implementation\")")
            done
        fi
        rm -rf "$env"
    ' bash "$py" "$version" "$wheel" "${slice[@]}"
}
for spec in "${legs[@]}"; do
    read -r root py version <<<"$spec"
    [ $# -eq 0 ] || [[ " $* " == *" $version "* ]] || continue
    job "$version-on-$root" try_wheel "$root" "$py" "$version"
done
jobs_finish
echo "== every wheel installed and passed, in $((SECONDS - start)) s"
