// The differences between the supported CPython versions (3.11 to 3.15), decided by
// PY_VERSION_HEX here and nowhere else: every other file includes this one instead of
// Python.h and writes one spelling for all versions, the newest interpreter's. Where an
// older version lacks a call, a stand-in of the same name and contract is defined below,
// limited to what sprig asks of it.
#pragma once
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#error "sprig needs CPython 3.11 or newer"
#endif

#include "core/stack.hpp"

// Alike on every supported version, so written once where they are used:
// - the keys object of a dictionary (instance_dict.hpp) has had the same layout since 3.11,
//   and the import-time check still decides per interpreter whether it is read in place;
// - _PyDict_NewPresized is exported by 3.11 to 3.15;
// - a type's version tag is never reused, and any change to the type or a base resets it
//   to 0 (3.11 gave up wrapping the counter around, for its specialising interpreter).

#if PY_VERSION_HEX < 0x030D0000
#include <atomic>
#include <cstring>
#include <thread>
#endif

// ---- 3.12 and older -------------------------------------------------------------------

#if PY_VERSION_HEX < 0x030C0000

/// 3.11 has no call that only assigns a version tag. Its method-cache lookup assigns one to
/// the class and its bases on the way, as the interpreter's own attribute lookups do, and
/// Py_TPFLAGS_VALID_VERSION_TAG then says whether it could.
inline int PyUnstable_Type_AssignVersionTag(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 1;
    // Made per call, not kept: this runs once per class, and no Python object may outlive
    // the interpreter that made it.
    PyObject* probe = PyUnicode_InternFromString("__sprig_version_probe__");
    if (!probe) {
        PyErr_Clear();
        return 0;
    }
    // Looks through the dictionaries of the MRO with an exact str key: runs no Python code.
    (void)_PyType_Lookup(type, probe);
    Py_DECREF(probe);
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? 1 : 0;
}

inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) {
    if (!exc) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

// The member types without a prefix came with 3.12.
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY

// Before 3.12 an int's ob_size holds its sign and its count of 30-bit digits.
inline int PyUnstable_Long_IsCompact(const PyLongObject* op) {
    return Py_SIZE(op) >= -1 && Py_SIZE(op) <= 1;
}

inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject* op) {
    Py_ssize_t digit = static_cast<Py_ssize_t>(op->ob_digit[0]);
    return Py_SIZE(op) * digit;
}

#endif  // < 3.12

// ---- 3.12 and 3.11 --------------------------------------------------------------------

#if PY_VERSION_HEX < 0x030D0000

/// A lock that detaches a waiting thread from the interpreter, as 3.13's PyMutex does, so
/// that the holder can always finish; it may also be taken with no interpreter attached.
/// Its uses guard a few quick steps and are rarely contended: a waiter yields its core
/// instead of sleeping. (No pthread call: those of a newer C library would raise the oldest
/// system the wheels can be tagged for.)
struct PyMutex {
    std::atomic<bool> locked{false};
};

inline void PyMutex_Lock(PyMutex* m) {
    if (!m->locked.exchange(true, std::memory_order_acquire)) return;
    // The calling thread's state in whichever interpreter it runs (PyGILState_Check knows
    // the main interpreter's threads only); none at thread exit.
    PyThreadState* saved = _PyThreadState_UncheckedGet() ? PyEval_SaveThread() : nullptr;
    while (m->locked.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    if (saved) PyEval_RestoreThread(saved);
}

inline void PyMutex_Unlock(PyMutex* m) { m->locked.store(false, std::memory_order_release); }

inline int PyWeakref_GetRef(PyObject* ref, PyObject** pobj) {
    *pobj = nullptr;
    if (!PyWeakref_Check(ref)) {
        PyErr_SetString(PyExc_TypeError, "expected a weakref");
        return -1;
    }
    PyObject* target = PyWeakref_GetObject(ref);
    if (!target) return -1;
    if (target == Py_None) return 0;
    *pobj = Py_NewRef(target);
    return 1;
}

inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(value);
    if (value) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
    *result = nullptr;
    PyObject* name = PyUnicode_FromString(key);
    if (!name) return -1;
    int found = PyDict_GetItemRef(dict, name, result);
    Py_DECREF(name);
    return found;
}

inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

inline PyObject* _PyType_LookupRef(PyTypeObject* type, PyObject* name) {
    return Py_XNewRef(_PyType_Lookup(type, name));
}

inline int PyList_Extend(PyObject* list, PyObject* iterable) {
    PyObject* none = _PyList_Extend(reinterpret_cast<PyListObject*>(list), iterable);
    if (!none) return -1;
    Py_DECREF(none);
    return 0;
}

#define Py_ASNATIVEBYTES_BIG_ENDIAN 0
#define Py_ASNATIVEBYTES_LITTLE_ENDIAN 1
#define Py_ASNATIVEBYTES_NATIVE_ENDIAN 3

