"""The per-thread class caches against changing and dying classes: every function reads a
class's `_fields` and `_attributes` as they are at the call, on whichever thread, and no
class stays alive for having been walked. The ast module, which reads the class attributes
at every step, is the oracle."""

import ast
import gc
import os
import sys
import weakref
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

import pytest

import sprig
from conftest import cpython_only
from oracles import ids, stdlib_preorder

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")
KINDS = (ast.Name, ast.Call)


def classes():
    """A fresh node class `Leaf` under a fresh `Base`, neither walked by anyone yet."""
    base = type("Base", (ast.expr,), {"_fields": ("a",), "_attributes": ()})
    return base, type("Leaf", (base,), {})


def bare(cls, **fields):
    """An instance of `cls` holding `fields` in this order, made without its constructor."""
    node = cls.__new__(cls)
    vars(node).update(fields)
    return node


def name(text):
    return ast.Name(text, ast.Load())  # a context of its own: an omitted one is shared


def tree(leaf):
    """A statement whose value is a Leaf with a Leaf below it, each with fields a and b."""
    inner = bare(leaf, a=name("z"), b=ast.Call(name("f"), [], []))
    outer = bare(leaf, a=name("x"), b=[name("y"), inner])
    return ast.Expr(outer)


def everything(root):
    """Every node below `root` through any attribute, whatever _fields says."""
    found, stack = [], [root]
    while stack:
        node = stack.pop()
        found.append(node)
        for key, value in vars(node).items():
            if key == "parent":
                continue
            values = value if isinstance(value, list) else [value]
            stack.extend(v for v in values if isinstance(v, ast.AST))
    return found


def frontier(root, kinds):
    found, stack = [], list(reversed(list(ast.iter_child_nodes(root))))
    while stack:
        node = stack.pop()
        if type(node) in kinds:
            found.append(node)
        else:
            stack.extend(reversed(list(ast.iter_child_nodes(node))))
    return found


def events(root, kinds, bracket):
    seen = []

    class Recorder(ast.NodeVisitor):
        def visit(self, node):
            if type(node) in kinds:
                seen.append((0, node))
            elif type(node) in bracket:
                seen.append((1, node))
                self.generic_visit(node)
                seen.append((2, node))
            else:
                self.generic_visit(node)

    Recorder().generic_visit(root)
    return seen


def check_hashes(root):
    # Equal dumps, equal hashes: two trees that differ only in field b tell whether b counts.
    other = tree(type(root.value))
    other.value.b = [name("changed")]
    same_dump = ast.dump(root) == ast.dump(other)
    assert (sprig.subtree_hash(root) == sprig.subtree_hash(other)) == same_dump
    mine, theirs = sprig.subtree_hashes(root), sprig.subtree_hashes(other)
    assert (mine[id(root)] == theirs[id(other)]) == same_dump
    assert set(mine) == set(map(id, ast.walk(root)))


def check_edges(root):
    parents = {
        id(child): node
        for node in ast.walk(root)
        for _, value in ast.iter_fields(node)
        for child in (value if isinstance(value, list) else [value])
        if isinstance(child, ast.AST)
    }
    edges = sprig.walk_frontier_edges(root, KINDS)
    expected = frontier(root, KINDS)
    assert [(id(n), id(p)) for n, p, _, _ in edges] == [(id(n), id(parents[id(n)])) for n in expected]
    for node, parent, field, index in edges:
        assert (getattr(parent, field) if index < 0 else getattr(parent, field)[index]) is node


def check_parents(root):
    sprig.set_parents(root)
    parents = {id(c): n for n in ast.walk(root) for c in ast.iter_child_nodes(n)}
    for node in everything(root):
        assert getattr(node, "parent", None) is parents.get(id(node))


def check_locations(root):
    expected = ast.fix_missing_locations(tree(type(root.value)))
    assert sprig.fix_missing_locations(root) is root
    assert ast.dump(root, include_attributes=True) == ast.dump(expected, include_attributes=True)


