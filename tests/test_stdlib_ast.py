"""sprig's equivalents of the ast module's helpers against the running interpreter's own,
kept unpatched here: the same nodes in the same order, the same reads, writes and errors
in the same order, on the standard library, on hypothesis trees and on nodes that log
every attribute access; then patch_ast, the start-up hook, and CPython's own test_ast."""

import ast
import os
import subprocess
import sys
import threading

import pytest
from hypothesis import given, strategies as st

import sprig
from conftest import clean_environment, run
from hostile import LONG_CALLS, ringing
from oracles import CORPUS_IDS, CORPUS_PATHS, DEBUG, ids, parse_stdlib, run_python

ORIGINAL = {name: getattr(ast, name) for name in (
    "walk", "iter_child_nodes", "iter_fields", "copy_location", "increment_lineno",
    "fix_missing_locations")}
OURS = {name: getattr(sprig, "ast_" + name) for name in ORIGINAL}
LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")
MISSING = "<missing>"


def locations(tree):
    """Every node's location attributes as its dictionary holds them, in walk order."""
    return [(type(n).__name__, *(repr(vars(n).get(a, MISSING)) for a in LOCATIONS))
            for n in ORIGINAL["walk"](tree)]


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # the type, text, and cause of a generator's RuntimeError
        return ("raised", type(e), str(e), type(e.__cause__))


# -- the standard library ------------------------------------------------------------------


def test_walk_and_children_agree_on_stdlib(stdlib_tree):
    nodes = list(ORIGINAL["walk"](stdlib_tree))
    assert ids(OURS["walk"](stdlib_tree)) == ids(nodes)
    for n in nodes[:: 3 if DEBUG else 1]:
        assert ids(OURS["iter_child_nodes"](n)) == ids(ORIGINAL["iter_child_nodes"](n))
        ours = [(k, id(v)) for k, v in OURS["iter_fields"](n)]
        assert ours == [(k, id(v)) for k, v in ORIGINAL["iter_fields"](n)]


def _strip(tree, seed):
    """Deletes or sets to None some location attributes, the same ones for the same seed."""
    for i, n in enumerate(ORIGINAL["walk"](tree)):
        for j, name in enumerate(LOCATIONS):
            pick = (i * 7 + j * 3 + seed) % 5
            if pick == 0:
                vars(n).pop(name, None)
            elif pick == 1 and name.startswith("end_") and name in vars(n):
                vars(n)[name] = None
    return tree


@pytest.mark.parametrize("path", CORPUS_PATHS[::7], ids=CORPUS_IDS[::7])
def test_location_helpers_agree_on_stdlib(path):
    trees = [parse_stdlib(path) for _ in range(2)]
    if trees[0] is None:
        pytest.skip("this interpreter cannot parse the module")
    for name, args in (("fix_missing_locations", ()), ("increment_lineno", (3,))):
        a, b = (_strip(t, len(name)) for t in trees)
        assert ORIGINAL[name](a, *args) is a and OURS[name](b, *args) is b
        assert locations(a) == locations(b), name
    pairs = list(zip(*(list(ORIGINAL["walk"](t))[:400] for t in trees)))
    for (old_a, old_b), (new_a, new_b) in zip(pairs, pairs[1:]):
        assert ORIGINAL["copy_location"](new_a, old_a) is new_a
        assert OURS["copy_location"](new_b, old_b) is new_b
    assert locations(trees[0]) == locations(trees[1])


class _Deep(ast.Name):
    pass


class _Deeper(_Deep):
    pass


def _fresh(word):
    """A str equal to `word` but not the interned one."""
    return "".join(list(word))


