"""Times sprig against the standard library's ast module on the interpreter's own stdlib.

Each row pits one sprig call against the plain-Python way of computing the same thing, both
timed in this process, interleaved round by round; the minimum over the rounds counts. Before
timing, every row's result is checked against its peer's on every tree it is timed on.

    bench.py [--quick] [--full] [--docs] [--rounds N] [--big-rounds N] [--json PATH]
             [--no-callgrind] [--only TEXT] [--pure]

--pure also times each row's sprig call as the pure-Python implementation makes it, in the
same rounds (sprig._pure, imported beside the native module): a column peer/pure.

Where sprig is the pure implementation (PyPy, which cannot load the native module), the
sprig column is that implementation's, and --pure and the instruction counts do not apply.

Besides the JSON it prints a summary, one line per sprig function, and writes that summary
as Markdown and the speed-ups as a plot beside the JSON (or into docs/ with --docs).
"""

import argparse
import ast
import collections
import gc
import itertools
import json
import operator
import os
import pathlib
import platform
import resource
import subprocess
import sys
import sysconfig
import tempfile
import time
import warnings
from typing import Callable, NamedTuple

import sprig

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")
CALL_NAME = (ast.Call, ast.Name)
SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
BRACKET = (ast.FunctionDef, ast.ClassDef)
WORKLOADS = ("warm", "files", "big")
PURE = sprig.IMPLEMENTATION == "pure"
FLOOR = "floor: "  # rows timing what the sprig calls of their group cannot do without
HASH_SAMPLE_STEP = 10
COUNTED_WALKS = ("walk_dfs", "walk_unordered", "_walk_count")


# ---- the corpus -------------------------------------------------------------------------

def stdlib_paths(root=None):
    """The library's own modules, without its test package (which only some systems
    install, and which would be most of the corpus) and the packages installed into it."""
    root = pathlib.Path(root or sysconfig.get_paths()["stdlib"])
    return sorted(p for p in root.rglob("*.py")
                  if p.relative_to(root).parts[0] not in ("test", "site-packages", "dist-packages"))


# id(tree) -> the files it was parsed from, for the rows that parse again. A live tree's
# entry is always its own: it was written when the tree was made, and no other tree can have
# its id while it lives.
SOURCE_PATHS = {}


def parse_all(paths):
    """(path, tree) for each file that reads and parses; the others are left out."""
    parsed = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in paths:
            try:
                parsed.append((str(path), ast.parse(path.read_bytes(), str(path))))
            except (OSError, SyntaxError, ValueError, RecursionError, MemoryError):
                pass
            else:
                SOURCE_PATHS[id(parsed[-1][1])] = [path]
    return parsed


def merged(trees):
    """One module whose body holds every statement of `trees` (the nodes are shared)."""
    big = ast.Module(body=[stmt for t in trees for stmt in t.body], type_ignores=[])
    SOURCE_PATHS[id(big)] = [p for t in trees for p in SOURCE_PATHS.get(id(t), ())]
    return big


def count(tree):
    return sum(1 for _ in ast.walk(tree))


# ---- the peers: the same results computed with the ast module ---------------------------

def dump_hashes(tree):
    return {id(n): hash(ast.dump(n)) for n in ast.walk(tree)}


def of_types(tree, kinds=frozenset(CALL_NAME)):
    return [n for n in ast.walk(tree) if type(n) in kinds]


def frontier(root, kinds=frozenset(SCOPES)):
    """Pre-order search that stops at each match; the root itself is never a match."""
    found, stack = [], list(ast.iter_child_nodes(root))[::-1]
    while stack:
        node = stack.pop()
        if type(node) in kinds:
            found.append(node)
        else:
            stack.extend(list(ast.iter_child_nodes(node))[::-1])
    return found


class EventRecorder(ast.NodeVisitor):
    def __init__(self):
        self.events = []

    def visit_Name(self, node):
        self.events.append((0, node))

    def visit_FunctionDef(self, node):
        self.events.append((1, node))
        self.generic_visit(node)
        self.events.append((2, node))

    visit_ClassDef = visit_FunctionDef


def visitor_events(tree):
    recorder = EventRecorder()
    recorder.visit(tree)
    return recorder.events


def set_parents_peer(tree):
    for p in ast.walk(tree):
        for c in ast.iter_child_nodes(p):
            c.parent = p


# ---- how results are compared -----------------------------------------------------------

def same_nodes(a, b):
    return collections.Counter(map(id, a)) == collections.Counter(map(id, b))


def same_list(a, b):
    return a == b  # nodes compare by identity


def same_partition(a, b):
    """The same keys, and equal dumps give equal hashes. The converse is not promised:
    leaves hash with Python's own hashes, which collide (ints modulo 2**61 - 1, say)."""
    if a.keys() != b.keys():
        return False
    hash_of_dump = {}
    return all(hash_of_dump.setdefault(a[key], b[key]) == b[key] for key in a)


# ---- the rows ---------------------------------------------------------------------------

class Op(NamedTuple):
    call: str
    fn: Callable
    agree: Callable | None = None  # (peer result, result) -> bool; None: not comparable
    prepare: Callable | None = None  # run on every tree of a workload before it is timed


class Group(NamedTuple):
    """One peer and the sprig calls timed against it, on one corpus."""
    peer_call: str
    peer: Callable
    ops: list
    sample: bool = False  # time on every HASH_SAMPLE_STEP-th module only
    edit: str | None = None  # attributes removed from every node before each timed call


class Prebuilt:
    """Per-tree inputs of the floor rows, made by `make(tree)` before the timed passes."""

    def __init__(self, make):
        self.make, self.made = make, {}

    def prepare(self, tree):
        if id(tree) not in self.made:
            self.made[id(tree)] = self.make(tree)

    def __getitem__(self, tree):
        return self.made[id(tree)]


def unique(nodes):
    return list({id(n): n for n in nodes}.values())


