// Verification of the direct dictionary read, and the lookups that never run Python code.
#include "schema/instance_dict.hpp"

#include "core/ref.hpp"

namespace sprig {

bool detail::g_layout_verified = false;
bool detail::g_direct_reads = false;

namespace {

bool layout_matches(PyObject* dict) {
    Py_ssize_t count = 0;
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values) return false;
    const UnicodeEntry* entries = str_entries_unchecked(dict, &count);
    if (!entries || count != PyDict_GET_SIZE(dict)) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (i >= count || entries[i].key != key || entries[i].value != value) return false;
        ++i;
    }
    return i == count;
}

}  // namespace

void verify_dict_layout() {
    static bool done = false;  // exec runs with the module's import lock held
    if (done) return;
    done = true;
#if defined(Py_GIL_DISABLED)
    return;  // another keys layout; the dictionary API serves every read there
#else
    PyObject* saved = PyErr_GetRaisedException();
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    Ref name_class = ast ? Ref::adopt(PyObject_GetAttrString(ast.get(), "Name")) : Ref();
    Ref load_class = ast ? Ref::adopt(PyObject_GetAttrString(ast.get(), "Load")) : Ref();
    Ref load = load_class ? Ref::adopt(PyObject_CallNoArgs(load_class.get())) : Ref();
    Ref node;
    if (name_class && load) {
        Ref kwargs = Ref::adopt(Py_BuildValue("{s:s,s:O,s:i}", "id", "x", "ctx", load.get(),
                                              "lineno", 1));
        Ref empty = Ref::adopt(PyTuple_New(0));
        if (kwargs && empty)
            node = Ref::adopt(PyObject_Call(name_class.get(), empty.get(), kwargs.get()));
    }
    PyObject* dict = node ? instance_dict(node.get()) : nullptr;
    bool ok = dict && PyDict_CheckExact(dict) && PyDict_GET_SIZE(dict) == 3 && layout_matches(dict);
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
    detail::g_layout_verified = ok;
    detail::g_direct_reads = ok;
#endif
}

bool set_direct_reads(bool enable) {
    detail::g_direct_reads = enable && detail::g_layout_verified;
    return detail::g_direct_reads;
}

PyObject* find_str_key(PyObject* dict, PyObject* name) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (key == name) return value;
        // Another str key is the name's own when a lookup would find it: equal characters
        // (comparing them runs no Python code) under str's own hash. A subclass with a hash
        // of its own may sit beside the exact key in the same dictionary.
        if (PyUnicode_Check(key) && Py_TYPE(key)->tp_hash == PyUnicode_Type.tp_hash &&
            PyUnicode_Compare(key, name) == 0)
            return value;
    }
    return nullptr;
}

}  // namespace sprig
