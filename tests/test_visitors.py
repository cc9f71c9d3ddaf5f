"""sprig.NodeVisitor and sprig.NodeTransformer against the ast classes they replace.

Every visitor shape is made twice by a class factory, once on the ast base and once on
sprig's, and both are run on equal trees: the call logs (handler and node identity), the
return values, the exceptions, the trees afterwards and, for transformers, the writes that
a __setattr__/__delattr__ hook sees must all agree.
"""

import ast
import copy
import subprocess
import sys
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sprig
from oracles import CORPUS_IDS, CORPUS_PATHS, expression_chain, parse_stdlib
from conftest import cpython_only

VISITOR_BASES = [ast.NodeVisitor, sprig.NodeVisitor]
TRANSFORMER_BASES = [ast.NodeTransformer, sprig.NodeTransformer]
HANDLED = ["Name", "Attribute", "Call", "FunctionDef", "ClassDef", "Import", "ImportFrom"]


def recording(name):
    def handler(self, node):
        self.log.append((name, id(node)))
        return self.generic_visit(node)

    return handler


# Visitor shapes: name -> factory(base) -> class. Each instance keeps `log`.
def empty(base):
    return type("V", (base,), {"__init__": lambda self: setattr(self, "log", [])})


def linter(base):
    body = {"visit_" + n: recording(n) for n in HANDLED}
    return type("V", (empty(base),), body)


def returning(base):
    class V(linter(base)):
        def visit_FunctionDef(self, node):
            self.log.append(("FunctionDef", id(node)))
            return node.name

        def visit_Constant(self, node):
            return ("constant", id(node))

    return V


def raising(base):
    class V(linter(base)):
        def visit_Return(self, node):
            raise KeyError(f"return at {node.lineno}")

    return V


def through_getattr(base):
    class V(empty(base)):
        def __getattr__(self, name):
            if name in ("visit_Name", "visit_arg"):
                return lambda node: self.log.append((name, id(node)))
            raise AttributeError(name)

    return V


def overriding(base):
    class V(linter(base)):
        def visit(self, node):
            self.log.append(("visit", id(node)))
            return super().visit(node)

        def generic_visit(self, node):
            self.log.append(("generic", id(node)))
            return super().generic_visit(node)

    return V


def with_property(base):
    class V(empty(base)):
        @property
        def visit_Call(self):
            self.log.append(("property", None))
            return lambda node: self.log.append(("Call", id(node)))

    return V


def mixed(base):
    other = ast.NodeVisitor if base is sprig.NodeVisitor else sprig.NodeVisitor
    mixin = type("Mixin", (other,), {"visit_Name": recording("Name")})
    return type("V", (mixin, linter(base)), {})


def instance_handlers(base):
    class V(empty(base)):
        def __init__(self):
            super().__init__()
            self.visit_Attribute = lambda node: self.log.append(("own", id(node)))

    return V


def slotted(base):
    class V(base):
        __slots__ = ("log",)

        def __init__(self):
            self.log = []

        visit_Name = recording("Name")

    return V


VISITOR_SHAPES = [empty, linter, returning, raising, through_getattr, overriding,
                  with_property, mixed, instance_handlers, slotted]  # fmt: skip


def outcome(shape, base, tree):
    """What a visit of `tree` by the `shape` class on `base` did."""
    visitor = shape(base)()
    try:
        result = ("returned", visitor.visit(tree))
    except Exception as e:
        result = ("raised", type(e), str(e))
    return result, visitor.log


def test_visitors_agree_on_the_stdlib(stdlib_tree, request):
    # Every other shape per module, alternating from one module to the next: each shape
    # meets half of the library, and the library every shape, in half the time.
    index = CORPUS_PATHS.index(request.node.callspec.params["stdlib_tree"])
    for shape in VISITOR_SHAPES[index % 2 :: 2]:
        mine = outcome(shape, sprig.NodeVisitor, stdlib_tree)
        assert mine == outcome(shape, ast.NodeVisitor, stdlib_tree), shape.__name__


# Transformer shapes: each rewrites the tree in one of the ways the standard library handles.
def renaming(base):
    class T(empty(base)):
        def visit_Name(self, node):
            self.log.append(("Name", id(node)))
            node.id += "_"
            return node

    return T