/// The two's-complement bytes of an int, signed. Without a buffer: an upper bound of the
/// bytes the value needs. With one: a value no larger than `n` exactly when the int fits in
/// `n` bytes, which are then written; otherwise a larger value and the buffer unspecified.
inline Py_ssize_t PyLong_AsNativeBytes(PyObject* v, void* buffer, Py_ssize_t n, int flags) {
    if (!buffer || n <= 0) {
        size_t bits = _PyLong_NumBits(v);
        if (bits == static_cast<size_t>(-1) && PyErr_Occurred()) return -1;
        return static_cast<Py_ssize_t>(bits / 8 + 1);
    }
    int little = (flags & 3) == 3 ? PY_LITTLE_ENDIAN : (flags & 1);
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v),
                            static_cast<unsigned char*>(buffer), static_cast<size_t>(n),
                            little, 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
        return n + 1;
    }
    return n;
}

#define Py_ASNATIVEBYTES_UNSIGNED_BUFFER 4

inline PyObject* PyLong_FromUnsignedNativeBytes(const void* buffer, size_t n, int flags) {
    int little = (flags & 3) == 3 ? PY_LITTLE_ENDIAN : (flags & 1);
    return _PyLong_FromByteArray(static_cast<const unsigned char*>(buffer), n, little, 0);
}

/// A class's __module__ as 3.13 reads it: from the dictionary of a heap type, else the part
/// of the type's name before its last dot, or "builtins".
inline PyObject* PyType_GetModuleName(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* module = nullptr;
        if (PyDict_GetItemStringRef(type->tp_dict, "__module__", &module) == 0)
            PyErr_SetString(PyExc_AttributeError, "__module__");
        return module;
    }
    const char* dot = std::strrchr(type->tp_name, '.');
    if (!dot) return PyUnicode_InternFromString("builtins");
    return PyUnicode_FromStringAndSize(type->tp_name, dot - type->tp_name);
}

// The module slot that declares free-threading support came with 3.13.
#define SPRIG_MOD_GIL_SLOT

#else

#define SPRIG_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},

#endif  // < 3.13

// The module slot that declares which interpreters may import a module came with 3.12, as
// did interpreters with GILs of their own.
#if PY_VERSION_HEX < 0x030C0000
#define SPRIG_MOD_INTERPRETERS_SLOT
#else
#define SPRIG_MOD_INTERPRETERS_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif

// ---- compilers ------------------------------------------------------------------------

// An unroll request for a hot loop over a node's fields. g++ before 16 cannot honour it
// where the loop's bound is only known after inlining, and warns "ignoring loop annotation";
// those compilers, and clang, get no request.
#if !defined(__clang__) && defined(__GNUC__) && __GNUC__ >= 16
#define SPRIG_UNROLL_8 _Pragma("GCC unroll 8")
#else
#define SPRIG_UNROLL_8
#endif

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

#if PY_VERSION_HEX < 0x030E0000
/// Raises RecursionError for a stack used down to `at`; gives 1.
[[gnu::cold, gnu::noinline]] inline int stack_overflow(uintptr_t high, uintptr_t at,
                                                      const char* where) {
    PyErr_Format(PyExc_RecursionError, "Stack overflow (used %zu kB)%s",
                 static_cast<size_t>((high - at) / 1024), where);
    return 1;
}
#endif

/// Whether the running thread's C stack is too nearly full for one more call into Python
/// code, which then raises RecursionError ("Stack overflow ... " + `where`) and gives 1. From
/// 3.14 Py_EnterRecursiveCall measures the stack itself. Before, it counts calls only: on a
/// thread with a small stack, a visitor whose handlers call generic_visit would overflow the
/// stack long before the count runs out. Where the thread's bounds cannot be read, the count
/// alone guards, as before.
inline int stack_exhausted([[maybe_unused]] const char* where) {
#if PY_VERSION_HEX >= 0x030E0000
    return 0;
#else
    // What a handler's own code and the unwinding of the error may still need.
    constexpr uintptr_t kMargin = 64 * 1024;
    auto at = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (!stack_left_below(at, kMargin)) [[likely]]
        return 0;
    return stack_overflow(thread_stack().high, at, where);
#endif
}

/// Py_EnterRecursiveCall before a native loop calls a handler, and its end. 3.11 counts
/// Python frames and native nesting in one number, in which the handler's own frame already
/// counts the call: a second count would cut the depth a visitor reaches by a third.
inline int enter_handler_call([[maybe_unused]] const char* where) {
#if PY_VERSION_HEX >= 0x030C0000
    return Py_EnterRecursiveCall(where);
#else
    return 0;
#endif
}
inline void leave_handler_call() {
#if PY_VERSION_HEX >= 0x030C0000
    Py_LeaveRecursiveCall();
#endif
}

/// Whether fewer than `n` nested native calls are left before the interpreter raises
/// RecursionError for them. 3.12 and 3.13 count them apart from Python frames, against a
/// limit that debug builds keep low (500 on 3.13); 3.11 counts them with the frames, and
/// from 3.14 the stack itself is measured.
inline bool native_calls_left_below([[maybe_unused]] int n) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
    return PyThreadState_Get()->c_recursion_remaining < n;
#else
    return false;
#endif
}

}  // namespace sprig::compat