# Plain nodes whose dictionaries the fast paths must not misread.
_SHAPES = {
    "own _fields": lambda n: vars(n).update(_fields=("right", "left")),
    "_fields, a fresh key": lambda n: vars(n).update({_fresh("_fields"): ("right",)}),
    "lineno, a fresh key": lambda n: (vars(n).pop("lineno"),
                                      vars(n).update({_fresh("lineno"): 7})),
    "_attributes, own": lambda n: vars(n).update(_attributes=("end_lineno",)),
    "fields out of order": lambda n: vars(n).update(
        {k: vars(n).pop(k) for k in ("right", "op", "left")}),
    "a deleted entry": lambda n: vars(n).pop("col_offset"),
    "a field deleted": lambda n: vars(n).pop("op"),
    "an object in a list": lambda n: vars(n).update(right=[object(), ast.Name("z"), 1]),
    # Node classes the quick base test misses, and a list that is an item, not a field.
    "deep and bare nodes": lambda n: vars(n).update(
        left=_Deeper("p"),
        right=[ast.AST.__new__(ast.AST), _Deeper("q"), [ast.Name("y")], "s", None]),
}


def _named(value):
    """A node by its class and name (every Name of the tree below has its own), a list by its
    items, anything else by its type."""
    if isinstance(value, list):
        return [_named(v) for v in value]
    return f"{type(value).__name__}:{getattr(value, 'id', '')}"


@pytest.mark.parametrize("shape", _SHAPES, ids=list(_SHAPES))
def test_odd_dictionaries_agree(shape):
    results = []
    for helpers in (ORIGINAL, OURS):
        tree = ast.parse("a = (b + c) * d")
        node = tree.body[0].value.left
        _SHAPES[shape](node)
        got = [_named(list(helpers["walk"](tree))), _named(list(helpers["iter_child_nodes"](node))),
               [(k, _named(v)) for k, v in helpers["iter_fields"](node)]]
        got.append(outcome(lambda: helpers["increment_lineno"](tree, 2) and locations(tree)))
        target = ast.Name("t")
        got.append(outcome(lambda: helpers["copy_location"](target, node) and vars(target)))
        results.append(got)
    assert results[0] == results[1]


# -- hypothesis trees ----------------------------------------------------------------------

_LOCATION_VALUES = st.dictionaries(st.sampled_from(LOCATIONS),
                                   st.one_of(st.none(), st.integers(0, 9)), max_size=4)
_JUNK = st.sampled_from([None, 0, "s", 1.5, (), ast.AST.__new__(ast.AST)])


def _recipes():
    leaf = st.tuples(st.just("Name"), st.text("xyz", min_size=1, max_size=2), _LOCATION_VALUES)
    return st.recursive(leaf, lambda inner: st.one_of(
        st.tuples(st.just("BinOp"), inner, inner, _LOCATION_VALUES),
        st.tuples(st.just("List"), st.lists(st.one_of(inner, _JUNK), max_size=4),
                  _LOCATION_VALUES),
        st.tuples(st.just("Expr"), st.one_of(inner, _JUNK), _LOCATION_VALUES),
    ), max_leaves=25)


def build(recipe, tags):
    """A fresh tree from a recipe; each node gets the next tag, kept apart from vars() with
    the node itself, so that no later node can take a dead one's id."""
    if not isinstance(recipe, tuple) or not recipe or not isinstance(recipe[0], str):
        return recipe  # junk, shared between builds on purpose: it is never written
    kind, *parts, where = recipe
    if kind == "Name":
        node = ast.Name(parts[0], ast.Load())
    elif kind == "BinOp":
        node = ast.BinOp(build(parts[0], tags), ast.Add(), build(parts[1], tags))
    elif kind == "List":
        node = ast.List([build(p, tags) for p in parts[0]], ast.Load())
    else:
        node = ast.Expr(build(parts[0], tags))
    for name in LOCATIONS:
        vars(node).pop(name, None)
    vars(node).update(where)
    tags[id(node)] = (len(tags), node)
    return node


def label(node, tags):
    return tags[id(node)][0] if id(node) in tags else type(node).__name__


def tagged(nodes, tags):
    return [label(n, tags) for n in nodes]