def editing(base):
    class T(empty(base)):
        def visit_Expr(self, node):  # removed from its list
            self.log.append(("Expr", id(node)))
            return None

        def visit_Pass(self, node):  # expanded into two statements
            return [node, ast.Pass()]

        def visit_Constant(self, node):  # replaced, or removed from a single field
            self.log.append(("Constant", id(node)))
            return None if isinstance(node.value, str) else ast.Name("k")

        def visit_Return(self, node):  # a non-node value in a list: spliced as an iterable
            return (ast.Pass(), self.generic_visit(node))

        def visit_keyword(self, node):
            return ()

        def visit_Attribute(self, node):
            self.generic_visit(node)
            return node.value  # the child replaces its parent

    return T


def yielding(base):
    # Non-node results in list fields only, where they are spliced in at once: in a single
    # field the stored object would show in the dumps by its address.
    class T(empty(base)):
        def visit_Expr(self, node):  # runs when the list is rebuilt
            self.log.append(("Expr", id(node)))
            self.generic_visit(node)
            yield node
            if isinstance(node.value, ast.Constant):
                yield ast.Pass()

        def visit_keyword(self, node):  # yields nothing: removed
            self.log.append(("keyword", id(node)))
            return
            yield

        def visit_alias(self, node):
            return iter([node, node])

        def visit_comprehension(self, node):
            return map(self.generic_visit, [node])

    return T


TRANSFORMER_SHAPES = [empty, renaming, editing, overriding, linter, yielding]


def snapshot(tree):
    return ast.dump(tree, include_attributes=True), [id(n) for n in ast.walk(tree)]


def transform(shape, base, tree):
    t = shape(base)()
    try:
        result = ("returned", id(t.visit(tree)))
    except Exception as e:
        result = ("raised", type(e), str(e))
    return result, t.log, snapshot(tree)


# Each module is edited by one shape, in turn: every shape meets a fifth of the library and
# the library every shape, each module parsed twice rather than ten times.
@pytest.mark.parametrize(
    "path, shape",
    [(p, TRANSFORMER_SHAPES[i % len(TRANSFORMER_SHAPES)]) for i, p in enumerate(CORPUS_PATHS)],
    ids=[f"{i}-{TRANSFORMER_SHAPES[n % len(TRANSFORMER_SHAPES)].__name__}"
         for n, i in enumerate(CORPUS_IDS)],
)
def test_transformers_agree_on_the_stdlib(path, shape):
    mine, theirs = parse_stdlib(path), parse_stdlib(path)
    if mine is None:
        pytest.skip("this interpreter cannot parse the module")
    # Nodes kept by both runs must be the same objects in the same places: ids are compared
    # through a map from the copies' nodes to their positions in the original walk.
    kept = list(ast.walk(mine)), list(ast.walk(theirs))  # no address reused meanwhile
    pos_mine = {id(n): i for i, n in enumerate(kept[0])}
    pos_theirs = {id(n): i for i, n in enumerate(kept[1])}
    a = transform(shape, sprig.NodeTransformer, mine)
    b = transform(shape, ast.NodeTransformer, theirs)
    assert a[0][0] == b[0][0] and a[2][0] == b[2][0]
    assert [(n, pos_mine.get(i)) for n, i in a[1]] == [(n, pos_theirs.get(i)) for n, i in b[1]]
    assert [pos_mine.get(i) for i in a[2][1]] == [pos_theirs.get(i) for i in b[2][1]]


# Trees whose nodes log every write.
def logging_class(cls, writes):
    def setter(self, name, value):
        writes.append(("set", type(self).__name__, name, id(value)))
        object.__setattr__(self, name, value)

    def deleter(self, name):
        writes.append(("del", type(self).__name__, name))
        object.__delattr__(self, name)

    return type(cls.__name__, (cls,), {"__setattr__": setter, "__delattr__": deleter})


def with_write_log(tree, writes, classes):
    for node in list(ast.walk(tree)):
        cls = type(node)
        if cls not in classes:
            classes[cls] = logging_class(cls, writes)
        node.__class__ = classes[cls]
    return tree


