"""Shared fixtures: the standard-library corpus and the hypothesis settings for the suite.

A test that takes `stdlib_tree` runs once per corpus module. The tree is parsed once per test
module and shared by every test there that uses it (pytest groups those tests together), so
only one corpus tree is alive at a time. A test that edits the tree must edit its own copy:
`oracles.parse_stdlib(path)` parses a fresh one.
"""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, settings

import sprig
from oracles import CORPUS_IDS, CORPUS_PATHS, DEBUG, SLICE, parse_stdlib

PURE = getattr(sprig, "IMPLEMENTATION", "native") == "pure"


def native_only(reason):
    """Marks a test of a detail only the native module has; the pure one skips it."""
    return pytest.mark.skipif(PURE, reason=f"pure implementation: {reason}")

settings.register_profile(
    "sprig",
    database=None,  # nothing written into the checkout
    deadline=None,  # the debug interpreter is slow and uneven
    # The debug interpreter is slow; PyPy runs the pure implementation's first calls slowly
    # too, before its compiler has warmed up.
    # The slices of the other versions take a quarter of the whole-suite leg's trees.
    max_examples=40 if DEBUG or sys.implementation.name == "pypy" else 50 if SLICE else 200,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("sprig")


CPYTHON = sys.implementation.name == "cpython"


def cpython_only(reason):
    """Marks a test of a CPython detail (reference counts, reused addresses, assignable
    instance dictionaries, its string hash) that PyPy does not share."""
    return pytest.mark.skipif(not CPYTHON, reason=f"CPython only: {reason}")


# The leak loop counts references, which only a debug CPython does; on PyPy the module
# cannot even be collected. PyPy's _testcapi compiles a C source that Debian does not ship,
# and fails with an OSError: as an ImportError, its users skip.
if not CPYTHON:
    collect_ignore = ["test_refleaks.py"]
    sys.modules["_testcapi"] = None


# Modules that run corpus tests again under another mode take every 4th corpus module.
SAMPLED_MODULES = {"test_generic_path"}


def pytest_generate_tests(metafunc):
    if "stdlib_tree" in metafunc.fixturenames:
        step = 4 if metafunc.module.__name__ in SAMPLED_MODULES else 1
        metafunc.parametrize(
            "stdlib_tree", CORPUS_PATHS[::step], ids=CORPUS_IDS[::step], indirect=True,
            scope="module",
        )


def pytest_collection_modifyitems(config, items):
    """SPRIG_SHARD=K/N keeps every Nth test from the Kth on, so that N processes can share
    one run: neighbouring tests, which cost alike, go to different shards."""
    shard = os.environ.get("SPRIG_SHARD")
    if not shard:
        return
    k, n = (int(x) for x in shard.split("/"))
    config.hook.pytest_deselected(items=[t for i, t in enumerate(items) if i % n != k - 1])
    items[:] = items[k - 1::n]


def pytest_sessionstart(session):
    """SPRIG_EXPECT_IMPLEMENTATION=native or pure, set by each leg of the test tools, names
    the implementation the leg tests: on the other one it stops before any test runs, so that
    a native module that failed to build or load never passes as the pure one."""
    expected = os.environ.get("SPRIG_EXPECT_IMPLEMENTATION")
    if not expected:
        return
    import sprig

    if sprig.IMPLEMENTATION != expected:
        why = ""
        if expected == "native":
            try:
                import sprig._native  # noqa: F401
            except ImportError as e:
                why = f" (importing sprig._native: {e})"
        pytest.exit(f"this leg tests the {expected} implementation, but sprig "
                    f"{sprig.__file__} uses the {sprig.IMPLEMENTATION} one{why}", returncode=3)


@pytest.fixture(scope="module")
def stdlib_tree(request):
    tree = parse_stdlib(request.param)
    if tree is None:
        pytest.skip("this interpreter cannot parse the module")
    return tree


@pytest.fixture(scope="session")
def installed_python(tmp_path_factory):
    """A fresh virtual environment of the running interpreter with sprig installed into it
    by `make install`, as the README tells a user (the pure wheel's contents when the pure
    implementation is under test); returns the environment's python. It
    sees the system's packages (scikit-build-core, pip, mypy) but not the checkout's build.
    Release interpreters only: the build is an optimized one."""
    if hasattr(sys, "gettotalrefcount"):
        pytest.skip("installs an optimized build for the release interpreter only")
    if SLICE:
        pytest.skip("SPRIG_SLICE=1: the whole-suite leg installs; wheel-test and the Debian "
                    "routes install on every version")
    if os.environ.get("SPRIG_PYTHON312") and sys.version_info[:2] == (3, 12):
        pytest.skip("the pyenv-built 3.12 has no build tools of its own; "
                    "the wheel test installs sprig there")
    root = pathlib.Path(__file__).resolve().parent.parent
    venv = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv])
    python = venv / "bin" / "python"
    flags = "--no-build-isolation --no-deps --no-index --quiet"
    if PURE:
        flags += " --config-settings=wheel.cmake=false"  # what the pure wheel holds
    # A native build that fails must fail here, not fall back to the pure implementation.
    run(["make", "-C", root, "install", f"PYTHON={python}", f"PIP_FLAGS={flags}"],
        env=clean_environment(PIP_NO_CACHE_DIR="1", SPRIG_REQUIRE_NATIVE="" if PURE else "1"))
    return python