@given(_recipes())
def test_hypothesis_trees_agree(recipe):
    tags_a, tags_b = {}, {}
    a, b = build(recipe, tags_a), build(recipe, tags_b)
    assert tagged(OURS["walk"](a), tags_a) == tagged(ORIGINAL["walk"](b), tags_b)
    for name, args in (("fix_missing_locations", ()), ("increment_lineno", (2,))):
        a, b = build(recipe, {}), build(recipe, {})
        assert outcome(lambda: ORIGINAL[name](a, *args) and locations(a)) == \
            outcome(lambda: OURS[name](b, *args) and locations(b))


@given(_recipes(), st.integers(0, 30), st.sampled_from(["clear", "append", "replace", "stop"]))
def test_walk_sees_changes_and_stops_early(recipe, at, change):
    """Changes made between two steps to nodes not yet taken are seen; a walk stopped early
    read nothing past the node it last handed out."""
    seen = []
    for walk in (ORIGINAL["walk"], OURS["walk"]):
        tags = {}
        tree = build(recipe, tags)
        out = []
        for i, node in enumerate(walk(tree)):
            out.append(label(node, tags))
            if i == at:
                lists = [n for n in ORIGINAL["walk"](tree) if isinstance(n, ast.List)]
                if change == "stop":
                    break
                for n in lists[-2:]:
                    if change == "clear":
                        n.elts.clear()
                    elif change == "append":
                        n.elts.append(ast.Name("new"))
                    else:
                        n.elts = [ast.Constant(1)]
        seen.append(out)
    assert seen[0] == seen[1]


# -- nodes that log every access -----------------------------------------------------------

LOG = []


class Logged(ast.AST):
    """A node that logs each attribute read and write; `trap` makes one read misbehave."""
    _fields = ("a", "b", "c")
    _attributes = LOCATIONS
    trap = {}

    def __getattribute__(self, name):
        if not name.startswith("__"):
            LOG.append(("get", object.__getattribute__(self, "tag"), name))
        action = Logged.trap.get(name)
        if action is not None and name != "tag":
            return action(self)
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        LOG.append(("set", vars(self).get("tag"), name, value))
        object.__setattr__(self, name, value)


def _logged_tree():
    def node(tag, **values):
        n = Logged.__new__(Logged)
        vars(n).update(tag=tag, **values)
        return n
    leaf = node("leaf", a=1, lineno=None, end_lineno=None)
    return node("root", a=node("x", a=[leaf, 5, ast.Name("n")], b=None, lineno=4,
                               col_offset=2, end_lineno=5),
                b=[node("y", c=leaf), "junk"], c=leaf, end_col_offset=9)


def _raise(error):
    def action(node):
        raise error
    return action


class _Odd(list):
    def __iter__(self):
        LOG.append(("iter", "odd"))
        return iter(reversed(self))


TRAPS = {
    "plain": {},
    "_fields missing": {"_fields": _raise(AttributeError("no fields"))},
    "_fields a list": {"_fields": lambda n: ["c", "a"]},
    "field raises StopIteration": {"b": _raise(StopIteration("sneaky"))},
    "field raises KeyError": {"c": _raise(KeyError("c"))},
    "_attributes raises": {"_attributes": _raise(ValueError("attrs"))},
    "lineno raises": {"lineno": _raise(AttributeError("lineno"))},
    "end_lineno is a string": {"end_lineno": lambda n: "7"},
    "list subclass value": {"a": lambda n: _Odd([ast.Name("p"), 3, ast.Name("q")])},
}

CALLS = {
    "walk": lambda f, t: [getattr(n, "tag", type(n).__name__) for n in f(t)],
    "walk, two steps": lambda f, t: [type(n).__name__ for n, _ in zip(f(t), range(2))],
    "iter_child_nodes": lambda f, t: len(list(f(t))),
    "iter_fields": lambda f, t: [k for k, _ in f(t)],
    "fix_missing_locations": lambda f, t: f(t) is t,
    "increment_lineno": lambda f, t: f(t, 2) is t,
    "copy_location": lambda f, t: f(t, t.c) is t,
}


