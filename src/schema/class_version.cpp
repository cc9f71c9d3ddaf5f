// Version tags and liveness of classes, for the per-thread class caches.
#include "schema/class_version.hpp"

#include <atomic>

#include "core/ref.hpp"

namespace sprig {

namespace {

std::atomic<uint64_t> g_class_deaths{0};
// Made once per process and never released, like the interned names.
std::atomic<PyObject*> g_death_callback{nullptr};

// Called by a dying class's weak references, before its memory is freed: one store, no
// Python code, no failure.
PyObject* count_class_death(PyObject*, PyObject*) {
    g_class_deaths.fetch_add(1, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef g_count_class_death = {"_count_class_death", count_class_death, METH_O, nullptr};

Result<PyObject*> death_callback() {
    PyObject* callback = g_death_callback.load(std::memory_order_acquire);
    if (callback) [[likely]]
        return callback;
    Ref made = Ref::adopt(PyCFunction_New(&g_count_class_death, nullptr));
    if (!made) return fail(take_pending());
    // Two threads may make one at once: the one stored first is kept, the other dropped.
    if (!g_death_callback.compare_exchange_strong(callback, made.get(),
                                                  std::memory_order_acq_rel))
        return callback;
    return made.release();
}

}  // namespace

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

uint64_t class_deaths() { return g_class_deaths.load(std::memory_order_acquire); }

Result<PyObject*> watch_class_death(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    auto callback = death_callback();
    if (!callback) return fail(std::move(callback.error()));
    PyObject* watch = PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), *callback);
    if (!watch) return fail(take_pending());
    return watch;
}

}  // namespace sprig
