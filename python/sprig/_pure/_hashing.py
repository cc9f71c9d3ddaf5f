"""Structural hashes: one value per subtree, equal for subtrees that ast.dump prints alike
(positions left out), comparable within one process only; the same values as the native
module's steps, with Python's own hash of tuples as the mix.

A run collects the tree in pre-order, then hashes the collected nodes backwards, so that
every child is hashed before its parent; a node met along several paths is hashed once."""

from ._frame import CHANGED_MESSAGE
from ._typed import Guard, Reader
from ._walks import MISSING

def collect(root: object, reader: Reader) -> list:
    """`root` and every node below it in pre-order, once per path."""
    info = reader.info
    get = info.get
    out = [root]
    add = out.append
    first = reader.children(root, reader.root_fields(root))
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
        fields = get(type(n), MISSING)
        if fields is MISSING:
            fields = reader.fields(type(n))
        if not fields:
            continue
        stored = n.__dict__
        below = []
        push = below.append
        for name in fields:
            value = stored.get(name, MISSING)
            if value is MISSING:
                try:
                    value = getattr(n, name)
                except AttributeError:
                    continue
            if value is None:
                continue
            kind = type(value)
            if kind is list:
                for item in value:
                    f = get(type(item), MISSING)
                    if f is MISSING:
                        f = reader.fields(type(item))
                    if f is not None:
                        push(item)
            else:
                f = get(kind, MISSING)
                if f is MISSING:
                    f = reader.fields(kind)
                if f is not None:
                    push(value)
        if below:
            below.reverse()
            stack.append(below)
            path.append(n)
            if len(path) >= guard.limit:
                # the native collection checks whatever it takes next, a node without
                # fields too
                guard.check_ahead(path, below, _any)
    return out


def _any(node: object) -> bool:
    return True


def nested(child: object, run) -> object:
    """The value of a node the collection did not meet (the tree changed meanwhile), from a
    run of its own: `run(child)` gives the values of the nodes below `child`."""
    memo = run(child)
    if id(child) not in memo:
        raise RuntimeError(CHANGED_MESSAGE)
    return memo[id(child)]


ID_STR, ID_INT = id(str), id(int)
# Python's own hash folds ints modulo 2**61 - 1 (and -1 onto -2), and a str's hash reads its
# stored form, in which a one-character wide str can equal a two-character narrow one: ints
# outside the range where hash(v) == v enter by their repr, and strs with their length.
SMALL_INT = (1 << 61) - 2


def _leaf_hash(value: object) -> int:
    kind = type(value)
    if kind is str:
        return hash((ID_STR, len(value), value))
    if kind is int:
        if -SMALL_INT <= value <= SMALL_INT and value != -1:
            return hash((ID_INT, value))
        return hash((ID_INT, repr(value)))
    if value is None or value is ... or kind is bytes or kind is bool:
        return hash((id(kind), value))
    return hash((id(kind), repr(value)))


ABSENT = object()  # stands for a field that cannot be read: apart from one holding None


def _hash_all(root: object) -> dict:
    """{id(node): hash} for `root` and every node below it. A node's hash is that of the
    tuple of its class's id and, field by field, what each present field contributes:
    a str its type, length and value; None itself; a child node its hash; a list the hash
    of its length and its elements' hashes; another leaf its _leaf_hash; an absent field
    a marker of its own."""
    reader = Reader()
    info_get = reader.info.get
    memo: dict = {}
    for node in reversed(collect(root, reader)):
        if id(node) in memo:
            continue
        cls = type(node)
        parts: list = [id(cls)]
        add = parts.append
        stored = getattr(node, "__dict__", None)
        if type(stored) is not dict:
            stored = {}
        fields = info_get(cls, MISSING)
        if fields is MISSING or fields is None:
            fields = reader.root_fields(node)
        for name in fields:
            value = stored.get(name, MISSING)
            if value is MISSING:
                try:
                    value = getattr(node, name)
                except AttributeError:
                    add(ABSENT)
                    continue
            kind = type(value)
            if kind is str:
                add(ID_STR)
                add(len(value))
                add(value)
            elif value is None:
                add(None)
            elif kind is list:
                items = [len(value)]
                for item in value:
                    k = info_get(type(item), MISSING)
                    if k is MISSING:
                        k = reader.fields(type(item))
                    if k is not None:
                        w = memo.get(id(item))
                        items.append(w if w is not None else nested(item, _hash_all))
                    else:
                        items.append(_leaf_hash(item))
                add(hash(tuple(items)))
            else:
                k = info_get(kind, MISSING)
                if k is MISSING:
                    k = reader.fields(kind)
                if k is not None:
                    w = memo.get(id(value))
                    add(w if w is not None else nested(value, _hash_all))
                else:
                    add(_leaf_hash(value))
        memo[id(node)] = hash(tuple(parts))
    return memo


def subtree_hashes(node):
    return _hash_all(node)


def subtree_hash(node):
    memo = _hash_all(node)
    if id(node) not in memo:
        raise RuntimeError(CHANGED_MESSAGE)
    return memo[id(node)]
