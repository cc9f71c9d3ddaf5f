"""The Python XXH3-128 behind the pure implementation's digests: xxHash's published sanity
vectors (seed 0, the default secret, over its generated test buffer), then every length up
to past two blocks against the system's xxHash library where one can be loaded."""

import os

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
