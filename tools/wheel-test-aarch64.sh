#!/usr/bin/env bash
# Installs aarch64 wheels from dist/ (tools/wheels-aarch64.sh) as a user would, with pip into a
# virtual environment of the arm64 CPython, all run under qemu-user emulation
# (tools/aarch64-run). From outside the checkout it runs the README's examples, checks that
# the native module from the wheel is the one in use (tools/native_check.py), then a slice of
# the suite against the installed package. Versions are tried side by side (tools/jobs.sh).
#   wheel-test-aarch64.sh [VERSION...]        (default: 3.11 3.14)
# Emulation costs about ten times the processor time of a native run, and twenty times at
# each interpreter's start: hence a short slice, every 100th corpus module, and two versions
# by default.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.14)
slice=(tests/test_walks.py tests/test_hash.py tests/test_visitors.py -q -x -rs -p no:cacheprovider)
source tools/jobs.sh
start=$SECONDS
try_wheel() {
    local version=$1 tag=cp${1/./} root=testing-arm64 wheel
    [ "$version" = 3.11 ] && root=debian12-arm64
    wheel=$(ls dist/sprig-*-"$tag"-"$tag"-manylinux*_aarch64.whl 2>/dev/null | head -n 1 || true)
    [ -n "$wheel" ] || { echo "wheel-test-aarch64: no aarch64 wheel for CPython $version in dist/ (make wheels-aarch64)" >&2; exit 1; }
    echo "== $(basename "$wheel") on $root, emulated"
    SPRIG_CORPUS_STEP=100 tools/aarch64-run "$root" bash -c '
        set -euo pipefail
        version=$1 wheel=$2; shift 2
        py=python$version-aarch64
        "$py" -c "import platform, sys; assert platform.machine() == \"aarch64\"; assert sys.version.startswith(\"$version.\"), sys.version"
        env=$(mktemp -d)
        # pip, pytest and hypothesis are pure Python: the root'"'"'s copies serve.
        "$py" -m venv --system-site-packages --without-pip "$env/venv"
        t=$SECONDS
        "$env/venv/bin/python" -m pip install -q --no-index --no-deps --no-cache-dir "$wheel"
        echo "pip install: $((SECONDS - t)) s"
        checkout=$(pwd)
        cd "$env"
        t=$SECONDS
        "$env/venv/bin/python" "$checkout/tools/native_check.py" "$checkout/$wheel"
        "$env/venv/bin/python" "$checkout/tools/readme_examples.py" "$checkout/README.md"
        echo "README examples and native check: $((SECONDS - t)) s"
        cd "$checkout"
        SPRIG_EXPECT_IMPLEMENTATION=native "$env/venv/bin/python" -m pytest --basetemp="$env/tmp" "$@"
        rm -rf "$env"
    ' bash "$version" "$wheel" "${slice[@]}"
}
for v in "${versions[@]}"; do job "aarch64-$v" try_wheel "$v"; done
jobs_finish
echo "== every aarch64 wheel installed and passed under emulation, in $((SECONDS - start)) s"
