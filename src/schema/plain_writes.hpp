// Attribute writes of the edits. Each has the effect of PyObject_SetAttr; when that would
// only store the value in the node's instance dictionary, the edits store it there
// themselves and skip the attribute machinery around it, which costs more than the store.
#pragma once
#include "core/compat.hpp"

#include "schema/instance_dict.hpp"

namespace sprig {

/// Whether writing any of `names` on an instance of `type` goes straight into its instance
/// dictionary: the type's __setattr__ is the generic one and no data descriptor of those
/// names lies on the type. `cached` holds the type's version tag when it was last found so
/// (0 when never): a change to the type or its bases gives it a new tag, so a stale finding
/// never holds. Looking the names up may run Python code (an odd key's __eq__ in a class
/// dictionary).
bool plain_writes(PyTypeObject* type, PyObject* const* names, int count,
                  unsigned int& cached);

/// PyObject_SetAttr(node, name, value), with the same effect and result. `plain` is what
/// plain_writes found for `name` on the node's type just before: the value then goes into
/// the instance dictionary through PyDict_SetItem, as the generic __setattr__ would put it.
inline int set_attribute(PyObject* node, PyObject* name, PyObject* value, bool plain) {
    if (plain) {
        if (PyObject* dict = instance_dict(node)) [[likely]] {
            // Held: the __eq__ of a colliding key may replace the node's dictionary while
            // the store is under way.
            Py_INCREF(dict);
            int stored = PyDict_SetItem(dict, name, value);
            Py_DECREF(dict);
            return stored;
        }
    }
    return PyObject_SetAttr(node, name, value);
}

}  // namespace sprig