# Every node must be visited to hash a tree or to find the nodes of some types in it: the
# fast walks' visit of them all, which lists nothing, is a floor for those rows.
VISIT_FLOOR = FLOOR + "_walk_count(t), a visit of every node"


# The group builders take the implementation to time as `sprig`: the native module, or with
# --pure the pure one, whose groups are then the same calls on it.

def read_groups(flat, sprig=sprig):
    def ids_and_hashes(tree):
        ids = [id(n) for n in unique(flat[id(tree)])]
        return ids, [hash((i, 1)) for i in ids]

    # subtree_hashes builds a dict with an entry per node; building one from ready-made
    # ints is a floor for it.
    pairs = Prebuilt(ids_and_hashes)
    return [
        Group("list(ast.walk(t))", lambda t: list(ast.walk(t)), [
            Op("walk_dfs(t)", sprig.walk_dfs, same_nodes),
            Op("walk_unordered(t)", sprig.walk_unordered, same_nodes),
            Op("_walk_count(t)", sprig._walk_count, lambda p, r: len(p) == r),
            Op(FLOOR + "prebuilt.copy()", lambda t: flat[id(t)].copy()),
        ]),
        Group("hash(ast.dump(t))", lambda t: hash(ast.dump(t)), [
            Op("subtree_hash(t)", sprig.subtree_hash),
            Op("subtree_digest(t)", sprig.subtree_digest),
            Op(VISIT_FLOOR, sprig._walk_count),
        ]),
        Group("{id(n): hash(ast.dump(n)) for n in ast.walk(t)}", dump_hashes, [
            Op("subtree_hashes(t)", sprig.subtree_hashes, same_partition),
            Op("subtree_digests(t)", sprig.subtree_digests, same_partition),
            Op(FLOOR + "dict(zip(ids, hashes)) of prebuilt ints",
               lambda t: dict(zip(*pairs[t])), prepare=pairs.prepare),
        ], sample=True),
        Group("[n for n in ast.walk(t) if type(n) in kinds]", of_types, [
            Op("walk_of_types(t, (Call, Name))",
               lambda t: sprig.walk_of_types(t, CALL_NAME), same_nodes),
            Op(VISIT_FLOOR, sprig._walk_count),
        ]),
        Group("explicit-stack pre-order search", frontier, [
            Op("walk_frontier(t, (FunctionDef, AsyncFunctionDef, ClassDef))",
               lambda t: sprig.walk_frontier(t, SCOPES), same_list),
        ]),
        Group("NodeVisitor: visit_Name, visit_FunctionDef/ClassDef", visitor_events, [
            Op("walk_frontier_events(t, (Name,), (FunctionDef, ClassDef))",
               lambda t: sprig.walk_frontier_events(t, (ast.Name,), BRACKET), same_list),
            Op(VISIT_FLOOR, sprig._walk_count),
        ]),
    ] + visitor_groups(sprig) + stdlib_helper_groups(flat, sprig)


# ---- the drop-in visitor classes ----------------------------------------------------------
# The same user classes on the ast base and on sprig's: only the base differs.

LINTED = ("Name", "Attribute", "Call", "FunctionDef", "ClassDef", "Import", "ImportFrom")


def _recording(self, node):
    self.found.append(node)
    self.generic_visit(node)


def visitor_classes(base):
    empty = type("Empty", (base,), {})
    linter = type("Linter", (base,), {"visit_" + n: _recording for n in LINTED})
    return empty, linter


def _rename(self, node):
    node.id = node.id.upper()  # the same names from the second pass on: the tree stays put
    return node


def _linted(cls):
    def run(tree):
        v = cls()
        v.found = []
        v.visit(tree)
        return v.found
    return run


def linter_by_events(tree, bracket=tuple(getattr(ast, n) for n in LINTED), sprig=sprig):
    """The linter written around walk_frontier_events: a Python loop over its stream."""
    found = []
    for event, node in sprig.walk_frontier_events(tree, (), bracket):
        if event == 1:
            found.append(node)
    return found


def parsing(lint, sources):
    """What a tool does per file: parse it, then lint the tree. Returns the types found.
    The files are read once, by the check that runs before any timing."""
    def run(tree):
        sources.prepare(tree)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the parser's SyntaxWarnings
            return [type(n) for source in sources[tree] for n in lint(ast.parse(source))]
    return run


def visitor_groups(sprig=sprig):
    def by_events(tree):
        return linter_by_events(tree, sprig=sprig)

    empty_a, linter_a = visitor_classes(ast.NodeVisitor)
    empty_s, linter_s = visitor_classes(sprig.NodeVisitor)
    sources = Prebuilt(lambda t: [p.read_bytes() for p in SOURCE_PATHS[id(t)]])
    rename_a = type("Rename", (ast.NodeTransformer,), {"visit_Name": _rename})
    rename_s = type("Rename", (sprig.NodeTransformer,), {"visit_Name": _rename})
    return [
        Group("ast.NodeVisitor subclass, no handlers: V().visit(t)",
              lambda t: empty_a().visit(t), [
            Op("sprig.NodeVisitor subclass, no handlers", lambda t: empty_s().visit(t),
               same_list),
        ]),
        Group("ast.NodeVisitor linter: 7 handlers record and call generic_visit",
              _linted(linter_a), [
            Op("sprig.NodeVisitor linter", _linted(linter_s), same_list),
            Op("walk_frontier_events linter: a Python loop over the events", by_events,
               same_list),
        ]),
        Group("ast.NodeTransformer renaming every Name", lambda t: rename_a().visit(t), [
            Op("sprig.NodeTransformer renaming every Name", lambda t: rename_s().visit(t),
               same_list),
        ]),
        # A tool's whole run on a file, parsing included: the figure a tool author gains.
        Group("ast.parse, then the ast.NodeVisitor linter",
              parsing(_linted(linter_a), sources), [
            Op("ast.parse, then the sprig.NodeVisitor linter",
               parsing(_linted(linter_s), sources), same_list),
            Op("ast.parse, then the walk_frontier_events linter",
               parsing(by_events, sources), same_list),
        ]),
    ]


