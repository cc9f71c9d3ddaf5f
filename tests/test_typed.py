"""walk_frontier, walk_frontier_edges, walk_of_types and walk_frontier_events against
oracles built on ast.iter_child_nodes and a real ast.NodeVisitor; their argument checks.
"""

import ast
import collections
import gc
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sprig
from conftest import native_only
from oracles import DEBUG, expression_chain, ids, run_python

A = ast

# -- oracles -------------------------------------------------------------------------------


def children(node):
    return list(ast.iter_child_nodes(node))


def frontier(root, kinds):
    """(node, parent) of the first descendants of `root` of a type in `kinds`, pre-order."""
    found, stack = [], [(c, root) for c in reversed(children(root))]
    while stack:
        node, parent = stack.pop()
        if type(node) in kinds:
            found.append((node, parent))
        else:
            stack.extend((c, node) for c in reversed(children(node)))
    return found


def of_types(root, kinds, prune=()):
    found, stack = [], [(root, True)]
    while stack:
        node, is_root = stack.pop()
        if type(node) in kinds:
            found.append(node)
        if is_root or type(node) not in prune:
            stack.extend((c, False) for c in reversed(children(node)))
    return found


def visitor_events(root, kinds, bracket):
    """What a NodeVisitor records whose handler for each of `kinds` records (0, node) and
    stops, and for the rest of `bracket` records 1, calls generic_visit and records 2."""
    events = []

    def dispatch(self, node):
        events.append((0, node))

    def enclose(self, node):
        events.append((1, node))
        self.generic_visit(node)
        events.append((2, node))

    handlers = {f"visit_{k.__name__}": enclose for k in bracket}
    handlers.update({f"visit_{k.__name__}": dispatch for k in kinds})
    visitor = type("Recorder", (ast.NodeVisitor,), handlers)()
    if type(root) in bracket:  # the root is descended whatever its type
        enclose(visitor, root)
    else:
        visitor.generic_visit(root)
    return events


def same_frontier(tree, kinds):
    expected = frontier(tree, kinds)
    edges = sprig.walk_frontier_edges(tree, kinds)
    assert ids(sprig.walk_frontier(tree, kinds)) == ids(n for n, _ in expected)
    assert [(id(n), id(p)) for n, p, *_ in edges] == [(id(n), id(p)) for n, p in expected]
    for node, parent, field, index in edges:
        value = getattr(parent, field)
        assert (value if index == -1 else value[index]) is node


def same_events(tree, kinds, bracket):
    found = sprig.walk_frontier_events(tree, kinds, bracket)
    assert [(e, id(n)) for e, n in found] == [
        (e, id(n)) for e, n in visitor_events(tree, kinds, bracket)]  # fmt: skip
    assert all(type(e) is int for e, _ in found)


# -- the standard library and generated trees ----------------------------------------------

SCOPES = (A.FunctionDef, A.AsyncFunctionDef, A.ClassDef)
STATEMENTS = tuple(c for c in A.stmt.__subclasses__() if c not in SCOPES)  # many: bisected
KIND_SETS = [(A.Name,), SCOPES, (A.Call, A.Attribute, A.Lambda), (A.Module, A.expr_context),
             STATEMENTS]
EVENT_SETS = [  # (kinds, bracket)
    ((A.Call, A.FunctionDef), (A.FunctionDef, A.ClassDef, A.Module, A.Lambda)),  # overlap
    ((A.Name,), (A.FunctionDef, A.ClassDef)),
    ((), (A.If, A.For, A.While, A.Try)),
]
if DEBUG:  # the debug interpreter is slow
    KIND_SETS, EVENT_SETS = KIND_SETS[:2], EVENT_SETS[:1]


def test_corpus(stdlib_tree):
    for kinds in KIND_SETS:
        same_frontier(stdlib_tree, kinds)
        expected = of_types(stdlib_tree, kinds)
        assert ids(sprig.walk_of_types(stdlib_tree, kinds)) == ids(expected)
    expected = of_types(stdlib_tree, (A.Call, A.Name), SCOPES)
    assert ids(sprig.walk_of_types(stdlib_tree, (A.Call, A.Name), SCOPES)) == ids(expected)
    for kinds, bracket in EVENT_SETS:
        same_events(stdlib_tree, kinds, bracket)


