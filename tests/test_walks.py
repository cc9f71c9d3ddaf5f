"""walk_dfs, walk, _walk_count and walk_unordered against the reference walk of oracles.py.

The children of a node are the values stored under its class's `_fields` in its instance
dictionary, whatever order they were set in; no other attribute is ever followed.
"""

import ast
import operator
import sys
import textwrap
import threading
import types
import warnings
from collections import Counter

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sprig
from conftest import cpython_only
from oracles import bare_ast, expression_chain, ids, preorder, run_python, stdlib_preorder

WALK_WARNING = "sprig.walk is deprecated; use walk_dfs, which returns the same list"


def assert_walks_match(root):
    expected = ids(preorder(root))
    assert ids(sprig.walk_dfs(root)) == expected
    unordered = sprig.walk_unordered(root)
    assert unordered[0] is root
    assert Counter(ids(unordered)) == Counter(expected)
    assert sprig._walk_count(root) == len(expected)
    return expected


# -- the standard library ------------------------------------------------------------------


def test_corpus_depth_first(stdlib_tree):
    expected = ids(stdlib_preorder(stdlib_tree))
    assert ids(sprig.walk_dfs(stdlib_tree)) == expected
    assert ids(preorder(stdlib_tree)) == expected


def test_corpus_unordered_and_count(stdlib_tree):
    expected = Counter(ids(ast.walk(stdlib_tree)))
    unordered = sprig.walk_unordered(stdlib_tree)
    assert unordered[0] is stdlib_tree
    assert Counter(ids(unordered)) == expected
    assert sprig._walk_count(stdlib_tree) == expected.total()


# -- small trees ---------------------------------------------------------------------------


def test_siblings_come_after_the_whole_subtree():
    tree = ast.parse("x = 1\ny = f(2)")
    found = sprig.walk_dfs(tree)
    assert [type(n).__name__ for n in found] == [
        "Module",
        "Assign", "Name", "Store", "Constant",
        "Assign", "Name", "Store", "Call", "Name", "Load", "Constant",
    ]  # fmt: skip
    # CPython's parser shares one Store, PyPy's makes one each: listed once per place
    assert (found[3] is found[7]) == (tree.body[0].targets[0].ctx is tree.body[1].targets[0].ctx)
    assert Counter(ids(sprig.walk_unordered(tree))) == Counter(ids(found))
    assert sprig._walk_count(tree) == 12


class Lookalike:
    _fields = ("value",)

    def __init__(self):
        self.value = ast.Name("x")


@pytest.mark.parametrize(
    "root",
    [5, None, "text", (ast.Name("x"),), [ast.Name("x")], ast.Name, bare_ast(), Lookalike()],
    ids=lambda root: type(root).__name__,
)
def test_a_root_is_always_listed(root):
    assert sprig.walk_dfs(root) == [root]
    assert sprig.walk_unordered(root) == [root]
    assert sprig._walk_count(root) == 1


def test_unordered_lists_each_level_before_the_next():
    a1, a2, b1 = ast.Pass(), ast.Pass(), ast.Pass()
    a, b = Pair(first=a1, second=a2), Pair(first=b1)
    m = Pair(first=[a, b])
    listed = sprig.walk_unordered(m)
    assert listed[0] is m and {id(n) for n in listed[1:3]} == {id(a), id(b)}
    assert sorted(map(id, listed[3:])) == sorted(map(id, (a1, a2, b1)))
    assert sprig.walk_dfs(m) == [m, a, a1, a2, b, b1]
    module = ast.parse("f(x)\ng(y)")
    assert {id(n) for n in sprig.walk_unordered(module)[1:3]} == set(map(id, module.body))


class Pair(ast.AST):
    _fields = ("first", "second")


class Listed(ast.AST):
    _fields = ["a", "b"]


class Reordered(ast.BinOp):
    _fields = ("right", "op", "left")


class Slotted(ast.BinOp):
    __slots__ = ("note",)


MyName = type("MyName", (ast.Name,), {})
MyName2 = type("MyName2", (MyName,), {})
MyName3 = type("MyName3", (MyName2,), {})
MyIf = type("MyIf", (ast.If,), {})
MyFunctionDef = type("MyFunctionDef", (ast.FunctionDef,), {})
ListSub = type("ListSub", (list,), {})


def out_of_order():
    n = ast.BinOp.__new__(ast.BinOp)
    n.right, n.lineno, n.op, n.left = ast.Name("b"), 1, ast.Add(), ast.Name("a")
    return n