@pytest.mark.parametrize("trap", TRAPS, ids=list(TRAPS))
@pytest.mark.parametrize("call", CALLS, ids=list(CALLS))
def test_same_accesses_in_the_same_order(call, trap):
    logs = []
    for helpers in (ORIGINAL, OURS):
        Logged.trap = TRAPS[trap]
        LOG.clear()
        try:
            got = outcome(lambda: CALLS[call](helpers[call.split(",")[0]], _logged_tree()))
        finally:
            Logged.trap = {}
        logs.append((got, list(LOG)))
    assert logs[0] == logs[1]


def test_a_step_reached_from_its_own_step_fails_as_a_generators_would():
    for walk in (ORIGINAL["walk"], OURS["walk"]):
        class Reentrant(ast.AST):
            _fields = ("x",)

            @property
            def x(self):
                return next(walker)
        walker = walk(Reentrant())
        with pytest.raises(ValueError, match="generator already executing"):
            next(walker)
        assert list(walker) == []


def test_iterators_hold_what_they_still_need():
    tree = ast.parse("f(a, b)\ng(c)")
    walker = OURS["walk"](tree.body[0])
    children = OURS["iter_child_nodes"](tree.body[1])
    fields = OURS["iter_fields"](tree.body[1])
    del tree
    assert [type(n).__name__ for n in walker][:2] == ["Expr", "Call"]
    assert len(list(children)) == 1 and [k for k, _ in fields] == ["value"]
    walker = OURS["walk"](ast.parse("x"))
    next(walker)
    walker.close()
    assert list(walker) == []


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="under the address sanitizer memory figures and limits mean nothing")
def test_a_cycle_ends_as_it_does_in_the_standard_library():
    # In a child with a bounded address space: a fault here hangs and eats memory. The
    # recursive helper raises RecursionError; the breadth-first ones never end, in either
    # module, and a signal handler's exception stops them.
    out = run_python(
        """
        import ast, resource, signal, sprig
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))
        tree = ast.parse("x = [1]")
        tree.body[0].value.elts.append(tree)
        def outcome(call):
            try:
                call()
            except (RecursionError, KeyboardInterrupt) as e:
                return type(e).__name__
        def stop(*args):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, stop)
        for name in "fix_missing_locations", "increment_lineno", "walk":
            results = []
            for f in getattr(ast, name), getattr(sprig, "ast_" + name):
                signal.setitimer(signal.ITIMER_REAL, 0.2)
                results.append(outcome(lambda: list(f(tree) if name == "walk" else [f(tree)])))
                signal.setitimer(signal.ITIMER_REAL, 0)
            print(name, *results)
        """, timeout=60)
    assert out.split("\n") == ["fix_missing_locations RecursionError RecursionError",
                               "increment_lineno KeyboardInterrupt KeyboardInterrupt",
                               "walk KeyboardInterrupt KeyboardInterrupt", ""]


@pytest.mark.parametrize("call", LONG_CALLS.values(), ids=LONG_CALLS)
def test_signal_handlers_run_inside_long_calls(call):
    holder = ringing(call)
    holder.body = ast.Name("y", ast.Load())
    call(holder)  # nothing broken for the calls after it
    assert sprig.walk_dfs(holder) == [holder, holder.body, holder.body.ctx]


# -- patch_ast -----------------------------------------------------------------------------


@pytest.fixture
def restored():
    yield
    sprig.restore_ast()