leaves = st.one_of(
    st.builds(lambda s: ast.Name(s, ast.Load()), st.sampled_from("abc")),
    st.builds(ast.Constant, st.one_of(st.integers(-3, 3), st.sampled_from(["s", "t"]))),
)
expressions = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.builds(lambda l, r: ast.BinOp(l, ast.Add(), r), inner, inner),
        st.builds(lambda e: ast.List(e, ast.Load()), st.lists(inner, max_size=4)),
        st.builds(lambda f, a: ast.Call(f, a, []), inner, st.lists(inner, max_size=3)),
        st.builds(lambda v: ast.Attribute(v, "x", ast.Load()), inner),
    ),
    max_leaves=25,
)
statements = st.one_of(
    st.builds(ast.Expr, expressions),
    st.builds(lambda v: ast.Return(v), st.one_of(st.none(), expressions)),
    st.just(None).map(lambda _: ast.Pass()),
)
modules = st.lists(statements, max_size=6).map(lambda body: ast.Module(body, []))


@given(modules)
def test_generated_trees(tree):
    for shape in VISITOR_SHAPES:
        assert outcome(shape, sprig.NodeVisitor, tree) == outcome(shape, ast.NodeVisitor, tree)
    for shape in TRANSFORMER_SHAPES:
        runs = []
        for base in (sprig.NodeTransformer, ast.NodeTransformer):
            writes = []
            copied = with_write_log(copy.deepcopy(tree), writes, {})
            kept = list(ast.walk(copied))  # no address is reused while the ids are compared
            before = {id(n): i for i, n in enumerate(kept)}
            result, log, (dump, walk) = transform(shape, base, copied)
            where = lambda i: before.get(i, "new")  # noqa: E731
            runs.append((result[0], [(n, where(i)) for n, i in log], dump,
                         [where(i) for i in walk],
                         [w[:3] + tuple(where(i) for i in w[3:]) for w in writes]))  # fmt: skip
        assert runs[0] == runs[1]


def both(factory, run):
    """run(cls) for the class factory on each base; the two results must agree."""
    results = [run(factory(base)) for base in VISITOR_BASES]
    assert results[0] == results[1]
    return results[0]


def test_handlers_added_between_visits():
    tree = ast.parse("a.b(c)\nclass K: x = 1")

    def run(cls):
        v = cls()
        v.visit(tree)
        cls.visit_Constant = recording("Constant")
        v.visit(tree)
        v.visit_Name = lambda node: v.log.append(("own Name", id(node)))
        v.visit(tree)
        del cls.visit_Call
        v.visit(tree)
        del v.visit_Name
        v.visit(tree)
        return v.log

    assert ("own Name", id(tree.body[0].value.args[0])) in both(linter, run)


def test_handlers_added_while_visiting():
    # Each change lands between two nodes of one visit: remembered dispatch must not outlive it.
    tree = ast.parse("f(a, 1)\ng(b, 2)\nh(c, 3)")

    def run(cls):
        class V(cls):
            def visit_Call(self, node):
                self.log.append(("Call", node.func.id))
                if node.func.id == "f":
                    self.visit_Constant = lambda n: self.log.append(("own Constant", n.value))
                elif node.func.id == "g":
                    del self.visit_Constant
                    type(self).visit_Name = recording("Name")
                else:
                    del type(self).visit_Name
                self.generic_visit(node)

        v = V()
        v.visit(tree)
        return [(what, x if isinstance(x, (str, int)) else None) for what, x in v.log]

    assert ("own Constant", 1) in both(empty, run)


@pytest.mark.parametrize("where", ["own _fields", "fields set late", "no entries left"])
def test_nodes_not_made_by_the_parser(where):
    def run(cls):
        tree = ast.parse("x = y + 1")
        value = tree.body[0].value
        if where == "own _fields":
            value._fields = ("right",)
        elif where == "fields set late":
            del value.left
            value.left = ast.Name("z", ast.Load())
        else:
            for name in list(vars(value)):
                delattr(value, name)
        v = cls()
        v.visit(tree)
        return [name for name, _ in v.log]

    both(linter, run)


