"""The edits: set_parents and fix_missing_locations, in depth-first pre-order on an
explicit stack. Writes go through setattr; what was written before a failure stays."""

from ._typed import Guard, Reader
from ._walks import MISSING

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")


def set_parents(node):
    reader = Reader()
    children = reader.children
    stack = []
    path = []
    guard = Guard()
    below = children(node, reader.root_fields(node))
    for child in below:
        child.parent = node
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
        for child in below:
            child.parent = p
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
            values = list(frame)
            for p in mask:
                name = LOCATIONS[p]
                value = stored.get(name, MISSING)
                if value is MISSING or (value is None and p >= 2):
                    setattr(n, name, values[p])
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
