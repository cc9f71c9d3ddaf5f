#!/usr/bin/env bash
# Installs each wheel in dist/ as a user would, with pip and nothing else, into a virtual
# environment of a system with no compiler: Debian 12 (CPython 3.11), Debian 13 (3.13),
# Debian testing (3.14, 3.15) and the host's pyenv-built 3.12. From outside the checkout it
# imports sprig, runs the README's examples, then a quick slice of the suite against the
# installed module. The systems are tried side by side (see tools/jobs.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
slice=(tests/test_walks.py tests/test_typed.py tests/test_hash.py tests/test_visitors.py
       tests/test_edits.py -q -x -p no:cacheprovider)
legs=("debian12-bare python3 3.11" "debian13-bare python3 3.13" "testing-bare python3.14 3.14"
      "testing-bare python3.15 3.15" "testing-bare pyenv 3.12")
source tools/jobs.sh
start=$SECONDS
try_wheel() {
    local root=$1 py=$2 version=$3
    local tag=cp${version/./}
    local wheel
    wheel=$(ls dist/sprig-*-"$tag"-"$tag"-manylinux*_x86_64.whl 2>/dev/null | head -n 1 || true)
    [ -n "$wheel" ] || { echo "wheel-test: no wheel for CPython $version in dist/ (make wheels)" >&2; exit 1; }
    echo "== $(basename "$wheel") on $root"
    SPRIG_CORPUS_STEP=25 tools/pyroot --root "$root" bash -c '
        set -euo pipefail
        py=$1 version=$2 wheel=$3; shift 3
        if [ "$py" = pyenv ]; then
            [ -n "${SPRIG_PYTHON312:-}" ] || { echo "wheel-test: no pyenv-built CPython 3.12 on this machine" >&2; exit 2; }
            py=$SPRIG_PYTHON312/bin/python3.12
            # pytest and hypothesis are pure Python: the root'"'"'s copies serve this one.
            export PYTHONPATH=/usr/lib/python3/dist-packages
        fi
        ! command -v cc c++ g++ gcc >/dev/null || { echo "wheel-test: this root has a compiler" >&2; exit 1; }
        "$py" -c "import sys; assert sys.version.startswith(\"$version.\"), sys.version"
        env=$(mktemp -d)
        "$py" -m venv --system-site-packages "$env/venv"
        "$env/venv/bin/python" -m pip install -q --no-index --no-deps "$wheel"
        checkout=$(pwd)
        cd "$env"
        "$env/venv/bin/python" "$checkout/tools/readme_examples.py" "$checkout/README.md"
        cd "$checkout"
        "$env/venv/bin/python" -c "import sprig, sys; assert sys.prefix in sprig.__file__, sprig.__file__"
        SPRIG_INSTALLED=1 "$env/venv/bin/python" -m pytest --basetemp="$env/tmp" "$@"
        rm -rf "$env"
    ' bash "$py" "$version" "$wheel" "${slice[@]}"
}
for spec in "${legs[@]}"; do
    read -r root py version <<<"$spec"
    job "$version-on-$root" try_wheel "$root" "$py" "$version"
done
jobs_finish
echo "== every wheel installed and passed, in $((SECONDS - start)) s"
