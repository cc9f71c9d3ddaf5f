"""What `import sprig` gives a caller: names, signatures, docstrings and argument binding.

Nothing here depends on what a function computes, only on how it is called, so every
function is covered whether or not its body exists yet.
"""

import ast
import inspect
import sys

import pytest

import sprig
from conftest import native_only
from oracles import run_python

EXEC_ORDER = [
    "walk", "walk_dfs", "walk_unordered", "walk_frontier", "walk_frontier_edges",
    "walk_of_types", "fix_missing_locations", "subtree_hashes", "subtree_hash",
    "set_parents", "walk_frontier_events", "_walk_count", "subtree_digests", "subtree_digest",
]  # fmt: skip

PARAMETERS = {  # name: (parameters, how many are required)
    "walk": (["node"], 1),
    "walk_dfs": (["node"], 1),
    "walk_unordered": (["node"], 1),
    "_walk_count": (["node"], 1),
    "walk_frontier": (["node", "kinds"], 2),
    "walk_frontier_edges": (["node", "kinds"], 2),
    "walk_of_types": (["node", "kinds", "prune"], 2),
    "walk_frontier_events": (["node", "kinds", "bracket"], 3),
    "set_parents": (["node"], 1),
    "subtree_hashes": (["node"], 1),
    "subtree_hash": (["node"], 1),
    "subtree_digests": (["node"], 1),
    "subtree_digest": (["node"], 1),
    "fix_missing_locations": (["node"], 1),
}

DOCS = {
    "walk_dfs": (
        "Walk the AST rooted at `node` in strict depth-first pre-order and\n"
        "return every descendant (including `node` itself) as a list.\n"
        "\n"
        "Children are read from each node's instance dictionary alone: the\n"
        "entries under its class's `_fields`, where an exact list gives its node\n"
        "items. On trees that the parser and the ast classes make, these are the\n"
        "nodes `ast.walk` finds, in depth-first pre-order (`ast.walk` goes\n"
        "breadth-first); a child served by a property or `__getattr__` is not\n"
        "visited. `walk_unordered` returns the same nodes in no promised order,\n"
        "and is no faster on a tree in cache."
    ),
    "walk_unordered": (
        "Walk the AST rooted at `node` and return every descendant (including\n"
        "`node` itself) as a list, in an implementation-defined order.\n"
        "\n"
        "The set of returned nodes is identical to `walk_dfs`'s (read from the\n"
        "instance dictionaries alone, as `walk_dfs` says); only the order differs, and no order is promised: it may\n"
        "change from one version to the next. The walk takes nodes off its stack in\n"
        "batches and prefetches the memory of each batch before reading it.\n"
        "\n"
        "Its speed is no reason to choose it: measured on two machines, it was\n"
        "slower than `walk_dfs` on a tree in cache (by 4% and by 50%), and from\n"
        "as fast to a fifth faster on one out of cache. What it buys is freedom\n"
        "from an order, which a later version may spend on speed."
    ),
    "walk": (
        "Deprecated in favour of `walk_dfs`, which returns the same list.\n"
        "\n"
        "Emits a `DeprecationWarning` on the first call in a process, then\n"
        "returns `walk_dfs(node)`."
    ),
    "_walk_count": (
        "Benchmarking-only. Traverse the AST and return the node count without\n"
        "materializing a result list. Isolates traversal cost from list-build\n"
        "cost for profiling deltas."
    ),
    "walk_frontier": (
        "Return the descendants of `node` whose exact type is one of `kinds`, in\n"
        "depth-first pre-order, without descending below any match. `node`\n"
        "itself is never included."
    ),
    "walk_frontier_edges": (
        "Like `walk_frontier`, but each match comes as `(node, parent, field,\n"
        "index)`: the node was read from `parent.<field>` when `index` is `-1`,\n"
        "else from `parent.<field>[index]`."
    ),
    "walk_of_types": (
        "Return every node under `node` (`node` included) whose exact type is in\n"
        "`kinds`, in depth-first pre-order. Unlike `walk_frontier`, matches are\n"
        "descended into, except a node whose exact type is in `prune`: it is\n"
        "returned if it matches, and its children are skipped. `node` itself is\n"
        "always descended."
    ),
    "walk_frontier_events": (
        "The calls a `NodeVisitor` makes descending from `node`, as a list of\n"
        "`(event, node)` pairs: `(0, n)` for a descendant whose exact type is in\n"
        "`kinds` (dispatched, not descended), and `(1, n)` / `(2, n)` around the\n"
        "descent of a node whose exact type is in `bracket`. `node` itself is\n"
        "always descended, and bracketed if its type is in `bracket`."
    ),
    "set_parents": (
        "Set `child.parent = parent` for every node under `node`, visiting parents\n"
        "in depth-first pre-order and each parent's children in\n"
        "`ast.iter_child_nodes` order. `node` itself is left alone."
    ),
    "subtree_hashes": (
        "A structural hash per node, keyed by `id(node)`. Two subtrees that would\n"
        "give the same `ast.dump` get the same hash; a leaf value's type is mixed\n"
        "in, so `1`, `1.0` and `True` (equal hashes in Python) stay apart. A leaf\n"
        "that is not a str, bytes, int, bool, None or Ellipsis is hashed by its\n"
        "`repr`, as `ast.dump` prints it: NaNs compare equal there and `-0.0` and\n"
        "`0.0` do not, and a list constant has a repr where it has no hash."
    ),
    "subtree_hash": "`subtree_hashes(node)[id(node)]`, without building the dict.",
    "subtree_digests": (
        "A 128-bit structural digest per node, keyed by `id(node)`: a non-negative\n"
        "int that depends only on the tree, the same in every process, under any\n"
        "`PYTHONHASHSEED` and on any machine. Subtrees that would give the same\n"
        "`ast.dump` get the same digest; the tree semantics are those of\n"
        "`subtree_hashes`. The README writes the encoding down."
    ),
    "subtree_digest": "`subtree_digests(node)[id(node)]`, without building the dict.",
    "fix_missing_locations": (
        "`ast.fix_missing_locations`, without recursing per tree level. Returns\n"
        "`node`."
    ),
}


