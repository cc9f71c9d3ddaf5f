"""sprig installs as an ordinary package on the running interpreter: a wheel built from the
checkout, installed into a fresh virtual environment of that interpreter, imported from
outside the checkout, with its type stubs beside it."""

import os
import pathlib
import subprocess
import sys

import pytest

from oracles import DEBUG

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Every public name gets one call: the functions on a small tree, a class by visiting it.
PROBE = """
import ast, sys, sprig
tree = ast.parse("def f(a):\\n    return g(a) + 1\\n")
kinds = (ast.Name, ast.Call)
calls = {
    "walk_dfs": (tree,), "walk_unordered": (tree,), "_walk_count": (tree,),
    "walk_frontier": (tree, kinds), "walk_frontier_edges": (tree, kinds),
    "walk_of_types": (tree, kinds), "walk_frontier_events": (tree, kinds, (ast.FunctionDef,)),
    "set_parents": (tree,), "fix_missing_locations": (tree,),
    "subtree_hashes": (tree,), "subtree_hash": (tree,),
}
import warnings
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    sprig.walk(tree)
for name in sprig.__all__:
    obj = getattr(sprig, name)
    if isinstance(obj, type):
        obj().visit(tree)
    elif name != "walk":
        obj(*calls[name])
print(sprig.__file__)
print(sprig._walk_count(tree), len(list(ast.walk(tree))))
"""


def run(*command, **options):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          env={**os.environ, "PIP_NO_CACHE_DIR": "1"}, **options)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.mark.skipif(DEBUG, reason="wheels are built for the release interpreters")
def test_wheel_installs_into_a_fresh_environment(tmp_path):
    wheels = tmp_path / "wheels"
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
        "--no-index", "--quiet", "-w", wheels, ROOT, cwd=tmp_path)
    (wheel,) = wheels.glob("sprig-*.whl")
    assert f"-cp{sys.version_info[0]}{sys.version_info[1]}-" in wheel.name

    env = tmp_path / "env"
    run(sys.executable, "-m", "venv", env)
    python = env / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", "--quiet", wheel)
    site = pathlib.Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").strip())
    assert (site / "sprig-stubs" / "__init__.pyi").is_file()

    path, counts = run(python, "-I", "-c", PROBE, cwd=tmp_path).splitlines()
    assert pathlib.Path(path).is_relative_to(site)
    walked, expected = counts.split()
    assert walked == expected
