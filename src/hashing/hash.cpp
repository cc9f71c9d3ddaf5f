// subtree_hash and subtree_hashes: the engine of hash_engine.hpp with a scheme that
// combines type addresses, positions and leaf words with `mix`, values that mean something
// only within one process.
#include "hashing/hash.hpp"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "hashing/hash_engine.hpp"

namespace sprig {

namespace {

constexpr uint64_t kHashMultiplier = 0x9e3779b97f4a7c15ull;

// Every combining step of the hash; no finalisation follows the last one.
[[gnu::always_inline]] inline uint64_t mix(uint64_t h, uint64_t w) {
    return (std::rotl(h, 5) ^ w) * kHashMultiplier;
}

inline uint64_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// A leaf contributes mix(mix(0, address of its exact type), s): its type is scrambled as a
// node's is, so two nearby type addresses cannot cancel a plausible difference in s. The
// word s is Python's hash, except where Python's hash of unequal values is equal by
// construction: an int enters by its value (Python hashes ints modulo 2**61 - 1), and a
// str hash enters with the length in code points (Python hashes a str's storage, so
// '\u203e' in two bytes and '> ' in two one-byte code points hash alike).
inline uint64_t leaf_word(PyTypeObject* type, uint64_t s) {
    return mix(mix(0, address(type)), s);
}

inline uint64_t str_word(PyObject* text, Py_hash_t hash) {
    return mix(static_cast<uint64_t>(PyUnicode_GET_LENGTH(text)),
               static_cast<uint64_t>(hash));
}

// A full-avalanche finalizer. A word enters a wide int's chain through it, not raw: mix
// keeps a difference in the top bit of its word in the top bit alone, and the next
// rotation puts it where the next raw word could cancel it, so n and n ^ (2**63 | 2**68)
// would hash alike.
inline uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

// An int beyond 64 bits: mix(0, NOT n), then fmix64 of each of the n 64-bit words of its
// shortest two's-complement form, least significant first. False when memory runs out.
[[gnu::cold, gnu::noinline]] bool wide_int_word(PyObject* x, uint64_t& out) {
    constexpr int kFlags = Py_ASNATIVEBYTES_LITTLE_ENDIAN;
    // An upper bound, possibly a byte more than the value needs: trimmed below.
    Py_ssize_t bytes = PyLong_AsNativeBytes(x, nullptr, 0, kFlags);
    if (bytes < 0) {  // cannot fail for an exact int; leave nothing pending all the same
        PyErr_Clear();
        return false;
    }
    size_t n = (static_cast<size_t>(bytes) + 7) / 8;
    uint64_t local[32];
    uint64_t* words = local;
    if (n > std::size(local)) {
        words = static_cast<uint64_t*>(std::malloc(n * sizeof(uint64_t)));
        if (!words) return false;
    }
    PyLong_AsNativeBytes(x, words, static_cast<Py_ssize_t>(n * sizeof(uint64_t)), kFlags);
    if constexpr (std::endian::native == std::endian::big)
        for (size_t k = 0; k < n; ++k) words[k] = std::byteswap(words[k]);
    // A top word that only repeats the sign of the word below adds nothing.
    while (n > 2 && words[n - 1] == static_cast<uint64_t>(
                                        static_cast<int64_t>(words[n - 2]) >> 63))
        --n;
    uint64_t g = mix(0, ~static_cast<uint64_t>(n));
    for (size_t k = 0; k < n; ++k) g = mix(g, fmix64(words[k]));
    if (words != local) std::free(words);
    out = g;
    return true;
}

// The value word of an exact int: the value itself when it fits in 64 signed bits.
[[gnu::always_inline]] inline bool int_word(PyObject* x, uint64_t& out) {
    auto* v = reinterpret_cast<PyLongObject*>(x);
    if (PyUnstable_Long_IsCompact(v)) [[likely]] {
        out = static_cast<uint64_t>(static_cast<int64_t>(PyUnstable_Long_CompactValue(v)));
        return true;
    }
    int64_t value;
    if (PyLong_AsNativeBytes(x, &value, sizeof value, Py_ASNATIVEBYTES_NATIVE_ENDIAN) <=
        static_cast<Py_ssize_t>(sizeof value)) {
        out = static_cast<uint64_t>(value);
        return true;
    }
    return wide_int_word(x, out);
}

using engine::Leaf;

// The contribution of a leaf whose hash runs no Python code: None, Ellipsis and exact str,
// bytes, bool and int. A str keeps its hash once made.
[[gnu::always_inline]] inline Leaf plain_leaf_hash(PyObject* x, uint64_t& out) {
    PyTypeObject* type = Py_TYPE(x);
    uint64_t s;
    if (type == &PyUnicode_Type) {
        Py_hash_t h = reinterpret_cast<PyASCIIObject*>(x)->hash;
        s = str_word(x, h != -1 ? h : PyObject_Hash(x));  // cannot fail for a str
    } else if (type == &PyLong_Type) {
        if (!int_word(x, s)) return Leaf::failed;
    } else if (x == Py_None || type == &PyBool_Type || type == &PyBytes_Type ||
               x == Py_Ellipsis) {
        s = static_cast<uint64_t>(PyObject_Hash(x));  // cannot fail for these
    } else {
        return Leaf::other;
    }
    out = leaf_word(type, s);
    return Leaf::plain;
}

// Any other leaf enters through its repr, as ast.dump prints it. `x` must be kept alive by
// the caller while its repr runs. The repr may be a str subclass with a hash of its own.
bool repr_leaf_hash(PyObject* x, uint64_t& out) {
    Ref text = Ref::adopt(PyObject_Repr(x));
    if (!text) return false;
    Py_hash_t s = PyObject_Hash(text.get());
    if (s == -1 && PyErr_Occurred()) return false;
    out = leaf_word(Py_TYPE(x), str_word(text.get(), s));
    return true;
}

// The scheme of subtree_hash: a node starts from mix(0, address of its type); a present
// field at position i adds mix(mix(h, i), f), f being a leaf's word, a child's hash, or for
// an exact list the chain from mix(0, NOT length) over its elements.
struct MixScheme {
    using Value = uint64_t;
    struct Acc {
        uint64_t h;  // the node's hash so far
        uint64_t g;  // the hash so far of the list being read
    };