# ---- the ast module's own helpers, unpatched vs sprig's equivalents ---------------------
# The peers are the functions the ast module had at start-up; the ops are sprig's `ast_*`,
# or, in the end-to-end rows, the very same code run while sprig.patch_ast() is in force.

STDLIB = {name: getattr(ast, name) for name in (
    "walk", "iter_child_nodes", "iter_fields", "copy_location", "increment_lineno")}


def calls_found(walk):
    def run(tree):
        found = []
        for n in walk(tree):
            if isinstance(n, ast.Call):
                found.append(n)
        return found
    return run


def small_subtrees(tree):
    """The subtrees of 4 to 7 nodes: what linter plugins hand to ast.walk most often."""
    return [n for n in tree_nodes(tree) if 4 <= sum(1 for _ in STDLIB["walk"](n)) <= 7]


def tree_nodes(tree):
    return list(STDLIB["walk"](tree))


def lint(tree):
    """A linter-like pass written only with the ast module's helpers, looked up at call time
    as unmodified tools do: the same code runs unpatched and patched."""
    problems = 0
    for node in ast.walk(tree):
        if isinstance(node, ast.Call):
            for child in ast.iter_child_nodes(node):
                if isinstance(child, ast.Starred):
                    problems += 1
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            for name, value in ast.iter_fields(node.args):
                if isinstance(value, list) and len(value) > 5:
                    problems += 1
            problems += sum(isinstance(n, ast.Name) for n in ast.walk(node.args))
        elif isinstance(node, (ast.If, ast.While, ast.Assert)):
            problems += sum(isinstance(n, ast.Compare) for n in ast.walk(node.test))
    return problems


def patched(fn, sprig=sprig):
    def run(*args):
        sprig.patch_ast()
        try:
            return fn(*args)
        finally:
            sprig.restore_ast()
    return run


def parsed_lint(source):
    return lint(ast.parse(source))


class Lazy(Prebuilt):
    """A Prebuilt that also makes an input on first use, as the peers' check needs."""

    def __getitem__(self, tree):
        self.prepare(tree)
        return self.made[id(tree)]


def stdlib_helper_groups(flat, sprig=sprig):
    subtrees = Lazy(small_subtrees)
    every = Lazy(lambda t: unique(flat[id(t)]))
    targets = Lazy(lambda t: [(ast.Name("x", ast.Load()), n) for n in unique(flat[id(t)])
                              if isinstance(n, (ast.expr, ast.stmt))])
    sources = Lazy(ast.unparse)  # the tree's own source, regenerated: parsed like any other

    # The floors: what any lazy equivalent does besides reading the tree. Each node handed
    # out one at a time by a C iterator, from lists made beforehand; one C call per pair.
    subtree_nodes = Lazy(lambda t: [tree_nodes(s) for s in subtrees[t]])
    children = Lazy(lambda t: [list(STDLIB["iter_child_nodes"](n)) for n in every[t]])
    # increment_lineno(t, 0) writes back the line numbers it read: the same stores, straight
    # into each located node's __dict__.
    lines = Lazy(lambda t: [(n.__dict__, {k: n.__dict__[k] for k in ("lineno", "end_lineno")
                                          if k in n.__dict__})
                            for n in unique(flat[id(t)]) if "lineno" in type(n)._attributes])

    def each(fn, prebuilt):
        return lambda t: [fn(n) for n in prebuilt[t]]

    def copied(copy):
        return lambda t: [copy(new, old) for new, old in targets[t]]

    def walk_floor(t):
        sprig._walk_count(t)
        return list(iter(flat[id(t)]))

    def line_floor(t):
        sprig._walk_count(t)
        if lines[t]:
            stores(dict.update, *zip(*lines[t]))

    return [
        Group("list(ast.walk(t)), unpatched", lambda t: list(STDLIB["walk"](t)), [
            Op("list(ast_walk(t))", lambda t: list(sprig.ast_walk(t)), same_list),
            Op(FLOOR + "_walk_count(t), then list(iter(prebuilt))", walk_floor),
        ]),
        Group("for n in ast.walk(t): if isinstance(n, ast.Call): ..., unpatched",
              calls_found(STDLIB["walk"]), [
            Op("the same loop over ast_walk(t)", calls_found(sprig.ast_walk), same_list),
        ]),
        Group("list(ast.walk(s)) for each 4-7 node subtree s, unpatched",
              each(lambda n: list(STDLIB["walk"](n)), subtrees), [
            Op("list(ast_walk(s)) for each 4-7 node subtree s",
               each(lambda n: list(sprig.ast_walk(n)), subtrees), lambda p, r: p == r,
               prepare=subtrees.prepare),
            Op(FLOOR + "list(iter(prebuilt)) for each subtree",
               each(lambda nodes: list(iter(nodes)), subtree_nodes),
               prepare=subtree_nodes.prepare),
        ]),
        Group("list(ast.iter_child_nodes(n)) for every node, unpatched",
              each(lambda n: list(STDLIB["iter_child_nodes"](n)), every), [
            Op("list(ast_iter_child_nodes(n)) for every node",
               each(lambda n: list(sprig.ast_iter_child_nodes(n)), every),
               lambda p, r: p == r, prepare=every.prepare),
            Op(FLOOR + "list(iter(prebuilt children)) for every node",
               each(lambda nodes: list(iter(nodes)), children), prepare=children.prepare),
        ]),
        Group("ast.copy_location(Name(), n) for every expr and stmt, unpatched",
              copied(STDLIB["copy_location"]), [
            Op("ast_copy_location(Name(), n) for every expr and stmt",
               copied(sprig.ast_copy_location), lambda p, r: len(p) == len(r),
               prepare=targets.prepare),
            Op(FLOOR + "operator.is_(Name(), n): the loop and one C call per pair",
               copied(operator.is_), prepare=targets.prepare),
        ]),
        # n=0: every read, addition and write happens, and the trees stay as they are.
        Group("ast.increment_lineno(t, 0), unpatched", lambda t: STDLIB["increment_lineno"](t, 0), [
            Op("ast_increment_lineno(t, 0)", lambda t: sprig.ast_increment_lineno(t, 0),
               lambda p, r: True),
            Op(FLOOR + "_walk_count(t), then the same line stores into each __dict__",
               line_floor, prepare=lines.prepare),
        ]),
        Group("end to end: a linter-like pass of ast.walk/iter_child_nodes/iter_fields, "
              "unpatched", lint, [
            Op("end to end: the same pass under patch_ast()", patched(lint, sprig), same_list),
        ]),
        Group("end to end with parsing: ast.parse + the linter-like pass, unpatched",
              lambda t: parsed_lint(sources[t]), [
            Op("end to end with parsing: the same under patch_ast()",
               lambda t: patched(parsed_lint, sprig)(sources[t]), same_list,
               prepare=sources.prepare),
        ]),
    ]


