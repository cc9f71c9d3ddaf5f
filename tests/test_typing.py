"""The installed stubs under Debian's mypy and under pyright, as a user's type checker sees
them: strict mode accepts every function used correctly, mypy flags the wrong uses, and
stubtest finds the stubs true to the built module."""

import pathlib
import re
import sys

import pytest

from conftest import clean_environment, run, run_mypy, run_pyright

EXAMPLES = pathlib.Path(__file__).resolve().parent / "typing"
STUBS = EXAMPLES.parent.parent / "stubs" / "sprig-stubs"


def mypy(mypy_python, python, path, tmp_path, ok):
    return run_mypy(mypy_python, python, [path], tmp_path, ok=ok).stdout


def test_strict_accepts_correct_uses(installed_python, mypy_python, tmp_path):
    assert mypy(mypy_python, installed_python, EXAMPLES / "good.py", tmp_path, ok=(0,)) == ""


def test_pyright_strict_accepts_correct_uses(installed_python, pyright, tmp_path):
    done = run_pyright(pyright, installed_python, [EXAMPLES / "good.py"], tmp_path)
    assert done.returncode == 0, done.stdout


def test_strict_flags_each_wrong_use(installed_python, mypy_python, tmp_path):
    path = EXAMPLES / "bad.py"
    expected = {n: m[1] for n, line in enumerate(path.read_text().splitlines(), 1)
                if (m := re.search(r"# E: ([\w-]+)$", line))}
    reported = {}
    for line in mypy(mypy_python, installed_python, path, tmp_path, ok=(1,)).splitlines():
        if ": note: " in line:  # the overloads that did not match, listed
            continue
        m = re.match(r".*bad\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        assert m, line
        reported.setdefault(int(m[1]), set()).add(m[2])
    assert reported.keys() == expected.keys()
    for n, code in expected.items():
        assert code in reported[n], (n, reported[n])


def test_stubtest_finds_stubs_true_to_module(installed_python, mypy_python, tmp_path):
    if mypy_python != sys.executable:
        pytest.skip("stubtest imports the module into the interpreter that runs mypy, and "
                    "Debian's mypy runs on python3.14 only; test_stub_signatures covers this one")
    run([installed_python, "-m", "mypy.stubtest", "--mypy-config-file", "/dev/null", "sprig"],
        cwd=tmp_path, env=clean_environment())


def test_stub_signatures_match_the_module():
    """On every version, whether or not mypy runs there: the stubs name what the module
    exports, and each function's parameters as the module reports them."""
    import ast
    import inspect

    import sprig

    stub = ast.parse((STUBS / "__init__.pyi").read_text())
    declared = {}
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            a = node.args
            declared[node.name] = [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs]
        elif isinstance(node, ast.ClassDef):
            declared[node.name] = None
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = None
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            assert ast.literal_eval(node.value) == sprig.__all__
    for name in sprig.__all__:
        assert name in declared, name
        if declared[name] is not None:
            runtime = list(inspect.signature(getattr(sprig, name)).parameters)
            assert declared[name] == runtime, name