LEAVES = st.builds(A.Name, st.sampled_from("ab"), st.sampled_from([A.Load(), A.Store()]))
EXPRS = st.recursive(
    LEAVES | st.builds(A.Constant, st.integers(0, 3)),
    lambda inner: st.one_of(
        st.builds(A.BinOp, inner, st.sampled_from([A.Add(), A.Mult()]), inner),
        st.builds(A.Call, inner, st.lists(inner, max_size=3), st.just([])),
        st.builds(A.Lambda, st.builds(A.arguments), inner),
    ),
    max_leaves=12,
)
STMTS = st.recursive(
    st.builds(A.Expr, EXPRS) | st.builds(A.Pass),
    lambda inner: st.one_of(
        st.builds(A.If, EXPRS, st.lists(inner, min_size=1, max_size=3), st.lists(inner)),
        st.builds(A.FunctionDef, st.just("f"), st.builds(A.arguments), st.lists(inner)),
    ),
    max_leaves=8,
)
CLASSES = [A.Module, A.Expr, A.If, A.FunctionDef, A.Name, A.Constant, A.BinOp, A.Call,
           A.Lambda, A.Load, A.Add]  # fmt: skip
SETS = st.lists(st.sampled_from(CLASSES), max_size=7).map(tuple)


@given(st.builds(A.Module, st.lists(STMTS, max_size=4), st.just([])), SETS, SETS)
def test_generated_trees(tree, kinds, other):
    same_frontier(tree, kinds)
    assert ids(sprig.walk_of_types(tree, kinds, other)) == ids(of_types(tree, kinds, other))
    same_events(tree, kinds, other)


# -- small trees ---------------------------------------------------------------------------


def test_a_equals_f_of_b():
    tree = ast.parse("a = f(b)")
    assign = tree.body[0]
    call = assign.value
    a, f, b = assign.targets[0], call.func, call.args[0]
    assert sprig.walk_frontier(tree, (A.Name,)) == [a, f, b]
    assert sprig.walk_frontier_edges(tree, (A.Name,)) == [
        (a, assign, "targets", 0), (f, call, "func", -1), (b, call, "args", 0)]  # fmt: skip
    assert sprig.walk_of_types(tree, (A.Name, A.Call)) == [a, call, f, b]
    loads = sprig.walk_frontier_edges(tree, (A.Load,))
    assert loads == [(f.ctx, f, "ctx", -1), (b.ctx, b, "ctx", -1)]
    # CPython's parser shares one Load, PyPy's makes one each: listed once per position
    assert (loads[0][0] is loads[1][0]) == (f.ctx is b.ctx)


def test_roots():
    tree = ast.parse("def f():\n    def g(): pass\nclass C: pass")
    fn = tree.body[0]
    assert sprig.walk_frontier(tree, (A.FunctionDef,)) == [fn]  # not g inside f
    assert sprig.walk_frontier(fn, (A.FunctionDef,)) == [fn.body[0]]  # never the root
    assert sprig.walk_of_types(tree, (A.Module,)) == [tree]
    for root in (5, "text", [ast.Name("x")], None):
        assert sprig.walk_frontier_edges(root, (A.Name,)) == []
        assert sprig.walk_of_types(root, (A.Name,)) == []
    assert sprig.walk_of_types(5, (int,)) == [5]
    assert sprig.walk_frontier_events(5, (int,), (int,)) == [(1, 5), (2, 5)]
    # A root's type is never examined: a class with `_fields` names is read like a node.
    pair = collections.namedtuple("Pair", "first second")(ast.Name("f"), [1, ast.Name("s")])
    assert sprig.walk_frontier_edges(pair, (A.Name,)) == [
        (pair.first, pair, "first", -1), (pair.second[1], pair, "second", 1)]  # fmt: skip


def test_pruned_definitions_hide_decorators_defaults_and_bases():
    tree = ast.parse("@d(1)\ndef f(x=g()): h()\nclass C(b()): i()\nj(k())")
    fn, cls, outer = tree.body[0], tree.body[1], tree.body[2].value
    assert sprig.walk_of_types(tree, (A.Call,), (A.FunctionDef, A.ClassDef)) == [
        outer, outer.args[0]]  # fmt: skip
    assert sprig.walk_of_types(tree, (A.FunctionDef, A.Call), (A.FunctionDef,)) == [
        fn, cls.bases[0], cls.body[0].value, outer, outer.args[0]]  # fmt: skip
    assert len(sprig.walk_of_types(fn, (A.Call,), (A.FunctionDef,))) == 3  # root descends
    for prune in ((), None):
        assert sprig.walk_of_types(tree, (A.Call,), prune) == of_types(tree, (A.Call,))