def test_handlers_that_change_the_tree_while_visited():
    def run(cls):
        tree = ast.parse("a\nb")

        class Growing(cls):
            def visit_Expr(self, node):
                self.log.append(("Expr", ast.dump(node)))
                if len(tree.body) < 5:
                    tree.body.append(ast.Expr(ast.Name(f"n{len(tree.body)}")))
                    node.value = ast.Constant(len(tree.body))
                self.generic_visit(node)

        v = Growing()
        v.visit(tree)
        return [e if isinstance(e[1], str) else e[0] for e in v.log], ast.dump(tree)

    log, _ = both(linter, run)
    assert len([e for e in log if e[0] == "Expr"]) == 5


def test_overridden_visit_is_called_for_every_child():
    class Counting:
        def visit(self, node):
            self.log.append(type(node).__name__)
            return super().visit(node)

    run = lambda cls: (lambda v: (v.visit(ast.parse("f(x)")), v.log))(cls())  # noqa: E731
    both(lambda base: type("V", (Counting, empty(base)), {}), run)


def test_transformer_on_the_visitor_class_and_back():
    # Mixed hierarchies take generic_visit from whichever base comes first in the MRO.
    source = "x = y"
    handler = {"visit_Name": lambda self, n: ast.Name("z")}
    pairs = [((sprig.NodeVisitor, ast.NodeTransformer),
              {**handler, "generic_visit": ast.NodeVisitor.generic_visit}),
             ((sprig.NodeTransformer, ast.NodeVisitor), handler)]  # fmt: skip
    for bases, body in pairs:
        mine = type("V", bases, handler)
        theirs = type("V", (ast.NodeTransformer,), body)
        # Parsed afresh: a deep copy would follow attributes that other tests leave on the
        # parser's shared context nodes (a `parent` into some other tree).
        a, b = ast.parse(source), ast.parse(source)
        shown = lambda r: ast.dump(r) if isinstance(r, ast.AST) else r  # noqa: E731
        assert shown(mine().visit(a)) == shown(theirs().visit(b))
        assert ast.dump(a) == ast.dump(b)


@pytest.mark.parametrize("base", VISITOR_BASES + TRANSFORMER_BASES, ids=str)
def test_generic_visit_reads_fields_as_getattr_does(base):
    class Odd(ast.AST):
        _fields = ("missing", "raising", "listed", "lookalike")

        @property
        def raising(self):
            raise LookupError("raising")

    class Lookalike:
        __class__ = ast.Name  # isinstance(item, ast.AST) believes it

    node = Odd()
    node.listed = [ast.Name("a"), 3, None]
    with pytest.raises(LookupError):
        type("V", (base,), {})().visit(node)
    Odd._fields = ("missing", "listed", "lookalike")
    node.lookalike = Lookalike()
    seen = []
    v = type("V", (base,), {"visit_Name": lambda self, n: seen.append(n) or n})()
    assert v.visit(node) is (node if base in TRANSFORMER_BASES else None)
    assert seen == [node.listed[0], node.lookalike] and node.listed[1:] == [3, None]


def test_deep_trees_finish_and_cycles_stop():
    deep = expression_chain(200_000)
    assert sprig.NodeVisitor().visit(deep) is None
    assert sprig.NodeTransformer().visit(deep) is deep
    loop = ast.parse("if x: pass")
    loop.body[0].body.append(loop.body[0])
    for base in VISITOR_BASES[1:] + TRANSFORMER_BASES[1:]:
        for shape in (empty, linter):
            with pytest.raises((RecursionError, ValueError)):
                shape(base)().visit(loop)


