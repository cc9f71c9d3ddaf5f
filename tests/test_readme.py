"""The README works as written: its Python examples run, each `make` command it gives names a
target of the Makefile, and its results are the committed run's."""

import pathlib
import re
import shlex

import pytest

from conftest import run

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```$", README, re.S | re.M)


PYTHON = blocks("python")
MAKE = [line for block in blocks("sh") for line in block.splitlines()
        if line.startswith("make ") or line == "make"]


@pytest.mark.parametrize("example", PYTHON, ids=[f"block{i}" for i in range(len(PYTHON))])
def test_python_example_runs(example):
    exec(compile(example, "README.md", "exec"), {"__name__": "readme"})


@pytest.mark.parametrize("command", MAKE)
def test_make_command_names_a_target(command):
    # -n: the command is parsed and its recipe printed, not run
    run(["make", "-n", "-C", ROOT, *shlex.split(command, comments=True)[1:]])


def test_results_are_the_committed_run():
    summary = (ROOT / "docs/bench.md").read_text()
    table = summary[summary.index("| function |"):summary.index("\n\n", summary.index("|"))]
    assert table in README
    assert "](docs/bench.png)" in README and (ROOT / "docs/bench.png").is_file()


def test_examples_and_make_commands_found():
    targets = {" ".join(command.split()[:2]) for command in MAKE}
    assert PYTHON and {"make test", "make bench", "make install"} <= targets