def long_list_then_mismatch():
    # The last field, read first, is a list long enough to move the work stack; the first
    # entry is then found not to be the first field, and the fields are read by name.
    n = Pair.__new__(Pair)
    n.other, n.second, n.first = 1, [ast.Name(str(i)) for i in range(5000)], ast.Pass()
    return ast.Module([n], [])


def with_key(key):
    n = ast.Expr(ast.Name("x"))
    vars(n)[key] = ast.Name("not a field")
    return n


def deleted_and_set_again():
    n = ast.BinOp(ast.Name("a"), ast.Add(), ast.Name("b"), lineno=1, col_offset=0)
    left = n.left
    del n.left
    n.parent = ast.Name("never followed")
    n.left = left
    return n


class OwnHash(str):
    def __hash__(self):
        return 1

    __eq__ = str.__eq__


def shadowed_key():
    # Two keys spell "value"; a lookup by name finds the exact str, whose hash is str's.
    n = ast.Expr.__new__(ast.Expr)
    vars(n)[OwnHash("value")] = ast.Name("shadow")
    vars(n)["value"] = ast.Name("real")
    return n


def keys_not_interned():
    n = ast.Call.__new__(ast.Call)
    for name, value in [("args", [ast.Name("a")]), ("func", ast.Name("f")), ("keywords", [])]:
        vars(n)[name[:1] + name[1:]] = value  # a str equal to the name, not the same object
    return n


def missing_fields_then_attributes():
    n = ast.FunctionDef.__new__(ast.FunctionDef)
    n.decorator_list = [ast.Name("d")]
    n.parent = ast.Name("p")  # among the first entries, yet not a field
    n.lineno = 3
    n.body = [ast.Pass()]
    return n


def shared_below_two_parents():
    a = ast.Name("a")
    return ast.BinOp(a, ast.Add(), ast.BinOp(a, ast.Mult(), a))


def deep_binop_chain(depth):
    node = ast.Constant(0)
    for i in range(depth):
        node = ast.BinOp(node, ast.Add(), ast.Constant(i))
    return node


def deep_list_chain(depth):
    node = ast.Pass()
    for _ in range(depth):
        node = MyIf(test=ast.Name("c"), body=[node, ast.Pass()], orelse=[])
    return node


HAND_BUILT = {
    "fields set in reverse": out_of_order,
    "non-str key": lambda: with_key(1),
    "non-field str key": lambda: with_key("extra"),
    "field deleted and set again": deleted_and_set_again,
    "keys equal but not interned": keys_not_interned,
    "a str subclass key beside the field's": shadowed_key,
    "missing fields, then other attributes": missing_fields_then_attributes,
    "no dictionary yet": lambda: ast.BinOp.__new__(ast.BinOp),
    "a long list, then a field out of order": long_list_then_mismatch,
    "shared subtree": shared_below_two_parents,
    "own class, _fields a list": lambda: Listed(a=[Listed(b=ast.Name("x"))], b=Pair()),
    "subclass reorders _fields": lambda: Reordered(ast.Name("a"), ast.Add(), ast.Name("b")),
    "subclasses at several depths": lambda: ast.Module(
        [MyIf(MyName3("c"), [MyFunctionDef("f", ast.arguments(), [ast.Expr(MyName2("y"))])], [])],
        [],
    ),
    "slotted subclass": lambda: Slotted(MyName("a"), ast.Sub(), ast.Constant(1)),
    "values that are not children": lambda: ast.Module(
        body=[
            bare_ast(), 1, None, "s", True, KeyError("k"), ast.Name, ListSub([ast.Name("l")]),
            types.SimpleNamespace(), (lambda: None), object(), 1.5,
            [ast.Name("nested")], (ast.Name("t"),), ast.stmt.__new__(ast.stmt), ast.Pass(),
        ],
        type_ignores=(ast.Name("tuple"),),
    ),  # fmt: skip
    "list subclass field": lambda: ast.If(ast.Name("c"), ListSub([ast.Pass()]), []),
    "deep BinOp chain": lambda: deep_binop_chain(6000),
    "deep list chain": lambda: deep_list_chain(6000),
}


@pytest.mark.parametrize("make", HAND_BUILT.values(), ids=HAND_BUILT.keys())
def test_hand_built(make):
    assert_walks_match(make())


def test_fields_found_whatever_the_set_order():
    a, b = ast.Name("a", ast.Load()), ast.Name("b", ast.Load())
    n = ast.BinOp(left=a, lineno=3, op=ast.Add(), right=b)
    assert sprig.walk_dfs(n) == [n, a, a.ctx, n.op, b, b.ctx]


