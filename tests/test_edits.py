"""set_parents and fix_missing_locations against the ast module on the standard library.

Each edit runs on its own fresh parse: the oracle edits one copy, sprig an identical other,
and the two trees are compared node by node, walking both in the same order.
"""

import ast
import contextlib
import random
import sys
import textwrap
from collections import Counter

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sprig
from conftest import CPYTHON, cpython_only
from hostile import MUTATIONS, hostile_tree
from oracles import (
    CORPUS_IDS,
    CORPUS_PATHS,
    DEBUG,
    expression_chain,
    parse_stdlib,
    run_python,
    stdlib_preorder,
)  # fmt: skip

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")


def two_parses(path):
    a, b = parse_stdlib(path), parse_stdlib(path)
    if a is None:
        pytest.skip("this interpreter cannot parse the module")
    return a, b


def parents_by_preorder(root):
    """The documented assignments, in their order: parents in depth-first pre-order."""
    for p in stdlib_preorder(root):
        for c in ast.iter_child_nodes(p):
            c.parent = p


def location_state(nodes):
    """Per node: its type and, per location name, absent or (type, value, sharing class).

    The sharing class numbers value objects by first appearance, so two trees agree on it
    exactly when the same nodes hold the very same object."""
    first_seen = {}
    state = []
    for n in nodes:
        stored = vars(n)
        row = [type(n)]
        for name in LOCATIONS:
            if name in stored:
                v = stored[name]
                row.append((type(v), v, first_seen.setdefault(id(v), len(first_seen))))
            else:
                row.append(None)
        state.append(row)
    return state


def parent_state(nodes, skip=frozenset()):
    """Per node: the position of its parent among `nodes`, or absent."""
    position = {id(n): i for i, n in enumerate(nodes)}
    return [
        "shared" if id(n) in skip else position.get(id(vars(n).get("parent")), "absent")
        for n in nodes
    ]


# -- fix_missing_locations on the standard library -----------------------------------------


def strip(a, b, rng):
    """Removes or changes location attributes alike on the twin trees `a` and `b`. Without
    `rng`, all of them go; with it, each is kept, removed or set to None at random."""
    for x, y in zip(ast.walk(a), ast.walk(b), strict=True):
        for name in LOCATIONS:
            if name not in vars(x):
                continue
            choice = rng.random() if rng else 0.0
            if choice < 0.4:
                delattr(x, name)
                delattr(y, name)
            elif choice < 0.5 or (choice < 0.7 and name.startswith("end")):
                setattr(x, name, None)
                setattr(y, name, None)


def check_fix(path, rng):
    a, b = two_parses(path)
    strip(a, b, rng)
    assert ast.fix_missing_locations(a) is a
    assert sprig.fix_missing_locations(b) is b
    assert location_state(ast.walk(b)) == location_state(ast.walk(a))


# The debug interpreter is slow: there, the tests that strip everything and set parents take
# every other module of its sample.
STEP = 2 if DEBUG else 1


@pytest.mark.parametrize("path", CORPUS_PATHS[::STEP], ids=CORPUS_IDS[::STEP])
def test_fix_missing_locations_matches_ast_all(path):
    check_fix(path, None)


@pytest.mark.parametrize("path", CORPUS_PATHS, ids=CORPUS_IDS)
def test_fix_missing_locations_matches_ast_random(path):
    check_fix(path, random.Random(str(path)))


# -- set_parents on the standard library ---------------------------------------------------


@pytest.mark.parametrize("path", CORPUS_PATHS[::STEP], ids=CORPUS_IDS[::STEP])
def test_set_parents_matches_the_loop(path):
    a, b = two_parses(path)
    for p in ast.walk(a):
        for c in ast.iter_child_nodes(p):
            c.parent = p
    assert sprig.set_parents(b) is None
    # The parser's context and operator singletons sit in both trees and under many parents;
    # which parent they end with depends on the order, which ast.walk does not share.
    shared = {id(n) for n, k in Counter(ast.walk(a)).items() if k > 1}
    shared |= {id(n) for n in ast.walk(a)} & {id(n) for n in ast.walk(b)}
    expected = parent_state(list(ast.walk(a)), shared)
    assert parent_state(list(ast.walk(b)), shared) == expected
    assert "parent" not in vars(b)


