"""XXH3-128 with seed 0 and the default secret, in Python, written from xxHash's published
description of the algorithm. Used only where no `xxhash` module can be imported."""

import operator
import sys
from itertools import repeat
from struct import Struct, unpack as _unpack

M64 = (1 << 64) - 1
P32_1, P32_2, P32_3 = 0x9E3779B1, 0x85EBCA77, 0xC2B2AE3D
P64_1, P64_2, P64_3 = 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9
P64_4, P64_5 = 0x85EBCA77C2B2AE63, 0x27D4EB2F165667C5
PRIME_MX1, PRIME_MX2 = 0x165667919E3779F9, 0x9FB21C651E98DF25

SECRET = bytes.fromhex(
    "b8fe6c3923a44bbe7c01812cf721ad1cded46de9839097db7240a4a4b7b3671f"
    "cb79e64eccc0e578825ad07dccff7221b8084674f743248ee03590e6813a264c"
    "3c2852bb91c300cb88d0658b1b532ea371644897a20df94e3819ef46a9deacd8"
    "a8fa763fe39c343ff9dcbbc7c70b4f1d8a51e04bcdb45931c89f7ec9d9787364"
    "eac5ac8334d3ebc3c581a0fffa1363eb170ddd51b7f0da49d316552629d4689e"
    "2b16be587d47a1fc8ff8b8d17ad031ce45cb3a8f95160428afd7fbcabb4b407e")
_U32 = Struct("<I").unpack_from
_U64 = Struct("<Q").unpack_from
_U64x8 = Struct("<8Q").unpack_from
# The secret as 64-bit words at every byte offset the short inputs use.
_S = {i: _U64(SECRET, i)[0] for i in range(0, 185)}


def _avalanche(h: int) -> int:
    h ^= h >> 37
    h = (h * PRIME_MX1) & M64
    return h ^ (h >> 32)


def _avalanche64(h: int) -> int:
    h ^= h >> 33
    h = (h * P64_2) & M64
    h ^= h >> 29
    h = (h * P64_3) & M64
    return h ^ (h >> 32)


def _finish(lo: int, hi: int, n: int) -> int:
    h = (lo + hi) & M64
    h ^= h >> 37
    h = (h * PRIME_MX1) & M64
    low = h ^ (h >> 32)
    h = (lo * P64_1 + hi * P64_4 + _LENGTH_P2[n]) & M64
    h ^= h >> 37
    h = (h * PRIME_MX1) & M64
    return ((-(h ^ (h >> 32))) & M64) << 64 | low


# The mixing steps below keep their sums unmasked: carries only run upwards and a product's
# low 64 bits depend only on its factors' low 64 bits, so the low 64 bits stay exact and one
# mask at the end serves. A 128-bit product p folds to its halves' xor as p ^ (p >> 64),
# exact in the low 64 bits likewise.

# 17 to 128 bytes: round i mixes the 16 bytes at 16 * i with the secret's at 32 * i and the
# 16 bytes ending 16 * i before the end with those at 32 * i + 16; the last round first.
# The words of all rounds are read by two calls, those from the start and those up to the
# end; the rounds are written out: a loop costs a fifth more at this size.
_K = [_S[8 * i] for i in range(16)]
_WORDS = [Struct(f"<{2 * r}Q").unpack_from for r in range(15)]
_LENGTH_P1 = [(n * P64_1) & M64 for n in range(241)]
_LENGTH_P2 = [(n * P64_2) & M64 for n in range(241)]


