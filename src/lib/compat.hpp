// The differences between the supported CPython versions (3.13, 3.14, 3.15), decided by
// PY_VERSION_HEX here and nowhere else: every other file includes this one instead of
// Python.h and writes one spelling for all versions.
#pragma once
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
#error "sprig needs CPython 3.13 or newer"
#endif

// Alike on every supported version, so written once where they are used:
// - the keys object of a dictionary (instance_dict.hpp) has had the same layout since 3.13,
//   and the import-time check still decides per interpreter whether it is read in place;
// - _PyType_LookupRef and _PyDict_NewPresized are exported by 3.13 to 3.15;
// - type version tags (PyUnstable_Type_AssignVersionTag) date from 3.12.

namespace sprig::compat {

/// PyIter_NextItem (3.14): 1 with a new reference in *item, 0 at the end, -1 on error.
inline int iter_next_item(PyObject* iterator, PyObject** item) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyIter_NextItem(iterator, item);
#else
    *item = PyIter_Next(iterator);
    if (*item) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace sprig::compat
