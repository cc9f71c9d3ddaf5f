"""Thread churn: hundreds of short-lived threads call every function on shared and private
trees while other threads define new node classes, and every result is checked against
its oracle. Threads that end hand their per-thread tables to the deferred-release queue,
threads that start build new ones, and classes appear (and die) all the while.

Shared trees only get the calls that read; each worker edits trees of its own.
"""

import ast
import collections
import random
import threading
import time
import traceback
import warnings

import sprig
from conftest import PURE
from oracles import DEBUG, ids, stdlib_preorder
from test_edits import LOCATIONS, location_state, parents_by_preorder
from test_hash import expected, signed
from test_typed import frontier, of_types, visitor_events

SOURCES = [
    "def f(a, *b, k=2.5, **c):\n    return [x + k for x in b if x] or {a: -1}\n",
    "class C(B, metaclass=M):\n    x: int = 0b1010\n    def g(self):\n"
    "        with open(p) as q:\n            yield from q\n",
    "for i in range(10):\n    try:\n        x = y[i:i + 1]\n    except E as e:\n"
    "        raise X from e\n    else:\n        z = lambda t: t ** 2\n",
    "match p:\n    case [1, *rest] | {'k': _} if rest:\n        print(f'{rest!r:>{w}}')\n",
    "import os\nv = (os.sep, '\u203e', b'', 2**130, 1j, ...)\nasync def h():\n"
    "    async for a in b:\n        await a\n",
]
KINDS = [(ast.Name,), (ast.FunctionDef, ast.ClassDef, ast.Lambda), (ast.Call, ast.Constant)]
BRACKET = (ast.FunctionDef, ast.ClassDef, ast.For, ast.Try, ast.Module)
PRUNE = (ast.Lambda, ast.Call)
SINGLETONS = (ast.expr_context, ast.boolop, ast.operator, ast.unaryop, ast.cmpop)

# How many threads of each kind run at once, and at most how many start in all. The run
# ends at the deadline if that comes first: on the debug interpreter and under sanitizers,
# where every call is several times slower, fewer threads get their turn.
WORKERS, DEFINERS = 6, 2
THREADS = 600 if DEBUG else 2000
CLASSES_PER_DEFINER = 10
DEADLINE = 20.0


def hash_oracle(tree):
    """The hash the published steps give; the pure implementation's hashes keep only the
    promise (equal trees, equal hashes), so there its own value, taken in this thread."""
    return sprig.subtree_hash(tree) if PURE else signed(expected(tree))


def check_reads(tree, digest):
    """Every read-only function on `tree`, against its oracle; `digest` is the tree's hash
    as hash_oracle gives it."""
    order = stdlib_preorder(tree)
    assert ids(sprig.walk_dfs(tree)) == ids(order)
    assert ids(sprig.walk(tree)) == ids(order)
    unordered = sprig.walk_unordered(tree)
    assert collections.Counter(ids(unordered)) == collections.Counter(ids(order))
    assert sprig._walk_count(tree) == len(order)
    for kinds in KINDS:
        found = frontier(tree, kinds)
        assert ids(sprig.walk_frontier(tree, kinds)) == ids(n for n, _ in found)
        edges = sprig.walk_frontier_edges(tree, kinds)
        assert [(id(n), id(p)) for n, p, *_ in edges] == [(id(n), id(p)) for n, p in found]
        typed = sprig.walk_of_types(tree, kinds, PRUNE)
        assert ids(typed) == ids(of_types(tree, kinds, PRUNE))
        events = sprig.walk_frontier_events(tree, kinds, BRACKET)
        assert [(e, id(n)) for e, n in events] == [
            (e, id(n)) for e, n in visitor_events(tree, kinds, BRACKET)]  # fmt: skip
    hashes = sprig.subtree_hashes(tree)
    assert hashes.keys() == set(ids(order))
    assert sprig.subtree_hash(tree) == hashes[id(tree)] == digest


def stripped(source, rng):
    """A fresh tree of `source` with about half of its location attributes removed."""
    tree = ast.parse(source)
    for node in ast.walk(tree):
        for name in LOCATIONS:
            if name in vars(node) and rng.random() < 0.5:
                delattr(node, name)
    return tree