# -- generated trees with shared subtrees --------------------------------------------------

location_value = st.one_of(st.none(), st.integers(-3, 300), st.just("absent"))


@st.composite
def shared_trees(draw):
    """A recipe for an acyclic tree in which a node may be the child of several parents:
    each step makes a node whose children are earlier nodes."""
    steps = []
    for i in range(draw(st.integers(1, 20))):
        kind = draw(st.sampled_from(["Name", "UnaryOp", "BinOp", "Tuple"])) if i else "Name"
        kids = [] if kind == "Name" else draw(
            st.lists(st.integers(0, i - 1), min_size=1 if kind == "UnaryOp" else 2,
                     max_size={"UnaryOp": 1, "BinOp": 2}.get(kind, 4)))
        steps.append((kind, kids, draw(st.tuples(*[location_value] * 4))))
    return steps


def build(steps):
    load = ast.Load()
    nodes = []
    for kind, kids, locations in steps:
        children = [nodes[k] for k in kids]
        node = {
            "Name": lambda: ast.Name("x", load),
            "UnaryOp": lambda: ast.UnaryOp(ast.Not(), *children),
            "BinOp": lambda: ast.BinOp(children[0], ast.Add(), children[1]),
            "Tuple": lambda: ast.Tuple(children, load),
        }[kind]()
        for name, value in zip(LOCATIONS, locations):
            if value != "absent":
                setattr(node, name, value)
        nodes.append(node)
    return ast.Expression(nodes[-1]), nodes


@given(shared_trees())
def test_generated_trees(steps):
    a, nodes_a = build(steps)
    b, nodes_b = build(steps)
    ast.fix_missing_locations(a)
    sprig.fix_missing_locations(b)
    assert location_state(nodes_b) == location_state(nodes_a)

    a, nodes_a = build(steps)
    b, nodes_b = build(steps)
    parents_by_preorder(a)  # a node under several parents keeps the one visited last
    sprig.set_parents(b)
    assert parent_state(nodes_b) == parent_state(nodes_a)


# -- documented cases ----------------------------------------------------------------------


def test_statement_without_locations_gets_the_start_values():
    tree = ast.Module([ast.Expr(ast.BinOp(ast.Name("a"), ast.Add(), ast.Constant(1)))], [])
    sprig.fix_missing_locations(tree)
    assert not any(name in vars(tree) for name in LOCATIONS)
    for node in ast.walk(tree.body[0]):
        expected = (1, 0, 1, 0) if node._attributes else ()
        assert tuple(vars(node).get(n) for n in node._attributes) == expected


def test_end_positions_come_from_the_start_frame():
    child = ast.Name("x", ast.Load())
    statement = ast.Expr(child, lineno=5, col_offset=4)
    sprig.fix_missing_locations(ast.Module([statement], []))
    assert [getattr(statement, n) for n in LOCATIONS] == [5, 4, 1, 0]
    assert [getattr(child, n) for n in LOCATIONS] == [5, 4, 1, 0]
    assert not vars(child.ctx).keys() & set(LOCATIONS)  # contexts declare none


def test_none_start_is_kept_and_handed_down_none_end_is_replaced():
    child = ast.Name("x")
    top = ast.Expr(child, lineno=None, col_offset=3, end_lineno=None, end_col_offset=9)
    sprig.fix_missing_locations(top)
    assert [getattr(top, n) for n in LOCATIONS] == [None, 3, 1, 9]
    assert [getattr(child, n) for n in LOCATIONS] == [None, 3, 1, 9]
    assert child.lineno is top.lineno and child.end_col_offset is top.end_col_offset


def test_node_made_by_new_alone_gets_every_declared_location():
    for cls in (ast.Name, ast.arg, ast.keyword, ast.Load):
        node = cls.__new__(cls)
        sprig.fix_missing_locations(node)
        assert vars(node) == dict(zip(cls._attributes, (1, 0, 1, 0)))


