"""Structural hashes: one value per subtree, equal for subtrees that ast.dump prints alike
(positions left out), comparable within one process only; the same values as the native
module's, from the same steps. The digests of _digest.py share the traversal.

A run collects the tree in pre-order, then hashes the collected nodes backwards, so that
every child is hashed before its parent; a node met along several paths is hashed once."""

from ._frame import CHANGED_MESSAGE
from ._typed import Guard, Reader
from ._walks import MISSING

def collect(root: object, reader: Reader) -> list:
    """`root` and every node below it in pre-order, once per path."""
    children = reader.children
    out = [root]
    add = out.append
    first = children(root, reader.root_fields(root))
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


M64 = (1 << 64) - 1
MULTIPLIER = 0x9E3779B97F4A7C15


def mix(h: int, w: int) -> int:
    """Rotate h left by 5, exclusive-or w, multiply: the one combining step, on 64 bits."""
    return ((((h << 5) | (h >> 59)) & M64) ^ (w & M64)) * MULTIPLIER & M64


def _fmix64(k: int) -> int:
    k = (k ^ k >> 33) * 0xFF51AFD7ED558CCD & M64
    k = (k ^ k >> 33) * 0xC4CEB9FE1A85EC53 & M64
    return k ^ k >> 33


def _leaf_word(value: object) -> int:
    """What a leaf value enters its hash with: an int's own value (a wider one as a chain
    over its scrambled 64-bit words, sign included), a str's length and hash, the hash of
    None, Ellipsis, bytes and bool, and the length and hash of any other value's repr."""
    kind = type(value)
    if kind is int:
        if -(1 << 63) <= value < 1 << 63:
            return value & M64
        n = ((value if value >= 0 else ~value).bit_length() + 64) // 64
        g = mix(0, ~n)
        for k in range(n):
            g = mix(g, _fmix64(value >> 64 * k & M64))
        return g
    if kind is str:
        return mix(len(value), hash(value))
    if value is None or value is ... or kind is bytes or kind is bool:
        return hash(value) & M64
    text = repr(value)
    return mix(len(text), hash(text))


def _leaf_hash(value: object) -> int:
    return mix(id(type(value)) * MULTIPLIER & M64, _leaf_word(value))


def _node_hash(node: object, memo: dict, reader: Reader) -> int:
    cls = type(node)
    h = id(cls) * MULTIPLIER & M64
    stored = getattr(node, "__dict__", None)
    if type(stored) is not dict:
        stored = {}
    info_get = reader.info.get
    for i, name in enumerate(reader.root_fields(node)):
        value = stored.get(name, MISSING)
        if value is MISSING:
            try:
                value = getattr(node, name)
            except AttributeError:
                continue
        h = ((((h << 5) | (h >> 59)) & M64) ^ i) * MULTIPLIER & M64
        kind = type(value)
        if kind is list:
            f = (~len(value) & M64) * MULTIPLIER & M64
            for item in value:
                k = info_get(type(item), MISSING)
                if k is MISSING:
                    k = reader.fields(type(item))
                if k is not None:
                    w = memo.get(id(item))
                    if w is None:
                        w = nested(item, _node_hash)
                else:
                    w = _leaf_hash(item)
                f = ((((f << 5) | (f >> 59)) & M64) ^ w) * MULTIPLIER & M64
        else:
            k = info_get(kind, MISSING)
            if k is MISSING:
                k = reader.fields(kind)
            if k is not None:
                f = memo.get(id(value))
                if f is None:
                    f = nested(value, _node_hash)
            else:
                f = _leaf_hash(value)
        h = ((((h << 5) | (h >> 59)) & M64) ^ f) * MULTIPLIER & M64
    return h


def _signed(h: int) -> int:
    return h - (1 << 64) if h >> 63 else h


def subtree_hashes(node):
    return {key: h - (1 << 64) if h >> 63 else h
            for key, h in bottom_up(node, _node_hash).items()}


def subtree_hash(node):
    memo = bottom_up(node, _node_hash)
    if id(node) not in memo:
        raise RuntimeError(CHANGED_MESSAGE)
    return _signed(memo[id(node)])