def test_every_import_descends_as_the_first():
    # Test runners and reloads import the package afresh: each import's classes must keep
    # their own explicit stack, however many came before.
    script = """if True:
        import ast, sys
        node = ast.Constant(1)
        for _ in range(20_000):  # far deeper than a C stack would allow
            node = ast.UnaryOp(ast.USub(), node)
        for _ in range(10):
            for name in [m for m in sys.modules if m.split(".")[0] == "sprig"]:
                del sys.modules[name]
            import sprig
            class V(sprig.NodeVisitor):
                pass
            V().visit(node)
            sprig.NodeTransformer().visit(node)
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]


@cpython_only("PyPy's own ast.NodeVisitor overflows a 256 KiB thread stack here and crashes")
def test_small_thread_stacks_go_as_deep_as_the_ast_classes():
    # A handler calling generic_visit nests C calls on each level that runs in native code;
    # with little stack left the methods go on in Python, as the ast classes do, so that the
    # recursion limit, not the thread's stack, ends the descent: at least as deep as theirs,
    # and past it RecursionError, never a crash (before 3.14 the limit counts calls only).
    script = """if True:
        import ast, threading
        import sprig
        node = ast.Constant(1)
        trees = [node]
        for _ in range(3000):  # made and freed here: 3.13 frees them recursively
            node = ast.UnaryOp(ast.USub(), node)
            trees.append(node)
        def deepest(base):
            class V(base):
                def visit_UnaryOp(self, node):
                    return self.generic_visit(node)
            low, high = 0, len(trees) - 1
            while low < high:
                mid = (low + high + 1) // 2
                try:
                    V().visit(trees[mid])
                    low = mid
                except RecursionError:
                    high = mid - 1
            return low
        reached = {}
        def measure(stack):
            for name in ("NodeVisitor", "NodeTransformer"):
                reached[stack, name] = deepest(getattr(ast, name)), deepest(getattr(sprig, name))
        for stack in (256, 1024):
            threading.stack_size(stack * 1024)
            thread = threading.Thread(target=measure, args=(stack,))
            thread.start()
            thread.join()
        assert all(100 < theirs <= mine < 3000 for theirs, mine in reached.values()), reached
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]


def test_deep_trees_through_handlers_raise_recursion_error():
    deep = expression_chain(100_000)

    class V(sprig.NodeVisitor):
        def visit_Expr(self, node):
            self.generic_visit(node)

    with pytest.raises(RecursionError):
        V().visit(deep)


def test_keyword_and_binding_errors():
    tree = ast.parse("x")
    assert sprig.NodeVisitor().visit(node=tree) is None
    assert sprig.NodeTransformer().generic_visit(node=tree) is tree
    for call in [lambda v: v.visit(), lambda v: v.visit(tree, tree), lambda v: v.visit(nod=1)]:
        with pytest.raises(TypeError):
            call(sprig.NodeVisitor())


def test_classes_are_drop_in():
    assert issubclass(sprig.NodeVisitor, ast.NodeVisitor)
    assert issubclass(sprig.NodeTransformer, ast.NodeTransformer)
    assert sprig.NodeVisitor.__module__ == "sprig"
    assert "drop-in replacement" in sprig.NodeVisitor.__doc__
    assert "drop-in replacement" in sprig.NodeTransformer.__doc__


@pytest.mark.skipif(
    "visit_Constant" not in vars(ast.NodeVisitor),
    reason="only interpreters whose NodeVisitor still has the deprecated visit_Num handlers",
)
def test_deprecated_constant_handlers():
    def run(cls):
        class V(cls):
            def visit_Num(self, node):
                self.log.append(("Num", node.value))

        v = V()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            v.visit(ast.parse("x = 1 + 'a'"))
        return v.log, [(w.category, str(w.message), w.filename, w.lineno) for w in caught]

    log, caught = both(empty, run)
    assert log == [("Num", 1)]
    assert [c[:2] for c in caught] == [(DeprecationWarning,
                                        "visit_Num is deprecated; add visit_Constant")]


# -- The methods as functions: any `self`, through the class ---------------------------------
#
# Each case builds its `self` and tree afresh for each side, from factories that take the
# side's classes, so that the two runs differ only in whose functions are called.

SIDES = {"ast": (ast.NodeVisitor, ast.NodeTransformer),
         "sprig": (sprig.NodeVisitor, sprig.NodeTransformer)}  # fmt: skip
METHODS = [("NodeVisitor", "visit"), ("NodeVisitor", "generic_visit"),
           ("NodeTransformer", "visit"), ("NodeTransformer", "generic_visit")]  # fmt: skip