def test_module_attributes():
    assert sprig.__all__ == EXEC_ORDER + ["NodeVisitor", "NodeTransformer"] + [
        "ast_walk", "ast_iter_child_nodes", "ast_iter_fields", "ast_copy_location",
        "ast_increment_lineno", "ast_fix_missing_locations", "patch_ast", "restore_ast",
        "MATCH", "ENTER", "EXIT"]
    assert type(sprig.__doc__) is str and sprig.__doc__ == ""
    assert not hasattr(sprig, "InternalFailure")


def test_event_codes_name_the_plain_ints_of_the_events():
    assert (sprig.MATCH, sprig.ENTER, sprig.EXIT) == (0, 1, 2)
    assert {type(sprig.MATCH), type(sprig.ENTER), type(sprig.EXIT)} == {int}
    tree = ast.parse("def f():\n    x")
    events = sprig.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,))
    assert [(e, type(n)) for e, n in events] == [
        (sprig.ENTER, ast.FunctionDef), (sprig.MATCH, ast.Name), (sprig.EXIT, ast.FunctionDef)]
    assert {type(e) for e, _ in events} == {int}


@pytest.mark.parametrize("name", EXEC_ORDER)
def test_function_object(name):
    f = getattr(sprig, name)
    # The native functions carry their module, whose state is the interpreter's.
    assert getattr(f, "__self__", None) is sys.modules.get("sprig._native")

    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "sprig"
    assert f.__doc__ == DOCS[name]
    parameters, required = PARAMETERS[name]
    shown = parameters[:required] + [f"{p}=None" for p in parameters[required:]]
    assert str(inspect.signature(f)) == f"({', '.join(shown)})"
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        for p in inspect.signature(f).parameters.values()
    )


def test_optional_prune_defaults_to_none():
    prune = inspect.signature(sprig.walk_of_types).parameters["prune"]
    assert prune.default is None


T = ast.parse("x = 1")
K = (ast.Name,)