MYPY = [
    "-m", "mypy", "--strict", "--enable-error-code", "deprecated", "--no-incremental",
    "--show-error-codes", "--no-error-summary",
]  # fmt: skip
# Where tools/pyroot installs pyright; PYRIGHT names another script or executable.
PYRIGHT_SCRIPT = "/opt/pyright/node_modules/pyright/index.js"


def checker_missing(reason):
    """A type checker is not there. The Debian testing root provides every checker, so under
    CI this fails there; the other roots (Debian 12, the systems for wheels) carry none."""
    if os.environ.get("CI") == "true" and os.environ.get("SPRIG_ROOT_NAME") == "testing":
        pytest.fail(f"{reason} (CI=true: every type checker must run)", pytrace=False)
    pytest.skip(reason)


def mypy_runs(python, cache):
    probe = subprocess.run([python, *MYPY, "--cache-dir", cache, "-c", "x = 1"],
                           capture_output=True, env=clean_environment())
    return probe.returncode == 0


@pytest.fixture(scope="session")
def mypy_python(tmp_path_factory):
    """The interpreter that runs mypy: this one where it can, else python3.14. Debian builds
    mypy for python3.14: other versions may import parts of it but fail on it, so a trivial
    check decides. The checks then target the running version either way."""
    cache = tmp_path_factory.mktemp("cache")
    for python in (sys.executable, shutil.which("python3.14")):
        if python and mypy_runs(python, cache):
            return python
    checker_missing("no interpreter here runs mypy")


@pytest.fixture(scope="session")
def pyright():
    """The command that runs pyright: PYRIGHT, a `pyright` on PATH, or node with the script
    that tools/pyroot installs."""
    named = os.environ.get("PYRIGHT")
    if named:
        return [shutil.which("node") or "node", named] if named.endswith(".js") else [named]
    if shutil.which("pyright"):
        return ["pyright"]
    if shutil.which("node") and os.path.exists(PYRIGHT_SCRIPT):
        return ["node", PYRIGHT_SCRIPT]
    checker_missing(f"pyright is not installed (neither on PATH nor {PYRIGHT_SCRIPT})")


def run_mypy(mypy_python, python, paths, cwd, ok=(0, 1)):
    """mypy --strict over `paths`, for the running version with `python`'s packages."""
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    return run([mypy_python, *MYPY, "--python-version", version, "--python-executable",
                python, "--cache-dir", cwd / ".mypy_cache", *paths],
               ok=ok, cwd=cwd, env=clean_environment())


def run_pyright(pyright, python, paths, cwd, ok=(0, 1)):
    """pyright in strict mode over `paths`, for the running version with `python`'s
    packages; returns its report, and exits 0 when it found no error."""
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    (cwd / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}\n')
    return run([*pyright, "--pythonpath", python, "--pythonversion", version, *paths],
               ok=ok, cwd=cwd, env=clean_environment())


def run(args, ok=(0,), **kwargs):
    """subprocess.run with text output captured; a return code outside `ok` fails the test
    and shows the output."""
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)
    if done.returncode not in ok:
        pytest.fail(f"{args[:4]} returned {done.returncode}:\n{done.stdout[-3000:]}\n"
                    f"{done.stderr[-3000:]}", pytrace=False)
    return done


def clean_environment(**extra):
    """The environment without PYTHONPATH, which points at the checkout's build."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return env | extra