def test_children_served_by_attribute_hooks_are_not_followed():
    # The documented difference from ast.walk, which reads fields with getattr.
    class Served(ast.AST):
        _fields = ("a", "b")
        a = property(lambda self: ast.Name("p"))

        def __getattr__(self, name):
            return ast.Name("g") if name == "b" else super().__getattribute__(name)

    tree = ast.Expr(Served())
    assert [type(n).__name__ for n in ast.walk(tree)][:4] == ["Expr", "Served", "Name", "Name"]
    assert sprig.walk_dfs(tree) == sprig.walk_unordered(tree) == [tree, tree.value]
    assert sprig._walk_count(tree) == 2


def test_parent_links_change_nothing():
    tree = ast.parse("def f(a):\n    return a + g(b=1)\nx[1:2] = y")
    before = ids(sprig.walk_dfs(tree))
    for parent in ast.walk(tree):
        for child in ast.iter_child_nodes(parent):
            state = vars(child).copy()
            vars(child).clear()
            child.parent = parent  # the first entry of its dictionary, before any field
            vars(child).update(state)
    tree.parent = tree
    assert assert_walks_match(tree) == before


# -- generated trees -----------------------------------------------------------------------

CLASSES = [
    ast.Module, ast.Expr, ast.BinOp, ast.UnaryOp, ast.Name, ast.Constant, ast.Call, ast.If,
    ast.FunctionDef, ast.List, ast.keyword, ast.arguments, ast.Load, ast.Add, MyName, MyName2,
    MyName3, MyIf, MyFunctionDef, Slotted, Pair, Listed, Reordered,
]  # fmt: skip
JUNK = [None, 0, "s", True, 1.5, ast.Name, bare_ast(), KeyError("k")]
EXTRA_NAMES = ["lineno", "col_offset", "parent", "note", "type_comment"]
MAX_SIZE = 400  # nodes a shared subtree may contribute, so sharing cannot explode


@st.composite
def trees(draw):
    pool = []  # (node, size of its walk)

    def child():
        small = [n for n, size in pool if size < MAX_SIZE]
        kind = draw(st.sampled_from(["node", "node", "list", "junk", "tuple", "listsub"]))
        if kind == "junk" or not small:
            return draw(st.sampled_from(JUNK))
        nodes = st.sampled_from(small)
        if kind == "node":
            return draw(nodes)
        items = draw(st.lists(st.one_of(nodes, st.sampled_from(JUNK)), max_size=4))
        return {"list": list, "tuple": tuple, "listsub": ListSub}[kind](items)

    for _ in range(draw(st.integers(1, 12))):
        cls = draw(st.sampled_from(CLASSES))
        fields = draw(st.lists(st.sampled_from(cls._fields), unique=True)) if cls._fields else []
        extras = draw(st.lists(st.sampled_from(EXTRA_NAMES), unique=True, max_size=2))
        items = [(name, child()) for name in fields + extras]  # extras are never followed
        items = draw(st.permutations(items))
        how = draw(st.sampled_from(["constructor", "setattr", "dict"]))
        if how == "constructor":
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)  # the non-field keywords
                    node = cls(**dict(items))
            except TypeError:  # from 3.15 on, a constructor must be given every required field
                how = "setattr"
        if how != "constructor":
            node = cls.__new__(cls)
            for name, value in items:
                if how == "setattr":
                    setattr(node, name, value)
                else:
                    vars(node)[name[:1] + name[1:]] = value
        present = sorted(vars(node))
        removed = draw(st.lists(st.sampled_from(present), unique=True, max_size=2)) if present else []
        for name in removed:
            value = vars(node).pop(name)
            if draw(st.booleans()):
                setattr(node, name, value)  # set again: now the last entry
        if draw(st.integers(0, 9)) == 0:
            vars(node)[draw(st.sampled_from([1, (2,), None]))] = ast.Name("key")
        pool.append((node, len(preorder(node))))

    nodes = [n for n, _ in pool]
    for node in draw(st.lists(st.sampled_from(nodes), max_size=4)):
        node.parent = draw(st.sampled_from(nodes))  # may point up, or at itself
    return draw(st.sampled_from(nodes[-3:]))


@given(trees())
def test_generated_trees(tree):
    assert_walks_match(tree)


# -- per-thread class tables ---------------------------------------------------------------


def in_new_thread(scenario):
    outcome = []

    def run():
        try:
            outcome.append(scenario())
        except BaseException as e:
            outcome.append(e)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if isinstance(outcome[0], BaseException):
        raise outcome[0]
    return outcome[0]


