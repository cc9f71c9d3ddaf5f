"""The edits: set_parents and fix_missing_locations, in depth-first pre-order on an
explicit stack. Each write has the effect of setattr; what was written before a failure
stays."""

import ast
import types

from ._typed import Guard, Reader
from ._walks import MISSING, node_fields

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")
PARENT = ("parent",)

# The __setattr__ entries that are the generic one: object's and ast.AST's own copy of it.
_GENERIC_SETATTR = [d for d in (vars(object).get("__setattr__"), vars(ast.AST).get("__setattr__"))
                    if d is not None]
# The same for __getattribute__: reading `node.__dict__` then runs no code of the class's.
_GENERIC_GETATTRIBUTE = [d for d in (vars(object).get("__getattribute__"),
                                     vars(ast.AST).get("__getattribute__")) if d is not None]
_MRO = type.__dict__["__mro__"].__get__
_OWN = type.__dict__["__dict__"].__get__
_store = dict.__setitem__


def _is_data_descriptor(value: object) -> bool:
    kind = type(value)
    return hasattr(kind, "__set__") or hasattr(kind, "__delete__")


def dictionary_writer(cls: type, names: tuple[str, ...]):
    """The `__dict__` descriptor of `cls` when setattr of any of `names` on an instance of
    `cls` would only store the value in the instance dictionary (the generic __setattr__, no
    data descriptor of those names, the instance dictionary of the runtime); else None.

    The edits then store into that dictionary themselves, holding it meanwhile: setattr
    does not hold it, and a key whose __eq__ replaces the instance's __dict__ during the
    store frees it under the store, which crashes CPython (seen from 3.11 to 3.15)."""
    setter = dictionary = MISSING
    pending = list(names)
    try:
        for klass in _MRO(cls):
            own = _OWN(klass)
            if setter is MISSING:
                setter = own.get("__setattr__", MISSING)
            if dictionary is MISSING:
                dictionary = own.get("__dict__", MISSING)
            for name in list(pending):
                found = own.get(name, MISSING)
                if found is not MISSING:
                    if _is_data_descriptor(found):
                        return None
                    pending.remove(name)
    except Exception:
        return None
    if not any(setter is generic for generic in _GENERIC_SETATTR):
        return None
    if type(dictionary) is not types.GetSetDescriptorType:
        return None
    return dictionary


def _plain_reads(cls: type) -> bool:
    """Whether attribute reads of instances of `cls` are the generic ones."""
    try:
        for klass in _MRO(cls):
            found = _OWN(klass).get("__getattribute__", MISSING)
            if found is not MISSING:
                return any(found is generic for generic in _GENERIC_GETATTRIBUTE)
    except Exception:
        pass
    return False


def _write(node: object, name: str, value: object, names: tuple[str, ...],
           writers: dict) -> None:
    """setattr(node, name, value); `writers` remembers each class's dictionary_writer for
    one call."""
    cls = type(node)
    via = writers.get(cls, MISSING)
    if via is MISSING:
        via = writers[cls] = dictionary_writer(cls, names)
    if via is None:
        setattr(node, name, value)
    else:
        _store(via.__get__(node, cls), name, value)


def _write_parents(children: list, parent: object, writers: dict) -> None:
    """_write(child, "parent", parent) for each child, the common case inline."""
    for child in children:
        cls = type(child)
        via = writers.get(cls, MISSING)
        if via is MISSING:
            via = writers[cls] = dictionary_writer(cls, PARENT)
        if via is None:
            child.parent = parent
        else:
            _store(via.__get__(child, cls), "parent", parent)


def set_parents(node):
    reader = Reader()
    children = reader.children
    writers: dict = {}
    stack = []
    path = []
    guard = Guard()
    below = children(node, reader.root_fields(node))
    _write_parents(below, node, writers)
    if below:
        below.reverse()
        stack.append(below)
        path.append(node)
    while stack:
        level = stack[-1]
        if not level:
            stack.pop()
            path.pop()
            continue
        p = level.pop()
        below = children(p)
        if not below:
            continue
        _write_parents(below, p, writers)
        below.reverse()
        stack.append(below)
        path.append(p)
        if len(path) >= guard.limit:
            # before any write of the next level: a failure leaves the same writes behind
            guard.check_ahead(path, below, lambda c: reader.fields(type(c)))
    return None


def _location_mask(cls: type) -> tuple[int, ...]:
    """The positions in LOCATIONS of the location attributes `cls` declares, in order;
    _ALL itself where it declares all four."""
    try:
        names = cls._attributes
    except Exception:
        return ()
    if not isinstance(names, (tuple, list)):
        return ()
    names = [n for n in tuple(names) if isinstance(n, str)]
    mask = tuple(p for p, name in enumerate(LOCATIONS) if name in names)
    return _ALL if mask == _ALL else mask


_ALL = (0, 1, 2, 3)