    const uint64_t none_word =  // the contribution of None, the commonest leaf
        leaf_word(Py_TYPE(Py_None), static_cast<uint64_t>(PyObject_Hash(Py_None)));

    [[gnu::always_inline]] static bool open_known(PyTypeObject* type, const TypeInfo&,
                                                  Acc& a) {
        a.h = mix(0, address(type));
        return true;
    }
    static Status open_any(PyTypeObject* type, const TypeInfo& info, Acc& a) {
        open_known(type, info, a);
        return {};
    }
    [[gnu::always_inline]] static void field(Acc& a, size_t i) { a.h = mix(a.h, i); }
    [[gnu::always_inline]] static void list_begin(Acc& a, Py_ssize_t n) {
        a.g = mix(0, ~static_cast<uint64_t>(n));
    }
    [[gnu::always_inline]] static void list_end(Acc& a, size_t) { a.h = mix(a.h, a.g); }
    [[gnu::always_inline]] static void child(Acc& a, uint64_t c, bool in_list) {
        if (in_list)
            a.g = mix(a.g, c);
        else
            a.h = mix(a.h, c);
    }
    [[gnu::always_inline]] engine::Leaf leaf(Acc& a, PyObject* x, bool in_list) const {
        uint64_t w;
        if (x == Py_None) {
            w = none_word;
        } else if (Leaf leaf = plain_leaf_hash(x, w); leaf != Leaf::plain) {
            // Float and complex reprs are made by C code alone; a failed one (out of
            // memory) is left to repr_leaf, which reports it.
            PyTypeObject* type = Py_TYPE(x);
            if (leaf == Leaf::failed || (type != &PyFloat_Type && type != &PyComplex_Type))
                return leaf;
            if (!repr_leaf_hash(x, w)) {
                PyErr_Clear();
                return Leaf::other;
            }
        }
        child(a, w, in_list);
        return Leaf::plain;
    }
    static Status repr_leaf(Acc& a, PyObject* x, bool in_list) {
        uint64_t w;
        if (!repr_leaf_hash(x, w)) return fail(take_pending());
        child(a, w, in_list);
        return {};
    }
    [[gnu::always_inline]] static bool finish(const Acc& a, uint64_t& out) {
        out = a.h;
        return true;
    }
};

Result<Ref> signed_int(uint64_t h) {
    PyObject* value = PyLong_FromLongLong(std::bit_cast<int64_t>(h));
    if (!value) return fail(null_object(SPRIG_HERE));
    return Ref::adopt(value);
}

}  // namespace

Result<Ref> subtree_hashes(PyObject* node) {
    return engine::all_values<MixScheme>(node, signed_int);
}

Result<Ref> subtree_hash(PyObject* node) {
    return engine::one_value<MixScheme>(node, signed_int);
}

}  // namespace sprig