def canonical(value, where, made=()):
    """`value` with nodes named by class and position in the original tree ("new" if made
    since), generators by the order the handlers made them, and other objects by type."""
    if isinstance(value, ast.AST):
        fields = tuple((f, canonical(getattr(value, f), where, made))
                       for f in value._fields if hasattr(value, f))  # fmt: skip
        return (type(value).__name__, where.get(id(value), "new"), fields)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canonical(v, where, made) for v in value])
    if any(value is g for g in made):
        return ("generator", next(i for i, g in enumerate(made) if g is value))
    if value is None or isinstance(value, (str, int, float)):
        return value
    return type(value).__name__


def foreign_selves(visitor, transformer):
    """name -> factory(log) of an object to pass as `self`, on one side's classes."""

    def logged(base):
        def visit_Name(self, node):
            self.log.append(("Name", node))
            return self.generic_visit(node)

        return type("V", (base,), {"visit_Name": visit_Name})

    class Mixin:  # not a visitor: borrows visit and generic_visit through the class
        def visit_Name(self, node):
            self.log.append(("Name", node))
            return ast.Name("renamed")

    Mixin.visit = visitor.visit
    Mixin.generic_visit = transformer.generic_visit

    class Borrowing:  # has generic_visit of its own and no visit
        def generic_visit(self, node):
            self.log.append(("generic", node))

    class Looking:  # everything through __getattr__
        def __getattr__(self, name):
            self.log.append(("getattr", name))
            if name == "visit":
                return lambda node: visitor.visit(self, node)
            if name == "generic_visit":
                return lambda node: transformer.generic_visit(self, node)
            raise AttributeError(name)

    def plain(cls):
        def make(log):
            obj = cls()
            obj.__dict__["log"] = log
            return obj

        return make

    def classed(cls):
        def make(log):
            obj = cls()
            obj.log = log
            return obj

        return make

    return {
        "visitor subclass": classed(logged(visitor)),
        "transformer subclass": classed(logged(transformer)),
        "mixin": plain(Mixin),
        "own generic_visit": plain(Borrowing),
        "__getattr__": plain(Looking),
        "object": lambda log: object(),
        "int": lambda log: 7,
        "None": lambda log: None,
        "class": lambda log: Borrowing,
    }


SELVES = list(foreign_selves(ast.NodeVisitor, ast.NodeTransformer))


def through_class(side, owner, method, self_kind, source):
    visitor, transformer = SIDES[side]
    tree = ast.parse(source)
    kept = list(ast.walk(tree))  # no address is reused while the ids are compared
    where = {id(n): i for i, n in enumerate(kept)}
    log = []
    obj = foreign_selves(visitor, transformer)[self_kind](log)
    function = getattr(SIDES[side][owner == "NodeTransformer"], method)
    try:
        result = ("returned", canonical(function(obj, tree), where))
    except Exception as e:
        result = ("raised", type(e), str(e))
    del kept
    shown = [(what, canonical(x, where) if isinstance(x, ast.AST) else x) for what, x in log]
    return result, shown, canonical(tree, where)


@pytest.mark.parametrize("source", ["x = f(y)", "def g(a):\n    return [a, b]"])
@pytest.mark.parametrize("self_kind", SELVES)
@pytest.mark.parametrize("owner, method", METHODS, ids="{0[0]}.{0[1]}".format)
def test_methods_take_any_self_through_the_class(owner, method, self_kind, source):
    mine = through_class("sprig", owner, method, self_kind, source)
    assert mine == through_class("ast", owner, method, self_kind, source)


def test_methods_bind_as_functions():
    import copy
    import inspect
    import pickle

    visitor = sprig.NodeVisitor()
    for owner, method in METHODS:
        function = getattr(getattr(sprig, owner), method)
        standard = getattr(getattr(ast, owner), method)
        assert function is vars(getattr(sprig, owner))[method]
        assert (function.__name__, function.__qualname__) == (
            standard.__name__, standard.__qualname__)
        assert function.__module__ == "sprig"
        assert inspect.signature(function) == inspect.signature(standard)
        bound = getattr(visitor, method)
        assert bound.__func__ is getattr(sprig.NodeVisitor, method) and bound.__self__ is visitor
        assert inspect.signature(bound) == inspect.signature(getattr(ast.NodeVisitor(), method))
        assert pickle.loads(pickle.dumps(function)) is function
        assert copy.deepcopy(function) is function
    assert sprig.NodeTransformer.visit is sprig.NodeVisitor.visit


