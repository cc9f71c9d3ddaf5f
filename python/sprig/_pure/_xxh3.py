"""XXH3-128 with seed 0 and the default secret, in Python, written from xxHash's published
description of the algorithm. Used only where no `xxhash` module can be imported."""

import operator
from struct import Struct

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
_LONG_ROUND_KEYS = [(_S[s], _S[s + 8], _S[s + 16], _S[s + 24])
                    for s in (32 * i if i < 4 else 3 + 32 * (i - 4) for i in range(7))]
_TAIL_KEYS = (_S[103], _S[111], _S[119], _S[127])


def _up_to_240(data: bytes, n: int) -> int:
    rounds = n // 32
    words = _WORDS[2 * rounds](data, 0)
    lo, hi = _LENGTH_P1[n], 0
    for i in range(rounds):
        k0, k1, k2, k3 = _LONG_ROUND_KEYS[i]
        a0, a1, b0, b1 = words[4 * i:4 * i + 4]
        p = (a0 ^ k0) * (a1 ^ k1)
        lo = (lo + (p ^ (p >> 64))) ^ (b0 + b1)
        p = (b0 ^ k2) * (b1 ^ k3)
        hi = (hi + (p ^ (p >> 64))) ^ (a0 + a1)
        if i == 3:
            lo, hi = _avalanche(lo & M64), _avalanche(hi & M64)
    # The last 32 bytes, the halves swapped.
    b0, b1, a0, a1 = _WORDS[2](data, n - 32)
    k0, k1, k2, k3 = _TAIL_KEYS
    p = (a0 ^ k0) * (a1 ^ k1)
    lo = (lo + (p ^ (p >> 64))) ^ (b0 + b1)
    p = (b0 ^ k2) * (b1 ^ k3)
    hi = (hi + (p ^ (p >> 64))) ^ (a0 + a1)
    return _finish(lo & M64, hi & M64, n)


# More than 240 bytes: stripes of 64 bytes into eight accumulators, blocks of 16 stripes,
# stripe s of a block keyed by the secret at 8 * s. Lane i of a stripe adds the data word
# of lane i ^ 1 and the product of its key's 32-bit halves, and additions commute within a
# block: a block is one sum per lane over its stripes, each computed by C loops (map, sum)
# over the block's words read at once, rather than word by word.
_SECRET32 = Struct("<48I").unpack_from(SECRET, 0)
_STRIPE_KEYS32 = [_SECRET32[2 * s:2 * s + 16] for s in range(17)]
_BLOCK_KEYS32 = tuple(k for s in range(16) for k in _STRIPE_KEYS32[s])
_READ64 = [Struct(f"<{8 * s}Q").unpack_from for s in range(17)]
_READ32 = [Struct(f"<{16 * s}I").unpack_from for s in range(17)]
_SCRAMBLE = _U64x8(SECRET, 192 - 64)
_LAST_KEYS32 = Struct("<16I").unpack_from(SECRET, 192 - 64 - 7)
_XOR, _MUL = operator.xor, operator.mul


def _stripes(acc: list, data: bytes, at: int, count: int, keys32) -> None:
    """Adds `count` stripes from `at`, keyed by `keys32` (16 halves per stripe), to `acc`."""
    halves = list(map(_XOR, _READ32[count](data, at), keys32))
    products = list(map(_MUL, halves[0::2], halves[1::2]))
    words = _READ64[count](data, at)
    for i in range(8):
        acc[i] += sum(products[i::8]) + sum(words[i ^ 1::8])


def _long(data: bytes, n: int) -> int:
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
