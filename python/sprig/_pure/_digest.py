"""Digests: XXH3-128 over each node's record in the README's encoding, the same in every
process and on every machine. A node's record holds its class's identity and, for each
readable field, its position and value; a child node stands there as its own digest.

One depth-first pass reads every field once and writes each node's record, a child node
held in its slot until its digest is known. Records are then hashed in batches, a batch
hashing many records faster than one at a time: first every record that has no child in a
slot, then those of each height in turn, whose children all lie lower. A record met twice
in a call is hashed once.

That pass runs no Python code, and meets a tree's faults in an order of its own. Where it
would run some (a field read by attribute, the repr of a leaf of another type than those
the encoding knows, complex aside) or where it raises, the general run starts again from
scratch and does what the native module does, in its order: it collects the tree first,
as the hashes do, then writes the records backwards."""

import struct
from operator import itemgetter

from ._hashing import collect, nested
from ._typed import Guard, Reader, field_values
from ._walks import MISSING, has_repeat

try:
    from xxhash import xxh3_128_intdigest as xxh3_128
except ImportError:
    from ._xxh3 import xxh3_128, xxh3_128_entries as _entries
else:
    def _entries(records: list) -> list:
        """The entries (b"\\x01" + 16-byte digest) of `records`, in order."""
        return [b"\x01" + xxh3_128(r).to_bytes(16, "little") for r in records]


def _entry(record: bytes) -> bytes:
    return b"\x01" + xxh3_128(record).to_bytes(16, "little")


_U64 = struct.Struct("<Q").pack
_F64 = struct.Struct("<d").pack
_NAN = _U64(0x7FF8000000000000)
_M64 = (1 << 64) - 1
_CONSTANTS = {None: b"\x03", ...: b"\x04"}
_MODULE = type.__dict__["__module__"]
_QUALNAME = type.__dict__["__qualname__"]


def _text(s: str) -> bytes:
    data = s.encode("utf-8", "surrogatepass")
    return _U64(len(data)) + data


def _identity(cls: type) -> bytes:
    module, qualname = _MODULE.__get__(cls), _QUALNAME.__get__(cls)
    if not isinstance(module, str) or not isinstance(qualname, str):
        raise TypeError("a class's __module__ and __qualname__ must be str to be digested")
    return xxh3_128(_text(module) + _text(qualname)).to_bytes(16, "little")


def _leaf(value: object, identity) -> bytes:
    kind = type(value)
    if kind is str:
        return b"\x0a" + _text(value)
    if kind is int:
        if -(1 << 63) <= value < 1 << 63:
            return b"\x07" + _U64(value & _M64)
        n = ((value if value >= 0 else ~value).bit_length() + 8) // 8
        return b"\x08" + _U64(n) + value.to_bytes(n, "little", signed=True)
    if value is None or value is ...:
        return _CONSTANTS[value]
    if kind is bool:
        return b"\x06" if value else b"\x05"
    if kind is float:
        return b"\x09" + (_NAN if value != value else _F64(value))
    if kind is bytes:
        return b"\x0b" + _U64(len(value)) + value
    return b"\x0c" + identity(kind) + _text(repr(value))


def _hash_into(memo: dict, known: dict, keys: list, records: list) -> None:
    """Enters the digest of records[i] as memo[keys[i]], hashing each record not in
    `known` (record: entry) once."""
    fresh = [r for r in dict.fromkeys(records) if r not in known]
    if fresh:
        known.update(zip(fresh, _entries(fresh)))
    memo.update(zip(keys, map(known.__getitem__, records)))


def _digests(root: object) -> dict:
    """{id(node): b"\\x01" + 16-byte digest}, a child's entry in its parent's record, for
    `root` and every node below it."""
    try:
        return _one_pass(root)
    except _GiveUp:  # anything else, a signal handler's exception among them, goes up
        return _general(root)