@pytest.mark.parametrize("root", [5, None, "text", [ast.Name("x")], ast.Load()], ids=repr)
def test_a_root_without_locations_or_fields_is_left_alone(root):
    before = [dict(vars(n)) for n in root] if isinstance(root, list) else None
    assert sprig.fix_missing_locations(root) is root
    assert sprig.set_parents(root) is None
    if before is not None:
        assert [vars(n) for n in root] == before


def test_set_parents_leaves_the_root_alone_and_repeats_the_same():
    tree = ast.parse("x = a + b\nif x:\n    f(x)")
    tree.parent = marker = object()
    sprig.set_parents(tree)
    assert tree.parent is marker
    assert all(s.parent is tree for s in tree.body)
    first = parent_state(list(ast.walk(tree)))
    sprig.set_parents(tree)
    assert parent_state(list(ast.walk(tree))) == first


# -- the order of the writes, seen by __setattr__ ------------------------------------------

LOG = []


class Rec(ast.AST):
    """A node that logs every attribute written on it. Its children are in `kids`."""

    _fields = ("kids",)
    _attributes = LOCATIONS

    def __init__(self, label, *kids, **stored):
        vars(self).update(kids=list(kids), label=label, **stored)

    def __setattr__(self, name, value):
        LOG.append((self.label, name))
        super().__setattr__(name, value)


def recorded_tree():
    return Rec("R", Rec("A", Rec("a1"), Rec("a2")), Rec("B", Rec("b1")))


def test_set_parents_order():
    tree = recorded_tree()
    LOG.clear()
    sprig.set_parents(tree)
    assert LOG == [(c, "parent") for c in ("A", "B", "a1", "a2", "b1")]


def test_fix_missing_locations_order():
    tree = recorded_tree()
    a1 = tree.kids[0].kids[0]
    vars(a1).update(lineno=7, end_col_offset=None)
    LOG.clear()
    sprig.fix_missing_locations(tree)
    expected = [(n, name) for n in ("R", "A") for name in LOCATIONS]
    expected += [("a1", "col_offset"), ("a1", "end_lineno"), ("a1", "end_col_offset")]
    expected += [(n, name) for n in ("a2", "B", "b1") for name in LOCATIONS]
    assert LOG == expected


class Chained(ast.Name):
    """A plain node class, until a test gives it a `lineno` setter."""


def store_with_column(self, value):
    vars(self).update(lineno=value, col_offset=77)


@pytest.mark.parametrize("warm", [False, True], ids=["fresh class", "class changed later"])
def test_a_write_that_stores_another_location_is_seen(warm):
    # The setter stores col_offset too, so that one is no longer missing afterwards. A
    # class seen before without the setter must not keep its earlier standing.
    def tree():
        return ast.Module([ast.Expr(Chained("x"))], [])

    def stored_lineno(self):
        try:
            return vars(self)["lineno"]
        except KeyError:
            raise AttributeError("lineno") from None
    if warm:
        sprig.fix_missing_locations(tree())
    Chained.lineno = property(stored_lineno, store_with_column)
    try:
        got, want = tree(), tree()
        sprig.fix_missing_locations(got)
        ast.fix_missing_locations(want)
        assert vars(got.body[0].value)["col_offset"] == 77
        assert location_state(list(ast.walk(got))) == location_state(list(ast.walk(want)))
    finally:
        del Chained.lineno


class Later(ast.Name):
    """A plain node class, until a test makes it see the writes on its instances."""


@pytest.mark.parametrize("edit, name", [(sprig.set_parents, "parent"),
                                        (sprig.fix_missing_locations, "lineno")])
