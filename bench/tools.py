"""Runs real tools that use `ast`, as Debian packages them, with and without SPRIG_PATCH_AST=1.

Every run is a fresh process of the same interpreter (a virtual environment in which sprig is
installed as a wheel installs it, start-up file included), on the same files: every Nth
module of the interpreter's standard library, sorted by name, and the tools' own sources.
The two kinds of run alternate, round by round. Each run's output (its standard output and
error, its exit status, and for a tool that rewrites files the files it leaves) must be the
same, byte for byte, in every run: the benchmark fails otherwise.

Each tool's speed-up is its CPU time (user and system, from the child's rusage) without the
patch over its CPU time with it, the minimum and the median over the rounds. A profile of one
run without sprig (cProfile) says which share of the tool's time went to parsing
(`compile`, which `ast.parse` calls) and which to the `ast` helpers that `patch_ast`
replaces (their own time and that of the built-ins they call). Only the second can shrink,
so 1 / (1 - that share) bounds the speed-up (Amdahl). The profiler slows Python calls more
than the parser's C code, so both shares come out somewhat too high for the helpers and too
low for parsing: the bound is looser than the truth, not tighter.

    tools.py --python VENV_PYTHON [--step N] [--rounds N] [--only NAME,...]
             [--no-tool-sources] [--out DIR]
"""

import argparse
import hashlib
import os
import pathlib
import pstats
import shutil
import statistics
import subprocess
import sys
import sysconfig
import time
from typing import NamedTuple

DIST = pathlib.Path("/usr/lib/python3/dist-packages")
HELPERS = frozenset({
    "walk", "iter_child_nodes", "iter_fields", "copy_location", "increment_lineno",
    "fix_missing_locations", "_fix", "visit", "generic_visit", "visit_Constant",
})


class Tool(NamedTuple):
    name: str
    does: str
    script: str
    args: tuple[str, ...]
    sources: tuple[str, ...]   # its packages and modules under DIST
    rewrites: bool = False     # changes the files it is given, in place


TOOLS = (
    Tool("flake8", "linter with plugins (pyflakes, pycodestyle, mccabe, pep8-naming, "
         "flake8-builtins, flake8-comprehensions, flake8-2020)",
         "/usr/bin/flake8", ("--isolated", "--jobs=1", "--max-complexity=10"),
         ("flake8", "pyflakes", "pycodestyle.py", "mccabe.py", "pep8ext_naming.py",
          "flake8_builtins.py", "flake8_comprehensions", "flake8_2020.py")),
    Tool("pyupgrade", "upgrader: rewrites old syntax for Python 3.14",
         "/usr/bin/pyupgrade", ("--py314-plus",), ("pyupgrade",), rewrites=True),
    Tool("vulture", "dead-code finder", "/usr/bin/vulture", (), ("vulture",)),
    Tool("radon", "complexity meter (cyclomatic complexity of every block)",
         "/usr/bin/radon", ("cc", "--show-complexity", "--average"), ("radon",)),
    Tool("bandit", "security checker", "/usr/bin/bandit", ("--quiet", "--format=csv"),
         ("bandit",)),
)


# ---- the files ----------------------------------------------------------------------------

