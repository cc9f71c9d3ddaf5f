"""The whole-tree walks (walk_dfs, walk, _walk_count, walk_unordered) and what every walk
shares: which classes are nodes, a class's child fields, reading a node's children, and the
cycle check.

A node is an instance of a proper subclass of ast.AST. Its children are the values of its
class's `_fields` as they are at the call: an exact list gives its node elements, any other
value itself if it is a node. The fast walks read the values from the instance dictionary
alone; the typed walks, hashing and the edits read the dictionary first and the attribute
otherwise, skipping a field whose read raises AttributeError.
"""

import ast
import warnings

from ._frame import cycle_error

AST = ast.AST
MISSING = object()
FIRST_DEPTH_LIMIT = 256


def node_fields(cls: type) -> tuple[str, ...] | None:
    """The child field names of node class `cls`, read now; None when `cls` is not a node
    class. A `_fields` that cannot be read, or is neither a tuple nor a list, names none; a
    name that is not a str is passed over."""
    try:
        if cls is AST or not issubclass(cls, AST):
            return None
    except TypeError:
        return None
    try:
        fields = cls._fields
    except Exception:
        return ()
    if not isinstance(fields, (tuple, list)):
        return ()
    return tuple(name for name in tuple(fields) if isinstance(name, str))


def has_repeat(nodes: list) -> bool:
    return len(set(map(id, nodes))) != len(nodes)


def stored_children(node: object, info: dict) -> list:
    """The children the fast walks find below `node`, in order. `info` caches node_fields
    per class for one call."""
    cls = type(node)
    fields = info.get(cls, MISSING)
    if fields is MISSING:
        fields = info[cls] = node_fields(cls)
    if not fields:
        return []
    stored = node.__dict__
    out = []
    for name in fields:
        value = stored.get(name)
        if value is None:
            continue
        kind = type(value)
        if kind is list:
            for item in value:
                f = info.get(type(item), MISSING)
                if f is MISSING:
                    f = info[type(item)] = node_fields(type(item))
                if f is not None:
                    out.append(item)
        else:
            f = info.get(kind, MISSING)
            if f is MISSING:
                f = info[kind] = node_fields(kind)
            if f is not None:
                out.append(value)
    return out


def find_cycle(root: object, children) -> bool:
    """Whether a node below `root` is its own descendant, by `children`; each distinct
    node is expanded once."""
    state = {id(root): 1}  # 1: on the current path, 2: done
    stack = [(root, iter(children(root)))]
    while stack:
        node, pending = stack[-1]
        for child in pending:
            seen = state.get(id(child))
            if seen == 1:
                return True
            if seen is None:
                state[id(child)] = 1
                stack.append((child, iter(children(child))))
                break
        else:
            state[id(node)] = 2
            stack.pop()
    return False


def _dfs(node, keep: bool):
    """Pre-order below `node`: the list of nodes when `keep`, else their count. The stack
    holds one list of children per level (reversed, so that pop() takes the next one) and
    `path` the node each level belongs to, which the cycle check reads."""
    info: dict = {}
    out = [node]
    append = out.append
    count = 1
    get = info.get
    first = stored_children(node, info)
    if not first:
        return out if keep else 1
    first.reverse()
    stack = [first]
    path = [node]
    push, pop_level, push_path, pop_path = stack.append, stack.pop, path.append, path.pop
    limit = FIRST_DEPTH_LIMIT
    while stack:
        level = stack[-1]
        if not level:
            pop_level()
            pop_path()
            continue
        n = level.pop()
        if keep:
            append(n)
        else:
            count += 1
        fields = get(type(n), MISSING)
        if fields is MISSING:
            fields = info[type(n)] = node_fields(type(n))
        if not fields:
            continue
        stored = n.__dict__
        kids = []
        add = kids.append
        for name in fields:
            value = stored.get(name)
            if value is None:
                continue
            kind = type(value)
            if kind is list:
                for item in value:
                    f = get(type(item), MISSING)
                    if f is MISSING:
                        f = info[type(item)] = node_fields(type(item))
                    if f is not None:
                        add(item)
            else:
                f = get(kind, MISSING)
                if f is MISSING:
                    f = info[kind] = node_fields(kind)
                if f is not None:
                    add(value)
        if kids:
            kids.reverse()
            push(kids)
            push_path(n)
            if len(path) >= limit:
                if has_repeat(path):
                    raise cycle_error()
                limit *= 2
    return out if keep else count


def walk_dfs(node):
    return _dfs(node, True)


def walk_count(node):
    return _dfs(node, False)


_warned = False
WALK_WARNING = "sprig.walk is deprecated; use walk_dfs, which returns the same list"


def walk_deprecated(node):
    global _warned
    if not _warned:
        _warned = True  # set first: a warning turned into an error still uses it up
        # stacklevel 3: past this body and the binding wrapper, at the caller's line
        warnings.warn(WALK_WARNING, DeprecationWarning, stacklevel=3)
    return _dfs(node, True)


def walk_unordered(node):
    """Level by level: the root, its children, their children, and so on. A cycle makes the
    levels go on for ever; it is found once the depth passes the number of distinct nodes
    listed, or, where the list grows much faster than its distinct nodes, by a search."""
    info: dict = {}
    out = [node]
    level = [node]
    get = info.get
    depth = 0
    depth_limit = FIRST_DEPTH_LIMIT
    size_limit = 1 << 20
    while level:
        below = []
        add = below.append
        for n in level:
            fields = get(type(n), MISSING)
            if fields is MISSING:
                fields = info[type(n)] = node_fields(type(n))
            if not fields:
                continue
            stored = n.__dict__
            for name in fields:
                value = stored.get(name)
                if value is None:
                    continue
                kind = type(value)
                if kind is list:
                    for item in value:
                        f = get(type(item), MISSING)
                        if f is MISSING:
                            f = info[type(item)] = node_fields(type(item))
                        if f is not None:
                            add(item)
                else:
                    f = get(kind, MISSING)
                    if f is MISSING:
                        f = info[kind] = node_fields(kind)
                    if f is not None:
                        add(value)
        out += below
        level = below
        depth += 1
        if depth >= depth_limit or len(out) >= size_limit:
            distinct = len(set(map(id, out)))
            if depth >= distinct:
                raise cycle_error()  # a path longer than the distinct nodes repeats one
            if len(out) >= size_limit and len(out) > 8 * distinct:
                if find_cycle(node, lambda n: stored_children(n, info)):
                    raise cycle_error()
            if depth >= depth_limit:
                depth_limit *= 2
            if len(out) >= size_limit:
                size_limit *= 2
    return out
