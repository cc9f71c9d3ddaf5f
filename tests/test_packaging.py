"""The project installs with pip as an ordinary package: the module and its type stubs."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="installs for the release interpreter")
def test_pip_install_builds_module_and_stubs(tmp_path):
    target = tmp_path / "site"
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
         "--no-index", "--break-system-packages", "--quiet", "--target", str(target), str(ROOT)],
        check=True, cwd=tmp_path, env={**os.environ, "PIP_NO_CACHE_DIR": "1"},
        capture_output=True,
    )
    assert (target / "sprig-stubs" / "__init__.pyi").is_file()
    probe = subprocess.run(
        [sys.executable, "-c", "import ast, sprig; print(sprig.__file__, "
         "len(sprig.walk_dfs(ast.parse('x = 1'))))"],
        check=True, cwd=tmp_path, env={**os.environ, "PYTHONPATH": str(target)},
        capture_output=True, text=True,
    )
    path, count = probe.stdout.split()
    assert path.startswith(str(target)) and count == "5"
