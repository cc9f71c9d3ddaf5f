"""What a user gets from `make install` and a packager from the sdist and the pure wheel, on
the running interpreter: the package with the implementation under test, importable from
outside the checkout, with its type stubs, start-up hook, license and metadata, with one
version everywhere."""

import json
import os
import pathlib
import re
import sys
import tarfile
import zipfile

import pytest

import sprig
from conftest import PURE, clean_environment, run


ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r'#define\s+SPRIG_VERSION\s+"([^"]+)"',
                    (ROOT / "src/version.hpp").read_text())[1]
SUPPORTED = ("3.11", "3.12", "3.13", "3.14", "3.15")

PROBE = """
import ast, importlib.metadata as md, json, pathlib, sprig
dist = md.distribution("sprig")
print(json.dumps({
    "module": sprig.__file__, "version": sprig.__version__, "all": sprig.__all__,
    "implementation": sprig.IMPLEMENTATION,
    "nodes": len(sprig.walk_dfs(ast.parse("x = 1"))),
    "meta_version": dist.version, "license": dist.metadata["License-Expression"],
    "license_files": dist.metadata.get_all("License-File"),
    "classifiers": dist.metadata.get_all("Classifier"), "author": dist.metadata["Author"],
    "keywords": dist.metadata["Keywords"], "requires": dist.metadata["Requires-Python"],
    "files": [str(f) for f in dist.files],
    "license_text": next(f for f in dist.files if f.name == "LICENSE").read_text(),
}))
"""

# Every public name gets one call: the functions on a small tree, a class by visiting it.
CALLS_PROBE = """
import ast, sys, sprig
tree = ast.parse("def f(a):\\n    return g(a) + 1\\n")
kinds = (ast.Name, ast.Call)
calls = {
    "walk_dfs": (tree,), "walk_unordered": (tree,), "_walk_count": (tree,),
    "walk_frontier": (tree, kinds), "walk_frontier_edges": (tree, kinds),
    "walk_of_types": (tree, kinds), "walk_frontier_events": (tree, kinds, (ast.FunctionDef,)),
    "set_parents": (tree,), "fix_missing_locations": (tree,),
    "subtree_hashes": (tree,), "subtree_hash": (tree,),
    "subtree_digests": (tree,), "subtree_digest": (tree,),
    "ast_walk": (tree,), "ast_iter_child_nodes": (tree,), "ast_iter_fields": (tree,),
    "ast_copy_location": (tree.body[0], tree), "ast_increment_lineno": (tree,),
    "ast_fix_missing_locations": (tree,), "patch_ast": (), "restore_ast": (),
}
import warnings
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    sprig.walk(tree)
for name in sprig.__all__:
    obj = getattr(sprig, name)
    if isinstance(obj, type):
        obj().visit(tree)
    elif callable(obj) and name != "walk":
        obj(*calls[name])
print(sprig.__file__)
print(sprig._walk_count(tree), len(list(ast.walk(tree))))
"""

def test_the_module_in_use_has_the_release_version():
    assert sprig.__version__ == VERSION


def test_install_carries_module_stubs_license_and_metadata(installed_python, tmp_path):
    probe = run([installed_python, "-c", PROBE], cwd=tmp_path, env=clean_environment())
    got = json.loads(probe.stdout)
    assert got["module"].startswith(str(installed_python.parent.parent)) and got["nodes"] == 5
    assert got["version"] == got["meta_version"] == VERSION
    assert "__version__" not in got["all"] and len(got["all"]) >= 12
    assert got["license"] == "MIT" and got["license_files"] == ["LICENSE"]
    assert got["license_text"] == (ROOT / "LICENSE").read_text()
    files = got["files"]
    assert {"sprig/__init__.py", "sprig-stubs/__init__.pyi", "sprig-patch-ast.pth"} <= set(files)
    assert any(f.startswith("sprig/_pure/") for f in files)
    native = [f for f in files if re.fullmatch(r"sprig/_native\..*\.so", f)]
    assert len(native) == (0 if PURE else 1), native
    assert got["implementation"] == ("pure" if PURE else "native")
    assert got["requires"] == ">=" + SUPPORTED[0]
    classifiers = set(got["classifiers"])
    assert {"Typing :: Typed", "Programming Language :: C++"} <= classifiers
    assert {f"Programming Language :: Python :: {v}" for v in SUPPORTED} <= classifiers
    for prefix in ("Development Status :: ", "Operating System :: "):
        assert any(c.startswith(prefix) for c in classifiers), prefix
    assert got["author"] and got["keywords"]


def build(kind, tmp_path, *settings):
    """The sdist or a wheel built by the build backend into tmp_path; returns its path."""
    if os.environ.get("SPRIG_PYTHON312") and sys.version_info[:2] == (3, 12):
        pytest.skip("the pyenv-built 3.12 has no build backend; make wheels builds the dists")
    config = dict(s.split("=", 1) for s in settings)
    # PYTHONPATH stays: where the backend is borrowed (PyPy), it names where it is.
    done = run([sys.executable, "-c", "import sys, scikit_build_core.build as b; "
                f"print(b.build_{kind}(sys.argv[1], {config!r}))", tmp_path], cwd=ROOT)
    return tmp_path / done.stdout.splitlines()[-1]


def test_sdist_carries_license_and_package(tmp_path):
    with tarfile.open(build("sdist", tmp_path)) as sdist:
        names = sdist.getnames()
        info = sdist.extractfile(f"sprig-{VERSION}/PKG-INFO").read().decode()
    top = f"sprig-{VERSION}"
    assert {f"{top}/{p}" for p in ("LICENSE", "python/sprig/__init__.py",
                                   "src/startup/sprig-patch-ast.pth")} <= set(names)
    assert any(n.startswith(f"{top}/python/sprig/_pure/") for n in names)
    assert "\nLicense-Expression: MIT\n" in info and "\nLicense-File: LICENSE\n" in info
    assert f"\nVersion: {VERSION}\n" in info


def test_pure_wheel_fits_any_interpreter_and_holds_no_native_code(tmp_path):
    path = build("wheel", tmp_path, "wheel.cmake=false")
    assert path.name == f"sprig-{VERSION}-py3-none-any.whl"
    with zipfile.ZipFile(path) as wheel:
        names = set(wheel.namelist())
        meta = wheel.read(f"sprig-{VERSION}.dist-info/WHEEL").decode()
        hook = wheel.read("sprig-patch-ast.pth")
    assert "Root-Is-Purelib: true" in meta and "Tag: py3-none-any" in meta
    assert {"sprig/__init__.py", "sprig-stubs/__init__.pyi", "sprig-patch-ast.pth"} <= names
    assert any(n.startswith("sprig/_pure/") for n in names)
    assert not [n for n in names if n.endswith((".so", ".pyd", ".dylib"))]
    assert hook == (ROOT / "src/startup/sprig-patch-ast.pth").read_bytes()


def test_every_public_name_works_when_installed(installed_python, tmp_path):
    probe = run([installed_python, "-I", "-c", CALLS_PROBE], cwd=tmp_path, env=clean_environment())
    path, counts = probe.stdout.splitlines()
    assert pathlib.Path(path).is_relative_to(installed_python.parent.parent)
    walked, expected = counts.split()
    assert walked == expected