def test_patch_installs_and_restore_puts_back(restored):
    class Before(ast.NodeVisitor):
        pass
    for _ in range(2):
        sprig.patch_ast()
        assert all(getattr(ast, name) is OURS[name] for name in ORIGINAL)
        assert ast.NodeVisitor is sprig.NodeVisitor and ast.NodeTransformer is sprig.NodeTransformer
    assert Before.__bases__[0] is sprig.NodeVisitor.__bases__[0]  # keeps the standard base
    for _ in range(2):
        sprig.restore_ast()
        assert all(getattr(ast, name) is ORIGINAL[name] for name in ORIGINAL)
        assert ast.NodeVisitor is sprig.NodeVisitor.__bases__[0]


def test_restore_leaves_a_name_rebound_since(restored):
    sprig.patch_ast()
    mine = lambda node: iter(())  # noqa: E731
    ast.walk = mine
    sprig.restore_ast()
    try:
        assert ast.walk is mine and ast.iter_fields is ORIGINAL["iter_fields"]
    finally:
        ast.walk = ORIGINAL["walk"]


def test_patch_and_restore_from_many_threads(restored):
    def flip(k):
        for i in range(200):
            (sprig.patch_ast if (i + k) % 2 else sprig.restore_ast)()
    threads = [threading.Thread(target=flip, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sprig.restore_ast()
    assert all(getattr(ast, name) is ORIGINAL[name] for name in ORIGINAL)


# -- CPython's own test_ast, patched -------------------------------------------------------

# Tests of test_ast that check what sprig documents as different, with the reason.
EXPECTED_FAILURES = {}

TEST_AST = """
import sys, unittest, sprig
sprig.patch_ast()
import ast
assert ast.walk is sprig.ast_walk
suite = unittest.defaultTestLoader.loadTestsFromName("test.test_ast")
expected = set(sys.argv[1:])
def mark(s):
    for t in s:
        if isinstance(t, unittest.TestSuite):
            mark(t)
        elif t.id().rsplit(".", 1)[-1] in expected:
            setattr(t, t._testMethodName, unittest.expectedFailure(getattr(t, t._testMethodName)))
mark(suite)
result = unittest.TextTestRunner(verbosity=0, stream=sys.stdout).run(suite)
print("ran", result.testsRun)
sys.exit(not result.wasSuccessful())
"""


@pytest.mark.skipif(DEBUG, reason="the optimized build runs it; the debug one adds nothing")
def test_cpython_test_ast_passes_patched():
    try:
        import test.test_ast  # noqa: F401
    except ImportError:
        pytest.skip("this interpreter's test suite is not installed")
    done = run([sys.executable, "-c", TEST_AST, *EXPECTED_FAILURES], timeout=900)
    assert "ran " in done.stdout and "FAILED" not in done.stdout


# -- the start-up hook ---------------------------------------------------------------------

PROBE = "import sys, ast; print('sprig' in sys.modules, ast.walk.__name__)"


def test_startup_hook_patches_only_when_asked(installed_python, tmp_path):
    unset = run([installed_python, "-c", PROBE], cwd=tmp_path, env=clean_environment())
    assert unset.stdout.split() == ["False", "walk"]
    for value in ("0", ""):
        off = run([installed_python, "-c", PROBE], cwd=tmp_path,
                  env=clean_environment(SPRIG_PATCH_AST=value))
        assert off.stdout.split() == ["False", "walk"]
    on = run([installed_python, "-c", PROBE], cwd=tmp_path,
             env=clean_environment(SPRIG_PATCH_AST="1"))
    assert on.stdout.split() == ["True", "ast_walk"] and on.stderr == ""


def test_startup_hook_survives_a_broken_install(installed_python, tmp_path):
    """A sprig that cannot be imported leaves start-up and ast as they are."""
    (tmp_path / "sprig.py").write_text("raise ImportError('broken')\n")
    env = clean_environment(SPRIG_PATCH_AST="1", PYTHONPATH=str(tmp_path))
    done = subprocess.run([str(installed_python), "-c", PROBE], cwd=tmp_path, env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.split() == ["False", "walk"]
    assert os.path.exists(tmp_path / "sprig.py")
