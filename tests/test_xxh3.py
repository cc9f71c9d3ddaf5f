"""The Python XXH3-128 behind the pure implementation's digests: xxHash's published sanity
vectors (seed 0, the default secret, over its generated test buffer), then every length up
to past two blocks against the system's xxHash library where one can be loaded."""

import os
import random

import pytest

from test_digest import needs_xxhash, xxh3

xxh3_module = pytest.importorskip("sprig._pure._xxh3")


def sanity_buffer(length):
    """xxHash's test buffer: the top byte of a 64-bit generator stepped by PRIME64."""
    out, gen = bytearray(), 2654435761
    for _ in range(length):
        out.append(gen >> 56)
        gen = gen * 11400714785074694797 & (1 << 64) - 1
    return bytes(out)


VECTORS = {  # length: (low64, high64), one length or more per code path
    0: (0x6001C324468D497F, 0x99AA06D3014798D8),
    1: (0xC44BDFF4074EECDB, 0xA6CD5E9392000F6A),
    6: (0x3E7039BDDA43CFC6, 0x082AFE0B8162D12A),
    12: (0x061A192713F69AD9, 0x6E3EFD8FC7802B18),
    24: (0x1E7044D28B1B901D, 0x0CE966E4678D3761),
    48: (0xF942219AED80F67B, 0xA002AC4E5478227E),
    81: (0x5E8BAFB9F95FB803, 0x4952F58181AB0042),
    222: (0xF1AEBD597CEC6B3A, 0x337E09641B948717),
    403: (0xCDEB804D65C6DEA4, 0x1B6DE21E332DD73D),
    512: (0x617E49599013CB6B, 0x18D2D110DCC9BCA1),
    2048: (0xDD59E2C3A5F038E0, 0xF736557FD47073A5),
}


@pytest.mark.parametrize("length", VECTORS)
def test_published_vectors(length):
    low, high = VECTORS[length]
    assert xxh3_module.xxh3_128(sanity_buffer(length)) == high << 64 | low


@needs_xxhash
def test_every_length_against_the_library():
    data = os.urandom(2300)
    for n in range(len(data) + 1):
        assert xxh3_module.xxh3_128(data[:n]) == xxh3(data[:n]), n


def test_the_xxhash_module_serves_where_it_imports():
    xxhash = pytest.importorskip("xxhash")
    digest = pytest.importorskip("sprig._pure._digest")
    assert digest.xxh3_128 is xxhash.xxh3_128_intdigest
    data = os.urandom(2300)
    for n in range(len(data) + 1):
        assert xxhash.xxh3_128_intdigest(data[:n]) == xxh3_module.xxh3_128(data[:n]), n


def stress_records(rng):
    """Every length to 300, each as random bytes, all 0xFF, all 0x00, and with each round's
    words equal to their keys (so the keyed words and their products are 0)."""
    for n in range(301):
        yield rng.randbytes(n)
        yield b"\xff" * n
        yield bytes(n)
        keyed = bytearray(n)
        for j in range(min(4, (n + 31) // 32) if 16 < n <= 128 else 0):
            keyed[16 * j:16 * j + 16] = xxh3_module.SECRET[32 * j:32 * j + 16]
            keyed[n - 16 * j - 16:n - 16 * j] = xxh3_module.SECRET[32 * j + 16:32 * j + 32]
        for i, at in enumerate(xxh3_module._LONG_ROUND_AT[:n // 32] if 128 < n <= 240 else ()):
            keyed[32 * i:32 * i + 32] = xxh3_module.SECRET[at:at + 32]
        yield bytes(keyed)


@pytest.mark.parametrize("size", [0, 1, 2, 9, 33, 700, 3000])
def test_entries_equal_one_call_each(size, monkeypatch):
    # Lanes for groups of every size, on PyPy too, where one call each serves by default.
    monkeypatch.setattr(xxh3_module, "_LANES_PAY", True)
    monkeypatch.setattr(xxh3_module, "_BATCH_MIN", [1] * len(xxh3_module._BATCH_MIN))
    monkeypatch.setattr(xxh3_module, "_CHUNK", 50)  # the large batches' groups in chunks
    rng = random.Random(size)
    pool = list(stress_records(rng))
    batch = [rng.choice(pool) for _ in range(size)] if size < 700 else (pool * 3)[:size]
    rng.shuffle(batch)
    expected = [b"\x01" + xxh3_module.xxh3_128(r).to_bytes(16, "little") for r in batch]
    assert xxh3_module.xxh3_128_entries(batch) == expected
