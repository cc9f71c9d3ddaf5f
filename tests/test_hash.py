"""subtree_hash and subtree_hashes: exact values by the published steps, the docstring's
promises, equal ast.dump <=> equal hash over the standard library, and trees that change,
raise or call sprig while they are hashed.

`expected` restates the published steps for small trees: a node starts from
mix(0, id(type)); each present field at position i adds mix(mix(h, i), contribution); an
exact list contributes a chain from mix(0, ~len); a leaf contributes
mix(mix(0, id(type)), s), where s is hash(value) for None, Ellipsis, bytes and bool, the
value of an int (when it is wider, a chain over fmix64 of each of its 64-bit words),
mix(len, hash) of a str, and mix(len, hash) of the repr of anything else. Python sees signed values.
"""

import ast
import gc
import hashlib
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sprig
from conftest import CPYTHON, PURE, cpython_only, native_only
from oracles import (CAN_SEE_THREADS_END, CORPUS_PATHS, DEBUG, JOIN_MAY_RETURN_EARLY, bare_ast,
                     is_node, join_until_ended, parse_stdlib, run_python)

MASK = (1 << 64) - 1


def mix(h, w):
    h, w = h & MASK, w & MASK
    return ((((h << 5) | (h >> 59)) & MASK) ^ w) * 0x9E3779B97F4A7C15 & MASK


def signed(h):
    return h - (1 << 64) if h >> 63 else h


def fmix64(k):
    for multiplier in (0xFF51AFD7ED558CCD, 0xC4CEB9FE1A85EC53):
        k = (k ^ k >> 33) * multiplier & MASK
    return k ^ k >> 33


def int_word(value):
    if -(1 << 63) <= value < 1 << 63:
        return value & MASK
    n = ((value if value >= 0 else ~value).bit_length() + 64) // 64  # with its sign bit
    g = mix(0, ~n)
    for k in range(n):
        g = mix(g, fmix64(value >> 64 * k & MASK))
    return g


def str_word(text):
    return mix(len(text), hash(text))


def leaf(value):
    kind = type(value)
    if kind is int:
        s = int_word(value)
    elif kind is str:
        s = str_word(value)
    elif value is None or value is ... or kind in (bytes, bool):
        s = hash(value)
    else:
        s = str_word(repr(value))
    return mix(mix(0, id(kind)), s)


def contribution(value):
    if type(value) is list:
        h = mix(0, ~len(value))
        for item in value:
            h = mix(h, expected(item) if is_node(item) else leaf(item))
        return h
    return expected(value) if is_node(value) else leaf(value)


def expected(node):
    h = mix(0, id(type(node)))
    for i, name in enumerate(getattr(type(node), "_fields", ())):
        try:
            h = mix(mix(h, i), contribution(getattr(node, name)))
        except AttributeError:
            pass  # absent: its position is used up all the same
    return h


def bare(cls, **fields):
    """An instance of `cls` holding exactly `fields`, without the constructor's defaults."""
    node = cls.__new__(cls)
    vars(node).update(fields)
    return node


def const(value):
    return ast.Constant(value=value)


def name_x():
    return ast.Name(id="x", ctx=ast.Load())


# -- exact values --------------------------------------------------------------------------


def test_mix_check_values():
    assert (mix(0, 1), mix(1, 0)) == (0x9E3779B97F4A7C15, 0xC6EF372FE94F82A0)
    assert mix(0, ~0) == 0x61C8864680B583EB  # what an empty list contributes


LOAD = lambda: mix(0, id(ast.Load))  # noqa: E731
EXACT = {
    "Load()": (ast.Load, LOAD),
    "Name(id='x', ctx=Load())": (name_x, lambda: mix(mix(mix(mix(
        mix(0, id(ast.Name)), 0), mix(mix(0, id(str)), mix(1, hash("x")))), 1), LOAD())),
    "List(elts=[], ctx=Load())": (lambda: ast.List(elts=[], ctx=ast.Load()), lambda: mix(
        mix(mix(mix(mix(0, id(ast.List)), 0), 0x61C8864680B583EB), 1), LOAD())),
    "Name without its id": (lambda: bare(ast.Name, ctx=ast.Load()),
                            lambda: mix(mix(mix(0, id(ast.Name)), 1), LOAD())),
}  # fmt: skip


@native_only("its hashes keep the promise, not the native engine's values")
@pytest.mark.parametrize("make, value", EXACT.values(), ids=EXACT.keys())
def test_exact_values(make, value):
    node = make()
    assert sprig.subtree_hash(node) == sprig.subtree_hashes(node)[id(node)] == signed(value())

