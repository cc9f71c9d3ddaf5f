// Checking and building kind sets. Runs no Python code except to format an error.
#include "kinds/kinds.hpp"

#include <algorithm>

#include "core/frame.hpp"

namespace sprig {

Result<Ref> tuple_argument(PyObject* value, const char* name) {
    if (PyTuple_Check(value)) [[likely]]
        return Ref::retain(value);
    Failure f = type_mismatch(value, &PyTuple_Type);
    add_argument_note(f, name);
    return fail(std::move(f));
}

Status build_kind_set(PyObject* tuple, KindSet& set) {
    // PyTuple_GET_ITEM reads the stored items: a subclass's __getitem__ is never consulted.
    auto n = static_cast<size_t>(PyTuple_GET_SIZE(tuple));
    uintptr_t* entries = set.inline_;
    if (n > KindSet::kInline) {
        if (!set.heap_.reserve(n)) return fail(no_memory());
        entries = set.heap_.data();
    }
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (!PyType_Check(item)) return fail(type_mismatch(item, &PyType_Type));
        entries[i] = reinterpret_cast<uintptr_t>(item);
    }
    if (n <= KindSet::kInline) {
        // Insertion sort: the usual few classes cost less than a call to std::sort.
        for (size_t i = 1; i < n; ++i) {
            uintptr_t v = entries[i];
            size_t j = i;
            for (; j > 0 && entries[j - 1] > v; --j) entries[j] = entries[j - 1];
            entries[j] = v;
        }
    } else {
        std::sort(entries, entries + n);
    }
    set.entries_ = entries;
    set.size_ = static_cast<size_t>(std::unique(entries, entries + n) - entries);
    std::copy_n(entries, std::min(set.size_, std::size(set.small_)), set.small_);
    for (size_t i = 0; i < set.size_; ++i)
        set.filter_ |= uint64_t{1} << KindSet::filter_bit(entries[i]);
    return {};
}

}  // namespace sprig
