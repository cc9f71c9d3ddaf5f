"""examples/clones.py: the same report in one process, in a process pool, in a pool of
interpreters and on a Dask cluster of two worker processes, over the standard library; and the duplicates it reports
are those that ast.dump finds."""

import ast
import pathlib
import subprocess
import sys
import sysconfig
from collections import defaultdict

import pytest

import sprig
from oracles import DEBUG, SLICE

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "clones.py"
STDLIB = sysconfig.get_paths()["stdlib"]

pytestmark = pytest.mark.skipif(DEBUG, reason="runs the example over the library: optimized "
                                "interpreters only")


def clones(*args):
    done = subprocess.run([sys.executable, str(EXAMPLE), *map(str, args)],
                          capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


# The runs over the whole library check the example's work split, the same on every version and
# implementation: the native 3.14 leg makes them.
library_runs = pytest.mark.skipif(SLICE or sprig.IMPLEMENTATION == "pure",
                                  reason="the native whole-suite leg runs the library")


@pytest.fixture(scope="module")
def single_process_report():
    return clones(STDLIB, "--workers", 1)


@library_runs
def test_a_dask_cluster_gives_the_single_process_report(single_process_report):
    try:
        import distributed
    except ImportError:
        pytest.skip("the distributed package cannot be imported on this interpreter")
    # Every port a free one on the loopback address: other test runs may hold the defaults.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster:
        report = clones(STDLIB, "--scheduler", cluster.scheduler_address)
    assert report.count(" copies of ") > 10
    assert report == single_process_report


@library_runs
def test_a_process_pool_gives_the_single_process_report(single_process_report):
    assert clones(STDLIB, "--workers", 2) == single_process_report


@library_runs
@pytest.mark.skipif(sys.version_info < (3, 14), reason="InterpreterPoolExecutor is 3.14's")
def test_a_pool_of_interpreters_gives_the_single_process_report(single_process_report):
    assert clones(STDLIB, "--interpreters", 2) == single_process_report


def test_duplicates_are_what_ast_dump_finds(tmp_path):
    sources = {
        "a.py": "def f(x):\n    return [x * i for i in range(10) if i % 3]\n\n"
                "class C:\n    def m(self):\n        return 1\n",
        "b.py": "\n\n# moved\ndef f(x):\n    return [x * i for i in range(10) if i % 3]\n",
        "c.py": "def f(x):\n    return [x * i for i in range(10) if i % 4]\n\n"
                "class C:\n    def m(self):\n        return 1\n",
        "d.py": "def broken(:\n",
    }  # fmt: skip
    for name, text in sources.items():
        (tmp_path / name).write_text(text)
    by_dump = defaultdict(list)
    for name, text in sources.items():
        try:
            tree = ast.parse(text)
        except SyntaxError:
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                by_dump[ast.dump(node)].append(f"{tmp_path / name}:{node.lineno}")
    expected = sorted(sorted(where) for where in by_dump.values() if len(where) > 1)
    report = clones(tmp_path, "--min-nodes", 1, "--workers", 1)
    found = []  # the "path:line" lines under each heading
    for line in report.splitlines():
        if line.startswith("    "):
            found[-1].append(line.strip())
        else:
            found.append([])
    assert sorted(sorted(where) for where in found) == expected
    assert len(expected) == 3  # f in a and b; C, and its m, in a and c