def _one_pass(root: object) -> dict:
    reader = Reader()
    identities: dict = {}
    texts: dict = {}  # a str's encoding: names recur throughout a tree
    memo: dict = {}
    whole_keys: list = []  # the nodes whose records have no child in a slot
    whole: list = []
    # The other nodes by height (a node's height is one more than its highest child's; the
    # nodes without a child in a slot have 0): (id, record parts, slot indices) each. The
    # nodes of a height have all their children lower, and the lowest heights hold most.
    heights: list = [[]]
    opened: list = []  # the entries of the nodes in `path`, and the heights they have so far
    tops: list = []
    # The ids stay those of the nodes until the end: every node but the root is held by its
    # parent's record parts, the root by the caller.

    def identity(cls: type) -> bytes:
        known = identities.get(cls)
        if known is None:
            if type(_MODULE.__get__(cls)) is not str or type(_QUALNAME.__get__(cls)) is not str:
                raise _GiveUp  # a fault, which the general run raises in its order
            known = identities[cls] = _identity(cls)
        return known

    def plain_identity(cls: type) -> bytes:
        """identity(cls) for a leaf whose repr runs no Python code."""
        if cls is not complex:
            raise _GiveUp
        return identity(cls)

    def shape(cls: type):
        """What a call needs of a class: None for no node; for a node without fields (a
        context, an operator) its entry, its record being its identity alone; else its
        identity, a getter of its fields and their positions, and the fields."""
        fields = reader.fields(cls)
        if fields is None:
            made = None
        elif not fields:
            made = _entry(identity(cls))
        else:
            read = itemgetter(*fields) if len(fields) > 1 else itemgetter(fields[0], fields[0])
            positions = [i.to_bytes(4, "little") for i in range(len(fields))]
            made = identity(cls), read, positions, fields
        shapes[cls] = made
        return made

    shapes: dict = {}
    shapes_get = shapes.get
    # Depth first; a node's children are pushed above an end marker, whose turn comes when
    # they are all done, so that `path` holds the ancestors of the node in hand.
    stack = [root]
    push, pop = stack.append, stack.pop
    path: list = []
    guard = Guard()
    while stack:
        node = pop()
        if node is _END:
            # path[-1]'s children are all done: its height is one more than their highest
            path.pop()
            height = tops.pop()
            if tops and tops[-1] <= height:
                tops[-1] = height + 1
            if height == len(heights):
                heights.append([])
            heights[height].append(opened.pop())
            continue
        made = shapes_get(type(node), MISSING)
        if made is MISSING:
            made = shape(type(node))
        if type(made) is tuple:
            head, read, positions, fields = made
        elif made is None:  # only the root may be no node
            fields = reader.root_fields(node)
            head = identity(type(node))
            positions = [i.to_bytes(4, "little") for i in range(len(fields))]
            read = _unread
        else:
            memo[id(node)] = made
            continue
        try:
            stored = node.__dict__
        except AttributeError:
            raise _GiveUp from None
        if type(stored) is not dict:
            raise _GiveUp
        try:
            values = read(stored)
        except KeyError:
            raise _GiveUp from None  # a field read by attribute
        parts = [head]
        add = parts.append
        slots = None
        for position, value in zip(positions, values):
            add(position)
            kind = type(value)
            if kind is str:
                text = texts.get(value)
                if text is None:
                    text = texts[value] = b"\x0a" + _text(value)
                add(text)
                continue
            if value is None:
                add(b"\x03")
                continue
            if kind is not list:
                made = shapes_get(kind, MISSING)
                if made is MISSING:
                    made = shape(kind)
                if type(made) is tuple:
                    if slots is None:
                        slots = []
                        push(_END)
                    slots.append(len(parts))
                    push(value)
                    add(value)
                elif made is not None:
                    memo[id(value)] = made
                    add(made)
                else:
                    add(_leaf(value, plain_identity))
                continue
            # A list's items take a single value's steps, written out again: a helper call
            # per value would cost more than the steps.
            add(b"\x02" + _U64(len(value)))
            for item in value:
                made = shapes_get(type(item), MISSING)
                if made is MISSING:
                    made = shape(type(item))
                if type(made) is tuple:
                    if slots is None:
                        slots = []
                        push(_END)
                    slots.append(len(parts))
                    push(item)
                    add(item)
                elif made is not None:
                    memo[id(item)] = made
                    add(made)
                elif type(item) is str:
                    text = texts.get(item)
                    if text is None:
                        text = texts[item] = b"\x0a" + _text(item)
                    add(text)
                else:
                    add(_leaf(item, plain_identity))
        if slots is None:
            whole_keys.append(id(node))
            whole.append(b"".join(parts))
            continue
        opened.append((id(node), parts, slots))
        tops.append(1)
        path.append(node)
        if len(path) >= guard.limit:
            if has_repeat(path):
                raise _GiveUp  # a cycle, which the general run reports in its order
            guard.limit *= 2
    known: dict = {}
    _hash_into(memo, known, whole_keys, whole)
    join = b"".join
    for level in heights:
        keys = []
        records = []
        for key, parts, slots in level:
            for i in slots:
                parts[i] = memo[id(parts[i])]
            keys.append(key)
            records.append(join(parts))
        _hash_into(memo, known, keys, records)
    return memo


_END = object()


class _GiveUp(Exception):
    """The one pass met what would run Python code."""


def _general(root: object) -> dict:
    """_digests(root) with the faults met in the native module's order: the collection's
    (a cycle, a field that raises) first, then the records', the last collected node's
    first. Unbatched: it serves the trees the one pass gives up on."""
    reader = Reader()
    info_get = reader.info.get
    identities: dict = {}

    def identity(cls: type) -> bytes:
        known = identities.get(cls)
        if known is None:
            known = identities[cls] = _identity(cls)
        return known

    memo: dict = {}
    for node in reversed(collect(root, reader)):
        if id(node) in memo:
            continue
        parts = [identity(type(node))]
        add = parts.append
        fields = info_get(type(node), MISSING)
        if fields is MISSING or fields is None:
            fields = reader.root_fields(node)
        for i, _, value in field_values(node, fields):
            add(i.to_bytes(4, "little"))
            if type(value) is list:
                add(b"\x02" + _U64(len(value)))
                items = value
            else:
                items = (value,)
            for item in items:
                known = info_get(type(item), MISSING)
                if known is MISSING:
                    known = reader.fields(type(item))
                if known is None:
                    add(_leaf(item, identity))
                else:
                    entry = memo.get(id(item))
                    add(entry if entry is not None else nested(item, _general))
        memo[id(node)] = _entry(b"".join(parts))
    return memo


def _unread(stored: dict):
    raise KeyError  # a root that is no node: the general run reads its fields by name


def subtree_digests(node):
    return {key: int.from_bytes(d[1:], "little") for key, d in _digests(node).items()}


def subtree_digest(node):
    memo = _digests(node)
    return int.from_bytes(memo[id(node)][1:], "little")