def fix_missing_locations(node):
    """Every node that lacks a location attribute its class declares (an end position that
    is None counts as lacking) gets the value of its nearest ancestor that has it, else
    lineno 1, col_offset 0, end_lineno 1, end_col_offset 0. Presence is decided by the
    instance dictionary alone."""
    reader = Reader()
    children = reader.children
    info = reader.info
    # class -> its _location_mask, its dictionary_writer when located, its child fields
    classes: dict = {}
    writers: dict = {}
    start = (1, 0, 1, 0)
    stack = []   # levels of children still to visit, reversed
    frames = []  # the values each level's children inherit
    path = []
    guard = Guard()
    limit = guard.limit
    n, frame = node, start
    root_fields = reader.root_fields(node)
    while True:
        cls = type(n)
        known = classes.get(cls)
        if known is None:
            mask = _location_mask(cls)
            via = dictionary_writer(cls, LOCATIONS) if mask else None
            if mask:
                writers[cls] = via
            # Where the edits may store into the dictionary and reads are the generic ones,
            # `n.__dict__[name] = value` is that store, the dictionary held meanwhile.
            plain = mask is _ALL and via is not None and _plain_reads(cls)
            known = classes[cls] = (mask, via, reader.fields(cls), plain)
        mask, via, fields, plain = known
        if mask:
            if plain:
                # The located classes of the ast module: the loop below, written out. A
                # store runs no code unless the dictionary holds an odd key, and the class
                # is checked again before each store.
                stored = n.__dict__
                lineno, col_offset, end_lineno, end_col_offset = frame
                value = stored.get("lineno", MISSING)
                if value is MISSING:
                    if type(n) is cls:
                        n.__dict__["lineno"] = lineno
                    else:
                        _write(n, "lineno", lineno, LOCATIONS, writers)
                else:
                    lineno = value
                value = stored.get("col_offset", MISSING)
                if value is MISSING:
                    if type(n) is cls:
                        n.__dict__["col_offset"] = col_offset
                    else:
                        _write(n, "col_offset", col_offset, LOCATIONS, writers)
                else:
                    col_offset = value
                value = stored.get("end_lineno", MISSING)
                if value is MISSING or value is None:
                    if type(n) is cls:
                        n.__dict__["end_lineno"] = end_lineno
                    else:
                        _write(n, "end_lineno", end_lineno, LOCATIONS, writers)
                else:
                    end_lineno = value
                value = stored.get("end_col_offset", MISSING)
                if value is MISSING or value is None:
                    if type(n) is cls:
                        n.__dict__["end_col_offset"] = end_col_offset
                    else:
                        _write(n, "end_col_offset", end_col_offset, LOCATIONS, writers)
                else:
                    end_col_offset = value
                frame = (lineno, col_offset, end_lineno, end_col_offset)
            else:
                stored = getattr(n, "__dict__", None)
                if type(stored) is not dict:
                    stored = {}
                values = list(frame)
                for p in mask:
                    name = LOCATIONS[p]
                    value = stored.get(name, MISSING)
                    if value is MISSING or (value is None and p >= 2):
                        if via is not None and type(n) is cls:
                            _store(via.__get__(n, cls), name, values[p])
                        else:  # a write before this one may have changed the node's class
                            _write(n, name, values[p], LOCATIONS, writers)
                    else:
                        values[p] = value
                frame = tuple(values)
        if len(path) >= limit and reader.fields(type(n)):
            # after the node's own writes, before its children are read, as the native
            # module checks: a failure leaves the same writes behind
            guard.check(path + [n])
            limit = guard.limit
        if root_fields is not None:
            below = children(n, root_fields)
            root_fields = None
        elif type(n) is not cls:  # a write changed the node's class
            below = children(n)
        elif fields:
            # children(n, fields), written out: a call per node costs as much as this does
            if plain:
                stored = n.__dict__
            else:
                stored = getattr(n, "__dict__", None)
                if type(stored) is not dict:
                    stored = {}
            below = []
            for name in fields:
                value = stored.get(name, MISSING)
                if value is MISSING:
                    try:
                        value = getattr(n, name)
                    except AttributeError:
                        continue
                if value is None:
                    continue
                if type(value) is list:
                    for item in value:
                        f = info.get(type(item), MISSING)
                        if f is MISSING:
                            f = info[type(item)] = node_fields(type(item))
                        if f is not None:
                            below.append(item)
                else:
                    f = info.get(type(value), MISSING)
                    if f is MISSING:
                        f = info[type(value)] = node_fields(type(value))
                    if f is not None:
                        below.append(value)
        else:
            below = None
        if below:
            below.reverse()
            stack.append(below)
            frames.append(frame)
            path.append(n)
        while stack and not stack[-1]:
            stack.pop()
            frames.pop()
            path.pop()
        if not stack:
            return node
        n, frame = stack[-1].pop(), frames[-1]