CHECKS = {
    "walk_dfs": lambda t: ids(sprig.walk_dfs(t)) == ids(stdlib_preorder(t)),
    "walk_unordered": lambda t: Counter(map(id, sprig.walk_unordered(t)))
    == Counter(map(id, ast.walk(t))),
    "_walk_count": lambda t: sprig._walk_count(t) == len(list(ast.walk(t))),
    "walk_frontier": lambda t: ids(sprig.walk_frontier(t, KINDS)) == ids(frontier(t, KINDS)),
    "walk_frontier_edges": lambda t: check_edges(t) or True,
    "walk_of_types": lambda t: ids(sprig.walk_of_types(t, KINDS))
    == ids(n for n in stdlib_preorder(t) if type(n) in KINDS),
    "walk_frontier_events": lambda t: [
        (e, id(n)) for e, n in sprig.walk_frontier_events(t, (ast.Name,), (ast.Call,))
    ]
    == [(e, id(n)) for e, n in events(t, (ast.Name,), (ast.Call,))],
    "set_parents": lambda t: check_parents(t) or True,
    "fix_missing_locations": lambda t: check_locations(t) or True,
    "subtree_hash(es)": lambda t: check_hashes(t) or True,
}


# _fields and _attributes, as assigned in turn.
CHANGES = [(("a", "b"), LOCATIONS), (("b", "a"), LOCATIONS[:2]), (("b",), ()),
           ((), LOCATIONS), (["a", "b"], ()), (("a",), LOCATIONS[:2])]  # fmt: skip


@pytest.mark.parametrize("check", CHECKS.values(), ids=CHECKS.keys())
@pytest.mark.parametrize("owner", ["class", "base"])
@pytest.mark.parametrize("thread", ["same", "another"])
def test_class_attributes_reassigned_are_read_at_the_next_call(check, owner, thread):
    base, leaf = classes()
    target = leaf if owner == "class" else base
    with ThreadPoolExecutor(1) as other:
        calls = [lambda f: f()]
        if thread == "another":  # one worker thread, whose caches outlive each call
            calls.append(lambda f: other.submit(f).result())
        for call in calls:
            assert call(lambda: check(tree(leaf)))
        for fields, attributes in CHANGES:
            target._fields, target._attributes = fields, attributes
            for call in reversed(calls):
                assert call(lambda: check(tree(leaf))), (fields, attributes)


@cpython_only("version tags, and _testcapi that spends them, are CPython's")
def test_a_class_out_of_version_tags_is_read_at_every_call():
    testcapi = pytest.importorskip("_testcapi")
    base, leaf = classes()
    # From 3.13 a class gets about a thousand version tags; each reassignment uses one up.
    # Before, only the interpreter's total is bounded, so the class keeps getting new ones.
    for n in range(1200):
        leaf._fields, leaf._attributes = CHANGES[n % len(CHANGES)]
        for name, check in CHECKS.items():
            assert check(tree(leaf)), (n, name)
    if sys.version_info >= (3, 13):
        assert testcapi.type_assign_version(leaf) == 0


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def walk_fresh_classes(count):
    refs = []
    for i in range(count):
        cls = type(f"Made{i}", (ast.expr,), {"_fields": ("a", "b"), "_attributes": LOCATIONS})
        root = ast.Expr(bare(cls, a=name("x"), b=[]))
        sprig.walk_dfs(root)
        sprig.walk_of_types(root, KINDS)
        sprig.subtree_hash(root)
        sprig.fix_missing_locations(root)
        refs.append(weakref.ref(cls))
    return refs


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@cpython_only("classes die when their last reference goes")
def test_walked_classes_die_and_their_entries_go():
    refs = walk_fresh_classes(20_000)
    gc.collect()
    assert sum(r() is not None for r in refs) == 0
    before = rss_bytes()
    refs = walk_fresh_classes(20_000)
    gc.collect()
    assert sum(r() is not None for r in refs) == 0
    # Kept alive, the classes of one round took over 30 MB. The address sanitizer holds
    # freed memory back on purpose, so there the size tells nothing.
    if "ASAN_OPTIONS" not in os.environ:
        assert rss_bytes() - before < 8 << 20


def test_a_new_class_at_a_dead_class_address_is_read_anew():
    def make(fields):
        return type("Reused", (ast.expr,), {"_fields": fields, "_attributes": ()})

    old = make(("a",))
    assert all(check(tree(old)) for check in CHECKS.values())
    address = id(old)
    del old
    gc.collect()
    misses = []  # kept alive, so that each attempt takes fresh memory
    for _ in range(10_000):
        new = make(("b",))
        if id(new) == address:
            break
        misses.append(new)
    else:
        pytest.skip("no new class was placed at the dead class's address")
    assert all(check(tree(new)) for check in CHECKS.values())