# Dumps that show every field: empty ones are left out by default from 3.13.
SHOW_EMPTY = {"show_empty": True} if sys.version_info >= (3, 13) else {}

SMALL = [
    "f(a, *b, k=2.5, **c)",
    "def f(a, /, b=None, *, c: int = ...) -> 'T':\n    return -a if b else [a, (b,), {c}]",
    "class C(B, metaclass=M):\n    x: int = 0b1010\n    y = b'raw' + 1j",
    "async def g():\n    async with a as (b, c):\n        await d\n    yield from e",
    "match p:\n    case [1, *rest] | {'k': _} if rest: pass",
    "x = f'{a!r:>{w}}' ; del x[1:2, ::3]",
    "try:\n    pass\nexcept* E as e:\n    raise X from e\nfinally:\n    global g",
    # The newest alias syntax the running parser takes: defaults came with 3.13, the
    # statement with 3.12.
    "type T[**P, *Ts, U: int = str] = Callable[P, U]" if sys.version_info >= (3, 13)
    else "type T[**P, *Ts, U: int] = Callable[P, U]" if sys.version_info >= (3, 12)
    else "T: TypeAlias = Callable[P, U]",
]


@native_only("its hashes keep the promise, not the native engine's values")
@pytest.mark.parametrize("source", SMALL)
def test_parsed_trees(source):
    tree = ast.parse(source)
    hashes = sprig.subtree_hashes(tree)
    assert hashes == {id(n): signed(expected(n)) for n in ast.walk(tree)}
    # Wherever a dictionary must be read by name, the general run starts over: same values.
    for node in ast.walk(tree):
        vars(node)[0] = "not a field"
        assert sprig.subtree_hashes(tree) == hashes, ast.dump(node)
        del vars(node)[0]


LEAVES = st.one_of(
    st.none(), st.just(...), st.booleans(), st.integers(), st.floats(), st.text(max_size=4),
    st.binary(max_size=4), st.complex_numbers(), st.tuples(st.integers()),
    st.frozensets(st.integers(), max_size=2),
)  # fmt: skip


@st.composite
def generated(draw, depth=3):
    """A node whose fields hold leaves, nodes, lists of these or of lists, or are absent."""
    kind = draw(st.sampled_from([ast.Constant, ast.Tuple, ast.BinOp, ast.Call, ast.Load]))
    fields = {}
    for name in kind._fields:
        choice = draw(st.integers(0, 4 if depth else 2))
        if choice == 1:
            fields[name] = draw(LEAVES)
        elif choice == 2:
            items = st.one_of(LEAVES, st.lists(LEAVES, max_size=2))
            fields[name] = draw(st.lists(items, max_size=3))
        elif choice == 3:
            fields[name] = draw(generated(depth=depth - 1))
        elif choice == 4:
            fields[name] = draw(st.lists(generated(depth=depth - 1), max_size=3))
    return bare(kind, **fields)


@native_only("its hashes keep the promise, not the native engine's values")
@given(generated())
def test_generated_trees(tree):
    assert sprig.subtree_hash(tree) == signed(expected(tree))


# -- what the docstring promises -----------------------------------------------------------


class Str(str):
    pass


class Int(int):
    pass


APART = {
    "1 vs 1.0": (1, 1.0), "1 vs True": (1, True), "1.0 vs True": (1.0, True),
    "-0.0 vs 0.0": (-0.0, 0.0), "str vs bytes": ("ab", b"ab"), "None vs ...": (None, ...),
    "str subclass": (Str("ab"), "ab"), "int subclass": (Int(7), 7), "list": ([1], (1,)),
}  # fmt: skip


@pytest.mark.parametrize("a, b", APART.values(), ids=APART.keys())
def test_values_python_hashes_alike_stay_apart(a, b):
    assert sprig.subtree_hash(const(a)) != sprig.subtree_hash(const(b))


def test_nans_hash_equally_even_as_different_objects():
    a, b = float("nan"), float("-nan")
    assert a is not b and sprig.subtree_hash(const(a)) == sprig.subtree_hash(const(b))


@native_only("its hashes keep the promise, not the native engine's values")
@pytest.mark.parametrize("value", [[1, [2]], {"k": [1]}, {1, 2}], ids=["list", "dict", "set"])
def test_a_value_without_a_hash_still_hashes(value):
    assert sprig.subtree_hash(const(value)) == signed(expected(const(value)))


WIDE = [2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, -(2**64), 2**127, -(2**128),
        2**4000 + 5, -(2**4000)]  # the last two beyond the room on the stack


