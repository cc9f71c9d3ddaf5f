#include "schema/plain_writes.hpp"

#include "core/ref.hpp"

namespace sprig {

bool plain_writes(PyTypeObject* type, PyObject* const* names, int count,
                  unsigned int& cached) {
    if (type->tp_setattro != PyObject_GenericSetAttr) return false;
    unsigned int tag = type->tp_version_tag;
    if (tag != 0 && tag == cached) [[likely]]
        return true;
    if (!PyUnstable_Type_AssignVersionTag(type)) return false;
    tag = type->tp_version_tag;
    for (int i = 0; i < count; ++i) {
        Ref found = Ref::adopt(_PyType_LookupRef(type, names[i]));
        if (found && Py_TYPE(found.get())->tp_descr_set) return false;
    }
    if (type->tp_version_tag != tag || type->tp_setattro != PyObject_GenericSetAttr)
        return false;  // the type changed while it was looked at
    cached = tag;
    return true;
}

}  // namespace sprig