@pytest.mark.parametrize("thread", ["new thread", "main thread"])
def test_classes_made_before_and_after_the_first_walk(thread):
    def scenario():
        Before = type("Before", (ast.Name,), {})
        BeforeIf = type("BeforeIf", (ast.If,), {})
        early = BeforeIf(Before("x", ast.Load()), [ast.Expr(Before("y", ast.Load()))], [])
        assert_walks_match(early)  # on a new thread, its first walk
        After = type("After", (ast.Name,), {})
        AfterDeeper = type("AfterDeeper", (After, ast.Name), {})
        AfterDef = type("AfterDef", (ast.FunctionDef,), {})
        inner = BeforeIf(After("a", ast.Load()), [ast.Expr(AfterDeeper("b", ast.Load()))], [])
        late = AfterDef("f", ast.arguments(), [inner])
        assert len(assert_walks_match(ast.Module([late, early], []))) == 15

    if thread == "new thread":
        in_new_thread(scenario)
    else:
        scenario()


def test_many_classes_and_deep_inheritance():
    def scenario():
        bases = [ast.Expr, ast.UnaryOp, ast.If, ast.Call]
        made = [(type(f"Made{i}", (b,), {}), b) for i in range(150) for b in [bases[i % 4]]]
        deep = [ast.Expr]
        for i in range(150):
            deep.append(type(f"Deep{i}", (deep[-1],), {}))
        node = ast.Name("leaf", ast.Load())
        assert sprig._walk_count(node) == 2  # the first walk on the thread builds its table
        made += [(type(f"Late{i}", (b,), {}), b) for i in range(150) for b in [bases[i % 4]]]
        for i, (cls, kind) in enumerate(made + [(cls, ast.Expr) for cls in deep[1:]]):
            if kind is ast.Expr:
                node = cls(node)
            elif kind is ast.UnaryOp:
                node = cls(ast.Not(), node)
            elif kind is ast.If:
                node = cls(ast.Constant(i), [ast.Pass(), ast.Expr(node)], [])
            else:
                node = cls(ast.Name("f", ast.Load()), [ast.Constant(i), node], [])
        assert len(assert_walks_match(node)) == 972

    in_new_thread(scenario)
    scenario()


@cpython_only("sys.getrefcount")
def test_a_class_under_two_ast_bases_holds_its_names_once():
    # A new thread's table meets the second class below both bases. Each class's field name
    # is a string of its own, so its reference count shows what the table holds of it.
    names = ["".join([prefix, "_field"]) for prefix in ("one_base", "two_bases")]
    classes = [type("One", (ast.expr,), {"_fields": (names[0],)}),
               type("Two", (ast.expr, ast.stmt), {"_fields": (names[1],)})]  # fmt: skip

    def scenario():
        before = [sys.getrefcount(name) for name in names]
        assert sprig._walk_count(ast.Pass()) == 1  # builds the thread's table
        return [sys.getrefcount(name) - b for name, b in zip(names, before)]

    one_base, two_bases = in_new_thread(scenario)
    assert one_base == two_bases > 0
    assert all(len(sprig.walk_dfs(cls(**{name: ast.Name("x", ast.Load())}))) == 3
               for cls, name in zip(classes, names))  # fmt: skip


def test_classes_first_met_by_the_cycle_check():
    # A walk this deep checks the whole tree for a cycle, which enters the classes the walk
    # itself has not met yet and may grow the table under it.
    def scenario():
        assert sprig._walk_count(ast.Pass()) == 1  # the thread's table, built before the classes
        fresh = [type(f"Fresh{i}", (ast.expr,), {"_fields": ("value",)}) for i in range(400)]
        late = ast.Tuple([cls(value=ast.Name("x")) for cls in fresh], ast.Load())
        assert_walks_match(ast.Module([ast.Expr(deep_binop_chain(5000)), ast.Expr(late)], []))

    in_new_thread(scenario)


@pytest.mark.parametrize("order", ["field order", "reversed"])
def test_three_hundred_fields(order):
    names = [f"f{i}" for i in range(300)]

    def scenario():
        Wide = type("Wide", (ast.AST,), {"_fields": tuple(names)})
        node = Wide()
        children = {name: ast.Constant(i) for i, name in enumerate(names)}
        for name in names if order == "field order" else reversed(names):
            setattr(node, name, children[name])
        assert sprig.walk_dfs(node) == [node, *children.values()]
        assert_walks_match(node)

    in_new_thread(scenario)
    scenario()


# -- depth ---------------------------------------------------------------------------------

DEPTH = 1_000_000


@pytest.fixture(scope="module")
def deep_chain():
    return expression_chain(DEPTH)


def test_deep_depth_first(deep_chain):
    found = sprig.walk_dfs(deep_chain)
    assert len(found) == DEPTH + 2 and found[0] is deep_chain
    assert all(map(operator.is_, (n.value for n in found[:DEPTH]), found[1 : DEPTH + 1]))
    assert found[-1] is found[-2].ctx


