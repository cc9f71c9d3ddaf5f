"""Digests: XXH3-128 over each node's record in the README's encoding, the same in every
process and on every machine. A node's record holds its class's identity and, for each
readable field, its position and value; a child node stands there as its own digest."""

import struct

from ._hashing import MISSING, collect, nested
from ._typed import Reader

try:
    from xxhash import xxh3_128_intdigest as xxh3_128
except ImportError:
    from ._xxh3 import xxh3_128

_U64 = struct.Struct("<Q").pack
_F64 = struct.Struct("<d").pack
_NAN = _U64(0x7FF8000000000000)
_M64 = (1 << 64) - 1
_POSITIONS = [i.to_bytes(4, "little") for i in range(256)]
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


def _digests(root: object) -> dict:
    """{id(node): b"\\x01" + 16-byte digest}, a child's entry in its parent's record, for
    `root` and every node below it."""
    reader = Reader()
    info_get = reader.info.get
    identities: dict = {}
    texts: dict = {}  # a str leaf's encoding: names recur throughout a tree

    def identity(cls: type) -> bytes:
        known = identities.get(cls)
        if known is None:
            known = identities[cls] = _identity(cls)
        return known

    memo: dict = {}
    for node in reversed(collect(root, reader)):
        key = id(node)
        if key in memo:
            continue
        cls = type(node)
        head = identities.get(cls)
        parts = [head if head is not None else identity(cls)]
        add = parts.append
        stored = getattr(node, "__dict__", None)
        if type(stored) is not dict:
            stored = {}
        fields = info_get(cls, MISSING)
        if fields is MISSING or fields is None:
            fields = reader.root_fields(node)
        positions = _POSITIONS if len(fields) <= 256 else _positions(len(fields))
        for position, name in zip(positions, fields):
            value = stored.get(name, MISSING)
            if value is MISSING:
                try:
                    value = getattr(node, name)
                except AttributeError:
                    continue
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
            if kind is list:
                add(b"\x02" + _U64(len(value)))
                items = value
            else:
                items = (value,)
            for item in items:
                k = info_get(type(item), MISSING)
                if k is MISSING:
                    k = reader.fields(type(item))
                if k is not None:
                    d = memo.get(id(item))
                    add(d if d is not None else nested(item, _digests))
                elif type(item) is str:
                    text = texts.get(item)
                    if text is None:
                        text = texts[item] = b"\x0a" + _text(item)
                    add(text)
                else:
                    add(_leaf(item, identity))
        memo[key] = b"\x01" + xxh3_128(b"".join(parts)).to_bytes(16, "little")
    return memo


def _positions(count: int) -> list:
    return [i.to_bytes(4, "little") for i in range(count)]


def subtree_digests(node):
    return {key: int.from_bytes(d[1:], "little") for key, d in _digests(node).items()}


def subtree_digest(node):
    memo = _digests(node)
    if id(node) not in memo:
        raise RuntimeError("the tree changed while it was being hashed")
    return int.from_bytes(memo[id(node)][1:], "little")
