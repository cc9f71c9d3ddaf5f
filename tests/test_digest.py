"""subtree_digest and subtree_digests: fixed vectors, the published encoding restated in
Python and hashed by the system's own xxHash library, the same values in processes with
different hash seeds, and equal ast.dump <=> equal digest over the standard library.

`record` restates the README's encoding: a node's record is its class identity, then for
each present field its position (u32) and its value; `digest` hashes the record with
XXH3-128 through ctypes, so the only thing shared with the extension is the hash function.
"""

import ast
import ctypes
import ctypes.util
import hashlib
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given

import sprig
from oracles import CORPUS_PATHS, DEBUG, is_node, parse_stdlib
from test_hash import APART, CANCELLING, COLLIDING, SMALL, bare, const, generated, name_x

# -- the encoding, restated ----------------------------------------------------------------


class XXH128(ctypes.Structure):
    _fields_ = [("low64", ctypes.c_uint64), ("high64", ctypes.c_uint64)]


def load_xxh3_128():
    for name in ("libxxhash.so.0", ctypes.util.find_library("xxhash")):
        try:
            function = ctypes.CDLL(name).XXH3_128bits
        except (OSError, TypeError, AttributeError):
            continue
        function.restype = XXH128
        function.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        return function
    return None


XXH3_128 = load_xxh3_128()
needs_xxhash = pytest.mark.skipif(XXH3_128 is None, reason="no xxHash library to load")


def xxh3(data):
    h = XXH3_128(data, len(data))
    return h.high64 << 64 | h.low64


def u64(n):
    return (n & (1 << 64) - 1).to_bytes(8, "little")


def text(s):
    data = s.encode("utf-8", "surrogatepass")
    return u64(len(data)) + data


def identity(cls):
    return xxh3(text(cls.__module__) + text(cls.__qualname__)).to_bytes(16, "little")


def leaf(v):
    kind = type(v)
    if v is None or v is ...:
        return b"\x03" if v is None else b"\x04"
    if kind is bool:
        return b"\x06" if v else b"\x05"
    if kind is int:
        if -(1 << 63) <= v < 1 << 63:
            return b"\x07" + u64(v)
        n = ((v if v >= 0 else ~v).bit_length() + 8) // 8  # with room for the sign
        return b"\x08" + u64(n) + v.to_bytes(n, "little", signed=True)
    if kind is float:
        bits = 0x7FF8000000000000 if v != v else struct.unpack("<Q", struct.pack("<d", v))[0]
        return b"\x09" + u64(bits)
    if kind is str:
        return b"\x0a" + text(v)
    if kind is bytes:
        return b"\x0b" + u64(len(v)) + v
    return b"\x0c" + identity(kind) + text(repr(v))


def value(v):
    return b"\x01" + digest(v).to_bytes(16, "little") if is_node(v) else leaf(v)


def record(node):
    out = [identity(type(node))]
    for i, name in enumerate(getattr(type(node), "_fields", ())):
        try:
            v = getattr(node, name)
        except AttributeError:
            continue  # absent: nothing, but the position is used up
        out.append(i.to_bytes(4, "little"))
        if type(v) is list:
            out.append(b"\x02" + u64(len(v)) + b"".join(map(value, v)))
        else:
            out.append(value(v))
    return b"".join(out)


def digest(node):
    return xxh3(record(node))


# -- fixed values --------------------------------------------------------------------------

# Trees whose classes have kept their fields since 3.11, with digests that never change.
VECTORS = {
    "": 185691853598030646654699666220138737121,
    "x": 95317335261098707712452620620249318418,
    "x = 1": 14026731160378360297872664804697480183,
    "f(a, *b, k=2.5, **c)": 156610858404525905425080206784141973399,
    "s = 'é€😀' + b'\\x00\\xff'": 331954733181443079038256947145801240987,
    "n = [1267650600228229401496703205376, -9223372036854775808, 9223372036854775808]":
        34781084690973518097575589394575686027,
    "t = (None, ..., True, False, 0.0, -0.0, 1e300)": 327958800223564303833401838551259420888,
    "x.y[1:2, ::3] += -z": 64836657216292660264630845808584859835,
    "Constant(nan)": 106769795000978881594258601012172999403,
    "Constant(1j)": 42852773273111836555114104177486332992,
    "Constant('\\ud800')": 253800210743849238761600908555183346676,
    "Name without its id": 71686029230191697066654189411064712968,
}
HAND_BUILT = {
    "Constant(nan)": lambda: const(float("nan")),
    "Constant(1j)": lambda: const(1j),
    "Constant('\\ud800')": lambda: const("\ud800"),
    "Name without its id": lambda: bare(ast.Name, ctx=ast.Load()),
}


def vector_tree(key):
    return HAND_BUILT[key]() if key in HAND_BUILT else ast.parse(key)