@pytest.mark.parametrize("hook", ["__setattr__", "descriptor"])
def test_a_class_changed_after_a_call_sees_the_next_writes(edit, name, hook):
    # The first call finds the class's writes plain; the second must not keep that finding.
    edit(ast.Module([ast.Expr(Later("x"))], []))
    seen = []

    def record(self, attr, value):
        seen.append(attr)
        vars(self)[attr] = value
    hooked = name if hook == "descriptor" else "__setattr__"
    if hook == "descriptor":
        setattr(Later, name, property(lambda self: vars(self)[name],
                                      lambda self, value: record(self, name, value)))
    else:
        Later.__setattr__ = record
    try:
        edit(ast.Module([ast.Expr(Later("x"))], []))
    finally:
        delattr(Later, hooked)
    assert name in seen


class Turncoat(ast.AST):
    """Turns into a Convert, whose one field is another, on its first write."""

    _fields = ("before",)
    _attributes = LOCATIONS

    def __setattr__(self, name, value):
        object.__setattr__(self, "__class__", Convert)
        object.__setattr__(self, name, value)


class Convert(ast.AST):
    _fields = ("after",)
    _attributes = LOCATIONS


@pytest.mark.parametrize("edit, peer", [(sprig.set_parents, parents_by_preorder),
                                        (sprig.fix_missing_locations, ast.fix_missing_locations)])
def test_a_class_changed_by_a_write_decides_the_children(edit, peer):
    def tree():
        node = Turncoat.__new__(Turncoat)
        vars(node).update(before=ast.Name("b"), after=ast.Name("a"))
        return ast.Module([ast.Expr(node)], [])

    def nodes(module):
        middle = module.body[0].value
        return [module, module.body[0], middle, middle.before, middle.after]
    got, want = tree(), tree()
    edit(got)
    peer(want)
    assert type(got.body[0].value) is Convert
    assert parent_state(nodes(got)) == parent_state(nodes(want))
    assert location_state(nodes(got)) == location_state(nodes(want))


class Colliding:
    """A key that collides with `name` and replaces the dictionary of `victim` when compared."""

    def __init__(self, name, victim):
        self.name, self.victim, self.armed = name, victim, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            object.__setattr__(self.victim, "__dict__", {})
        return False


@pytest.mark.parametrize("edit, name", [(sprig.set_parents, "parent"),
                                        (sprig.fix_missing_locations, "lineno")])
@cpython_only("a node's __dict__ can be replaced")
def test_a_key_that_replaces_the_dictionary_during_a_write(edit, name):
    victim = ast.Name("x")
    key = Colliding(name, victim)
    vars(victim).update({key: 1, "j1": 0, "j2": 0})
    key.armed = True
    edit(ast.Expr(victim))  # no crash: the store finishes in the dictionary it replaced
    assert key not in vars(victim)


class Shapeshifter:
    """A class-dictionary key that collides with `name`: comparing it turns `victim` into
    an instance of `cls`."""

    def __init__(self, name):
        self.name, self.victim, self.cls = name, None, None

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.victim is not None:
            self.victim.__class__, self.victim = self.cls, None
        return False


class After(ast.AST):
    _fields = ("kid",)
    _attributes = LOCATIONS


@cpython_only("a class's namespace may hold a key that is no str")
def test_a_class_changed_while_the_writes_are_checked():
    """Looking the location names up on the class runs the key's __eq__, which changes the
    node's class: its children are then those of the new class."""
    key = Shapeshifter("end_col_offset")
    # From 3.13 a class warns of a key that is no str in its namespace.
    with (pytest.warns(RuntimeWarning, match="non-string key") if sys.version_info >= (3, 13)
          else contextlib.nullcontext()):
        before = type("Before", (ast.Name,), {key: 0})
    node = before("x")
    node.kid = ast.Name("y")
    key.victim, key.cls = node, After
    sprig.fix_missing_locations(ast.Expr(node))
    assert type(node) is After and node.kid.lineno == 1


class NoParent(ast.Name):
    parent = property(lambda self: "fixed")


class FixedLine(ast.Name):
    lineno = property(lambda self: 99)


def three_statements(middle):
    body = [ast.Expr(ast.Name("x")), ast.Expr(middle), ast.Expr(ast.Name("z"))]
    return ast.Module(body, [])


