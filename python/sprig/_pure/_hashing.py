"""Structural hashes: one value per subtree, equal for subtrees that ast.dump prints alike
(positions left out), comparable within one process only. The digests of _digest.py share
the traversal.

A run collects the tree in pre-order, then hashes the collected nodes backwards, so that
every child is hashed before its parent; a node met along several paths is hashed once."""

from ._frame import CHANGED_MESSAGE
from ._typed import Guard, Reader
from ._walks import MISSING

# Leaves hashed by their own hash; any other leaf is hashed by its repr, as ast.dump
# prints it (NaNs alike, -0.0 apart from 0.0, unhashable values hashable).
PLAIN_LEAVES = frozenset({str, bytes, int, bool})


def class_fields(cls: type, reader: Reader) -> tuple:
    """The fields read from a node of class `cls`. A root that is no node still has its
    class's `_fields` read, as a node's are."""
    fields = reader.fields(cls)
    if fields is not None:
        return fields
    try:
        fields = cls._fields
    except Exception:
        return ()
    if not isinstance(fields, (tuple, list)):
        return ()
    return tuple(name for name in tuple(fields) if isinstance(name, str))


def collect(root: object, reader: Reader) -> list:
    """`root` and every node below it in pre-order, once per path."""
    children = reader.children
    out = [root]
    add = out.append
    first = children(root)
    if not first:
        return out
    first.reverse()
    stack = [first]
    path = [root]
    guard = Guard()
    while stack:
        level = stack[-1]
        if not level:
            stack.pop()
            path.pop()
            continue
        n = level.pop()
        add(n)
        below = children(n)
        if below:
            below.reverse()
            stack.append(below)
            path.append(n)
            if len(path) >= guard.limit:
                guard.check(path)
    return out


def bottom_up(root: object, node_value) -> dict:
    """{id(node): node_value(node, memo, reader)} for `root` and every node below it, each
    computed after those of its children."""
    reader = Reader()
    nodes = collect(root, reader)
    memo: dict = {}
    for n in reversed(nodes):
        if id(n) not in memo:
            memo[id(n)] = node_value(n, memo, reader)
    return memo


def nested(child: object, node_value) -> object:
    """The value of a node the collection did not meet (the tree changed meanwhile), from a
    run of its own."""
    memo = bottom_up(child, node_value)
    if id(child) not in memo:
        raise RuntimeError(CHANGED_MESSAGE)
    return memo[id(child)]


def _leaf_hash(value: object) -> int:
    kind = type(value)
    if kind in PLAIN_LEAVES or value is None or value is ...:
        return hash((id(kind), value))
    return hash((id(kind), repr(value)))


def _node_hash(node: object, memo: dict, reader: Reader) -> int:
    cls = type(node)
    parts: list = [id(cls)]
    add = parts.append
    stored = getattr(node, "__dict__", None)
    if type(stored) is not dict:
        stored = {}
    info_get = reader.info.get
    for i, name in enumerate(class_fields(cls, reader)):
        value = stored.get(name, MISSING)
        if value is MISSING:
            try:
                value = getattr(node, name)
            except AttributeError:
                continue
        add(i)
        kind = type(value)
        if kind is list:
            items = [len(value)]
            for item in value:
                f = info_get(type(item), MISSING)
                if f is MISSING:
                    f = reader.fields(type(item))
                if f is not None:
                    h = memo.get(id(item))
                    items.append(h if h is not None else nested(item, _node_hash))
                else:
                    items.append(_leaf_hash(item))
            add(hash(tuple(items)))
        else:
            f = info_get(kind, MISSING)
            if f is MISSING:
                f = reader.fields(kind)
            if f is not None:
                h = memo.get(id(value))
                add(h if h is not None else nested(value, _node_hash))
            else:
                add(_leaf_hash(value))
    return hash(tuple(parts))


def subtree_hashes(node):
    return bottom_up(node, _node_hash)


def subtree_hash(node):
    memo = bottom_up(node, _node_hash)
    if id(node) not in memo:
        raise RuntimeError(CHANGED_MESSAGE)
    return memo[id(node)]