def stores(method, *args):
    """method(*a) for each a in zip(*args), driven from C: dictionary stores alone."""
    collections.deque(map(method, *args), maxlen=0)


def edit_groups(flat, sprig=sprig):
    """The edit rows compare the trees' state after the call, not the call's return value.
    The floor of location repair makes the same dictionary stores as the call, straight into
    each node's __dict__: all four locations on every located node, as the reset leaves
    them. (One call per store of a parent costs more than set_parents: it has no floor.)"""
    start = dict(zip(LOCATIONS, (1, 0, 1, 0)))
    located = Prebuilt(lambda t: [n.__dict__ for n in unique(flat[id(t)])
                                  if "lineno" in type(n)._attributes])
    return [
        Group("ast.fix_missing_locations(t)", ast.fix_missing_locations, [
            Op("fix_missing_locations(t)", sprig.fix_missing_locations, same_list),
            Op(FLOOR + "d.update(locations) per located node",
               lambda t: stores(dict.update, located[t], itertools.repeat(start)),
               prepare=located.prepare),
        ], edit="locations"),
        Group("for p in ast.walk(t): for c in ast.iter_child_nodes(p): c.parent = p",
              set_parents_peer, [
            Op("set_parents(t)", sprig.set_parents, same_list),
        ], edit="parent"),
    ]


EDITED = {"locations": LOCATIONS, "parent": ("parent",)}


# ---- examples/clones.py: whole files, parsing included -------------------------------------

CLONES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "clones.py"