@native_only("its hashes keep the promise, not the native engine's values")
@pytest.mark.parametrize("value", WIDE, ids=lambda v: f"{v:#x}"[:24])
def test_ints_enter_by_their_words(value):
    node = const(value)
    by_name = const(value)
    vars(by_name)[0] = "not a field"  # the general run
    assert sprig.subtree_hash(node) == sprig.subtree_hash(by_name) == signed(expected(node))


def raw_word_chain(value):
    """The wide-int word of a chain that takes each 64-bit word raw, without fmix64."""
    n = ((value if value >= 0 else ~value).bit_length() + 64) // 64
    g = mix(0, ~n)
    for k in range(n):
        g = mix(g, value >> 64 * k)
    return g


WIDE_N = 12345678901234567890123456789
# n and n ^ (2**(64k + 63) | 2**(64k + 68)): the top bit of one word, bit 4 of the next.
# Raw words cancel where both values have the same number of words; the second negative
# pair gains a word, so it stays apart either way.
CANCELLING = {
    "2**63 vs 2**68": (2**63, 2**68, True),
    "wide n": (WIDE_N, WIDE_N ^ (2**63 | 2**68), True),
    "-wide n": (-WIDE_N, -WIDE_N ^ (2**63 | 2**68), True),
    "-(2**100), words 0 and 1": (-(2**100), -(2**100) ^ (2**63 | 2**68), True),
    "-(2**100), words 1 and 2": (-(2**100), -(2**100) ^ (2**127 | 2**132), False),
}


@pytest.mark.parametrize("a, b, cancels", CANCELLING.values(), ids=CANCELLING.keys())
def test_wide_ints_whose_raw_words_cancel_stay_apart(a, b, cancels):
    assert (raw_word_chain(a) == raw_word_chain(b)) == cancels  # the pair is what it claims
    trees = [ast.Expr(ast.List([const(v), name_x()], ast.Load())) for v in (a, b)]
    assert sprig.subtree_hash(trees[0]) != sprig.subtree_hash(trees[1])
    if not PURE:
        assert [sprig.subtree_hash(t) for t in trees] == [signed(expected(t)) for t in trees]