def stdlib_slice(step):
    """Every `step`-th module of the standard library, sorted by name (its test package and
    installed packages left out, as the main benchmark does)."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    paths = sorted(p for p in root.rglob("*.py")
                   if p.relative_to(root).parts[0] not in ("test", "site-packages",
                                                            "dist-packages"))
    return [(root, p) for p in paths[::step]]


def tool_sources(tools):
    found = []
    for tool in tools:
        for name in tool.sources:
            path = DIST / name
            files = [path] if path.is_file() else sorted(path.rglob("*.py"))
            found += [(DIST, p) for p in files
                      if not {"test", "tests"} & set(p.relative_to(DIST).parts)]
    return found


def lay_out(pairs, corpus):
    """Copies the files under `corpus`, keeping their paths below their roots, so that every
    tool reads the same bytes under the same short names. Returns the copies, sorted."""
    if corpus.exists():
        shutil.rmtree(corpus)
    copies = []
    for root, path in pairs:
        kind = "stdlib" if root != DIST else "tools"
        target = corpus / kind / path.relative_to(root)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, target)
        copies.append(target)
    return sorted(set(copies))


# ---- one run ------------------------------------------------------------------------------

class Run(NamedTuple):
    cpu: float      # user + system seconds of the child
    output: bytes   # everything it said and left, for the byte comparison


def run_tool(tool, python, files, corpus, work, env, profile=None):
    """One fresh process of `tool` over `files`; a tool that rewrites works on a new copy."""
    targets = [str(f) for f in files]
    if tool.rewrites:
        if work.exists():
            shutil.rmtree(work)
        shutil.copytree(corpus, work)
        targets = [str(work / f.relative_to(corpus)) for f in files]
    command = [python] + (["-m", "cProfile", "-o", str(profile)] if profile else [])
    command += [tool.script, *tool.args, *targets]
    out_path, err_path = work.with_suffix(".stdout"), work.with_suffix(".stderr")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        child = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                 env=env)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    output = [b"exit %d\n" % child.returncode, b"== stdout\n", out_path.read_bytes(),
              b"== stderr\n", err_path.read_bytes()]
    if tool.rewrites:
        for f in files:
            output += [b"== %s\n" % str(f.relative_to(corpus)).encode(),
                       (work / f.relative_to(corpus)).read_bytes()]
    return Run(usage.ru_utime + usage.ru_stime, b"".join(output))


# ---- the profile --------------------------------------------------------------------------

def shares(profile_path, ast_file):
    """(share in parsing, share in the helpers that patch_ast replaces, {helper: share})
    of a profile."""
    stats = pstats.Stats(str(profile_path))
    raw = stats.stats  # type: ignore[attr-defined]
    total = stats.total_tt  # type: ignore[attr-defined]

    def is_helper(func):
        filename, _, name = func
        return filename == ast_file and name.rsplit(".", 1)[-1] in HELPERS

    parse = 0.0
    each: dict[str, float] = {}
    for func, (_, _, tt, _, callers) in raw.items():
        if is_helper(func):
            each[func[2]] = each.get(func[2], 0.0) + tt / total
        elif func[0] == "~":
            # A built-in's time belongs to whoever called it; compile called by the import
            # system compiles modules the tool imports, which is no parsing of its input.
            for caller, (_, _, caller_tt, _) in callers.items():
                if is_helper(caller):
                    each[caller[2]] = each.get(caller[2], 0.0) + caller_tt / total
                elif func[2] == "<built-in method builtins.compile>" \
                        and not caller[0].startswith("<frozen importlib"):
                    parse += caller_tt
    return parse / total, sum(each.values()), each


# ---- the report ---------------------------------------------------------------------------

def fail_diff(tool, out, first, other, label):
    """Leaves both outputs for a look and says where they part."""
    a, b = out / f"{tool.name}-first.out", out / f"{tool.name}-{label}.out"
    a.write_bytes(first)
    b.write_bytes(other)
    at = next((i for i, (x, y) in enumerate(zip(first, other)) if x != y),
              min(len(first), len(other)))
    print(f"bench-tools: {tool.name}: the output of the {label} run differs from the first "
          f"from byte {at} on; both are in {a} and {b}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True, help="the interpreter of the environment "
                        "in which sprig is installed")
    parser.add_argument("--step", type=int, default=4, help="every Nth stdlib module")
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--only", default="", help="tools to run, by name, comma-separated")
    parser.add_argument("--no-tool-sources", action="store_true")
    parser.add_argument("--out", default="build/bench-tools")
    args = parser.parse_args()
    started = time.monotonic()
    tools = [t for t in TOOLS if not args.only or t.name in args.only.split(",")]
    out = pathlib.Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    pairs = stdlib_slice(args.step)
    modules = len(pairs)
    if not args.no_tool_sources:
        pairs += tool_sources(TOOLS)
    corpus = out / "corpus"
    files = lay_out(pairs, corpus)

    base = {k: v for k, v in os.environ.items()
            if k not in ("SPRIG_PATCH_AST", "SPRIG_NO_EXTENSIONS")}
    base["PYTHONHASHSEED"] = "0"  # the same set orders in every run, patched or not
    envs = {"plain": base, "patched": dict(base, SPRIG_PATCH_AST="1")}
    # The start-up file must patch under the variable, with the native module, and only then.
    probe = ("import ast, sys; patched = 'sprig' in sys.modules and ast.walk is "
             "sys.modules['sprig'].ast_walk; print(patched and "
             "sys.modules['sprig'].IMPLEMENTATION)")
    for mode, want in (("plain", "False"), ("patched", "native")):
        said = subprocess.run([args.python, "-c", probe], env=envs[mode], check=True,
                              capture_output=True, text=True).stdout.strip()
        if said != want:
            sys.exit(f"bench-tools: the {mode} interpreter says {said!r}, not {want!r}")

    print(f"{len(files)} files: {modules} standard-library modules (every {args.step}th)"
          + ("" if args.no_tool_sources else f" and {len(files) - modules} of the tools' own")
          + f"; {args.rounds} rounds", file=sys.stderr)
    cpu = {(t.name, m): [] for t in tools for m in envs}
    first = {}
    differs = set()
    # An untimed run of each kind on one file writes the bytecode caches that the tools and
    # sprig leave on their first start.
    for tool in tools:
        for mode in envs:
            run_tool(tool, args.python, files[:1], corpus, out / f"work-{tool.name}",
                     envs[mode])
    for round_ in range(1, args.rounds + 1):
        said = []
        for tool in tools:
            order = ("plain", "patched") if round_ % 2 else ("patched", "plain")
            for mode in order:
                run = run_tool(tool, args.python, files, corpus, out / f"work-{tool.name}",
                               envs[mode])
                if tool.name not in first:
                    first[tool.name] = run.output
                elif run.output != first[tool.name] and tool.name not in differs:
                    differs.add(tool.name)
                    fail_diff(tool, out, first[tool.name], run.output, f"{mode}-{round_}")
                cpu[tool.name, mode].append(run.cpu)
            said.append(f"{tool.name} {cpu[tool.name, 'plain'][-1]:.2f}/"
                        f"{cpu[tool.name, 'patched'][-1]:.2f}")
        print(f"  round {round_} of {args.rounds} (CPU s without/with): " + ", ".join(said),
              file=sys.stderr)

    import ast
    rows = []
    for tool in tools:
        profile = out / f"{tool.name}.prof"
        run_tool(tool, args.python, files, corpus, out / f"work-{tool.name}", envs["plain"],
                 profile)
        parse, helpers, each = shares(profile, ast.__file__)
        plain, patched = cpu[tool.name, "plain"], cpu[tool.name, "patched"]
        rows.append((tool, plain, patched, parse, helpers, each))

    header = ("| tool | what it does | identical output | CPU s without (min, median) | "
              "with SPRIG_PATCH_AST=1 | speed-up (min, median) | share in parsing | "
              "share in the patched helpers | bound | the largest helpers |")
    lines = [header, "|" + " --- |" * 10]
    for tool, plain, patched, parse, helpers, each in rows:
        largest = sorted(each.items(), key=lambda kv: -kv[1])[:3]
        lines.append(
            f"| {tool.name} | {tool.does} | {'no' if tool.name in differs else 'yes'} | "
            f"{min(plain):.2f}, {statistics.median(plain):.2f} | "
            f"{min(patched):.2f}, {statistics.median(patched):.2f} | "
            f"{min(plain) / min(patched):.2f}x, "
            f"{statistics.median(plain) / statistics.median(patched):.2f}x | "
            f"{parse:.0%} | {helpers:.1%} | {1 / (1 - helpers):.2f}x | "
            + ", ".join(f"`{name}` {share:.1%}" for name, share in largest) + " |")
    lines.append("")
    lines.append(f"CPython {sys.version.split()[0]}; {len(files)} files ({modules} "
                 f"standard-library modules, every {args.step}th by name"
                 + ("" if args.no_tool_sources else ", and the tools' own sources")
                 + f"); {args.rounds} rounds of alternating fresh processes; "
                 f"{time.monotonic() - started:.0f} s in all.")
    report = "\n".join(lines) + "\n"
    (out / "results.md").write_text(report)
    print(report)
    if differs:
        sys.exit(f"bench-tools: output differs under SPRIG_PATCH_AST=1 or between runs: "
                 f"{', '.join(sorted(differs))}")


if __name__ == "__main__":
    main()