def test_failed_write_ends_the_call_and_keeps_earlier_writes():
    tree = three_statements(NoParent("y"))
    with pytest.raises(AttributeError):
        sprig.set_parents(tree)
    assert [s.parent for s in tree.body] == [tree] * 3
    assert tree.body[0].value.parent is tree.body[0]
    assert "parent" not in vars(tree.body[2].value)

    tree = three_statements(blocked := FixedLine("y"))
    with pytest.raises(AttributeError):
        sprig.fix_missing_locations(tree)
    assert tree.body[1].lineno == 1 and tree.body[0].value.end_col_offset == 0
    assert not vars(blocked).keys() & set(LOCATIONS)
    assert "lineno" not in vars(tree.body[2])


class Failing(ast.AST):
    _fields = ("value",)
    value = property(lambda self: 1 / 0)


@pytest.mark.parametrize("edit", [sprig.set_parents, sprig.fix_missing_locations])
def test_field_read_error_ends_the_call(edit):
    with pytest.raises(ZeroDivisionError):
        edit(ast.Expression(ast.Tuple([ast.Name("x"), Failing()], ast.Load())))


@pytest.mark.parametrize("edit", [sprig.set_parents, sprig.fix_missing_locations])
@pytest.mark.parametrize("mutation", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_writes_that_change_the_tree(edit, mutation):
    if not CPYTHON and mutation is MUTATIONS.get("replace its own dictionary"):
        pytest.skip("CPython only: a node's __dict__ can be replaced")
    tree = hostile_tree(mutation)
    edit(tree)
    for node in ast.walk(tree):  # whatever is still in the tree was reached or added later
        assert isinstance(node, ast.AST)


# -- deep trees and cycles -----------------------------------------------------------------


def test_a_million_levels():
    leaf = ast.Name("x")
    chain = expression_chain(1_000_000, leaf)
    sprig.fix_missing_locations(chain)
    assert [getattr(leaf, n) for n in LOCATIONS] == [1, 0, 1, 0]
    sprig.set_parents(chain)
    assert leaf.parent.parent.value is leaf.parent




CYCLES = {
    "field holds its node": "root = ast.Expr(ast.Name('x')); root.value = root",
    "through a list": "root = ast.Module([ast.Pass()], []); root.body.append(root)",
    "below a chain": """
        root = node = ast.Expr(ast.Name('x'))
        for _ in range(5000):
            node = ast.Expr(node)
        root.value = ast.Tuple([ast.Name('y'), node], ast.Load())
        """,
}


class Counted(ast.AST):
    _fields = ("a",)
    writes = 0

    def __setattr__(self, name, value):
        type(self).writes += 1
        super().__setattr__(name, value)


@pytest.mark.parametrize("length", [255, 511])
def test_a_cycle_stops_the_writes_where_the_walk_first_sees_it(length):
    """A ring below the root first repeats a node at depth `length + 1`, where the cycle
    check looks: the writes made by then are all that stay."""
    ring = [Counted.__new__(Counted) for _ in range(length)]
    for node, following in zip(ring, ring[1:] + ring[:1]):
        vars(node)["a"] = following
    root = Counted.__new__(Counted)
    vars(root)["a"] = ring[0]
    Counted.writes = 0
    with pytest.raises(ValueError, match="cycle"):
        sprig.set_parents(root)
    assert Counted.writes == length + 1


@pytest.mark.parametrize("setup", CYCLES.values(), ids=CYCLES.keys())
def test_cycle_is_a_value_error(setup):
    out = run_python(
        "import ast, sprig\n" + textwrap.dedent(setup) + textwrap.dedent("""
        for edit in (sprig.set_parents, sprig.fix_missing_locations):
            try:
                edit(root)
            except ValueError as e:
                assert "cycle" in str(e), e
            else:
                raise AssertionError(f"{edit.__name__} found no cycle")
        child = next(ast.iter_child_nodes(root))
        assert child.parent is root and child.lineno == 1  # written before the cycle
        print("ok")
        """)
    )  # fmt: skip
    assert out == "ok\n"
