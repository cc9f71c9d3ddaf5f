"""The native module and the pure implementation side by side in one process, on odd trees
(shared nodes, cycles, properties, custom fields, leaves whose repr fails): the same
results, the same errors with the same messages, the same writes left by the edits and the
same visitor calls. Where they differ, one of them is wrong."""

import ast

import pytest
from hypothesis import given
from hypothesis import strategies as st

native = pytest.importorskip("sprig._native", reason="no native module here")
pure = pytest.importorskip("sprig._pure")

CLASSES = [c for c in vars(ast).values()
           if isinstance(c, type) and issubclass(c, ast.AST) and c._fields]


class Text(str):
    pass


class Unprintable:
    def __repr__(self):
        raise KeyError("no repr")


class Custom(ast.AST):
    _fields = ("a", "b")


class Served(ast.AST):
    _fields = ("p", "q")

    @property
    def p(self):
        return ast.Name("served", ast.Load())  # a new node at each read


LEAVES = [None, ..., True, 0, -1, 2**63, 2**200, float("nan"), -0.0, "x", "\ud800",
          Text("s"), b"b", 1j, (1, 2), Unprintable()]


def tree(rng, depth, made):
    """A random tree; now and then a node made before stands in again."""
    if depth == 0 or rng.random() < 0.2:
        if made and rng.random() < 0.1:
            return rng.choice(made)
        return rng.choice(LEAVES) if rng.random() < 0.5 else ast.Name("n", ast.Load())
    cls = rng.choice(CLASSES) if rng.random() < 0.9 else rng.choice([Custom, Served])
    node = cls.__new__(cls)
    for name in cls._fields:
        if rng.random() < 0.1:
            continue  # absent
        vars(node)[name] = ([tree(rng, depth - 1, made) for _ in range(rng.randrange(3))]
                            if rng.random() < 0.4 else tree(rng, depth - 1, made))
    for name in ("lineno", "col_offset", "end_lineno", "end_col_offset"):
        if rng.random() < 0.4:
            vars(node)[name] = rng.choice([1, 7, None, "s"])
    made.append(node)
    return node


def build(seed):
    """The same tree for the same seed; True when a node was made its own descendant."""
    import random
    rng = random.Random(seed)
    made = []
    root = tree(rng, rng.randrange(1, 6), made)
    if made and rng.random() < 0.1:
        node = rng.choice(made)
        vars(node)[type(node)._fields[0]] = root
        return root, True
    return root, False


def order(root):
    """The nodes under `root` by their stored fields, each once: the names results use."""
    seen, todo, out = set(), [root], []
    while todo:
        n = todo.pop()
        if isinstance(n, ast.AST) and id(n) not in seen:
            seen.add(id(n))
            out.append(n)
            for name in type(n)._fields:
                value = vars(n).get(name)
                todo.extend(value if type(value) is list else [value])
    return {id(n): i for i, n in enumerate(out)}, out


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:
        return type(e).__name__, str(e)


@given(st.integers(0, 2**32))
def test_both_implementations_agree(seed):
    root, cyclic = build(seed)
    index, _ = order(root)

    def names(nodes):
        return [index.get(id(n), "new") for n in nodes]

    kinds = tuple(CLASSES[seed % len(CLASSES)::37]) + (Custom,)
    reads = {
        "walk_dfs": lambda m: names(m.walk_dfs(root)),
        "walk_frontier": lambda m: names(m.walk_frontier(root, kinds)),
        "walk_frontier_edges": lambda m: [(index.get(id(n)), index.get(id(p)), f, i)
                                          for n, p, f, i in m.walk_frontier_edges(root, kinds)],
        "walk_of_types": lambda m: names(m.walk_of_types(root, kinds, kinds[1:3])),
        "walk_frontier_events": lambda m: [(e, index.get(id(n))) for e, n in
                                           m.walk_frontier_events(root, kinds, kinds[2:])],
        "subtree_digests": lambda m: sorted(m.subtree_digests(root).values()),
        "hash classes": lambda m: sorted(sorted(map(str, names(g))) for g in _classes(m, root)),
    }
    for name, read in reads.items():
        assert outcome(lambda: read(native)) == outcome(lambda: read(pure)), name
    for edit in ("set_parents", "fix_missing_locations"):
        left = []
        for m in (native, pure):
            again, _ = build(seed)
            done = outcome(lambda: getattr(m, edit)(again))[0]
            after, nodes = order(again)
            left.append((done, [{k: _value(v, after) for k, v in vars(n).items()}
                                for n in nodes]))
        assert left[0] == left[1], edit
    if not cyclic:
        calls = [_calls(m.NodeVisitor, root, names) for m in (native, pure)]
        assert calls[0] == calls[1]


def _classes(m, root):
    """The nodes of equal hash, together."""
    hashes = m.subtree_hashes(root)
    nodes = {id(n): n for n in order(root)[1]}
    groups = {}
    for key, value in hashes.items():
        groups.setdefault(value, []).append(nodes.get(key))
    return groups.values()


def _value(v, index):
    if isinstance(v, ast.AST):
        return index.get(id(v), "new")
    if type(v) is list:
        return [_value(item, index) for item in v]
    return repr(v) if type(v) in (int, str, float, bool, bytes, type(None)) else type(v).__name__


def _calls(base, root, names):
    log = []

    class Visitor(base):
        def visit_Name(self, node):
            log.append(("Name", *names([node])))
            self.generic_visit(node)

        def generic_visit(self, node):
            log.append(("generic", *names([node])))
            super().generic_visit(node)

    return outcome(lambda: Visitor().visit(root)), log
