// Once-per-process objects. A waiting thread parks on a PyMutex, which detaches it from the
// interpreter, so no thread ever blocks on the guard while holding the interpreter.
#include "core/names.hpp"

namespace sprig {

namespace detail {
std::atomic<PyObject*> g_names[static_cast<int>(Name::count)];
}

std::atomic<bool> g_walk_warned{false};

namespace {

PyMutex g_once_guard;
std::atomic<PyObject*> g_failure_type{nullptr};

constexpr const char* kNameTexts[] = {
#define SPRIG_NAME_TEXT(n) #n,
    SPRIG_NAMES(SPRIG_NAME_TEXT)
#undef SPRIG_NAME_TEXT
};

constexpr const char kFailureDoc[] =
    "Raised when sprig's own native code fails internally.\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it\n"
    "typically propagates all the way up and makes the interpreter exit.";

}  // namespace

Result<PyObject*> detail::make_name(Name n) {
    auto& cell = g_names[static_cast<int>(n)];
    PyMutex_Lock(&g_once_guard);
    PyObject* s = cell.load(std::memory_order_relaxed);
    if (!s) {
        s = PyUnicode_InternFromString(kNameTexts[static_cast<int>(n)]);
        if (s) cell.store(s, std::memory_order_release);
    }
    PyMutex_Unlock(&g_once_guard);
    if (!s) return fail(null_object(SPRIG_HERE));
    return s;
}

PyObject* interned_exact(PyObject* name) {
    PyObject* exact = PyUnicode_CheckExact(name) ? Py_NewRef(name) : PyUnicode_FromObject(name);
    if (exact) PyUnicode_InternInPlace(&exact);
    return exact;
}

Result<PyObject*> internal_failure_type() {
    PyObject* t = g_failure_type.load(std::memory_order_acquire);
    if (t) [[likely]]
        return t;
    PyMutex_Lock(&g_once_guard);
    t = g_failure_type.load(std::memory_order_relaxed);
    if (!t) {
        t = PyErr_NewExceptionWithDoc("sprig.InternalFailure", kFailureDoc,
                                      PyExc_BaseException, nullptr);
        if (t) g_failure_type.store(t, std::memory_order_release);
    }
    PyMutex_Unlock(&g_once_guard);
    if (!t) return fail(take_pending());
    return t;
}

PyObject* internal_failure_type_if_made() {
    return g_failure_type.load(std::memory_order_acquire);
}

}  // namespace sprig
