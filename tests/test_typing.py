"""The installed stubs under Debian's mypy, as a user's type checker sees them: strict mode
accepts every function used correctly, flags the wrong uses, and stubtest finds the stubs
true to the built module."""

import pathlib
import re
import subprocess
import sys

import pytest

from conftest import clean_environment, run

EXAMPLES = pathlib.Path(__file__).resolve().parent / "typing"
MYPY = [
    "-m", "mypy", "--strict", "--enable-error-code", "deprecated", "--no-incremental",
    "--show-error-codes", "--no-error-summary",
]  # fmt: skip



@pytest.fixture(scope="session", autouse=True)
def mypy_runs_here(tmp_path_factory):
    # Debian builds mypy for python3.14: other versions may import parts of it, but it
    # fails on them, so a trivial check decides.
    probe = subprocess.run(
        [sys.executable, *MYPY, "--cache-dir", tmp_path_factory.mktemp("cache"), "-c", "x = 1"],
        capture_output=True, env=clean_environment())
    if probe.returncode != 0:
        pytest.skip("mypy does not run under this interpreter (Debian builds it for "
                    "python3.14 only)")


def mypy(python, path, tmp_path, ok):
    return run([python, *MYPY, "--cache-dir", tmp_path / "cache", path], ok=ok,
               cwd=tmp_path, env=clean_environment()).stdout


def test_strict_accepts_correct_uses(installed_python, tmp_path):
    assert mypy(installed_python, EXAMPLES / "good.py", tmp_path, ok=(0,)) == ""


def test_strict_flags_each_wrong_use(installed_python, tmp_path):
    path = EXAMPLES / "bad.py"
    expected = {n: m[1] for n, line in enumerate(path.read_text().splitlines(), 1)
                if (m := re.search(r"# E: ([\w-]+)$", line))}
    reported = {}
    for line in mypy(installed_python, path, tmp_path, ok=(1,)).splitlines():
        m = re.match(r".*bad\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        assert m, line
        reported.setdefault(int(m[1]), set()).add(m[2])
    assert reported.keys() == expected.keys()
    for n, code in expected.items():
        assert code in reported[n], (n, reported[n])


def test_stubtest_finds_stubs_true_to_module(installed_python, tmp_path):
    run([installed_python, "-m", "mypy.stubtest", "--mypy-config-file", "/dev/null", "sprig"],
        cwd=tmp_path, env=clean_environment())