def _up_to_128(data: bytes, n: int) -> int:
    k = _K
    lo, hi = _LENGTH_P1[n], 0
    if n > 32:
        if n > 64:
            if n > 96:
                a0, a1, a2, a3, a4, a5, a6, a7 = _WORDS[4](data, 0)
                b6, b7, b4, b5, b2, b3, b0, b1 = _WORDS[4](data, n - 64)
                p = (a6 ^ k[12]) * (a7 ^ k[13])
                lo = (lo + (p ^ p >> 64)) ^ (b6 + b7)
                p = (b6 ^ k[14]) * (b7 ^ k[15])
                hi = (hi + (p ^ p >> 64)) ^ (a6 + a7)
            else:
                a0, a1, a2, a3, a4, a5 = _WORDS[3](data, 0)
                b4, b5, b2, b3, b0, b1 = _WORDS[3](data, n - 48)
            p = (a4 ^ k[8]) * (a5 ^ k[9])
            lo = (lo + (p ^ p >> 64)) ^ (b4 + b5)
            p = (b4 ^ k[10]) * (b5 ^ k[11])
            hi = (hi + (p ^ p >> 64)) ^ (a4 + a5)
        else:
            a0, a1, a2, a3 = _WORDS[2](data, 0)
            b2, b3, b0, b1 = _WORDS[2](data, n - 32)
        p = (a2 ^ k[4]) * (a3 ^ k[5])
        lo = (lo + (p ^ p >> 64)) ^ (b2 + b3)
        p = (b2 ^ k[6]) * (b3 ^ k[7])
        hi = (hi + (p ^ p >> 64)) ^ (a2 + a3)
    else:
        a0, a1 = _WORDS[1](data, 0)
        b0, b1 = _WORDS[1](data, n - 16)
    p = (a0 ^ k[0]) * (a1 ^ k[1])
    lo = (lo + (p ^ p >> 64)) ^ (b0 + b1)
    p = (b0 ^ k[2]) * (b1 ^ k[3])
    hi = ((hi + (p ^ p >> 64)) ^ (a0 + a1)) & M64
    lo &= M64
    # _finish(lo, hi, n), written out: a call costs a twentieth of the whole here
    h = (lo + hi) & M64
    h ^= h >> 37
    h = (h * PRIME_MX1) & M64
    low = h ^ (h >> 32)
    h = (lo * P64_1 + hi * P64_4 + _LENGTH_P2[n]) & M64
    h ^= h >> 37
    h = (h * PRIME_MX1) & M64
    return ((-(h ^ (h >> 32))) & M64) << 64 | low


# 129 to 240 bytes: 32-byte rounds against the secret at 32 * i for the first four, at
# 3 + 32 * (i - 4) after them, and the last 32 bytes against the secret's end.
_LONG_ROUND_AT = [32 * i if i < 4 else 3 + 32 * (i - 4) for i in range(7)]
_LONG_ROUND_KEYS = [(_S[s], _S[s + 8], _S[s + 16], _S[s + 24]) for s in _LONG_ROUND_AT]
_TAIL_KEYS = (_S[103], _S[111], _S[119], _S[127])


