"""What a user gets from `make install` and a packager from the sdist: the module, its type
stubs, the license and the metadata, with one version everywhere."""

import json
import pathlib
import re
import sys
import tarfile

from conftest import clean_environment, run

ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r'#define\s+SPRIG_VERSION\s+"([^"]+)"',
                    (ROOT / "src/lib/version.hpp").read_text())[1]
SUPPORTED = ("3.13", "3.14", "3.15")

PROBE = """
import ast, importlib.metadata as md, json, pathlib, sprig
dist = md.distribution("sprig")
print(json.dumps({
    "module": sprig.__file__, "version": sprig.__version__, "all": sprig.__all__,
    "nodes": len(sprig.walk_dfs(ast.parse("x = 1"))),
    "meta_version": dist.version, "license": dist.metadata["License-Expression"],
    "license_files": dist.metadata.get_all("License-File"),
    "classifiers": dist.metadata.get_all("Classifier"), "author": dist.metadata["Author"],
    "keywords": dist.metadata["Keywords"], "requires": dist.metadata["Requires-Python"],
    "files": [str(f) for f in dist.files],
    "license_text": next(f for f in dist.files if f.name == "LICENSE").read_text(),
}))
"""


def test_install_carries_module_stubs_license_and_metadata(installed_python, tmp_path):
    probe = run([installed_python, "-c", PROBE], cwd=tmp_path, env=clean_environment())
    got = json.loads(probe.stdout)
    assert got["module"].startswith(str(installed_python.parent.parent)) and got["nodes"] == 5
    assert got["version"] == got["meta_version"] == VERSION
    assert "__version__" not in got["all"] and len(got["all"]) >= 12
    assert got["license"] == "MIT" and got["license_files"] == ["LICENSE"]
    assert got["license_text"] == (ROOT / "LICENSE").read_text()
    assert "sprig-stubs/__init__.pyi" in got["files"]
    assert got["requires"] == ">=" + SUPPORTED[0]
    classifiers = set(got["classifiers"])
    assert {"Typing :: Typed", "Programming Language :: C++"} <= classifiers
    assert {f"Programming Language :: Python :: {v}" for v in SUPPORTED} <= classifiers
    for prefix in ("Development Status :: ", "Operating System :: "):
        assert any(c.startswith(prefix) for c in classifiers), prefix
    assert got["author"] and got["keywords"]


def test_sdist_carries_license(tmp_path):
    run([sys.executable, "-c", "import sys, scikit_build_core.build as b; "
         "b.build_sdist(sys.argv[1])", tmp_path], cwd=ROOT, env=clean_environment())
    with tarfile.open(tmp_path / f"sprig-{VERSION}.tar.gz") as sdist:
        names = sdist.getnames()
        info = sdist.extractfile(f"sprig-{VERSION}/PKG-INFO").read().decode()
    assert f"sprig-{VERSION}/LICENSE" in names
    assert "\nLicense-Expression: MIT\n" in info and "\nLicense-File: LICENSE\n" in info
    assert f"\nVersion: {VERSION}\n" in info