BINDING_ERRORS = [
    # (function, args, kwargs, message)
    ("walk_dfs", (), {}, "walk_dfs() missing 1 required positional argument: 'node'"),
    ("walk_frontier_events", (T,), {},
     "walk_frontier_events() missing 2 required positional arguments: 'kinds' and 'bracket'"),
    ("walk_frontier_events", (), {}, "walk_frontier_events() missing 3 required positional "
     "arguments: 'node', 'kinds', and 'bracket'"),
    ("walk_dfs", (T, T), {}, "walk_dfs() takes 1 positional argument but 2 were given"),
    ("walk_of_types", (T, K, None, None), {},
     "walk_of_types() takes from 2 to 3 positional arguments but 4 were given"),
    ("walk_dfs", (T,), {"node": T}, "walk_dfs() got multiple values for argument 'node'"),
    ("walk_dfs", (T,), {"nodes": 1}, "walk_dfs() got an unexpected keyword argument 'nodes'"),
    # too many positional arguments win over an unexpected keyword
    ("walk_dfs", (T, T), {"nodes": 1},
     "walk_dfs() takes 1 positional argument but 2 were given"),
    ("walk_frontier", (T, K, K), {"kinds": K},
     "walk_frontier() takes 2 positional arguments but 3 were given"),
    # an unexpected keyword wins over a missing argument
    ("walk_frontier", (), {"nodes": T}, "walk_frontier() got an unexpected keyword argument 'nodes'"),
    ("walk_frontier_events", (), {"kinds": K, "brackets": K},
     "walk_frontier_events() got an unexpected keyword argument 'brackets'"),
    # keyword-only calls
    ("walk_frontier", (), {"kinds": K}, "walk_frontier() missing 1 required positional argument: 'node'"),
    ("walk_frontier_edges", (), {"node": T},
     "walk_frontier_edges() missing 1 required positional argument: 'kinds'"),
    ("walk_frontier_events", (), {"bracket": K, "node": T},
     "walk_frontier_events() missing 1 required positional argument: 'kinds'"),
    ("walk_frontier_events", (), {"kinds": K},
     "walk_frontier_events() missing 2 required positional arguments: 'node' and 'bracket'"),
    ("walk_of_types", (), {"prune": None},
     "walk_of_types() missing 2 required positional arguments: 'node' and 'kinds'"),
    ("walk_of_types", (), {"kinds": K, "prune": None},
     "walk_of_types() missing 1 required positional argument: 'node'"),
    ("walk_of_types", (T,), {}, "walk_of_types() missing 1 required positional argument: 'kinds'"),
    # the optional prune, by keyword
    ("walk_of_types", (T, K, None), {"prune": None},
     "walk_of_types() got multiple values for argument 'prune'"),
    ("walk_of_types", (T,), {"prune": None, "kinds": K, "node": T},
     "walk_of_types() got multiple values for argument 'node'"),
    ("walk_of_types", (T, K), {"prunes": None},
     "walk_of_types() got an unexpected keyword argument 'prunes'"),
    # keywords are examined in call order; the first failing one is reported
    ("walk_dfs", (T,), {"nodes": 1, "node": T}, "walk_dfs() got an unexpected keyword argument 'nodes'"),
    ("walk_dfs", (T,), {"node": T, "nodes": 1}, "walk_dfs() got multiple values for argument 'node'"),
    ("subtree_hash", (), {"node": T, "NODE": T}, "subtree_hash() got an unexpected keyword argument 'NODE'"),
    # a keyword that has no UTF-8 form is unexpected, shown as str() shows it
    ("walk_dfs", (), {"\udc80": 1}, "walk_dfs() got an unexpected keyword argument '\udc80'"),
    ("walk_of_types", (T, K), {"\udc80": 1},
     "walk_of_types() got an unexpected keyword argument '\udc80'"),
    ("_walk_count", (), {"n\u00f6de": 1}, "_walk_count() got an unexpected keyword argument 'n\u00f6de'"),
    # the ast helpers are named in their messages as in the ast module
    ("ast_walk", (), {}, "walk() missing 1 required positional argument: 'node'"),
    ("ast_iter_fields", (T, T), {}, "iter_fields() takes 1 positional argument but 2 were given"),
    ("ast_increment_lineno", (T, 1, 1), {},
     "increment_lineno() takes from 1 to 2 positional arguments but 3 were given"),
    ("ast_copy_location", (T,), {"node": T},
     "copy_location() got an unexpected keyword argument 'node'"),
    ("ast_fix_missing_locations", (T,), {"node": T},
     "fix_missing_locations() got multiple values for argument 'node'"),
    # a keyword close to a parameter's name: 3.13 and later suggest it
    ("ast_walk", (T, T), {}, "walk() takes 1 positional argument but 2 were given"),
    ("ast_copy_location", (T,), {"old_nod": T},
     "copy_location() got an unexpected keyword argument 'old_nod'"),
    ("ast_increment_lineno", (T,), {"m": 1},
     "increment_lineno() got an unexpected keyword argument 'm'"),
    ("ast_fix_missing_locations", (), {"nod": T},
     "fix_missing_locations() got an unexpected keyword argument 'nod'"),
]  # fmt: skip