def _up_to_240(data: bytes, n: int) -> int:
    # The first four rounds, which all lengths have, written out: a tenth faster than a loop.
    k = _K
    words = _WORDS[2 * (n // 32)](data, 0)
    a0, a1, b0, b1, c0, c1, d0, d1 = words[:8]
    p = (a0 ^ k[0]) * (a1 ^ k[1])
    lo = (_LENGTH_P1[n] + (p ^ p >> 64)) ^ (b0 + b1)
    p = (b0 ^ k[2]) * (b1 ^ k[3])
    hi = (p ^ p >> 64) ^ (a0 + a1)
    p = (c0 ^ k[4]) * (c1 ^ k[5])
    lo = (lo + (p ^ p >> 64)) ^ (d0 + d1)
    p = (d0 ^ k[6]) * (d1 ^ k[7])
    hi = (hi + (p ^ p >> 64)) ^ (c0 + c1)
    a0, a1, b0, b1, c0, c1, d0, d1 = words[8:16]
    p = (a0 ^ k[8]) * (a1 ^ k[9])
    lo = (lo + (p ^ p >> 64)) ^ (b0 + b1)
    p = (b0 ^ k[10]) * (b1 ^ k[11])
    hi = (hi + (p ^ p >> 64)) ^ (a0 + a1)
    p = (c0 ^ k[12]) * (c1 ^ k[13])
    lo = _avalanche(((lo + (p ^ p >> 64)) ^ (d0 + d1)) & M64)
    p = (d0 ^ k[14]) * (d1 ^ k[15])
    hi = _avalanche(((hi + (p ^ p >> 64)) ^ (c0 + c1)) & M64)
    for i in range(16, len(words), 4):
        k0, k1, k2, k3 = _LONG_ROUND_KEYS[i >> 2]
        a0, a1, b0, b1 = words[i:i + 4]
        p = (a0 ^ k0) * (a1 ^ k1)
        lo = (lo + (p ^ p >> 64)) ^ (b0 + b1)
        p = (b0 ^ k2) * (b1 ^ k3)
        hi = (hi + (p ^ p >> 64)) ^ (a0 + a1)
    # The last 32 bytes, the halves swapped.
    b0, b1, a0, a1 = _WORDS[2](data, n - 32)
    k0, k1, k2, k3 = _TAIL_KEYS
    p = (a0 ^ k0) * (a1 ^ k1)
    lo = (lo + (p ^ p >> 64)) ^ (b0 + b1)
    p = (b0 ^ k2) * (b1 ^ k3)
    hi = (hi + (p ^ p >> 64)) ^ (a0 + a1)
    return _finish(lo & M64, hi & M64, n)


# More than 240 bytes: stripes of 64 bytes into eight accumulators, blocks of 16 stripes,
# stripe s of a block keyed by the secret at 8 * s, the accumulators scrambled after each
# full block; then the stripes left and the input's last 64 bytes, keyed by the secret at
# 121. Lane i of a stripe adds the data word of lane i ^ 1 and the product of its keyed
# word's 32-bit halves; additions commute within a group, so a group is one sum per lane.
_SCRAMBLE = _U64x8(SECRET, 192 - 64)
_XOR, _MUL = operator.xor, operator.mul

# On PyPy: each lane's sum over a group by C loops (map, sum) over the group's words, read
# at once, rather than word by word.
_SECRET32 = Struct("<48I").unpack_from(SECRET, 0)
_STRIPE_KEYS32 = [_SECRET32[2 * s:2 * s + 16] for s in range(17)]
_BLOCK_KEYS32 = tuple(k for s in range(16) for k in _STRIPE_KEYS32[s])
_READ64 = [Struct(f"<{8 * s}Q").unpack_from for s in range(17)]
_READ32 = [Struct(f"<{16 * s}I").unpack_from for s in range(17)]
_LAST_KEYS32 = Struct("<16I").unpack_from(SECRET, 192 - 64 - 7)


def _stripes(acc: list, data: bytes, at: int, count: int, keys32) -> None:
    """Adds `count` stripes from `at`, keyed by `keys32` (16 halves per stripe), to `acc`."""
    halves = list(map(_XOR, _READ32[count](data, at), keys32))
    products = list(map(_MUL, halves[0::2], halves[1::2]))
    words = _READ64[count](data, at)
    for i in range(8):
        acc[i] += sum(products[i::8]) + sum(words[i ^ 1::8])


def _long_lists(data: bytes, n: int) -> int:
    acc = [P32_3, P64_1, P64_2, P64_3, P64_4, P32_2, P64_5, P32_1]
    blocks = (n - 1) // 1024
    for b in range(blocks):
        _stripes(acc, data, 1024 * b, 16, _BLOCK_KEYS32)
        for i in range(8):
            a = acc[i] & M64
            a ^= a >> 47
            acc[i] = ((a ^ _SCRAMBLE[i]) * P32_1) & M64
    rest = (n - 1 - 1024 * blocks) // 64
    if rest:
        _stripes(acc, data, 1024 * blocks, rest, _BLOCK_KEYS32[:16 * rest])
    _stripes(acc, data, n - 64, 1, _LAST_KEYS32)
    acc = [a & M64 for a in acc]

    def merge(at: int, start: int) -> int:
        r = start
        for i in range(4):
            p = (acc[2 * i] ^ _U64(SECRET, at + 16 * i)[0]) * \
                (acc[2 * i + 1] ^ _U64(SECRET, at + 16 * i + 8)[0])
            r += p ^ (p >> 64)
        return _avalanche(r & M64)

    low = merge(11, n * P64_1)
    high = merge(192 - 64 - 11, ~(n * P64_2) & M64)
    return high << 64 | low


# On CPython, as in the lanes below, the arithmetic runs on huge ints, one op for many
# values: a group's stripes are read and keyed at once (one xor with the keys' bytes), and
# only the products of halves go through C loops (map) over lists. The sums are made in
# 128-bit slots, 64-bit values with room for carries: per stripe, lanes 0, 2, 4, 6 in one
# chunk of 512 bits, the "even" chunks, and lanes 1, 3, 5, 7 in an "odd" chunk; the even
# chunks of all stripes come first, then one empty, then the odd ones. Data words reach
# their slots by shifts and masks (word 2k + 1 feeds lane 2k, word 2k lane 2k + 1),
# products by struct padding, and adding halves of the chunks onto the others sums the
# stripes. The slots stay under 2**70; only their low 64 bits count.
_CHUNK_BITS = 512
_SLOTS64 = [int.from_bytes((b"\xff" * 8 + bytes(8)) * 4 * s, "little") for s in range(18)]


class _Group:
    """How a group of `s` stripes is read and summed."""

    __slots__ = ("halves", "spread", "odd_at", "folds")

    def __init__(self, s: int) -> None:
        self.halves = Struct(f"<{16 * s}I").unpack_from
        # the products of even lanes, then those of odd lanes, each in its slot
        self.spread = Struct("<" + "Q8x" * 4 * s + "64x" + "Q8x" * 4 * s).pack
        # one chunk between the two kinds keeps them apart while folding odd counts
        self.odd_at = _CHUNK_BITS * (s + 1)
        self.folds = []
        while s > 1:  # (mask, shift): the upper half of both kinds onto their lower half
            half = (s + 1) >> 1
            keep = (1 << _CHUNK_BITS * half) - 1
            self.folds.append((keep | keep << self.odd_at, _CHUNK_BITS * half))
            s = half


_GROUPS = [_Group(s) if s else None for s in range(17)]
_KEYS_INT = int.from_bytes(b"".join(SECRET[8 * s:8 * s + 64] for s in range(16)), "little")
# Per count of stripes before the input's last 64 bytes, the keys of them all.
_TAIL_KEYS_INT = [int.from_bytes(b"".join(SECRET[8 * s:8 * s + 64] for s in range(r))
                                 + SECRET[121:185], "little") for r in range(16)]
_LOW_CHUNK = (1 << _CHUNK_BITS) - 1


def _stripe_sums(taken: bytes, keys: int, s: int) -> int:
    """Per lane, the sum over the `s` stripes of `taken`: the even lanes' slots, then the
    odd lanes'."""
    group = _GROUPS[s]
    words = int.from_bytes(taken, "little")
    h = group.halves((words ^ keys).to_bytes(64 * s, "little"))
    mask = _SLOTS64[s]
    products = group.spread(*map(_MUL, h[0::4], h[1::4]), *map(_MUL, h[2::4], h[3::4]))
    v = int.from_bytes(products, "little") + (
        ((words >> 64) & mask) | ((words & mask) << group.odd_at))
    for keep, shift in group.folds:
        v = (v & keep) + ((v >> shift) & keep)
    return (v & _LOW_CHUNK) | (v >> (group.odd_at - _CHUNK_BITS))


_LANE_SLOTS = Struct("<" + "Q8x" * 8)  # eight lanes in 128-bit slots: the even, then the odd


def _in_slots(values) -> int:
    """Eight lane values laid out as `_stripe_sums` lays out its sums."""
    return int.from_bytes(_LANE_SLOTS.pack(*values[0::2], *values[1::2]), "little")


_ACC = _in_slots([P32_3, P64_1, P64_2, P64_3, P64_4, P32_2, P64_5, P32_1])
_SCRAMBLE_SLOTS = _in_slots(_U64x8(SECRET, 192 - 64))
_SLOTS64_8 = _SLOTS64[2]
# The secret's words xored into the lanes, lane i's at 8 * i: the low half's merge, then the
# high half's.
_MERGE_KEYS = tuple(_S[at + 8 * i] for at in (11, 117) for i in range(8))


def _long_slots(data: bytes, n: int) -> int:
    blocks = (n - 1) // 1024
    acc = _ACC
    low64s = _SLOTS64_8
    for at in range(0, 1024 * blocks, 1024):
        a = (acc + _stripe_sums(data[at:at + 1024], _KEYS_INT, 16)) & low64s
        acc = ((((a ^ (a >> 47)) & low64s) ^ _SCRAMBLE_SLOTS) * P32_1) & low64s
    at = 1024 * blocks
    rest = (n - 1 - at) // 64
    taken = data[at:at + 64 * rest] + data[n - 64:]
    acc += _stripe_sums(taken, _TAIL_KEYS_INT[rest], rest + 1)
    a0, a2, a4, a6, a1, a3, a5, a7 = _LANE_SLOTS.unpack(acc.to_bytes(128, "little"))
    # The merges, written out: maps and lists would cost a third more.
    m = _MERGE_KEYS
    p = (a0 ^ m[0]) * (a1 ^ m[1])
    r = p ^ p >> 64
    p = (a2 ^ m[2]) * (a3 ^ m[3])
    r += p ^ p >> 64
    p = (a4 ^ m[4]) * (a5 ^ m[5])
    r += p ^ p >> 64
    p = (a6 ^ m[6]) * (a7 ^ m[7])
    h = (r + (p ^ p >> 64) + n * P64_1) & M64
    h ^= h >> 37
    h = (h * PRIME_MX1) & M64
    low = h ^ (h >> 32)
    p = (a0 ^ m[8]) * (a1 ^ m[9])
    r = p ^ p >> 64
    p = (a2 ^ m[10]) * (a3 ^ m[11])
    r += p ^ p >> 64
    p = (a4 ^ m[12]) * (a5 ^ m[13])
    r += p ^ p >> 64
    p = (a6 ^ m[14]) * (a7 ^ m[15])
    h = (r + (p ^ p >> 64) - n * P64_2 - 1) & M64  # + ~(n * P64_2), mod 2**64
    h ^= h >> 37
    h = (h * PRIME_MX1) & M64
    return (h ^ (h >> 32)) << 64 | low


# CPython runs the slots' version 1.5 to 2 times as fast as the lists'; PyPy the lists'
# two to three times as fast as the slots' from 500 bytes.
_long = _long_slots if sys.implementation.name == "cpython" else _long_lists


def xxh3_128(data: bytes) -> int:
    """XXH3-128 of `data` as the integer high64 * 2**64 + low64."""
    n = len(data)
    if n > 16:
        if n <= 128:
            return _up_to_128(data, n)
        return _up_to_240(data, n) if n <= 240 else _long(data, n)
    if n > 8:
        flip_lo = _S[32] ^ _S[40]
        flip_hi = _S[48] ^ _S[56]
        lo_in = _U64(data, 0)[0]
        hi_in = _U64(data, n - 8)[0]
        m = (lo_in ^ hi_in ^ flip_lo) * P64_1
        m_lo = ((m & M64) + ((n - 1) << 54)) & M64
        m_hi = m >> 64
        hi_in ^= flip_hi
        m_hi = (m_hi + hi_in + (hi_in & 0xFFFFFFFF) * (P32_2 - 1)) & M64
        m_lo ^= int.from_bytes(m_hi.to_bytes(8, "little"), "big")
        h = m_lo * P64_2
        h_lo = h & M64
        h_hi = ((h >> 64) + m_hi * P64_2) & M64
        return _avalanche(h_hi) << 64 | _avalanche(h_lo)
    if n >= 4:
        value = _U32(data, 0)[0] + (_U32(data, n - 4)[0] << 32)
        keyed = value ^ (_S[16] ^ _S[24])
        m = keyed * ((P64_1 + (n << 2)) & M64)
        m_lo, m_hi = m & M64, m >> 64
        m_hi = (m_hi + (m_lo << 1)) & M64
        m_lo ^= m_hi >> 3
        m_lo ^= m_lo >> 35
        m_lo = (m_lo * PRIME_MX2) & M64
        m_lo ^= m_lo >> 28
        return _avalanche(m_hi) << 64 | m_lo
    if n:
        combined_lo = (data[0] << 16) | (data[n >> 1] << 24) | data[n - 1] | (n << 8)
        swapped = int.from_bytes(combined_lo.to_bytes(4, "little"), "big")
        combined_hi = ((swapped << 13) | (swapped >> 19)) & 0xFFFFFFFF
        flip_lo = _U32(SECRET, 0)[0] ^ _U32(SECRET, 4)[0]
        flip_hi = _U32(SECRET, 8)[0] ^ _U32(SECRET, 12)[0]
        return _avalanche64(combined_hi ^ flip_hi) << 64 | _avalanche64(combined_lo ^ flip_lo)
    return _avalanche64(_S[80] ^ _S[88]) << 64 | _avalanche64(_S[64] ^ _S[72])


# Many records of 17 to 240 bytes at once. Every operation on a Python int allocates, so the
# per-record arithmetic of `_up_to_128` costs far more than the arithmetic itself. Here the
# records of one round count are hashed side by side: each value of every record lives in a
# lane of one huge int, and one operation on that int does the work of all records, except
# the 64 x 64 -> 128-bit products of two variables, which C loops (map) compute over lists.
#
# A lane is 17 bytes (136 bits): room for a 128-bit product, so that multiplying a packed
# int whose lanes hold 64-bit values by a 64-bit constant is exact in every lane, and for the
# final entry, b"\x01" and the 16 digest bytes, so that the last packed int is the entries
# side by side. Lane i is record i's. Adding lanes that hold less than 2**135 never carries
# into the next lane; a right shift pulls the next lane's low bits into this lane's top,
# above bit 64, so a mask to the low 64 bits (`low64s`) follows wherever that matters. The
# rounds' sums stay unmasked, as in `_up_to_128`: four rounds grow them to under 2**68.
#
# Per round j and record: A_j = the 16 bytes at 16 * j, B_j = the 16 bytes ending 16 * j
# before the end. One struct call cuts every record's pieces (cheaper than a slice each);
# they are joined twice: back to back, keyed by one xor with the secret's words repeated and
# read as a list of 64-bit words, for the products; with b"\x00" between them, into lanes,
# for the sums. Each piece's products go back into lanes through int.to_bytes and one join,
# linear in the batch (hex text, or halves packed by struct, are slower).
#
# Records of 129 to 240 bytes go the same way, by the rounds of `_up_to_240`: A_i and B_i
# the halves of round i's 32 bytes, then the tail's, B_t and A_t. The avalanche after the
# fourth round masks the sums, and four rounds at most follow it: under 2**68 again.

_LANE = 17
# Per round j, the key bytes xored into A's and B's words.
_A_KEYS = [SECRET[32 * j:32 * j + 16] for j in range(4)]
_B_KEYS = [SECRET[32 * j + 16:32 * j + 32] for j in range(4)]
_LENGTH_LANES = [n.to_bytes(_LANE, "little") for n in range(241)]
# Records go in groups by kind: 1 to 4, the round count of 17 to 128 bytes; 5 to 8, one more
# than that of 129 to 240 bytes; 0, lengths one call each serves.
_KIND = ([0] * 17 + [(n + 31) // 32 for n in range(17, 129)]
         + [n // 32 + 1 for n in range(129, 241)])
_KINDS = 9
# Per kind: the key bytes of a record's pieces, in their order; how many pieces; and the
# rounds, last first for 17 to 128 bytes, as (A's piece, B's piece, avalanche after).
_KIND_KEYS = [b""] * _KINDS
_KIND_PIECES = [0] * _KINDS
_KIND_ROUNDS: list = [()] * _KINDS
for _r in range(1, 5):
    _KIND_KEYS[_r] = b"".join(_A_KEYS[:_r]) + b"".join(_B_KEYS[_r - 1::-1])
    _KIND_PIECES[_r] = 2 * _r
    _KIND_ROUNDS[_r] = tuple((j, 2 * _r - 1 - j, False) for j in range(_r - 1, -1, -1))
for _r in range(4, 8):
    _KIND_KEYS[_r + 1] = b"".join(SECRET[at:at + 32] for at in _LONG_ROUND_AT[:_r]) + \
        SECRET[119:135] + SECRET[103:119]
    _KIND_PIECES[_r + 1] = 2 * _r + 2
    _KIND_ROUNDS[_r + 1] = tuple((2 * i, 2 * i + 1, i == 3) for i in range(_r)) + (
        (2 * _r + 1, 2 * _r, False),)
# Per kind, the group size from which the lanes beat one call per record (measured on
# CPython 3.14: fixed costs per batch and per round against ~2-7 us per record).
_BATCH_MIN = [0, 8, 12, 12, 16, 10, 10, 10, 10]
# Larger groups go in chunks: past some hundred lanes the huge ints outgrow the caches.
_CHUNK = 512
# PyPy runs the scalar function about twice as fast as the lanes.
_LANES_PAY = sys.implementation.name == "cpython"
_TO_BYTES = int.to_bytes
_16, _LITTLE = repeat(16), repeat("little")

if sys.byteorder == "little":
    def _words(data: bytes) -> list:
        return memoryview(data).cast("Q").tolist()
else:
    def _words(data: bytes) -> list:
        return list(_unpack(f"<{len(data) // 8}Q", data))


class _Masks:
    """The lane-repeated constants for batches of `m` records of one kind."""

    __slots__ = ("low64s", "ones", "two64s", "keys")

    def __init__(self, m: int, kind: int) -> None:
        self.low64s = int.from_bytes(M64.to_bytes(_LANE, "little") * m, "little")
        self.ones = int.from_bytes(b"\x01".ljust(_LANE, b"\x00") * m, "little")
        self.two64s = self.ones << 64
        self.keys = int.from_bytes(_KIND_KEYS[kind] * m, "little")


_masks_cache: dict = {}


def _masks(m: int, kind: int) -> _Masks:
    masks = _masks_cache.get((m, kind))
    if masks is None:
        if len(_masks_cache) > 256:  # batch sizes vary: keep the cache bounded
            _masks_cache.clear()
        masks = _masks_cache[m, kind] = _Masks(m, kind)
    return masks


_ENTRY_FORMAT = f"{_LANE}s"
# Per kind and length: the struct format that reads a record's pieces from two copies of it.
_SPLITS = [[""] * 241 for _ in range(_KINDS)]
for _n in range(17, 241):
    _r = _KIND[_n]
    if _n <= 128:
        _SPLITS[_r][_n] = f"{'16s' * _r}{2 * (_n - 16 * _r)}x{'16s' * _r}"
    else:  # the tail from the second copy: it overlaps the last round
        _r -= 1
        _SPLITS[_r + 1][_n] = f"{'16s' * 2 * _r}{2 * _n - 32 - 32 * _r}x16s16s"
del _n, _r


def _lanes(records: list, kind: int) -> list:
    """The entries of `records`, all of one kind, hashed in lanes."""
    m = len(records)
    k = _masks(m, kind)
    low64s = k.low64s
    # Every record twice, back to back, read by one struct call: to 128 bytes, A_0 .. A_r-1
    # from the first copy, B_r-1 .. B_0 from the second (they overlap in short records);
    # over 128, the rounds from the first, the tail from the second.
    twice = [b""] * (2 * m)
    twice[0::2] = twice[1::2] = records
    sizes = list(map(len, records))
    # A Struct of its own: each batch's format is new, and would churn struct's cache.
    pieces = Struct("".join(map(_SPLITS[kind].__getitem__, sizes))).unpack(b"".join(twice))
    slots = _KIND_PIECES[kind]
    keyed = int.from_bytes(b"".join(pieces), "little") ^ k.keys
    words = _words(keyed.to_bytes(16 * slots * m, "little"))
    products = list(map(_MUL, words[0::2], words[1::2]))  # per record, piece by piece

    def folded(piece: int) -> int:
        """The products of every record's `piece` folded, in lanes."""
        p = int.from_bytes(b"\x00".join(map(_TO_BYTES, products[piece::slots], _16, _LITTLE)),
                           "little")
        return (p ^ (p >> 64)) & low64s

    def sums(piece: int) -> int:
        """The sums of the two words of every record's `piece`, in lanes."""
        v = int.from_bytes(b"\x00".join(pieces[piece::slots]), "little")
        return (v & low64s) + ((v >> 64) & low64s)

    # The lengths in lanes: times a 64-bit constant, each lane's product is exact.
    lengths = int.from_bytes(b"".join(map(_LENGTH_LANES.__getitem__, sizes)), "little")
    lo, hi = (lengths * P64_1) & low64s, 0
    for a, b, avalanche in _KIND_ROUNDS[kind]:
        lo = (lo + folded(a)) ^ sums(b)
        hi = (hi + folded(b)) ^ sums(a)
        if avalanche:
            lo &= low64s
            lo = ((lo ^ (lo >> 37)) & low64s) * PRIME_MX1 & low64s
            lo = (lo ^ (lo >> 32)) & low64s
            hi &= low64s
            hi = ((hi ^ (hi >> 37)) & low64s) * PRIME_MX1 & low64s
            hi = (hi ^ (hi >> 32)) & low64s

    # `_finish`, lane by lane. lo and hi need no mask first: under 2**68, their sum, and
    # the sum of their products with 64-bit constants (under 2**134), stay within their
    # lanes.
    h = (lo + hi) & low64s
    h = ((h ^ (h >> 37)) & low64s) * PRIME_MX1 & low64s
    low = (h ^ (h >> 32)) & low64s
    h = (lo * P64_1 + hi * P64_4 + lengths * P64_2) & low64s
    h = ((h ^ (h >> 37)) & low64s) * PRIME_MX1 & low64s
    high = (k.two64s - ((h ^ (h >> 32)) & low64s)) & low64s  # the negation, mod 2**64
    entries = ((low << 8) | (high << 72) | k.ones).to_bytes(_LANE * m, "little")
    return list(_unpack(_ENTRY_FORMAT * m, entries))


def _entry(data: bytes) -> bytes:
    return b"\x01" + xxh3_128(data).to_bytes(16, "little")


def xxh3_128_entries(records: list) -> list:
    """b"\\x01" + xxh3_128(r).to_bytes(16, "little") for each record, in order: how a digest
    stands in its parent's record. On CPython, faster per record than one call each on
    batches of records of 17 to 240 bytes."""
    m = len(records)
    if m < _BATCH_MIN[1] or not _LANES_PAY:
        return list(map(_entry, records))
    groups: list = [[] for _ in range(_KINDS)]  # record indexes by kind
    kind_of = _KIND
    for i, n in enumerate(map(len, records)):
        groups[kind_of[n] if n <= 240 else 0].append(i)
    out = [None] * m
    for kind, indexes in enumerate(groups):
        count = len(indexes)
        if not count:
            continue
        group = list(map(records.__getitem__, indexes))
        if not kind or count < _BATCH_MIN[kind]:
            entries = list(map(_entry, group))
        elif count <= _CHUNK:
            entries = _lanes(group, kind)
        else:
            # Equal chunks, so that their constants are made once.
            step = -(-count // -(-count // _CHUNK))
            entries = []
            for at in range(0, count, step):
                entries += _lanes(group[at:at + step], kind)
        if count == m:
            return entries
        for i, e in zip(indexes, entries):
            out[i] = e
    return out