def test_events_nest_bracket_and_dispatch():
    tree = ast.parse("class C:\n    def f(): x")
    cls, fn = tree.body[0], tree.body[0].body[0]
    x = fn.body[0].value
    both = (A.ClassDef, A.FunctionDef)
    assert sprig.walk_frontier_events(tree, (A.Name,), (A.FunctionDef,)) == [
        (1, fn), (0, x), (2, fn)]  # fmt: skip
    nested = [(1, cls), (1, fn), (2, fn), (2, cls)]
    assert sprig.walk_frontier_events(tree, (), both) == nested
    assert sprig.walk_frontier_events(tree, (A.FunctionDef,), both) == [
        (1, cls), (0, fn), (2, cls)]  # fmt: skip
    assert sprig.walk_frontier_events(tree, (), (A.Module,)) == [(1, tree), (2, tree)]
    # The root is descended even when its type is in kinds, and bracketed when in both.
    assert sprig.walk_frontier_events(cls, both, ()) == [(0, fn)]
    assert sprig.walk_frontier_events(cls, both, both) == [(1, cls), (0, fn), (2, cls)]


class MyName(ast.Name):
    pass


def test_exact_types_list_positions_and_shared_nodes():
    mine, plain = MyName("m"), ast.Name("n")
    tree = ast.Module([ast.Expr(mine), ast.Expr(plain), ast.Expr(plain)], [])
    assert sprig.walk_of_types(tree, (A.Name,)) == [plain, plain]  # once per path
    assert sprig.walk_of_types(tree, (MyName, MyName)) == [mine]
    assert sprig.walk_of_types(tree, (A.Expr, A.Name)) == sprig.walk_of_types(
        tree, (A.Name, A.Expr, A.Name))  # fmt: skip
    odd = ast.List([1, ast.Name("p"), None, ast.Name("q")], ast.Load())
    assert [e[3] for e in sprig.walk_frontier_edges(odd, (A.Name,))] == [1, 3]


# -- argument checks -----------------------------------------------------------------------

T = ast.parse("x")
NOT = "'{}' object is not an instance of '{}'"
NONE = "'None' is not an instance of '{}'"
ARGUMENT_ERRORS = {  # id: (call, message, the parameter named in the note or None)
    "kinds list": (lambda: sprig.walk_frontier(T, [A.Name]), NOT.format("list", "tuple"),
                   "kinds"),
    "kinds class": (lambda: sprig.walk_frontier_edges(T, A.Name),
                    NOT.format("type", "tuple"), "kinds"),
    "kinds None": (lambda: sprig.walk_of_types(T, None), NONE.format("tuple"), "kinds"),
    "item str": (lambda: sprig.walk_frontier(T, (A.Name, "Call")),
                 NOT.format("str", "type"), None),
    "first bad item": (lambda: sprig.walk_of_types(T, ("a", 1)), NOT.format("str", "type"),
                       None),
    "prune list": (lambda: sprig.walk_of_types(T, (A.Name,), [A.Call]),
                   NOT.format("list", "tuple"), "prune"),
    "prune before kinds items": (lambda: sprig.walk_of_types(T, (1,), [A.Call]),
                                 NOT.format("list", "tuple"), "prune"),
    "kinds before prune": (lambda: sprig.walk_of_types(T, [1], [2]),
                           NOT.format("list", "tuple"), "kinds"),
    "prune item": (lambda: sprig.walk_of_types(T, (A.Name,), (None,)), NONE.format("type"),
                   None),
    "bracket None": (lambda: sprig.walk_frontier_events(T, (), None), NONE.format("tuple"),
                     "bracket"),
    "bracket before kinds items": (lambda: sprig.walk_frontier_events(T, (1,), [A.If]),
                                   NOT.format("list", "tuple"), "bracket"),
    "bracket item": (lambda: sprig.walk_frontier_events(T, (), (A.If, 3.5)),
                     NOT.format("float", "type"), None),
}  # fmt: skip


@pytest.mark.parametrize(
    "call, message, note", ARGUMENT_ERRORS.values(), ids=list(ARGUMENT_ERRORS)
)
def test_argument_errors(call, message, note):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    notes = [f"while processing '{note}'"] if note else []
    assert getattr(caught.value, "__notes__", []) == notes