def test_a_visitor_below_a_transformer_returns_none_to_it():
    # The transformer's descent calls the visitor class's generic_visit for each child and
    # removes every child, as None comes back; sprig's class with both bases against a
    # standard class with the same methods.
    mine = type("Both", (sprig.NodeVisitor, sprig.NodeTransformer), {})
    theirs = type("Both", (ast.NodeTransformer,),
                  {"generic_visit": ast.NodeVisitor.generic_visit})  # fmt: skip
    trees = []
    for cls, transformer in [(mine, sprig.NodeTransformer), (theirs, ast.NodeTransformer)]:
        tree = ast.parse("f(x)\ny = 1")
        assert transformer.generic_visit(cls(), tree) is tree
        trees.append(ast.dump(tree))
    assert trees[0] == trees[1] == ast.dump(ast.Module([], []))


# -- Arguments that do not bind: the standard errors -----------------------------------------

BAD_ARGUMENTS = {
    "none": ((), {}),
    "three": ((1, 2, 3), {}),
    "unknown keyword": ((), {"nod": 1}),
    "node twice": ((1,), {"node": 2}),
    "self by keyword twice": ((1, 2), {"self": 3}),
    "keyword self only": ((), {"self": 1}),
    "keywords and one more": ((), {"self": 1, "node": 2, "other": 3}),
}
GOOD_ARGUMENTS = {"keywords": ((), {"self": None, "node": 2}),
                  "node by keyword": ((None,), {"node": 2})}  # fmt: skip


@pytest.mark.parametrize("bound", [False, True], ids=["through the class", "bound"])
@pytest.mark.parametrize("args", list(BAD_ARGUMENTS) + list(GOOD_ARGUMENTS))
@pytest.mark.parametrize("owner, method", METHODS, ids="{0[0]}.{0[1]}".format)
def test_argument_errors_are_the_standard_ones(owner, method, args, bound):
    positional, keywords = {**BAD_ARGUMENTS, **GOOD_ARGUMENTS}[args]
    outcomes = []
    for side in ("sprig", "ast"):
        cls = SIDES[side][owner == "NodeTransformer"]
        function = getattr(cls(), method) if bound else getattr(cls, method)
        try:  # a bound method takes the place of the first positional argument
            outcomes.append(("returned", function(*positional[bound:], **keywords)))
        except Exception as e:
            outcomes.append((type(e), str(e)))
    assert outcomes[0] == outcomes[1]


BAD_NODES = {
    "int": lambda: 1,
    "None": lambda: None,
    "list": lambda: [ast.Name("x")],
    "_fields not iterable": lambda: type("N", (ast.AST,), {"_fields": 5})(),
    "_fields of ints": lambda: type("N", (ast.AST,), {"_fields": (1,)})(),
    "_fields raising": lambda: type("N", (ast.AST,), {"_fields": property(lambda s: 1 / 0)})(),
    "list field not a list": lambda: ast.Expr(value=(ast.Name("x"),)),
    "list of non-nodes": lambda: ast.Module(body=[1, None, "s"], type_ignores=[]),
}


@pytest.mark.parametrize("node", BAD_NODES)
@pytest.mark.parametrize("owner, method", METHODS, ids="{0[0]}.{0[1]}".format)
def test_odd_nodes_fail_or_pass_as_with_the_standard_classes(owner, method, node):
    outcomes = []
    for side in ("sprig", "ast"):
        try:
            visitor = SIDES[side][owner == "NodeTransformer"]()
            outcomes.append(("returned", type(getattr(visitor, method)(BAD_NODES[node]()))))
        except Exception as e:
            outcomes.append((type(e), str(e)))
    assert outcomes[0] == outcomes[1]


# -- Handlers that return generators and other iterables -------------------------------------