@pytest.mark.parametrize("key", VECTORS)
def test_vectors(key):
    tree = vector_tree(key)
    assert sprig.subtree_digest(tree) == VECTORS[key]
    assert sprig.subtree_digests(tree)[id(tree)] == VECTORS[key]


@needs_xxhash
@pytest.mark.parametrize("key", VECTORS)
def test_vectors_follow_the_encoding(key):
    assert digest(vector_tree(key)) == VECTORS[key]


@needs_xxhash
@pytest.mark.parametrize("source", SMALL)
def test_parsed_trees(source):
    tree = ast.parse(source)
    digests = sprig.subtree_digests(tree)
    assert digests == {id(n): digest(n) for n in ast.walk(tree)}
    # Wherever a dictionary must be read by name, the general run starts over: same values.
    for node in ast.walk(tree):
        vars(node)[0] = "not a field"
        assert sprig.subtree_digests(tree) == digests, ast.dump(node)
        del vars(node)[0]


@needs_xxhash
@given(generated())
def test_generated_trees(tree):
    assert sprig.subtree_digest(tree) == digest(tree)


@needs_xxhash
@pytest.mark.parametrize("root", [7, "s", None, [name_x()], ast.Name], ids=repr)
def test_a_root_that_is_no_node_is_digested_as_one(root):
    assert sprig.subtree_digests(root) == {id(root): xxh3(identity(type(root)))}


# -- what callers rely on ------------------------------------------------------------------

PAIRS = {
    **APART, **{k: v[:2] for k, v in CANCELLING.items()}, **COLLIDING,
    "nan vs 0.0": (float("nan"), 0.0), "'\\ud83d\\ude00' vs '😀'": ("\ud83d\ude00", "😀"),
    "0 vs -0.0": (0, -0.0), "b'\\x00' vs '\\x00'": (b"\x00", "\x00"),
    "2**63 vs -(2**63)": (2**63, -(2**63)), "-1 vs 2**64 - 1": (-1, 2**64 - 1),
}  # fmt: skip


@pytest.mark.parametrize("a, b", PAIRS.values(), ids=PAIRS.keys())
def test_leaves_stay_apart(a, b):
    assert sprig.subtree_digest(const(a)) != sprig.subtree_digest(const(b))


def test_values_are_128_bit_and_nans_agree():
    values = sprig.subtree_digests(ast.parse("\n".join(SMALL)))
    assert all(0 <= v < 1 << 128 for v in values.values()) and max(values.values()) >> 127
    nans = [const(float("nan")), const(-float("nan")), const(float("inf") - float("inf"))]
    assert len({sprig.subtree_digest(n) for n in nans}) == 1


def test_absent_none_and_empty_differ():
    nodes = [name_x(), bare(ast.Name, ctx=ast.Load()), bare(ast.Name, id=None, ctx=ast.Load()),
             bare(ast.Name, id=[], ctx=ast.Load())]
    assert len({sprig.subtree_digest(n) for n in nodes}) == 4


def fresh_class(name="Fresh"):
    return type(name, (ast.AST,), {"_fields": ("a",), "__module__": "mod"})


def test_classes_enter_by_module_and_qualname():
    first, second = fresh_class(), fresh_class()
    assert sprig.subtree_digest(bare(first, a=1)) == sprig.subtree_digest(bare(second, a=1))
    before = sprig.subtree_digest(bare(first, a=1))
    first.__qualname__ = "Other"  # leaves the class's version tag alone
    renamed = sprig.subtree_digest(bare(first, a=1))
    first.__module__ = "elsewhere"
    moved = sprig.subtree_digest(bare(first, a=1))
    assert len({before, renamed, moved}) == 3
    first.__module__, first.__qualname__ = "mod", "Fresh"
    assert sprig.subtree_digest(bare(first, a=1)) == before


class Unprintable:
    def __repr__(self):
        raise KeyError("no repr")


def test_errors_as_subtree_hash_raises_them():
    loop = ast.Expr(None)
    loop.value = ast.Lambda(ast.arguments(), loop)
    unprintable = ast.Expr(ast.Constant(Unprintable()))
    for body in ([loop], [unprintable, loop], [loop, unprintable]):
        # a cycle is reported whatever else is wrong, as by the hashes
        for f in (sprig.subtree_digest, sprig.subtree_hash):
            with pytest.raises(ValueError, match="cycle"):
                f(ast.Module(body, []))
    odd = fresh_class()
    odd.__module__ = 5
    with pytest.raises(TypeError, match="__module__ and __qualname__ must be str"):
        sprig.subtree_digests(ast.Expr(bare(odd, a=1)))


