"""The typed walks: walk_frontier, walk_frontier_edges, walk_of_types and
walk_frontier_events, and the child reading they share with hashing and the edits.

These read a field from the instance dictionary first and by attribute otherwise, so
properties and __getattr__ may run; an AttributeError leaves the field out."""

from ._frame import cycle_error
from ._kinds import kind_set, tuple_argument
from ._walks import FIRST_DEPTH_LIMIT, MISSING, has_repeat, node_fields


def field_values(node: object, fields: tuple, missing=MISSING):
    """(position, name, value) of each readable field of `node`, in order."""
    stored = getattr(node, "__dict__", None)
    if type(stored) is not dict:
        stored = {}
    for i, name in enumerate(fields):
        value = stored.get(name, missing)
        if value is missing:
            try:
                value = getattr(node, name)
            except AttributeError:
                continue
        yield i, name, value


class Reader:
    """Reads the children of nodes for one call; knows each class's fields from the first
    time the call meets it."""

    __slots__ = ("info",)

    def __init__(self) -> None:
        self.info: dict = {}

    def fields(self, cls: type):
        info = self.info
        fields = info.get(cls, MISSING)
        if fields is MISSING:
            fields = info[cls] = node_fields(cls)
        return fields

    def is_node(self, value: object) -> bool:
        return self.fields(type(value)) is not None

    def root_fields(self, node: object) -> tuple:
        """The fields read from a root: a root that is no node still has its class's
        `_fields` read, as a node's are."""
        fields = self.fields(type(node))
        if fields is not None:
            return fields
        try:
            fields = type(node)._fields
        except Exception:
            return ()
        if not isinstance(fields, (tuple, list)):
            return ()
        return tuple(name for name in tuple(fields) if isinstance(name, str))

    def children(self, node: object, fields=None) -> list:
        """The children of `node` in ast.iter_child_nodes order."""
        if fields is None:
            fields = self.fields(type(node))
        if not fields:
            return []
        info = self.info
        stored = getattr(node, "__dict__", None)
        if type(stored) is not dict:
            stored = {}
        out = []
        add = out.append
        for name in fields:
            value = stored.get(name, MISSING)
            if value is MISSING:
                try:
                    value = getattr(node, name)
                except AttributeError:
                    continue
            if value is None:
                continue
            kind = type(value)
            if kind is list:
                for item in value:
                    f = info.get(type(item), MISSING)
                    if f is MISSING:
                        f = info[type(item)] = node_fields(type(item))
                    if f is not None:
                        add(item)
            else:
                f = info.get(kind, MISSING)
                if f is MISSING:
                    f = info[kind] = node_fields(kind)
                if f is not None:
                    add(value)
        return out

    def edges(self, node: object, fields=None) -> list:
        """(child, node, field, index) for each child of `node`, in order; index is -1 for a
        field's own value, else the position in the list counting every element."""
        if fields is None:
            fields = self.fields(type(node))
        if not fields:
            return []
        out = []
        stored = getattr(node, "__dict__", None)
        if type(stored) is not dict:
            stored = {}
        for name in fields:
            value = stored.get(name, MISSING)
            if value is MISSING:
                try:
                    value = getattr(node, name)
                except AttributeError:
                    continue
            if type(value) is list:
                for i, item in enumerate(value):
                    if self.fields(type(item)) is not None:
                        out.append((item, node, name, i))
            elif self.fields(type(value)) is not None:
                out.append((value, node, name, -1))
        return out


class Guard:
    """The cycle check of a depth-first walk that keeps its ancestors in `path`: whenever the
    depth reaches a limit, which doubles each time, the path is checked for a repeat."""

    __slots__ = ("limit",)

    def __init__(self) -> None:
        self.limit = FIRST_DEPTH_LIMIT

    def check(self, path: list) -> None:
        if has_repeat(path):
            raise cycle_error()
        self.limit *= 2

    def check_ahead(self, path: list, below: list, expands) -> None:
        """The check where the native walks make it, for a walk whose `path` has reached
        the limit: on the first node taken next from `below` (last first; a node or an edge
        that starts with it) that the walk expands, before its children are read.
        `expands(node)` tells which it expands."""
        for entry in reversed(below):
            node = entry[0] if type(entry) is tuple else entry
            if expands(node):
                self.check(path + [node])
                return


def _frontier(node, kinds, expand, reader):
    """The matches below `node` in pre-order, none descended; `expand(n)` lists what is
    below n (children, or edges whose first item is the child)."""
    root_fields = reader.root_fields
    matches = kind_set(kinds)
    found = []
    stack = [expand(node, root_fields(node))[::-1]]
    path = [node]
    guard = Guard()
    while stack:
        level = stack[-1]
        if not level:
            stack.pop()
            path.pop()
            continue
        entry = level.pop()
        child = entry[0] if type(entry) is tuple else entry
        if type(child) in matches:
            found.append(entry)
            continue
        below = expand(child)
        if below:
            below.reverse()
            stack.append(below)
            path.append(child)
            if len(path) >= guard.limit:
                guard.check_ahead(path, below,
                                  lambda c: type(c) not in matches and reader.fields(type(c)))
    return found


def walk_frontier(node, kinds):
    kinds = tuple_argument(kinds, "kinds")
    reader = Reader()
    return _frontier(node, kinds, reader.children, reader)


def walk_frontier_edges(node, kinds):
    kinds = tuple_argument(kinds, "kinds")
    reader = Reader()
    return _frontier(node, kinds, reader.edges, reader)


def walk_of_types(node, kinds, prune):
    kinds = tuple_argument(kinds, "kinds")
    if prune is not None:
        prune = tuple_argument(prune, "prune")
    matches = kind_set(kinds)
    pruned = kind_set(prune) if prune else frozenset()
    reader = Reader()
    children = reader.children
    found = [node] if type(node) in matches else []
    stack = [children(node, reader.root_fields(node))[::-1]]
    path = [node]
    guard = Guard()
    while stack:
        level = stack[-1]
        if not level:
            stack.pop()
            path.pop()
            continue
        n = level.pop()
        kind = type(n)
        if kind in matches:
            found.append(n)
        if pruned and kind in pruned:
            continue
        below = children(n)
        if below:
            below.reverse()
            stack.append(below)
            path.append(n)
            if len(path) >= guard.limit:
                guard.check_ahead(path, below,
                                  lambda c: type(c) not in pruned and reader.fields(type(c)))
    return found


def walk_frontier_events(node, kinds, bracket):
    kinds = tuple_argument(kinds, "kinds")
    bracket = tuple_argument(bracket, "bracket")
    matches = kind_set(kinds)
    brackets = kind_set(bracket)
    reader = Reader()
    children = reader.children
    events = []
    add = events.append
    # Each level is a list of children still to visit, reversed; `path` holds the node of
    # each level, whose closing event comes when its level is done.
    first = children(node, reader.root_fields(node))
    closing = type(node) in brackets
    if closing:
        add((1, node))
    first.reverse()
    stack = [first]
    path = [node]
    closes = [closing]
    guard = Guard()
    while stack:
        level = stack[-1]
        if not level:
            stack.pop()
            n = path.pop()
            if closes.pop():
                add((2, n))
            continue
        n = level.pop()
        kind = type(n)
        if kind in matches:
            add((0, n))
            continue
        below = children(n)
        closing = kind in brackets
        if closing:
            add((1, n))
        elif not below:
            continue
        below.reverse()
        stack.append(below)
        path.append(n)
        closes.append(closing)
        if len(path) >= guard.limit:
            guard.check_ahead(path, below,
                              lambda c: type(c) not in matches and reader.fields(type(c)))
    return events
