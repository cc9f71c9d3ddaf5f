"""XXH3-128 with seed 0 and the default secret, in Python, written from xxHash's published
description of the algorithm. Used only where no `xxhash` module can be imported."""

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
_U64x2 = Struct("<QQ").unpack_from
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


def _fold(a: int, b: int) -> int:
    p = a * b
    return (p & M64) ^ (p >> 64)


def _mix16(data: bytes, at: int, secret_at: int) -> int:
    lo, hi = _U64x2(data, at)
    return _fold(lo ^ _S[secret_at], hi ^ _S[secret_at + 8])


def _finish(lo: int, hi: int, n: int) -> int:
    low = _avalanche((lo + hi) & M64)
    high = (-_avalanche((lo * P64_1 + hi * P64_4 + n * P64_2) & M64)) & M64
    return high << 64 | low


def _mid(data: bytes, n: int) -> int:
    """17 to 240 bytes."""
    lo, hi = (n * P64_1) & M64, 0
    if n <= 128:
        rounds = ((n - 1) >> 5) + 1
        for i in range(rounds - 1, -1, -1):
            a, b = 16 * i, n - 16 * (i + 1)
            lo = (lo + _mix16(data, a, 32 * i)) & M64
            x, y = _U64x2(data, b)
            lo ^= (x + y) & M64
            hi = (hi + _mix16(data, b, 32 * i + 16)) & M64
            x, y = _U64x2(data, a)
            hi ^= (x + y) & M64
        return _finish(lo, hi, n)
    for i in range(n // 32):
        a, b = 32 * i, 32 * i + 16
        s = 32 * i if i < 4 else 3 + 32 * (i - 4)
        lo = (lo + _mix16(data, a, s)) & M64
        x, y = _U64x2(data, b)
        lo ^= (x + y) & M64
        hi = (hi + _mix16(data, b, s + 16)) & M64
        x, y = _U64x2(data, a)
        hi ^= (x + y) & M64
        if i == 3:
            lo, hi = _avalanche(lo), _avalanche(hi)
    # The last 32 bytes, the halves swapped, against the secret's end (seed 0 either way).
    a, b, s = n - 16, n - 32, 136 - 17 - 16
    lo = (lo + _mix16(data, a, s)) & M64
    x, y = _U64x2(data, b)
    lo ^= (x + y) & M64
    hi = (hi + _mix16(data, b, s + 16)) & M64
    x, y = _U64x2(data, a)
    hi ^= (x + y) & M64
    return _finish(lo, hi, n)


_SECRET_WORDS = [_U64x8(SECRET, 8 * n) for n in range(17)]
_SCRAMBLE = _U64x8(SECRET, 192 - 64)
_LAST = _U64x8(SECRET, 192 - 64 - 7)


def _stripe(acc: list, words: tuple, keys: tuple) -> None:
    for i in range(8):
        v = words[i]
        k = v ^ keys[i]
        acc[i ^ 1] = (acc[i ^ 1] + v) & M64
        acc[i] = (acc[i] + (k & 0xFFFFFFFF) * (k >> 32)) & M64


def _long(data: bytes, n: int) -> int:
    """More than 240 bytes: stripes of 64 bytes into eight accumulators, blocks of 16."""
    acc = [P32_3, P64_1, P64_2, P64_3, P64_4, P32_2, P64_5, P32_1]
    blocks = (n - 1) // 1024
    for b in range(blocks):
        for s in range(16):
            _stripe(acc, _U64x8(data, 1024 * b + 64 * s), _SECRET_WORDS[s])
        for i in range(8):
            a = acc[i]
            a ^= a >> 47
            a ^= _SCRAMBLE[i]
            acc[i] = (a * P32_1) & M64
    for s in range((n - 1 - 1024 * blocks) // 64):
        _stripe(acc, _U64x8(data, 1024 * blocks + 64 * s), _SECRET_WORDS[s])
    _stripe(acc, _U64x8(data, n - 64), _LAST)

    def merge(at: int, start: int) -> int:
        r = start
        for i in range(4):
            r += _fold(acc[2 * i] ^ _U64(SECRET, at + 16 * i)[0],
                       acc[2 * i + 1] ^ _U64(SECRET, at + 16 * i + 8)[0])
        return _avalanche(r & M64)

    low = merge(11, (n * P64_1) & M64)
    high = merge(192 - 64 - 11, ~(n * P64_2) & M64)
    return high << 64 | low


def xxh3_128(data: bytes) -> int:
    """XXH3-128 of `data` as the integer high64 * 2**64 + low64."""
    n = len(data)
    if n > 16:
        return _mid(data, n) if n <= 240 else _long(data, n)
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
