"""Kind sets remembered between calls: a tuple naming more classes than a set holds inline is
sorted once per thread and used again while the tuple in hand holds the same classes. Every
call must answer as a first call would: after the tuple died and its address went to
another, after classes died or changed, on other threads, and from inside a walk."""

import ast
import gc
import random
import threading
import weakref

import pytest

import sprig
from conftest import cpython_only
from oracles import CORPUS_PATHS, DEBUG, ids, parse_stdlib
from test_typed import frontier, of_types, visitor_events

# Before 3.14 the module still holds the deprecated constant classes (Num, Str, ...), whose
# handlers the oracle visitor would warn of: they are left out.
DEPRECATED = set(getattr(ast, "_const_node_type_names", {}).values())
NODE_CLASSES = tuple(
    c for c in vars(ast).values()
    if isinstance(c, type) and issubclass(c, ast.AST) and c is not ast.AST
    and c.__name__ not in DEPRECATED
)  # fmt: skip
WIDE = (ast.Name, ast.Call, ast.Attribute, ast.Constant, ast.FunctionDef, ast.ClassDef,
        ast.Lambda, ast.Load, ast.Store, ast.BinOp)  # more than a set holds inline
SOURCE = "def f(a):\n    return [g(x.y) + 1 for x in a if x]\nclass C(B):\n    z = lambda: q\n"
TREES = [ast.parse(SOURCE)] + [parse_stdlib(p) for p in CORPUS_PATHS[:: max(1, len(CORPUS_PATHS) // 6)]]


def expected(tree, kinds, other):
    frontier_pairs = [(id(n), id(p)) for n, p in frontier(tree, kinds)]
    return ([n for n, _ in frontier_pairs], frontier_pairs, ids(of_types(tree, kinds, other)),
            [(e, id(n)) for e, n in visitor_events(tree, kinds, other)])


def agree(tree, kinds, other, known=None):
    """Every typed walk on `tree` with `kinds` (and `other` as prune and bracket) against
    its oracle. The oracles read only which classes are named: `known` keeps their answers
    for calls that name the same ones."""
    key = (frozenset(kinds), frozenset(other))
    if known is None or key not in known:
        answer = expected(tree, kinds, other)
        if known is not None:
            known[key] = answer
    else:
        answer = known[key]
    frontier_ids, frontier_pairs, of_types_ids, events = answer
    assert ids(sprig.walk_frontier(tree, kinds)) == frontier_ids
    assert [(id(n), id(p)) for n, p, *_ in sprig.walk_frontier_edges(tree, kinds)] == frontier_pairs
    assert ids(sprig.walk_of_types(tree, kinds, other)) == of_types_ids
    assert [(e, id(n)) for e, n in sprig.walk_frontier_events(tree, kinds, other)] == events


def subsets(seed, count):
    """`count` tuples of 9 to 40 node classes, some repeated, in a random order."""
    rng = random.Random(seed)
    return [tuple(rng.choices(NODE_CLASSES, k=rng.randint(9, 40))) for _ in range(count)]


@pytest.mark.parametrize("tree", TREES, ids=range(len(TREES)))
def test_remembered_sets_answer_as_fresh_ones(tree):
    # More than the 16 remembered, with their reversals: entries are evicted and made again.
    # A debug interpreter runs the oracles slowly: fewer there.
    tuples = subsets(1, 20 if DEBUG else 40)
    known = {}
    for kinds, other in zip(tuples, reversed(tuples)):
        agree(tree, kinds, other, known)  # first sight
        agree(tree, kinds, other, known)  # remembered
        agree(tree, tuple(reversed(kinds)), kinds, known)  # another tuple with the same classes
    agree(tree, NODE_CLASSES, NODE_CLASSES)  # one tuple as both arguments


@cpython_only("a dead tuple's address is given to the next one")
def test_a_dead_tuple_s_address_serves_its_successor():
    tree = TREES[0]
    seen = []
    for kinds in subsets(2, 300):
        fresh = tuple(list(kinds))  # a new tuple each time: addresses come round again
        seen.append(id(fresh))
        agree(tree, fresh, WIDE)
        del fresh
    assert len(set(seen)) < len(seen)  # so some calls met a reused address


def leaf_class(i):
    return type(f"Leaf{i}", (ast.expr,), {"_fields": ("a",), "_attributes": ()})


def leaf_tree(leaf):
    node = leaf.__new__(leaf)
    node.a = ast.Name("x", ast.Load())
    return ast.Module([ast.Expr(node), ast.Expr(ast.Call(ast.Name("f"), [node], []))], [])


@cpython_only("a class dies at once when its last reference goes")
def test_dead_classes_are_neither_kept_nor_confused_with_new_ones():
    refs = []
    for i in range(12):
        leaf = leaf_class(i)
        kinds = (leaf,) + WIDE[1:]  # the new class where a dead one may have been
        tree = leaf_tree(leaf)
        agree(tree, kinds, WIDE)
        agree(tree, WIDE, kinds)
        refs.append(weakref.ref(leaf))
        del leaf, kinds, tree
        gc.collect()
    assert not [r for r in refs if r() is not None]


def test_no_class_named_in_a_remembered_tuple_stays_alive():
    leaves = [leaf_class(i) for i in range(12)]
    kinds = tuple(leaves)
    other = threading.Thread(target=sprig.walk_frontier, args=(leaf_tree(leaves[0]), kinds))
    other.start()
    other.join()  # and one whose cache outlives the call, on this thread
    sprig.walk_frontier_events(leaf_tree(leaves[0]), kinds, kinds)
    refs = [weakref.ref(c) for c in leaves]
    del leaves, kinds
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_non_classes_are_refused_whatever_was_remembered():
    tree = TREES[0]
    for i in range(8):
        leaf = leaf_class(i)
        agree(tree, (leaf,) + WIDE, WIDE)
        del leaf
        gc.collect()
        with pytest.raises(TypeError, match="'bytes' object is not an instance of 'type'"):
            sprig.walk_frontier(tree, (bytes(900),) + WIDE)


def test_changed_classes_and_later_subclasses():
    base = type("Base", (ast.expr,), {"_fields": ("a",), "_attributes": ()})
    kinds = (base,) + WIDE
    agree(leaf_tree(base), kinds, kinds)
    sub = type("Sub", (base,), {})  # made after the set: an exact-type test never takes it
    agree(leaf_tree(sub), kinds, kinds)
    for fields in [("a", "b"), (), ("a",)]:
        base._fields = fields
        agree(leaf_tree(base), kinds, kinds)
        agree(leaf_tree(sub), kinds + (sub,), kinds)


def test_a_walk_that_runs_other_walks_keeps_its_sets():
    inner = subsets(3, 40)  # enough to evict every entry the outer call does not use
    read = ast.Name("y", ast.Load())

    class Reentering(ast.expr):
        _fields = ("a",)

        @property
        def a(self):
            for kinds in inner:
                sprig.walk_frontier_events(TREES[0], kinds, kinds)
            return read

    node = Reentering.__new__(Reentering)
    tree = ast.Module([ast.Expr(node), ast.Expr(ast.Name("z", ast.Load()))], [])
    kinds = WIDE + (ast.Expr,)
    expected = [(e, id(n)) for e, n in visitor_events(tree, WIDE, kinds)]
    for _ in range(3):
        got = sprig.walk_frontier_events(tree, WIDE, kinds)
        assert [(e, id(n)) for e, n in got] == expected


def test_threads_share_tuples_but_not_caches():
    tuples = subsets(4, 24)
    # Small trees, so that the threads' calls interleave often; the oracles dominate
    # otherwise.
    functions = [n for n in ast.walk(TREES[2]) if isinstance(n, ast.FunctionDef)]
    trees = [TREES[0], *sorted(functions, key=lambda f: -len(list(ast.walk(f))))[:2]]
    errors = []

    def work(seed):
        try:
            rng = random.Random(seed)
            for _ in range(30):
                kinds, other = rng.choice(tuples), rng.choice(tuples)
                agree(rng.choice(trees), kinds, other)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    for batch in range(4):  # threads that end give their caches back
        threads = [threading.Thread(target=work, args=(batch * 8 + i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert not errors, errors[0]