def check_edits(source, rng):
    """set_parents and fix_missing_locations on a private tree, against ast's own."""
    seed = rng.random()
    mine = stripped(source, random.Random(seed))
    theirs = stripped(source, random.Random(seed))
    assert sprig.fix_missing_locations(mine) is mine
    ast.fix_missing_locations(theirs)
    assert location_state(ast.walk(mine)) == location_state(ast.walk(theirs))
    sprig.set_parents(mine)
    parents_by_preorder(theirs)
    assert parents(mine) == parents(theirs)


def parents(tree):
    """Per node in pre-order, the position of its parent. The parser shares one node per
    context and operator among all trees, so every thread's set_parents writes theirs: left
    out."""
    nodes = stdlib_preorder(tree)
    position = {id(n): i for i, n in enumerate(nodes)}
    return [
        position.get(id(vars(n).get("parent")))
        for n in nodes
        if not isinstance(n, SINGLETONS)
    ]


def new_classes(serial):
    """Two fresh node classes, one under ast.expr and one straight under ast.AST, each with
    fields of its own, and a small tree of them."""
    Pair = type(f"Pair{serial}", (ast.expr,), {"_fields": ("left", "items")})
    Box = type(f"Box{serial}", (ast.AST,), {"_fields": ("value",), "_attributes": ()})
    box = Box.__new__(Box)
    box.value = ast.Name(f"v{serial}", ast.Load())
    pair = Pair.__new__(Pair)
    pair.left, pair.items = box, [ast.Constant(serial), box, ast.Name("w", ast.Load())]
    return Pair, Box, ast.Module([ast.Expr(pair)], [])


def define_classes(serial):
    Pair, Box, tree = new_classes(serial)
    order = stdlib_preorder(tree)
    assert ids(sprig.walk_dfs(tree)) == ids(order)
    assert sprig._walk_count(tree) == len(order)
    assert ids(sprig.walk_frontier(tree, (Box, Pair))) == ids([order[2]])
    assert ids(sprig.walk_of_types(tree, (Box, ast.Name))) == ids(
        n for n in order if type(n) in (Box, ast.Name))  # fmt: skip
    assert sprig.subtree_hash(tree) == hash_oracle(tree)


def test_thread_churn():
    with warnings.catch_warnings(action="ignore"):
        sprig.walk(ast.Pass())  # the warning of `walk` is given once per process: now
    shared = [ast.parse(s) for s in SOURCES]
    _, _, mixed = new_classes("shared")  # classes that live as long as the test
    shared.append(mixed)
    digests = [hash_oracle(t) for t in shared]
    failures = []
    stop = time.monotonic() + DEADLINE
    started = collections.Counter()

    def guarded(work):
        def run():
            try:
                work()
            except BaseException:
                failures.append(traceback.format_exc())

        return run

    def worker(serial):
        rng = random.Random(serial)
        k = rng.randrange(len(shared))
        check_reads(shared[k], digests[k])
        source = rng.choice(SOURCES)
        check_reads(ast.parse(source), digests[SOURCES.index(source)])
        check_edits(source, rng)

    def definer(serial):
        for i in range(CLASSES_PER_DEFINER):
            define_classes(f"{serial}_{i}")

    slots = {worker: WORKERS, definer: DEFINERS}
    running = {worker: [], definer: []}
    serial = 0
    while serial < THREADS and time.monotonic() < stop and not failures:
        for work, threads in running.items():
            threads[:] = [t for t in threads if t.is_alive()]
            while len(threads) < slots[work]:
                thread = threading.Thread(target=guarded(lambda s=serial, w=work: w(s)))
                thread.start()
                threads.append(thread)
                started[work.__name__] += 1
                serial += 1
        time.sleep(0.001)
    for threads in running.values():
        for thread in threads:
            thread.join()
    assert not failures, failures[0]
    assert started["worker"] >= 20 and started["definer"] >= 10, started
    sprig._walk_count(None)  # releases what the last threads to end queued
