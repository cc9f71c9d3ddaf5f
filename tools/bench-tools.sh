#!/usr/bin/env bash
# Times real ast-based tools, as Debian packages them, with and without SPRIG_PATCH_AST=1
# (bench/tools.py), on CPython 3.14 in the testing root:
#   bench-tools.sh [tools.py options]
# The tools are the root's bench-tools package group, which tools/pyroot installs on first
# use; the roots that the tests use are made without them. sprig's release build is
# installed into a virtual environment of python3.14 as its wheel installs it: the package in
# site-packages with the start-up file beside it, so that SPRIG_PATCH_AST=1 patches at
# start-up, before the tool's code runs, and nothing else changes between the two kinds of run.
set -euo pipefail
cd "$(dirname "$0")/.."
exec tools/pyroot --root testing --with bench-tools bash -c '
    set -euo pipefail
    dir=$(tools/build.sh release 3.14)
    py=$(tools/interpreter 3.14 release)
    venv=build/bench-tools/venv
    [ -x "$venv/bin/python" ] || "$py" -m venv --system-site-packages --without-pip "$venv"
    site=$("$venv/bin/python" -c "import sysconfig; print(sysconfig.get_paths()[\"purelib\"])")
    rm -rf "$site/sprig"
    # The build holds links into the source tree; the environment gets real files.
    cp -rL "$dir/sprig" "$site/sprig"
    find "$site/sprig" -name __pycache__ -prune -exec rm -rf {} +
    cp src/startup/sprig-patch-ast.pth "$site/"
    exec "$venv/bin/python" bench/tools.py --python "$venv/bin/python" "$@"
' bash "$@"
