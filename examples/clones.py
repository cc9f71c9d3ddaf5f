"""Finds duplicated functions and classes across a code base.

    python clones.py PATH... [--min-nodes N] [--workers N | --interpreters N]
                             [--scheduler ADDRESS]

Two definitions are duplicates when their subtrees are equal as `ast.dump` prints them
(names, arguments and bodies; positions do not count), which sprig.subtree_digests tells
by one 128-bit digest each. A digest means the same in every process and on every machine,
so the files can be read anywhere: on this machine they are spread over a process pool, or
with --interpreters over a pool of interpreters of this one process, each with its own GIL
(Python 3.14 and later), and with --scheduler over the workers of a Dask distributed
cluster. Either way the report
is the same: one block per group of two or more duplicates of at least N nodes, largest
first, each copy as "path:line".
"""

import argparse
import ast
import functools
import importlib
import os
import sys
import warnings
from collections import defaultdict
from concurrent.futures import ProcessPoolExecutor

import sprig

DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
FILES_PER_TASK = 16


def python_files(paths):
    """The .py files named or found below the given paths, in a stable order."""
    found = []
    for path in paths:
        if os.path.isdir(path):
            for root, dirs, files in os.walk(path):
                dirs.sort()
                found += [os.path.join(root, f) for f in sorted(files) if f.endswith(".py")]
        else:
            found.append(path)
    return found


def definitions(sources, min_nodes):
    """(digest, size, kind, name, path, line) for every function and class of at least
    `min_nodes` nodes in the given (path, source bytes) pairs; files that do not parse
    are left out."""
    out = []
    for path, source in sources:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # invalid escapes and the like
                tree = ast.parse(source, path)
        except (SyntaxError, ValueError):
            continue
        digests = sprig.subtree_digests(tree)
        for node in sprig.walk_of_types(tree, DEFINITIONS):
            size = len(sprig.walk_unordered(node))
            if size >= min_nodes:
                kind = "class" if type(node) is ast.ClassDef else "def"
                out.append((digests[id(node)], size, kind, node.name, path, node.lineno))
    return out


def read_sources(paths):
    sources = []
    for path in paths:
        with open(path, "rb") as f:
            sources.append((path, f.read()))
    return sources


def scan_files(paths, min_nodes):
    """The task run on a worker: reads its files and finds their definitions."""
    return definitions(read_sources(paths), min_nodes)


def interpreter_pool(count):
    """An InterpreterPoolExecutor of `count` interpreters, and the task to give it: this
    module's scan_files, by a name that the interpreters import (they share no modules with
    this one, so a task defined in __main__ would not be found there)."""
    from concurrent.futures import InterpreterPoolExecutor  # Python 3.14 and later

    here = os.path.dirname(os.path.abspath(__file__))
    setup = functools.partial(exec, f"import sys; sys.path.insert(0, {here!r})")
    task = importlib.import_module("clones").scan_files if __name__ == "__main__" else scan_files
    return InterpreterPoolExecutor(max_workers=count, initializer=setup), task


def scan(files, min_nodes, workers=None, scheduler=None, interpreters=None):
    """Every definition of `files`, found by a process pool, a pool of interpreters or a
    Dask cluster."""
    chunks = [files[i : i + FILES_PER_TASK] for i in range(0, len(files), FILES_PER_TASK)]
    if scheduler:
        from distributed import Client  # only needed for a cluster

        with Client(scheduler) as client:
            # The sources travel with the tasks: the workers need not see these files.
            tasks = [
                client.submit(definitions, read_sources(chunk), min_nodes, pure=False)
                for chunk in chunks
            ]
            results = client.gather(tasks)
    elif interpreters:
        pool, task = interpreter_pool(interpreters)
        with pool:
            results = list(pool.map(task, chunks, [min_nodes] * len(chunks)))
    elif workers == 1:
        results = [scan_files(chunk, min_nodes) for chunk in chunks]
    else:
        with ProcessPoolExecutor(max_workers=workers) as pool:
            results = list(pool.map(scan_files, chunks, [min_nodes] * len(chunks)))
    return [found for result in results for found in result]


def report(found):
    """The groups of duplicates, largest first, as text."""
    groups = defaultdict(list)
    for digest, size, kind, name, path, line in found:
        groups[digest].append((size, kind, name, path, line))
    blocks = []
    for digest, copies in groups.items():
        if len(copies) < 2:
            continue
        copies.sort(key=lambda c: (c[3], c[4]))
        size, kind, name = copies[0][:3]
        where = "".join(f"    {path}:{line}\n" for *_, path, line in copies)
        blocks.append((-size * len(copies), digest, f"{len(copies)} copies of {kind} {name} "
                       f"({size} nodes):\n{where}"))
    blocks.sort()
    return "".join(text for *_, text in blocks)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--min-nodes", type=int, default=40,
                        help="the smallest definition reported, in nodes (default 40)")
    parser.add_argument("--workers", type=int, default=None,
                        help="processes on this machine (default: one per core)")
    parser.add_argument("--interpreters", type=int, default=None, metavar="N",
                        help="interpreters of this process, each with its own GIL, instead "
                             "of processes (Python 3.14 and later)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a Dask scheduler to run on, e.g. tcp://10.0.0.5:8786")
    args = parser.parse_args(argv)
    files = python_files(args.paths)
    found = scan(files, args.min_nodes, args.workers, args.scheduler, args.interpreters)
    text = report(found)
    sys.stdout.write(text)
    groups = text.count(" copies of ")
    print(f"{len(files)} files, {len(found)} definitions, {groups} groups of duplicates",
          file=sys.stderr)


if __name__ == "__main__":
    main()
