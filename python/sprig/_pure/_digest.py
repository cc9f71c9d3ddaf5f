"""Digests: XXH3-128 over each node's record in the README's encoding, the same in every
process and on every machine. A node's record holds its class's identity and, for each
readable field, its position and value; a child node stands there as its own digest."""

import struct

from ._hashing import MISSING, bottom_up, nested

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


def _digests(root: object) -> dict:
    """{id(node): 16-byte digest} for `root` and every node below it."""
    identities: dict = {}

    def identity(cls: type) -> bytes:
        known = identities.get(cls)
        if known is None:
            known = identities[cls] = _identity(cls)
        return known

    def leaf(value: object) -> bytes:
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

    def node_digest(node: object, memo: dict, reader) -> bytes:
        cls = type(node)
        parts = [identity(cls)]
        add = parts.append
        stored = getattr(node, "__dict__", None)
        if type(stored) is not dict:
            stored = {}
        fields_of = reader.fields
        for i, name in enumerate(reader.root_fields(node)):
            value = stored.get(name, MISSING)
            if value is MISSING:
                try:
                    value = getattr(node, name)
                except AttributeError:
                    continue
            add(_POSITIONS[i] if i < 256 else i.to_bytes(4, "little"))
            if type(value) is list:
                add(b"\x02" + _U64(len(value)))
                items = value
            else:
                items = (value,)
            for item in items:
                if fields_of(type(item)) is not None:
                    d = memo.get(id(item))
                    add(b"\x01" + (d if d is not None else nested(item, _digests)))
                else:
                    add(leaf(item))
        return xxh3_128(b"".join(parts)).to_bytes(16, "little")

    return bottom_up(root, node_digest)


def subtree_digests(node):
    return {key: int.from_bytes(d, "little") for key, d in _digests(node).items()}


def subtree_digest(node):
    memo = _digests(node)
    if id(node) not in memo:
        raise RuntimeError("the tree changed while it was being hashed")
    return int.from_bytes(memo[id(node)], "little")
