"""README.md and CONTRIBUTING.md work as written: their Python examples run, and pass
mypy --strict and pyright in strict mode; each `make` command they give names a target of
the Makefile; and the figures they quote are the committed run's."""

import pathlib
import re
import shlex

import pytest

from conftest import run, run_mypy, run_pyright

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = {name: (ROOT / name).read_text() for name in ("README.md", "CONTRIBUTING.md")}
UNTYPED = "# not type-checked:"  # a block's first line that exempts it from the checkers


def blocks(language):
    return [(name, i, block) for name, text in DOCS.items()
            for i, block in enumerate(re.findall(rf"^```{language}\n(.*?)^```$", text,
                                                 re.S | re.M))]


PYTHON = blocks("python")
TYPED = [(name, i, block) for name, i, block in PYTHON if not block.startswith(UNTYPED)]
MAKE = [line for _, _, block in blocks("sh") for line in block.splitlines()
        if line.startswith("make ") or line == "make"]


@pytest.mark.parametrize(("doc", "example"), [(name, b) for name, _, b in PYTHON],
                         ids=[f"{name}-{i}" for name, i, _ in PYTHON])
def test_python_example_runs(doc, example):
    exec(compile(example, doc, "exec"), {"__name__": "example"})


@pytest.fixture
def typed_examples(tmp_path):
    """Each typed block as a module of its own, named for where it stands."""
    paths = []
    for name, i, block in TYPED:
        path = tmp_path / f"{name.split('.')[0].lower()}_{i}.py"
        path.write_text(block)
        paths.append(path)
    return paths


def test_typed_examples_pass_mypy_strict(installed_python, mypy_python, typed_examples,
                                         tmp_path):
    done = run_mypy(mypy_python, installed_python, typed_examples, tmp_path)
    assert done.stdout == "", done.stdout


def test_typed_examples_pass_pyright_strict(installed_python, pyright, typed_examples,
                                            tmp_path):
    done = run_pyright(pyright, installed_python, typed_examples, tmp_path)
    assert done.returncode == 0, done.stdout


@pytest.mark.parametrize("command", MAKE)
def test_make_command_names_a_target(command):
    # -n: the command is parsed and its recipe printed, not run
    run(["make", "-n", "-C", ROOT, *shlex.split(command, comments=True)[1:]])


def bench_rows(markdown):
    """Name -> cells of each row of a Markdown table whose first cell is a `name`."""
    return {m[1]: [c.strip() for c in m[2].split(" | ")]
            for m in re.finditer(r"^\| `([^`]+)` \| (.*) \|$", markdown, re.M)}


def test_figures_are_the_committed_run():
    summary = (ROOT / "docs/bench.md").read_text()
    table = summary[summary.index("| function |"):summary.index("\n\n", summary.index("|"))]
    assert table in DOCS["CONTRIBUTING.md"]
    assert "](docs/bench.png)" in DOCS["CONTRIBUTING.md"] and (ROOT / "docs/bench.png").is_file()
    measured = bench_rows(table)
    speedups = DOCS["README.md"].split("\n## Results\n")[1]
    quoted = bench_rows(speedups[speedups.index("| function |"):])
    assert len(quoted) >= 10
    for name, cells in quoted.items():  # in cache, out of cache: warm and cold peer/sprig
        assert cells[-2:] == [measured[name][2], measured[name][6]], name


def test_examples_and_make_commands_found():
    targets = {" ".join(command.split()[:2]) for command in MAKE}
    assert {name for name, _, _ in PYTHON} == set(DOCS) and len(TYPED) < len(PYTHON)
    assert {"make test", "make bench", "make install"} <= targets