COLLIDING = {  # pairs with one Python hash, or whose types lie close together
    "b'' vs 19456": (b"", 19456),
    "b'' vs 55296": (b"", 55296),
    "-1 vs -2": (-1, -2),
    "3 vs 2**63-1": (3, 2**63 - 1),
    "56 vs 56 + (2**61-1)k near 2**128": (56, 56 + (2**61 - 1) * (2**128 // (2**61 - 1))),
    "-56 vs -56 - (2**61-1)k": (-56, -56 - (2**61 - 1) * (2**70 // (2**61 - 1))),
    "'\\u203e' vs '> '": ("\u203e", "> "),
    "'  ' vs '\\u2020'": ("  ", "\u2020"),
}


@pytest.mark.parametrize("a, b", COLLIDING.values(), ids=COLLIDING.keys())
def test_leaves_python_hashes_alike_stay_apart(a, b):
    if not CPYTHON and type(a) is type(b) is str:
        pytest.skip("CPython only: its string hash makes the pair collide")
    assert type(a) is not type(b) or hash(a) == hash(b)  # the pair is what it claims
    assert sprig.subtree_hash(const(a)) != sprig.subtree_hash(const(b))
    if not PURE:
        assert sprig.subtree_hash(const(a)) == signed(expected(const(a)))


def test_absent_and_none_differ():
    nodes = [name_x(), bare(ast.Name, ctx=ast.Load()), bare(ast.Name, id=None, ctx=ast.Load())]
    assert len({sprig.subtree_hash(n) for n in nodes}) == 3


def test_equal_subtrees_and_shared_ones():
    first, second = ast.parse("f(a + 1, a + 1)").body[0].value.args
    assert sprig.subtree_hash(first) == sprig.subtree_hash(second)
    shared = name_x()
    pair = ast.Tuple(elts=[shared, ast.BinOp(shared, ast.Add(), shared)], ctx=shared.ctx)
    found = sprig.subtree_hashes(pair)
    assert len(found) == 5 and found.keys() == {id(n) for n in ast.walk(pair)}
    if not PURE:
        assert found[id(pair)] == signed(expected(pair))


@native_only("its hashes keep the promise, not the native engine's values")
@pytest.mark.parametrize("root", [7, "s", None, [ast.Name("x")], bare_ast(), ast.Name], ids=repr)
def test_a_root_that_is_no_node_is_hashed_as_one(root):
    assert sprig.subtree_hashes(root) == {id(root): signed(mix(0, id(type(root))))}
    assert sprig.subtree_hash(root) == signed(mix(0, id(type(root))))


# -- the standard library ------------------------------------------------------------------


def test_corpus_entries_and_root(stdlib_tree):
    hashes = sprig.subtree_hashes(stdlib_tree)
    assert hashes.keys() == {id(n) for n in ast.walk(stdlib_tree)}
    assert sprig.subtree_hash(stdlib_tree) == hashes[id(stdlib_tree)]
    # The general run, for a root whose dictionary has a key that is no str, agrees.
    general = bare(type(stdlib_tree), **vars(stdlib_tree))
    vars(general)[0] = "not a field"
    by_name = sprig.subtree_hashes(general)
    assert by_name.pop(id(general)) == hashes.pop(id(stdlib_tree))
    assert by_name == hashes


def leaf_key(value):
    """Leaves are distinct when ast.dump prints them differently: floats and complex
    numbers by their repr (NaNs alike, -0.0 apart from 0.0), everything else by value."""
    return type(value), repr(value) if type(value) in (float, complex) else value


def test_no_two_leaves_of_the_library_collide():
    """Every distinct leaf value of the corpus, every int in [-70000, 70000] and the
    singletons, each as the value of a Constant: no two hash alike."""
    extra = [b"", "", None, True, False, ...]
    leaves = {leaf_key(v): v for v in [*range(-70_000, 70_001), *extra]}
    for path in CORPUS_PATHS:
        for node in ast.walk(parse_stdlib(path) or ast.Module([], [])):
            for _, value in ast.iter_fields(node):
                for v in value if type(value) is list else [value]:
                    if not is_node(v):
                        leaves.setdefault(leaf_key(v), v)
    first = {}
    for key, value in leaves.items():
        other = first.setdefault(sprig.subtree_hash(const(value)), key)
        assert other == key, f"{other} and {key} collide"
    assert len(first) > 140_000


def test_equal_dumps_and_equal_hashes_agree_across_the_library():
    """Every statement and expression of the corpus: equal dumps hash equally, and different
    dumps never do."""
    hash_of = {}  # digest of a dump -> hash
    first = {}  # hash -> (digest of a dump, module, position in ast.walk)
    unequal, collided = 0, []
    for path in CORPUS_PATHS:
        tree = parse_stdlib(path)
        hashes = sprig.subtree_hashes(tree) if tree else {}
        for i, node in enumerate(ast.walk(tree) if tree else ()):
            if isinstance(node, (ast.expr, ast.stmt)):
                dump = ast.dump(node, **SHOW_EMPTY).encode()
                digest = hashlib.blake2b(dump, digest_size=16).digest()
                h = hashes[id(node)]
                unequal += hash_of.setdefault(digest, h) != h
                seen = first.setdefault(h, (digest, path, i))
                if seen[0] != digest:
                    walk = enumerate(ast.walk(parse_stdlib(seen[1])))
                    other = next(n for j, n in walk if j == seen[2])
                    collided.append((ast.dump(other), ast.dump(node)))
    print(f"{len(hash_of)} distinct dumps")
    assert unequal == 0 and collided == []


# -- Python code run while hashing ---------------------------------------------------------


class Reentrant:
    def __repr__(self):
        sprig.subtree_hashes(ast.parse("def f(x):\n    return x + 1"))
        return "Reentrant()"


def test_a_repr_may_call_sprig():
    tree = ast.Expr(ast.BinOp(const(Reentrant()), ast.Add(), name_x()))
    if PURE:
        assert sprig.subtree_hash(tree) == sprig.subtree_hash(tree)
    else:
        assert sprig.subtree_hash(tree) == signed(expected(tree))


class Flipping(ast.AST):
    _fields = ("child",)
    reads = 0

    @property
    def child(self):  # a new node on every read
        Flipping.reads += 1
        return ast.Name(id=f"read {Flipping.reads}", ctx=ast.Load())


def test_a_node_first_met_while_hashing_gets_a_run_of_its_own():
    # The node read in the hashing pass is hashed as it is then, without an entry of its
    # own. The RuntimeError "the tree changed while it was being hashed" stands for a run
    # that misses its own root, which no change of the tree brings about.
    Flipping.reads = 0
    node = Flipping()
    hashes = sprig.subtree_hashes(node)
    assert Flipping.reads == 2 and len(hashes) == 3  # node, the Name collected, its Load
    second = ast.Name(id="read 2", ctx=ast.Load())
    assert PURE or hashes[id(node)] == signed(mix(mix(mix(0, id(Flipping)), 0), expected(second)))


class Guarded(ast.AST):
    _fields = ("a", "b", "c")
    error = ValueError

    @property
    def b(self):
        raise self.error("b cannot be read")


class Hidden(Guarded):
    error = AttributeError


def test_a_field_that_raises():
    with pytest.raises(ValueError, match="b cannot be read"):
        sprig.subtree_hash(ast.Expr(bare(Guarded, a=1, c=name_x())))
    node = bare(Hidden, a=1, c=name_x())  # AttributeError: b is absent
    without_b = mix(mix(mix(mix(mix(0, id(Hidden)), 0), leaf(1)), 2), expected(node.c))
    assert PURE or sprig.subtree_hash(node) == signed(without_b)


class BadRepr:
    def __repr__(self):
        raise KeyError("no repr")


class BadHash(str):
    def __repr__(self):
        return self  # a str subclass: hashing the repr calls __hash__

    def __hash__(self):
        raise TypeError("no hash")


@pytest.mark.parametrize("value, error", [(BadRepr(), KeyError), (BadHash("s"), TypeError)])
def test_a_leaf_that_cannot_be_printed_or_hashed(value, error):
    with pytest.raises(error):
        sprig.subtree_hashes(ast.Expr(ast.List([name_x(), const(value)], ast.Load())))


# -- cycles, depth, threads ----------------------------------------------------------------


def test_a_cycle_is_a_value_error_at_once():
    code = """
        import ast, sprig
        inner = ast.Expr(None)
        loop = ast.If(ast.Name("c"), [inner], [])
        inner.value = ast.Lambda(ast.arguments(), loop)  # loop -> inner -> Lambda -> loop
        for f in (sprig.subtree_hash, sprig.subtree_hashes):
            for root in (loop, ast.Module([ast.Pass(), loop], [])):
                try:
                    f(root)
                except ValueError as e:
                    print(e)
    """
    message = "the tree contains a cycle: a node is its own descendant"
    assert run_python(code, timeout=120).splitlines() == [message] * 4


def test_a_deep_chain():
    node = name_x()
    for _ in range(20_000 if DEBUG else 200_000):
        node = ast.UnaryOp(ast.Not(), node)
    assert sprig.subtree_hash(node) == sprig.subtree_hashes(node)[id(node)]


def hash_on_threads(classes):
    """One thread per class, each hashing a fresh node of it. No thread ends before all
    have hashed, so no call releases what another thread's end queued."""
    barrier = threading.Barrier(len(classes))

    def work(cls):
        sprig.subtree_hash(bare(cls, a=1))
        barrier.wait()

    threads = [threading.Thread(target=work, args=(c,)) for c in classes]
    for t in threads:
        t.start()
    for t in threads:
        join_until_ended(t)


def fresh_classes(count):
    return [type(f"Fresh{i}", (ast.AST,), {"_fields": ("a",)}) for i in range(count)]


@cpython_only("sys.getrefcount")
def test_threads_hold_no_classes():
    # A thread's per-type records watch their classes without holding them, while the
    # thread runs and after it has ended.
    classes = fresh_classes(4)
    gc.collect()
    baseline = [sys.getrefcount(c) for c in classes]
    hash_on_threads(classes)
    assert [sys.getrefcount(c) for c in classes] == baseline
    sprig.subtree_hash(None)
    assert [sys.getrefcount(c) for c in classes] == baseline


@pytest.mark.skipif(not DEBUG, reason="needs a debug build")
@pytest.mark.skipif(JOIN_MAY_RETURN_EARLY and not CAN_SEE_THREADS_END,
                    reason="the system does not say when a thread has ended")
def test_the_next_call_releases_what_ended_threads_queued():
    def drain():
        gc.collect()
        before = sys.gettotalrefcount()
        sprig.subtree_hash(None)
        gc.collect()
        return sys.gettotalrefcount() - before

    classes = fresh_classes(5)
    drain()  # the first call of a process makes what later calls reuse
    nothing_queued = drain()
    hash_on_threads(classes)
    # Per thread: the weak reference of its one record (the (ast.AST, ast.expr) pair is the
    # interpreter's, not the thread's). The record also holds the field's name, "a": a static
    # one-character string that 3.11 counts in the total, and an immortal one, never counted,
    # from 3.12 on.
    per_thread = 2 if sys.version_info < (3, 12) else 1
    assert drain() - nothing_queued == -per_thread * len(classes)