def test_a_field_served_anew_at_each_read_digests_as_a_stored_one():
    class Served(ast.AST):
        _fields = ("a",)
        __module__, __qualname__ = "mod", "Served"

        @property
        def a(self):
            return ast.Name("x", ast.Load())  # a new node at every read

    stored = bare(fresh_class("Served"), a=name_x())
    assert sprig.subtree_digest(ast.Expr(Served())) == sprig.subtree_digest(ast.Expr(stored))


def test_python_code_behind_a_tree_runs_as_often_as_for_the_hashes():
    class Counted(ast.AST):
        _fields = ("a", "b")
        runs = 0

        @property
        def a(self):
            type(self).runs += 1
            return 1

        def __repr__(self):
            type(self).runs += 1
            return "counted"

    tree = ast.Expr(ast.List([Counted(), ast.Constant(Counted())], ast.Load()))
    runs = []
    for f in (sprig.subtree_hash, sprig.subtree_digest):
        Counted.runs = 0
        f(tree)
        runs.append(Counted.runs)
    assert runs[0] == runs[1] > 0


# -- across processes and over the standard library ----------------------------------------

CHILD = """
    import ast, hashlib, sys
    sys.path.insert(0, {tests!r})
    import sprig
    from oracles import parse_stdlib
    from pathlib import Path
    for path in sys.argv[1:]:
        tree = parse_stdlib(Path(path))
        if tree is None:
            print("-", 0)
            continue
        digests = sprig.subtree_digests(tree)
        walk = b"".join(digests[id(n)].to_bytes(16, "little") for n in ast.walk(tree))
        print(hashlib.sha256(walk).hexdigest(), sprig.subtree_hash(tree))
"""


def test_digests_agree_across_processes_and_hash_seeds():
    code = textwrap.dedent(CHILD.format(tests=os.path.dirname(__file__)))
    paths = [str(p) for p in CORPUS_PATHS[::4]]
    runs = []
    for seed in ("1", "2"):
        env = {**os.environ, "PYTHONHASHSEED": seed}
        done = subprocess.run([sys.executable, "-c", code, *paths], env=env,
                              capture_output=True, text=True, timeout=900)
        assert done.returncode == 0, done.stderr[-3000:]
        runs.append([line.split() for line in done.stdout.splitlines()])
    mine = []  # and this process's own
    for path in paths:
        tree = parse_stdlib(pathlib.Path(path))
        if tree is None:
            mine.append("-")
            continue
        digests = sprig.subtree_digests(tree)
        walk = b"".join(digests[id(n)].to_bytes(16, "little") for n in ast.walk(tree))
        mine.append(hashlib.sha256(walk).hexdigest())
    assert [d for d, _ in runs[0]] == [d for d, _ in runs[1]] == mine
    # The seeds did matter: the per-process hashes of the same trees differ.
    assert [h for _, h in runs[0] if h != "0"] != [h for _, h in runs[1] if h != "0"]


def dump(node):
    try:
        return ast.dump(node, show_empty=True)
    except TypeError:  # before 3.13 every field is shown anyway
        return ast.dump(node)


@pytest.mark.skipif(DEBUG, reason="the optimized interpreters check the whole library")
def test_no_two_distinct_subtrees_of_the_library_share_a_digest():
    """Every node of the corpus: equal dumps give equal digests, and different dumps
    never give equal ones."""
    by_dump = {}  # 16-byte digest of a dump -> subtree digest
    unequal = 0
    for path in CORPUS_PATHS:
        tree = parse_stdlib(path)
        digests = sprig.subtree_digests(tree) if tree else {}
        for node in ast.walk(tree) if tree else ():
            key = hashlib.blake2b(dump(node).encode("utf-8", "surrogatepass"),
                                  digest_size=16).digest()
            d = digests[id(node)]
            unequal += by_dump.setdefault(key, d) != d
    print(f"{len(by_dump)} distinct subtrees")
    assert unequal == 0 and len(set(by_dump.values())) == len(by_dump)


def rebuilt(node):
    """The same tree made by calling each class with its fields: no positions, new objects."""
    if type(node) is list:
        return [rebuilt(v) for v in node]
    if not is_node(node):
        return node
    return type(node)(**{name: rebuilt(v) for name, v in ast.iter_fields(node)})


@pytest.mark.parametrize("path", CORPUS_PATHS[::16], ids=lambda p: p.name)
def test_trees_built_by_hand_digest_as_parsed_ones(path):
    tree = parse_stdlib(path)
    if tree is None:
        pytest.skip("this interpreter cannot parse the module")
    try:
        copy = rebuilt(tree)
    except RecursionError:
        pytest.skip("too deep to rebuild by recursion")
    assert dump(copy) == dump(tree)
    mine, theirs = sprig.subtree_digests(tree), sprig.subtree_digests(copy)
    assert [mine[id(n)] for n in ast.walk(tree)] == [theirs[id(n)] for n in ast.walk(copy)]