# Every function, each way of getting the arguments wrong.
for _name, (_params, _required) in PARAMETERS.items():
    _missing = [f"'{p}'" for p in _params[:_required]]
    _listed = (
        _missing[0] if len(_missing) == 1
        else " and ".join(_missing) if len(_missing) == 2
        else ", ".join(_missing[:-1]) + ", and " + _missing[-1]
    )  # fmt: skip
    _word = "argument" if len(_missing) == 1 else "arguments"
    _count = len(_params) + 1
    _takes = (
        f"{len(_params)}" if _required == len(_params) else f"from {_required} to {len(_params)}"
    )
    _noun = "argument" if _takes == "1" else "arguments"
    BINDING_ERRORS += [
        (_name, (), {}, f"{_name}() missing {len(_missing)} required positional {_word}: {_listed}"),
        (_name, (T,) * _count, {},
         f"{_name}() takes {_takes} positional {_noun} but {_count} were given"),
        (_name, (T,) * _required, {"bogus": 1}, f"{_name}() got an unexpected keyword argument 'bogus'"),
        (_name, (T,) * _required, {"node": T}, f"{_name}() got multiple values for argument 'node'"),
    ]  # fmt: skip


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    BINDING_ERRORS,
    ids=[f"{case[0]}-{i}" for i, case in enumerate(BINDING_ERRORS)],
)
def test_binding_error(name, args, kwargs, message):
    # A binding error stops the call before its body, so `walk` does not use up its warning.
    with pytest.raises(TypeError) as info:
        getattr(sprig, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    if name.startswith("ast_"):  # the ast function's text on this version, suggestion and all
        with pytest.raises(TypeError) as standard:
            getattr(ast, name[4:])(*args, **kwargs)
        assert str(standard.value).startswith(message)
        message = str(standard.value)
    assert str(info.value) == message


def outcome(f, *args, **kwargs):
    try:
        return "returned", f(*args, **kwargs)
    except Exception as e:  # a body not built yet raises NotImplementedError both ways
        return "raised", type(e), str(e)


KEYWORD_CALLS = [
    # (function, args, kwargs, the same call by position)
    ("walk_dfs", (), {"node": T}, (T,)),
    ("walk_unordered", (), {"node": T}, (T,)),
    ("_walk_count", (), {"node": T}, (T,)),
    ("subtree_hash", (), {"node": T}, (T,)),
    ("subtree_hashes", (), {"node": T}, (T,)),
    ("subtree_digest", (), {"node": T}, (T,)),
    ("subtree_digests", (), {"node": T}, (T,)),
    ("walk_frontier", (T,), {"kinds": K}, (T, K)),
    ("walk_frontier_edges", (), {"kinds": K, "node": T}, (T, K)),
    ("walk_of_types", (T,), {"kinds": K, "prune": None}, (T, K)),
    ("walk_of_types", (), {"prune": K, "node": T, "kinds": K}, (T, K, K)),
    ("walk_frontier_events", (T,), {"bracket": (), "kinds": K}, (T, K, ())),
]


@pytest.mark.parametrize("name, args, kwargs, positional", KEYWORD_CALLS)
def test_keywords_bind_like_positions(name, args, kwargs, positional):
    f = getattr(sprig, name)
    assert outcome(f, *args, **kwargs) == outcome(f, *positional)




@native_only("a new import of sprig takes the loaded pure modules again, with their objects")
def test_reimport_makes_new_functions_with_shared_state():
    run_python(
        """
        import ast, sys, warnings
        import sprig as first
        def forget():  # the package and the implementation under it
            for name in [n for n in sys.modules if n.split(".")[0] == "sprig"]:
                del sys.modules[name]
        forget()
        import sprig as second
        assert first is not second
        assert second.__all__ == first.__all__ and second.__all__ is not first.__all__
        for name in [n for n in first.__all__ if callable(getattr(first, n))]:
            a, b = getattr(first, name), getattr(second, name)
            if isinstance(a, type):
                continue
            assert a is not b and b.__self__ is sys.modules["sprig._native"] and a.__doc__ == b.__doc__, name
        tree = ast.parse("f(x)")
        assert [id(n) for n in second.walk_dfs(tree)] == [id(n) for n in first.walk_dfs(tree)]
        assert second._walk_count(tree) == first._walk_count(tree) == len(list(ast.walk(tree)))
        del first
        assert second.walk_unordered(tree)[0] is tree
        # the warning of `walk` is once per process, not once per module object
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            second.walk(tree)
            forget()
            import sprig as third
            third.walk(tree)
        assert len(caught) == 1, caught
        # each import makes its own classes; those of every import keep working
        assert third.NodeVisitor is not second.NodeVisitor
        class V(second.NodeVisitor):
            def visit_Name(self, node): self.seen = node.id
        V().visit(tree) is None and third.NodeTransformer().visit(tree) is tree
        """
    )


@native_only("no per-thread class table to find borrowed")
def test_internal_failure_is_a_base_exception_outside_the_module():
    # Re-entering a walk from Python code run while the thread's class table is being
    # built finds the table borrowed: an internal failure, never a corrupted table.
    out = run_python(
        """
        import ast, sprig
        reenter = True
        class Meta(type):
            def __subclasses__(cls):
                if reenter:
                    sprig.walk_dfs(1)
                return type.__subclasses__(cls)
        class Odd(ast.AST, metaclass=Meta):
            pass
        tree = ast.parse("x")
        for attempt in range(2):  # a failed build caches nothing: the next call builds again
            try:
                sprig.walk_dfs(tree)
            except BaseException as e:
                failure = e
            else:
                raise AssertionError("no internal failure")
            kind = type(failure)
            assert f"{kind.__module__}.{kind.__qualname__}" == "sprig.InternalFailure", kind
            assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
            assert kind.__bases__ == (BaseException,)
            assert "already borrowed" in str(failure), failure
            assert failure.args == (str(failure),)
        assert not hasattr(sprig, "InternalFailure")
        reenter = False
        assert sprig._walk_count(tree) == len(list(ast.walk(tree)))
        print("ok")
        """
    )
    assert out == "ok\n"


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="3.12 on: see test_interpreters.py")
@native_only("the refusal is the native module's")
def test_a_subinterpreter_cannot_import_the_module():
    # 3.11 has no slot for the import system to check, so the native module refuses every
    # interpreter but the main one itself, and the package there takes the pure
    # implementation; the main interpreter goes on working.
    pytest.importorskip("_xxsubinterpreters")
    out = run_python(
        """
        import ast, _xxsubinterpreters as low
        import sprig
        sub = low.create(isolated=False)
        try:
            low.run_string(sub, "import sprig; assert sprig.IMPLEMENTATION == 'pure'; "
                                "import sprig._native")
        except low.RunFailedError as error:
            print(error)
        finally:
            low.destroy(sub)
        print(sprig._walk_count(ast.parse("x = f(a)")))
        """
    )
    assert out == "<class 'ImportError'>: sprig does not support subinterpreters\n9\n"


@pytest.mark.parametrize("listed", ["bool", "ast.AST"], ids=["a class that is no node", "a loop"])
def test_a_metaclass_that_lists_odd_subclasses(listed):
    # The class table is built from __subclasses__(), which a metaclass may override.
    out = run_python(
        f"""
        import ast, sprig
        class Meta(type):
            def __subclasses__(cls):
                return [{listed}]
        class Odd(ast.AST, metaclass=Meta):
            pass
        tree = ast.Expr(ast.List([True, ast.Name("x")], ast.Load()))
        found = sprig.walk_dfs(tree)
        assert sorted(map(id, found)) == sorted(map(id, ast.walk(tree))), found
        print("ok")
        """,
        timeout=30,
    )
    assert out == "ok\n"