def iterable_handlers(log, tree, where, made):
    """name -> handler body(self, node) returning a non-node or a generator."""

    def look(what, node):
        log.append((what, type(node).__name__, where.get(id(node), "new"),
                    canonical(tree, where, made)))  # fmt: skip

    def lazy(self, node):  # what it sees of the tree when it runs, and how far it gets
        look("start", node)
        yield node
        look("resumed", node)
        yield ast.Name("new")
        log.append("end")

    def descending(self, node):
        look("start", node)
        result = self.generic_visit(node)
        look("descended", node)
        yield result

    def nothing(self, node):
        look("start", node)
        return
        yield

    def failing(self, node):
        yield node
        raise KeyError("failing")

    def growing(self, node):  # lengthens the lists of the node: the new items are visited?
        for field in node._fields:
            value = getattr(node, field, None)
            if isinstance(value, list):
                value.append(ast.Name("grown"))
        look("grown", node)
        yield node

    def reentering(self, node):
        yield from (self.visit(ast.Name("inner")), node)

    return {
        "lazy": lazy, "descending": descending, "nothing": nothing, "failing": failing,
        "growing": growing, "reentering": reentering,
        "tuple": lambda self, node: (node, node), "str": lambda self, node: "ab",
        "int": lambda self, node: 3, "iterator": lambda self, node: iter([node]),
        "dict": lambda self, node: {node: 1},
        "map": lambda self, node: map(self.generic_visit, [node]),
    }  # fmt: skip


ITERABLE_KINDS = list(iterable_handlers(None, None, None, None))
ITERABLE_SOURCES = ["def f(a, b=1):\n    x = [y, 2, z]\n    return a.b(c, 3)",
                    "for i in g(h): k[i] = -i\nelse: pass", "lambda q, *r: q(*r)"]  # fmt: skip
HANDLED_NODES = ["Name", "Constant", "arguments", "arg", "Load", "Store", "Assign", "Expr",
                 "Call", "Attribute", "For", "Starred", "USub", "Module"]  # fmt: skip


def transformed_with(base, source, node_class, kind):
    tree = ast.parse(source)
    kept = list(ast.walk(tree))  # no address is reused while the ids are compared
    where = {id(n): i for i, n in enumerate(kept)}
    log, made = [], []
    body = iterable_handlers(log, tree, where, made)[kind]

    def handler(self, node):
        result = body(self, node)
        if type(result).__name__ == "generator":
            made.append(result)
        return result

    transformer = type("T", (base,), {"visit_" + node_class: handler})
    try:
        result = ("returned", canonical(transformer().visit(tree), where, made))
    except Exception as e:
        result = ("raised", type(e), str(e))
    del kept
    return log, result, canonical(tree, where, made)


@pytest.mark.parametrize("kind", ITERABLE_KINDS)
@pytest.mark.parametrize("node_class", HANDLED_NODES)
@pytest.mark.parametrize("source", ITERABLE_SOURCES, ids=["def", "for", "lambda"])
def test_handlers_returning_iterables(source, node_class, kind):
    mine = transformed_with(sprig.NodeTransformer, source, node_class, kind)
    assert mine == transformed_with(ast.NodeTransformer, source, node_class, kind)


# -- The same once sprig's classes stand in for the ast module's -----------------------------


@pytest.fixture
def ast_patched(monkeypatch):
    monkeypatch.setattr(ast, "NodeVisitor", sprig.NodeVisitor)
    monkeypatch.setattr(ast, "NodeTransformer", sprig.NodeTransformer)


def test_behaviour_holds_with_the_ast_classes_replaced(ast_patched):
    assert ast.NodeVisitor is sprig.NodeVisitor
    # The functions called through the replaced names run sprig's, and fail as the
    # standard ones (which SIDES["ast"] still holds) do.
    for owner, method in METHODS:
        for self_kind in SELVES:
            mine = through_class("sprig", owner, method, self_kind, "x = f(y)")
            assert mine == through_class("ast", owner, method, self_kind, "x = f(y)")
        for args in BAD_ARGUMENTS:
            test_argument_errors_are_the_standard_ones(owner, method, args, False)
    for kind in ITERABLE_KINDS:
        source = ITERABLE_SOURCES[0]
        mine = transformed_with(ast.NodeTransformer, source, "Name", kind)
        assert mine == transformed_with(SIDES["ast"][1], source, "Name", kind)