class Stored(tuple):
    """A tuple subclass whose iteration protocol lies: only its stored items count."""

    def __iter__(self):
        return iter([A.Module])

    def __getitem__(self, i):
        return A.Module

    def __len__(self):
        return 0


def test_tuple_subclass_gives_its_stored_items():
    tree = ast.parse("f(x)")
    call = tree.body[0].value
    assert sprig.walk_frontier(tree, Stored((A.Call,))) == [call]
    assert sprig.walk_of_types(tree, Stored((A.Call,)), Stored((A.Call,))) == [call]
    assert sprig.walk_frontier_events(tree, Stored(), Stored((A.Call,))) == [
        (1, call), (2, call)]  # fmt: skip


# -- fields that run Python code -----------------------------------------------------------


class Odd(ast.Expr):
    """Its `value` is a property calling `self.get()`: every walk reads it by name."""

    value = property(lambda self: self.get())


def odd(get):
    node = Odd.__new__(Odd)
    node.get = get
    return node


def raising(error):
    def get():
        raise error("from a property")

    return get


LOCATION_NAMES = ("lineno", "col_offset", "end_lineno", "end_col_offset")
FieldsInList = type("FieldsInList", (ast.AST,),
                    {"_fields": ["a", "b"], "_attributes": list(LOCATION_NAMES)})
FieldsInTuple = type("FieldsInTuple", (ast.AST,),
                     {"_fields": ("a", "b"), "_attributes": LOCATION_NAMES})  # fmt: skip


@pytest.mark.parametrize("cls", [FieldsInList, FieldsInTuple])
def test_fields_and_attributes_named_in_a_list_count_as_in_a_tuple(cls):
    x, y = A.Name("x"), A.Name("y")
    node = cls(a=[x], b=y)
    assert sprig.walk_frontier_edges(node, (A.Name,)) == [(x, node, "a", 0), (y, node, "b", -1)]
    assert sprig.walk_of_types(node, (A.Name,)) == list(ast.walk(node))[1:3] == [x, y]
    assert sprig.subtree_hash(node) != sprig.subtree_hash(cls(a=[x], b=A.Name("z")))
    sprig.set_parents(node)
    sprig.fix_missing_locations(node)
    assert x.parent is node and y.parent is node
    assert (node.lineno, node.end_col_offset, y.lineno) == (1, 0, 1)


NAME_WALKS = {  # each walk's Name nodes, in its order
    "frontier": lambda t: sprig.walk_frontier(t, (A.Name,)),
    "edges": lambda t: [n for n, *_ in sprig.walk_frontier_edges(t, (A.Name,))],
    "of_types": lambda t: sprig.walk_of_types(t, (A.Name,)),
    "events": lambda t: [n for e, n in sprig.walk_frontier_events(t, (A.Name,), (A.Expr,))
                         if e == 0],
}  # fmt: skip


@pytest.mark.parametrize("walk", NAME_WALKS.values(), ids=NAME_WALKS)
def test_fields_read_by_name(walk):
    with pytest.raises(ValueError, match="from a property"):
        walk(ast.Module([ast.Expr(ast.Name("a")), odd(raising(ValueError))], []))
    skipped = ast.Module([ast.Expr(ast.Name("a")), odd(raising(AttributeError))], [])
    assert [n.id for n in walk(skipped)] == ["a"]

    # A property that re-enters sprig, then drops the only references to the statements
    # after it, which the walk has stacked already: they are still walked, and alive.
    def get():
        inner = sprig.walk_of_types(ast.parse("p + q"), (A.Name,))
        tree.body.clear()
        gc.collect()
        return ast.Name(f"inner{len(inner)}")

    tree = ast.Module([odd(get)] + [ast.Expr(ast.Name(f"n{i}")) for i in range(3)], [])
    assert [n.id for n in walk(tree)] == ["inner2", "n0", "n1", "n2"]


def test_a_change_is_seen_in_nodes_not_yet_expanded():
    tree = ast.parse("a\nb")
    later = tree.body[1]

    def get():
        later.value = ast.Name("swapped")  # `later` is stacked, not expanded: seen
        tree.body.append(ast.Expr(ast.Name("unseen")))  # expanded already: not seen
        return ast.Name("first")

    tree.body.insert(0, odd(get))
    assert [n.id for n in sprig.walk_frontier(tree, (A.Name,))] == ["first", "a", "swapped"]


