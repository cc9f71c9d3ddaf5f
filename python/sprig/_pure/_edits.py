"""The edits: set_parents and fix_missing_locations, in depth-first pre-order on an
explicit stack. Each write has the effect of setattr; what was written before a failure
stays."""

import ast
import types

from ._typed import Guard, Reader
from ._walks import MISSING

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")
PARENT = ("parent",)

# The __setattr__ entries that are the generic one: object's and ast.AST's own copy of it.
_GENERIC_SETATTR = [d for d in (vars(object).get("__setattr__"), vars(ast.AST).get("__setattr__"))
                    if d is not None]
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
            guard.check(path)
    return None


def _location_mask(cls: type) -> tuple[int, ...]:
    """The positions in LOCATIONS of the location attributes `cls` declares, in order."""
    try:
        names = cls._attributes
    except Exception:
        return ()
    if not isinstance(names, (tuple, list)):
        return ()
    names = [n for n in tuple(names) if isinstance(n, str)]
    return tuple(p for p, name in enumerate(LOCATIONS) if name in names)


def fix_missing_locations(node):
    """Every node that lacks a location attribute its class declares (an end position that
    is None counts as lacking) gets the value of its nearest ancestor that has it, else
    lineno 1, col_offset 0, end_lineno 1, end_col_offset 0. Presence is decided by the
    instance dictionary alone."""
    reader = Reader()
    children = reader.children
    masks: dict = {}
    writers: dict = {}
    start = (1, 0, 1, 0)
    stack = []   # levels of children still to visit, reversed
    frames = []  # the values each level's children inherit
    path = []
    guard = Guard()
    n, frame = node, start
    root_fields = reader.root_fields(node)
    while True:
        cls = type(n)
        mask = masks.get(cls)
        if mask is None:
            mask = masks[cls] = _location_mask(cls)
        if mask:
            stored = getattr(n, "__dict__", None)
            if type(stored) is not dict:
                stored = {}
            via = writers.get(cls, MISSING)
            if via is MISSING:
                via = writers[cls] = dictionary_writer(cls, LOCATIONS)
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
        below = children(n, root_fields)
        root_fields = None
        if below:
            below.reverse()
            stack.append(below)
            frames.append(frame)
            path.append(n)
            if len(path) >= guard.limit:
                guard.check(path)
        while stack and not stack[-1]:
            stack.pop()
            frames.pop()
            path.pop()
        if not stack:
            return node
        n, frame = stack[-1].pop(), frames[-1]
