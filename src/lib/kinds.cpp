// Checking and building kind sets. Runs no Python code except to format an error.
#include "lib/kinds.hpp"

#include <algorithm>

#include "lib/frame.hpp"

namespace sprig {

Result<Ref> tuple_argument(PyObject* value, const char* name) {
    if (PyTuple_Check(value)) [[likely]]
        return Ref::retain(value);
    Failure f = type_mismatch(value, &PyTuple_Type);
    add_argument_note(f, name);
    return fail(std::move(f));
}

Result<KindSet> build_kind_set(PyObject* tuple) {
    KindSet set;
    // PyTuple_GET_ITEM reads the stored items: a subclass's __getitem__ is never consulted.
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (!PyType_Check(item)) return fail(type_mismatch(item, &PyType_Type));
        if (!set.entries.push(reinterpret_cast<uintptr_t>(item))) return fail(no_memory());
    }
    if (set.entries.size() > 1) {
        uintptr_t* begin = set.entries.data();
        uintptr_t* end = begin + set.entries.size();
        std::sort(begin, end);
        set.entries.truncate(static_cast<size_t>(std::unique(begin, end) - begin));
    }
    return set;
}

}  // namespace sprig