# -- depth, cycles, memory -----------------------------------------------------------------


def test_a_million_levels():
    leaf = ast.Name("x", ast.Load())
    chain = expression_chain(1_000_000, leaf)
    assert sprig.walk_frontier(chain, (A.Name,)) == [leaf]
    [(node, parent, field, index)] = sprig.walk_frontier_edges(chain, (A.Name,))
    assert (node, parent.value, field, index) == (leaf, leaf, "value", -1)
    assert sprig.walk_of_types(chain, (A.Name, A.Load)) == [leaf, leaf.ctx]
    assert sprig.walk_frontier_events(chain, (), (A.Name,)) == [(1, leaf), (2, leaf)]


CYCLES = {
    "field holds its node": "root = ast.Expr(None); root.value = root",
    "through a list": "root = ast.Module([ast.Pass()], []); root.body.append(root)",
    "below the root": """
        a = ast.UnaryOp(ast.Not(), None); b = ast.Expr(a); a.operand = b
        root = ast.Module([ast.Pass(), b], [])""",
    "long": """
        first = node = ast.Expr(None)
        for _ in range(5000):
            node = ast.Expr(node)
        first.value = node
        root = ast.Module([node], [])""",
    "read by name": """
        class Loop(ast.Expr):
            value = property(lambda self: self)
        root = ast.Module([Loop.__new__(Loop)], [])""",
}


# A node that is its own descendant makes every walk raise ValueError at once, where a walk
# without the check would grow its stack until memory ran out. A fresh interpreter runs
# each case, so that a hang fails on the timeout.
@pytest.mark.parametrize("setup", CYCLES.values(), ids=CYCLES)
def test_cycle_is_a_value_error(setup):
    check = """
        for call in [lambda: sprig.walk_frontier(root, (ast.Name,)),
                     lambda: sprig.walk_frontier_edges(root, ()),
                     lambda: sprig.walk_of_types(root, (ast.Expr,), (ast.Name,)),
                     lambda: sprig.walk_frontier_events(root, (ast.Name,), (ast.Expr,))]:
            try:
                call()
            except ValueError as e:
                assert "cycle" in str(e), e
            else:
                raise AssertionError("no cycle found")
        print("ok")
        """
    code = "import ast, sprig\n" + textwrap.dedent(setup) + textwrap.dedent(check)
    assert run_python(code) == "ok\n"


class Ring(ast.AST):
    """A ring member whose field is served by a property that counts its reads."""
    _fields = ("a",)
    reads = 0

    @property
    def a(self):
        type(self).reads += 1
        return vars(self)["following"]


@pytest.mark.parametrize("length", [255, 511])
@pytest.mark.parametrize("walk", [
    lambda root: sprig.walk_frontier(root, (ast.Name,)),
    lambda root: sprig.walk_frontier_edges(root, ()),
    lambda root: sprig.walk_of_types(root, (Ring,), ()),
    lambda root: sprig.walk_frontier_events(root, (), (Ring,)),
    sprig.subtree_hash,
], ids=["frontier", "frontier_edges", "of_types", "events", "subtree_hash"])
def test_a_cycle_is_seen_before_the_node_that_closes_it_is_read(walk, length):
    """Below the root a ring first repeats a node at depth `length + 1`, where the cycle
    check looks: each node above it has been read once."""
    root, *ring = [Ring.__new__(Ring) for _ in range(length + 1)]
    vars(root)["following"] = ring[0]
    for node, following in zip(ring, ring[1:] + ring[:1]):
        vars(node)["following"] = following
    Ring.reads = 0
    with pytest.raises(ValueError, match="cycle"):
        walk(root)
    assert Ring.reads == length + 1


@native_only("the failing allocations land in the interpreter's own running of Python code, "
             "which CPython does not promise to survive (3.15 crashes)")
def test_failed_allocations_are_memory_errors():
    # Each allocation of a Python object fails in turn, up to the index objects of a result
    # whose list positions pass the cached small ints.
    testcapi = pytest.importorskip("_testcapi")
    tree = ast.Module([ast.Expr(ast.List([ast.Name("n")] * 300, A.Load()))], [])
    for walk in NAME_WALKS.values():
        expected = walk(tree)
        for start in range(300):
            testcapi.set_nomemory(start, start + 1)
            try:
                result = walk(tree)
            except MemoryError:
                result = expected
            finally:
                testcapi.remove_mem_hooks()
            assert result == expected
