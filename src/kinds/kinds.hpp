// Kind sets: the caller's tuples of classes, turned into sorted address arrays that the
// typed walks test each node's exact type against, and remembered per thread so that a
// tuple of many classes is not sorted again at every call. Holds no references at all.
#pragma once
#include <cstdint>

#include "core/grow.hpp"
#include "core/result.hpp"

namespace sprig {

class CallKindSet;

/// The distinct classes named by a kinds, prune or bracket tuple, as strictly ascending
/// addresses. The argument tuple, held by the call, keeps the classes alive. Built in place
/// and never moved: the entries point into the set's own storage when they are few.
class KindSet {
public:
    KindSet() = default;
    KindSet(const KindSet&) = delete;
    KindSet& operator=(const KindSet&) = delete;

    /// Sets of up to this many classes are built in the set's own storage.
    static constexpr size_t kInline = 8;  // argument tuples rarely name more classes

    size_t size() const { return size_; }
    const uintptr_t* entries() const { return entries_; }
    const uintptr_t* small() const { return small_; }
    uint64_t filter() const { return filter_; }

    /// The bit of filter() that stands for the class at address `key`. Type objects are
    /// 16-byte aligned and hundreds of bytes long, so the address bits above the alignment
    /// tell most classes apart; a bit shared by two classes only costs the comparisons.
    [[gnu::always_inline]] static unsigned filter_bit(uintptr_t key) {
        return static_cast<unsigned>(key >> 4) & 63;
    }

private:
    friend Status find_kind_set(PyObject* tuple, CallKindSet& out);

    // Fills this empty set with the classes stored in `tuple`, read from the tuple's own
    // item storage. An item that is not a class is the type-mismatch TypeError (no note).
    Status build(PyObject* tuple);

    // The first four entries, padded with 0 (no object's type), for the test of small sets.
    uintptr_t small_[4] = {};
    uint64_t filter_ = 0;  // bit filter_bit(c) set for every class c in the set
    const uintptr_t* entries_ = nullptr;
    size_t size_ = 0;
    uintptr_t inline_[kInline];
    Grow<uintptr_t> heap_;  // used when the tuple has more than kInline items
};

/// A new reference to `value` when it is a tuple (or a tuple subclass); otherwise the
/// type-mismatch TypeError with the note "while processing '{name}'".
Result<Ref> tuple_argument(PyObject* value, const char* name);

/// Whether the exact type of `node` is in `set`: two comparisons without a branch for one
/// or two classes; for more, a filter that turns most other classes away, then four
/// comparisons without a branch for the usual few, a bisection without early exit
/// otherwise.
[[gnu::always_inline]] inline bool kind_set_contains(const KindSet& set, PyObject* node) {
    size_t size = set.size();
    auto key = reinterpret_cast<uintptr_t>(Py_TYPE(node));
    const uintptr_t* s = set.small();
    // The size is the same for a whole call, so these branches are predicted.
    if (size <= 2) return (key == s[0]) | (key == s[1]);
    if (!((set.filter() >> KindSet::filter_bit(key)) & 1)) return false;
    if (size <= 4) return (key == s[0]) | (key == s[1]) | (key == s[2]) | (key == s[3]);
    const uintptr_t* base = set.entries();
    while (size > 1) {
        size_t half = size / 2;
        if (base[half] <= key) base += half;
        size -= half;
    }
    return *base == key;
}

struct KindEntry;

/// The kind set of one argument for the length of one call: the thread's remembered set,
/// kept from eviction until the call ends, or one built for this call alone.
class CallKindSet {
public:
    CallKindSet() = default;
    CallKindSet(const CallKindSet&) = delete;
    CallKindSet& operator=(const CallKindSet&) = delete;
    ~CallKindSet();

    const KindSet& get() const { return *set_; }

private:
    friend Status find_kind_set(PyObject* tuple, CallKindSet& out);
    KindSet own_;
    const KindSet* set_ = &own_;
    KindEntry* entry_ = nullptr;  // the remembered entry in use, or null
};

/// Fills the empty `out` with the kind set of `tuple`, which tuple_argument accepted: the
/// one remembered for this tuple while it holds the very classes it was built from, else one
/// built now (and remembered, when the tuple names more classes than a set holds inline).
/// An item that is not a class is the type-mismatch TypeError (no note).
Status find_kind_set(PyObject* tuple, CallKindSet& out);

}  // namespace sprig
