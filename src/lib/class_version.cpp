// Version tags and liveness of classes, for the per-thread class caches.
#include "lib/class_version.hpp"

#include "lib/ref.hpp"

namespace sprig {

unsigned int class_version(PyTypeObject* type) {
    unsigned int tag = type->tp_version_tag;
    if (tag != 0) [[likely]]
        return tag;
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
    return type->tp_version_tag;
}

Result<PyObject*> watch_class(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    // No callback: a weak reference without one runs nothing when its class dies.
    PyObject* watch = PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), nullptr);
    if (!watch) return fail(take_pending());
    return watch;
}

bool class_alive(PyObject* watch) {
    if (!watch) return true;
    PyObject* target = nullptr;
    // The class, if it lives, has owners besides the reference taken here.
    int alive = PyWeakref_GetRef(watch, &target);
    Ref held = Ref::adopt(target);
    if (alive < 0) PyErr_Clear();  // only for an object that is no weak reference
    return alive > 0;
}

}  // namespace sprig