def clones_rates(paths, worker_counts=(1, 2)):
    """Files per second of examples/clones.py over the corpus files `paths` with each number
    of local workers of each kind: processes, and interpreters of one process with a GIL
    each (3.14 on); one run each, started afresh."""
    kinds = {"processes": "--workers"}
    if sys.version_info >= (3, 14):
        kinds["interpreters"] = "--interpreters"
    rates = {}
    for kind, option in kinds.items():
        for workers in worker_counts:
            start = time.monotonic()
            subprocess.run([sys.executable, str(CLONES), *map(str, paths), option, str(workers)],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            rates.setdefault(kind, {})[workers] = len(paths) / (time.monotonic() - start)
    return rates


# ---- timing -----------------------------------------------------------------------------

class Corpus:
    """The trees, the two merged modules, and every tree's nodes as `list(ast.walk(t))`:
    the floor rows copy these lists, the edit rows reset and compare the nodes in them."""

    def __init__(self, trees):
        self.trees = trees
        self.flat = {id(t): list(ast.walk(t)) for t in trees}
        self.bigs = {}

    def workload(self, name, sample):
        """The trees that one pass of workload `name` calls the operation on, in order."""
        trees = self.trees[::HASH_SAMPLE_STEP] if sample else self.trees
        if name != "big":
            return trees
        if sample not in self.bigs:
            big = self.bigs[sample] = merged(trees)
            self.flat[id(big)] = list(ast.walk(big))
        return [self.bigs[sample]]

    def nodes(self, trees):
        return sum(len(self.flat[id(t)]) for t in trees)

    def reset(self, tree, names):
        for node in self.flat[id(tree)]:
            d = node.__dict__
            for name in names:
                d.pop(name, None)


def one_pass(fn, trees, warm, reset):
    """Nanoseconds spent inside `fn` over `trees`; `reset` runs outside the timed region."""
    clock = time.perf_counter_ns
    if reset and not warm:
        for t in trees:
            reset(t)
    total = 0
    for t in trees:
        if warm:
            if reset:
                reset(t)
            fn(t)
            if reset:
                reset(t)
        start = clock()
        result = fn(t)
        total += clock() - start
        del result  # released outside the timed region
    return total


def available(op, probe):
    if op.prepare:
        op.prepare(probe)
    try:
        op.fn(probe)
    except NotImplementedError:
        return False
    return True


def check(group, ops, corpus, trees, reset):
    """Names of the ops whose result differs from the peer's on some tree."""
    wrong = []
    for t in trees:
        if group.edit:
            # A node met along several paths (the parser shares one Load(), Add(), ...)
            # keeps the parent written last, and the peer does not write in pre-order.
            met = collections.Counter(map(id, corpus.flat[id(t)]))
            edited = [n for n in corpus.flat[id(t)] if met[id(n)] == 1]
            names = EDITED[group.edit]

        def observe(fn):
            if reset:
                reset(t)
            result = fn(t)
            if group.edit:  # the tree's state, node by node
                return [tuple(n.__dict__.get(a) for a in names) for n in edited]
            return result
        expected = observe(group.peer)
        for op in ops:
            if op.agree and op.call not in wrong and not op.agree(expected, observe(op.fn)):
                wrong.append(op.call)
    return wrong


def time_group(group, corpus, rounds, notes, pure=None):
    """The group's rows; `pure`, the same group built on the pure implementation, adds the
    pure figures of each sprig call (not of the floors) to its row."""
    trees = corpus.workload("files", group.sample)
    reset = (lambda t: corpus.reset(t, EDITED[group.edit])) if group.edit else None
    ops = [op for op in group.ops if available(op, trees[0])]
    for op in group.ops:
        if op not in ops:
            notes.append(f"skipped {op.call}: not implemented")
    if not ops:
        return []
    for call in check(group, ops, corpus, trees, reset):
        notes.append(f"RESULTS DIFFER: {call} vs {group.peer_call}")
    pure_ops = []
    if pure:
        calls = {op.call for op in ops if not op.call.startswith(FLOOR)}
        pure_ops = [op for op in pure.ops if op.call in calls and available(op, trees[0])]
        for call in check(group, pure_ops, corpus, trees, reset):
            notes.append(f"RESULTS DIFFER: pure {call} vs {group.peer_call}")
    rows = []
    for workload in WORKLOADS:
        work = corpus.workload(workload, group.sample)
        for op in ops + pure_ops:
            if op.prepare:
                for t in work:
                    op.prepare(t)
        fns = [group.peer] + [op.fn for op in ops + pure_ops]
        best = [float("inf")] * len(fns)
        for _ in range(rounds[workload]):
            for i, fn in enumerate(fns):  # peer, then each sprig call: interleaved
                gc.collect()
                best[i] = min(best[i], one_pass(fn, work, workload == "warm", reset))
        nodes = corpus.nodes(work)
        floor = next((ns for op, ns in zip(ops, best[1:]) if op.call.startswith(FLOOR)), None)
        pure_ns = {op.call: ns for op, ns in zip(pure_ops, best[1 + len(ops):])}
        for op, ns in zip(ops, best[1:]):
            row = {
                "operation": op.call, "peer": group.peer_call, "workload": workload,
                "modules": len(trees), "nodes": nodes, "rounds": rounds[workload],
                "peer_ns_per_node": best[0] / nodes, "sprig_ns_per_node": ns / nodes,
                "ratio": best[0] / ns if ns else None,
                "floor_ratio": ns / floor if floor else None,
            }
            if op.call in pure_ns:
                row["pure_ns_per_node"] = pure_ns[op.call] / nodes
                row["pure_ratio"] = best[0] / pure_ns[op.call] if pure_ns[op.call] else None
            rows.append(row)
    return rows


def run_timings(trees_of, rounds, notes, only=None, pure=None):
    """All rows (or those of the groups that mention `only`); each corpus is parsed afresh
    so the edits never reach the read-only rows. `pure`: the pure implementation, timed
    beside the native one."""
    def wanted(group):
        return not only or any(only in call for call in
                               [group.peer_call] + [op.call for op in group.ops])
    rows = []
    gc.disable()
    try:
        for edit in (False, True):
            corpus = Corpus(trees_of())
            build = edit_groups if edit else read_groups
            groups = [g for g in build(corpus.flat) if wanted(g)]
            twins = [g for g in build(corpus.flat, pure) if wanted(g)] if pure else groups
            if hasattr(gc, "freeze"):  # not on PyPy
                gc.freeze()  # the corpus is never garbage: keep it out of each collection
            for group, twin in zip(groups, twins):
                rows += time_group(group, corpus, rounds, notes, twin if pure else None)
                print(f"  timed: {group.peer_call}", file=sys.stderr, flush=True)
            del corpus, groups, twins
            if hasattr(gc, "unfreeze"):
                gc.unfreeze()
            gc.collect()  # parent links made the edited trees cyclic
    finally:
        gc.enable()
    return rows


# ---- per-call cost of many classes --------------------------------------------------------
# A call on a tiny subtree pays mostly for what it does once per call, such as preparing its
# kinds: these rows time one call naming every node class against the same call naming one.

ALL_NODE_CLASSES = tuple(c for c in vars(ast).values()
                         if isinstance(c, type) and issubclass(c, ast.AST) and c is not ast.AST)
SUBTREE_NODES = 5
PER_CALL_SUBTREES = 2000


def per_call_rows(trees, rounds):
    """ns per call of walk_frontier and walk_frontier_events on every subtree of
    SUBTREE_NODES nodes (as ast.walk counts them), with one class and with all of them."""
    subtrees = []
    for t in trees:
        subtrees += [n for n in ast.walk(t) if sum(1 for _ in ast.walk(n)) == SUBTREE_NODES]
        if len(subtrees) >= PER_CALL_SUBTREES:
            break
    subtrees = subtrees[:PER_CALL_SUBTREES]
    one, every = (ast.Name,), ALL_NODE_CLASSES
    calls = {
        ("walk_frontier", "(Name,)"): lambda n: sprig.walk_frontier(n, one),
        ("walk_frontier", "all"): lambda n: sprig.walk_frontier(n, every),
        ("walk_frontier_events", "(Name,)"): lambda n: sprig.walk_frontier_events(n, one, one),
        ("walk_frontier_events", "all"):
            lambda n: sprig.walk_frontier_events(n, every, every),
    }
    best = dict.fromkeys(calls, float("inf"))
    clock = time.perf_counter_ns
    for _ in range(max(rounds, 5) * 4):
        for key, fn in calls.items():  # interleaved, like the rows above
            start = clock()
            for n in subtrees:
                fn(n)
            best[key] = min(best[key], (clock() - start) / len(subtrees))
    rows = []
    for name in ("walk_frontier", "walk_frontier_events"):
        rows.append({"function": name, "subtrees": len(subtrees), "nodes": SUBTREE_NODES,
                     "classes": len(every), "one_class_ns": best[name, "(Name,)"],
                     "all_classes_ns": best[name, "all"],
                     "ratio": best[name, "all"] / best[name, "(Name,)"]})
    return rows


def per_call_table(rows):
    lines = [f"ns per call on {rows[0]['subtrees']} subtrees of {rows[0]['nodes']} nodes, "
             f"kinds (and bracket) of one class and of all {rows[0]['classes']} node classes:",
             f"  {'function':<22}{'(Name,)':>10}{'all':>10}{'all/one':>10}"]
    for r in rows:
        lines.append(f"  {r['function']:<22}{r['one_class_ns']:>10.0f}"
                     f"{r['all_classes_ns']:>10.0f}{r['ratio']:>9.2f}x")
    return "\n".join(lines)


# ---- instruction counts -----------------------------------------------------------------

def callgrind_child(name, reps, paths):
    """Runs under callgrind: `name` over the trees `reps` times; "none" calls `id` instead.
    Without the collector, the result lists cannot set off collections that only one of
    the two runs would pay for."""
    gc.disable()
    trees = [t for _, t in parse_all(map(pathlib.Path, paths))]
    tiny = ast.parse("x")
    for walk in COUNTED_WALKS:  # per-thread tables are built by the first call
        getattr(sprig, walk)(tiny)
    fn = id if name == "none" else getattr(sprig, name)
    for _ in range(reps):
        for t in trees:
            fn(t)


def total_ir(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("totals:", "summary:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def instructions_per_node(sizes, quick):
    """(Ir with the walks - Ir with `id` in their place) / nodes walked, per walk;
    `sizes` holds (path, node count) per module."""
    by_size = sorted(sizes, key=lambda ps: ps[1])
    middle = by_size[len(by_size) // 2: len(by_size) * 9 // 10]  # mid-sized modules
    want = 5 if quick else 20
    picked = middle[:: max(1, len(middle) // want)][:want]
    paths = [path for path, _ in picked]
    reps = 3 if quick else 20
    walked = reps * sum(n for _, n in picked)
    env = dict(os.environ, PYTHONHASHSEED="0")
    irs = {}
    with tempfile.TemporaryDirectory() as tmp:
        names = ("none",) + COUNTED_WALKS
        for pair in (names[:2], names[2:]):  # two at a time: one per core
            jobs = {}
            for name in pair:
                out = os.path.join(tmp, f"{name}.out")
                jobs[name] = (out, subprocess.Popen(
                    ["valgrind", "--tool=callgrind", "--collect-atstart=yes",
                     f"--callgrind-out-file={out}", sys.executable, __file__,
                     "--callgrind-child", name, str(reps), *paths],
                    env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True))
            for name, (out, job) in jobs.items():
                _, err = job.communicate()
                if job.returncode:
                    raise RuntimeError(f"callgrind run for {name} failed:\n{err[-2000:]}")
                irs[name] = total_ir(out)
    per_node = {name: (irs[name] - irs["none"]) / walked for name in COUNTED_WALKS}
    return per_node, {"modules": len(paths), "reps": reps, "nodes_walked": walked}


# ---- output -----------------------------------------------------------------------------

def pure_cell(row):
    ratio = row.get("pure_ratio")
    return f"{ratio:.2f}x" if ratio else "-"


def table(rows):
    pure = any("pure_ratio" in r for r in rows)
    head = ("operation", "workload", "nodes", "peer ns/node", "sprig ns/node",
            "peer/sprig", "sprig/floor") + (("peer/pure",) if pure else ())
    body, last_peer = [], None
    for r in rows:
        if r["peer"] != last_peer:
            body.append(("peer: " + r["peer"],))
            last_peer = r["peer"]
        body.append((
            "  " + r["operation"], r["workload"], f"{r['nodes']:,}",
            f"{r['peer_ns_per_node']:.2f}", f"{r['sprig_ns_per_node']:.2f}",
            f"{r['ratio']:.1f}x" if r["ratio"] else "-",
            f"{r['floor_ratio']:.2f}" if r["floor_ratio"] else "")
            + ((pure_cell(r),) if pure else ()))
    full = [b for b in body if len(b) > 1]
    widths = [max(len(b[i]) for b in [head] + full) for i in range(len(head))]
    lines = []
    for b in [head] + body:
        if len(b) == 1:
            lines.append(b[0])
        else:
            lines.append("  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                                   for i, (c, w) in enumerate(zip(b, widths))).rstrip())
    return "\n".join(lines)


SUMMARY_WORKLOADS = ("warm", "files")  # files: each tree mostly out of cache, "cold"


def function_name(call):
    return call.split("(")[0]


def summary(rows):
    """One entry per sprig call (floor rows left out), in the order of the rows: its name,
    call and peer, and per workload of SUMMARY_WORKLOADS the row and the floor's speed-up
    over the same peer (None where the group has no floor)."""
    floors = {(r["peer"], r["workload"]): r["ratio"] for r in rows
              if r["operation"].startswith(FLOOR)}
    entries = {}
    for r in rows:
        if r["operation"].startswith(FLOOR) or r["workload"] not in SUMMARY_WORKLOADS:
            continue
        key = (r["peer"], r["operation"])
        entry = entries.setdefault(key, {"call": r["operation"], "peer": r["peer"]})
        entry[r["workload"]] = dict(r, floor_speedup=floors.get((r["peer"], r["workload"])))
    names = collections.Counter(function_name(e["call"]) for e in entries.values())
    for e in entries.values():  # a function timed in two rows is told apart by its call
        name = function_name(e["call"])
        e["name"] = name if names[name] == 1 else e["call"]
    return list(entries.values())


def has_pure(entries):
    return any("pure_ratio" in e.get(w, {}) for e in entries for w in SUMMARY_WORKLOADS)


def summary_cells(entry, pure=False):
    cells = []
    for workload in SUMMARY_WORKLOADS:
        r = entry.get(workload)
        if r is None:
            cells += ["-"] * (5 if pure else 4)
            continue
        cells += [f"{r['peer_ns_per_node']:.2f}", f"{r['sprig_ns_per_node']:.2f}",
                  f"{r['ratio']:.1f}x" if r["ratio"] else "-",
                  f"{r['floor_ratio']:.2f}" if r["floor_ratio"] else "-"]
        if pure:
            cells.append(pure_cell(r))
    return cells


SUMMARY_COLUMNS = ("peer", "sprig", "peer/sprig", "sprig/floor")


def summary_table(entries):
    """Plain text: ns per node for the peer and sprig, the speed-up and the floor ratio (and
    the pure implementation's speed-up, if timed), warm and then cold; the peers follow below
    the table."""
    pure = has_pure(entries)
    columns = SUMMARY_COLUMNS + (("peer/pure",) if pure else ())
    head = ("function",) + columns * 2
    body = [[e["name"]] + summary_cells(e, pure) for e in entries]
    widths = [max(len(row[i]) for row in [head] + body) for i in range(len(head))]
    warm = sum(widths[1:1 + len(columns)]) + 2 * (len(columns) - 1)
    lines = [" " * widths[0] + "  " + "warm (ns/node)".ljust(warm) + "  files, cold (ns/node)"]
    for row in [head] + body:
        lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                               for i, (c, w) in enumerate(zip(row, widths))).rstrip())
    lines.append("peers:")
    lines += [f"  {e['name']}: {e['peer']}" for e in entries]
    return "\n".join(lines)


def summary_markdown(entries, about):
    pure = ("peer/pure",) if has_pure(entries) else ()
    head = (("function", "warm: peer ns/node", "sprig ns/node", "peer/sprig", "sprig/floor")
            + pure + ("cold: peer ns/node", "sprig ns/node", "peer/sprig", "sprig/floor") + pure)
    lines = ["| " + " | ".join(head) + " |", "|" + " --- |" * len(head)]
    for e in entries:
        lines.append(f"| `{e['name']}` | " + " | ".join(summary_cells(e, bool(pure))) + " |")
    lines += ["", "| function | the sprig call | its peer |", "| --- | --- | --- |"]
    escaped_bar = "\\|"  # a backslash inside an f-string's braces needs 3.12
    lines += [f"| `{e['name']}` | `{e['call']}` | `{e['peer'].replace('|', escaped_bar)}` |"
              for e in entries]
    return "\n".join([about, ""] + lines) + "\n"


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f
                          if line.startswith("model name")), model)
    except OSError:
        pass
    return f"{model} ({os.cpu_count()} CPUs)"


def plot(entries, path, title):
    """Horizontal bars of the speed-up over the peer, warm and cold, on a log axis; a tick
    marks the floor's own speed-up over the same peer, about the most its group can reach."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = {"warm": "#d9822b", "files": "#2b6cb0"}
    labels = {"warm": "warm (in cache)", "files": "cold (files pass)"}
    height = 0.38
    fig, ax = plt.subplots(figsize=(12, 0.62 * len(entries) + 2.2))
    ys = range(len(entries))
    floor_labelled = False
    for k, workload in enumerate(SUMMARY_WORKLOADS):
        offset = (k - 0.5) * height
        for y, e in zip(ys, entries):
            r = e.get(workload)
            if not r or not r["ratio"]:
                continue
            pos = y + offset
            ax.barh(pos, r["ratio"], height, color=colors[workload],
                    label=labels[workload] if y == 0 else None)
            # right of the bar and of a floor tick just past it, so that neither hides it
            near = r["floor_speedup"] and r["floor_speedup"] < r["ratio"] * 1.5
            ax.text(max(r["ratio"], r["floor_speedup"] if near else 0) * 1.06, pos,
                    f"{r['ratio']:.1f}x", va="center", fontsize=8)
            if r["floor_speedup"]:
                ax.plot([r["floor_speedup"]] * 2, [pos - height / 2, pos + height / 2],
                        color="black", linewidth=2.2,
                        zorder=4, label=None if floor_labelled else
                        "floor: work every call of the group must do")
                floor_labelled = True
    ax.set_xscale("log")
    ax.axvline(1, color="grey", linewidth=0.8)
    ax.set_yticks(list(ys), [e["name"] for e in entries], fontfamily="monospace")
    ax.invert_yaxis()
    ax.set_xlabel("speed-up over the standard-library peer (peer time / sprig time, log scale)")
    lo, hi = ax.get_xlim()
    ax.set_xlim(min(lo, 0.8), hi * 1.6)
    ax.set_title(title, fontsize=10)
    ax.grid(axis="x", which="major", alpha=0.3)
    # Below the axes, where no bar or tick can be hidden by it.
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.07), ncol=3, fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def interpreter():
    if platform.python_implementation() == "PyPy":
        pypy = ".".join(map(str, sys.pypy_version_info[:3]))
        return f"PyPy {pypy} (Python {platform.python_version()}), pure implementation"
    return f"CPython {platform.python_version()}"


def write_summary(rows, result, md_path, png_path):
    """The Markdown summary and the plot; the plot is left out, with a note, where this
    interpreter cannot import matplotlib."""
    entries = summary(rows)
    python = interpreter()
    about = (f"Measured on {result['machine']}, {python}, over {result['modules']} modules "
             f"of its standard library ({result['nodes']:,} nodes); rounds: warm "
             f"{result['rounds']['warm']}, cold {result['rounds']['files']}. Times are ns "
             "per node, the best round; peer/sprig is how many times faster sprig is, "
             "sprig/floor how its time compares with its group's floor.")
    if has_pure(entries):
        about += (" peer/pure is the same for the pure-Python implementation, timed in the "
                  "same rounds: below 1, it is slower than the peer.")
    if result.get("quick"):
        about += " A --quick run: every 8th file, fewer rounds."
    md_path.parent.mkdir(parents=True, exist_ok=True)
    md_path.write_text(summary_markdown(entries, about))
    try:
        plot(entries, png_path, f"sprig vs ast, {python} on {result['machine']}")
    except ImportError as e:
        return f"no plot: {e}"
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="every 8th stdlib file and fewer rounds: a smoke test")
    ap.add_argument("--rounds", type=int, help="rounds for warm and files (default 5, quick 2)")
    ap.add_argument("--big-rounds", type=int, help="rounds for big (default 3, quick 2)")
    ap.add_argument("--json", default=str(pathlib.Path(__file__).with_name("results.json")),
                    help="where the rows go; the summary and plot go beside it, as .md and .png")
    ap.add_argument("--full", action="store_true",
                    help="print every row on every workload, floors included, not the summary")
    ap.add_argument("--docs", action="store_true",
                    help="write the summary and plot as docs/bench.md and docs/bench.png")
    ap.add_argument("--no-callgrind", action="store_true", help="skip instruction counts")
    ap.add_argument("--only", metavar="TEXT",
                    help="time only the groups whose calls mention TEXT, e.g. frontier")
    ap.add_argument("--corpus", metavar="DIR",
                    help="the .py files under DIR instead of this interpreter's stdlib, so that "
                         "runs on several interpreters time the same workload")
    ap.add_argument("--pure", action="store_true",
                    help="also time each sprig call on the pure-Python implementation")
    ap.add_argument("--callgrind-child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.callgrind_child:
        name, reps, *paths = args.callgrind_child
        return callgrind_child(name, int(reps), paths)

    started = time.monotonic()
    paths = stdlib_paths(args.corpus)[:: 8 if args.quick else 1]
    rounds = dict(warm=args.rounds or (2 if args.quick else 5),
                  big=args.big_rounds or (2 if args.quick else 3))
    rounds["files"] = rounds["warm"]

    def trees_of():
        return [t for _, t in parse_all(paths)]

    sizes = [(path, count(t)) for path, t in parse_all(paths)]
    nodes = sum(n for _, n in sizes)
    print(f"sprig vs ast on {len(sizes)} of {len(paths)} .py files under "
          f"{args.corpus or sysconfig.get_paths()['stdlib']} ({nodes:,} nodes), "
          + (interpreter() if PURE else f"Python {platform.python_version()}"))
    if not PURE:  # the pure implementation has no in-place reads to report
        print(f"node dictionaries read in place: {'yes' if sprig._direct_reads() else 'NO'} "
              "(the layout check made at import)")
    print(f"rounds: warm {rounds['warm']}, files {rounds['files']}, big {rounds['big']}; "
          f"subtree_hashes rows on every {HASH_SAMPLE_STEP}th module "
          f"({len(sizes[::HASH_SAMPLE_STEP])} modules)")
    print("warm: each module timed right after an untimed call on it; files: one pass "
          "over all modules; big: one Module holding every module's body")
    print()

    notes = []
    pure = None
    if PURE:
        # Without a native module the rows time the pure implementation already, and
        # callgrind would count the instructions of PyPy's JIT and interpreter.
        print("sprig is the pure implementation here: no --pure column, no instruction "
              "counts\n")
        args.pure, args.no_callgrind = False, True
    if args.pure:
        import sprig._pure as pure  # beside the native module, whose figures stay as they are
    rows = run_timings(trees_of, rounds, notes, args.only, pure)
    print(table(rows) if args.full else summary_table(summary(rows)))
    per_call = None
    if not args.only or args.only in "walk_frontier_events":
        per_call = per_call_rows(trees_of(), rounds["warm"])
        print()
        print(per_call_table(per_call))

    result = {"python": sys.version, "version": platform.python_version(),
              "implementation": sprig.IMPLEMENTATION,
              "direct_reads": sprig._direct_reads(),
              "corpus": args.corpus or sysconfig.get_paths()["stdlib"],
              "machine": machine(), "quick": args.quick, "pure": args.pure,
              "files": len(paths), "modules": len(sizes), "nodes": nodes, "rounds": rounds,
              "hash_sample_step": HASH_SAMPLE_STEP, "rows": rows, "notes": notes}
    if per_call:
        result["per_call"] = per_call
    if args.docs:
        docs = pathlib.Path(__file__).resolve().parent.parent / "docs"
        md_path, png_path = docs / "bench.md", docs / "bench.png"
    else:
        md_path = pathlib.Path(args.json).with_suffix(".md")
        png_path = md_path.with_suffix(".png")
    missing = write_summary(rows, result, md_path, png_path)
    if missing:
        notes.append(missing)
    for note in notes:
        print("note:", note)
    print(f"summary: {md_path}" + ("" if missing else f", plot: {png_path}"))
    if not args.no_callgrind:
        print()
        per_node, how = instructions_per_node(sizes, args.quick)
        print(f"instructions per node (callgrind, {how['modules']} mid-sized modules "
              f"walked {how['reps']} times, {how['nodes_walked']:,} nodes):")
        for name, ir in per_node.items():
            print(f"  {name:<16}{ir:8.1f}")
        result["instructions_per_node"] = per_node
        result["callgrind"] = how
    if not args.only and not args.quick:
        rates = clones_rates(paths)
        print("\nexamples/clones.py over the corpus, parsing included (files/s):")
        print(f"  {'workers':<14}" + "".join(f"{w:>8}" for w in rates["processes"]))
        for kind, by_count in rates.items():
            print(f"  {kind:<14}" + "".join(f"{r:8.0f}" for r in by_count.values()))
        result["clones_files_per_second"] = rates
    result["peak_rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    result["seconds"] = time.monotonic() - started
    print(f"\npeak RSS {result['peak_rss_mib']:.0f} MiB, {result['seconds']:.0f} s")
    pathlib.Path(args.json).write_text(json.dumps(result, indent=1) + "\n")


if __name__ == "__main__":
    main()