def test_deep_unordered_and_count(deep_chain):
    found = sprig.walk_unordered(deep_chain)
    assert found[0] is deep_chain
    assert len(found) == len(set(ids(found))) == DEPTH + 2
    assert set(ids(found)) == set(ids(sprig.walk_dfs(deep_chain)))
    assert sprig._walk_count(deep_chain) == DEPTH + 2


# -- in a separate process: the warning, cycles, memory ------------------------------------




def test_walk_warning_as_error_then_list():
    run_python(
        f"""
        import ast, sprig
        tree = ast.parse("f(x)")
        try:
            sprig.walk(tree)
        except DeprecationWarning as w:
            assert str(w) == {WALK_WARNING!r}, w
        else:
            raise AssertionError("no warning")
        assert sprig.walk(tree) == sprig.walk_dfs(tree)
        """,
        "-W", "error",
    )  # fmt: skip


def test_walk_warns_once_per_process():
    run_python(
        f"""
        import ast, sprig, threading, warnings
        tree = ast.parse("f(x)")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert sprig.walk(tree) == sprig.walk_dfs(tree)  # line 6
            threads = [threading.Thread(target=sprig.walk, args=(tree,)) for _ in range(8)]
            for t in threads: t.start()
            for t in threads: t.join()
            assert sprig.walk(tree) == sprig.walk_dfs(tree)
        assert len(caught) == 1, caught
        assert caught[0].category is DeprecationWarning
        assert str(caught[0].message) == {WALK_WARNING!r}
        assert (caught[0].filename, caught[0].lineno) == ("<string>", 6)  # the caller's line
        """
    )


CYCLES = {
    "field holds its node": "root = ast.Expr(None); root.value = root",
    "two nodes": "a = ast.Expr(None); root = ast.Expr(a); a.value = root",
    "through a list": "root = ast.Module([ast.Pass()], []); root.body.append(root)",
    "root outside the cycle": """
        a = ast.UnaryOp(ast.Not(), None); b = ast.Expr(a); a.operand = b
        root = ast.Module([ast.Pass(), b], [])
        """,
    "long cycle": """
        first = node = ast.Expr(None)
        for _ in range(5000):
            node = ast.Expr(node)
        first.value = node
        root = ast.Module([node], [])
        """,
    "deep below a wide tree": """
        root = ast.parse("\\n".join(f"x{i} = f(a[i], b.c)" for i in range(3000)))
        bottom = root.body[1500].value.args[0]
        bottom.value = ast.Expr(ast.Expr(root.body[1500]))
        """,
    "through a subclass": """
        class Loop(ast.If): pass
        root = Loop(ast.Name('c'), [], [])
        root.orelse.append(ast.Expr(root))
        """,
}


@pytest.mark.parametrize("setup", CYCLES.values(), ids=CYCLES.keys())
def test_cycle_is_a_value_error(setup):
    header = """
        import ast, sprig, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        """
    check = """
        for walk in (sprig.walk_dfs, sprig.walk_unordered, sprig._walk_count, sprig.walk):
            try:
                walk(root)
            except ValueError as e:
                assert "cycle" in str(e), e
            else:
                raise AssertionError(f"{walk.__name__} found no cycle")
        print("ok")
        """
    out = run_python("".join(textwrap.dedent(part) for part in (header, setup, check)))
    assert out == "ok\n"


@cpython_only("PyPy's own allocator aborts the process when the address space runs out")
def test_memory_exhaustion_is_a_memory_error():
    # 16 million nodes to list, with the address space nearly used up: the list cannot be
    # made, while the count, which keeps no list, still gets through.
    out = run_python(
        """
        import ast, resource, sprig, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        inner = ast.Module([ast.Pass()] * 4000, [])
        outer = ast.Module([inner] * 4000, [])
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        limit = in_use + (64 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        if resource.getrlimit(resource.RLIMIT_AS)[0] != limit:
            print("no limit")
            raise SystemExit
        for walk in (sprig.walk_dfs, sprig.walk_unordered, sprig.walk):
            try:
                walk(outer)
            except MemoryError:
                pass
            else:
                raise AssertionError(f"{walk.__name__} did not run out of memory")
        print(sprig._walk_count(outer))
        """,
    )
    if out == "no limit\n":
        # qemu-user reports the limit set and keeps none, lest its own allocations fail.
        pytest.skip("this system ignores RLIMIT_AS (as qemu-user emulation does)")
    assert out == f"{1 + 4000 * 4001}\n"
