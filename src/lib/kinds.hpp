// Kind sets: the caller's tuples of classes, turned into sorted address arrays that the
// typed walks test each node's exact type against. Holds no references to the classes.
#pragma once
#include <cstdint>

#include "lib/grow.hpp"
#include "lib/result.hpp"

namespace sprig {

/// The distinct classes named by a kinds, prune or bracket tuple, as strictly ascending
/// addresses. The argument tuple, held by the call, keeps the classes alive.
struct KindSet {
    Grow<uintptr_t> entries;
};

/// A new reference to `value` when it is a tuple (or a tuple subclass); otherwise the
/// type-mismatch TypeError with the note "while processing '{name}'".
Result<Ref> tuple_argument(PyObject* value, const char* name);

/// The set of the classes stored in `tuple`, read from its own item storage. An item that
/// is not a class is the type-mismatch TypeError (no note).
Result<KindSet> build_kind_set(PyObject* tuple);

/// Whether the exact type of `node` is in `set`: a bisection without early exit.
[[gnu::always_inline]] inline bool kind_set_contains(const KindSet& set, PyObject* node) {
    size_t size = set.entries.size();
    if (size == 0) return false;
    auto key = reinterpret_cast<uintptr_t>(Py_TYPE(node));
    const uintptr_t* base = set.entries.data();
    while (size > 1) {
        size_t half = size / 2;
        if (base[half] <= key) base += half;
        size -= half;
    }
    return *base == key;
}

}  // namespace sprig
