// The helpers' class records, read without running Python code, and the isinstance and
// getattr steps that may run it.
#include "stdlib/ast_records.hpp"

#include "schema/class_version.hpp"

namespace sprig::ast_helpers {

Globals g;

namespace {

bool is_data_descriptor(PyObject* attr) { return attr && Py_TYPE(attr)->tp_descr_set; }

}  // namespace

[[gnu::noinline]] ClassRecord read_class(PyTypeObject* type) {
    ClassRecord r{};
    r.type = type;
    r.version = class_version(type);
    r.node = PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(g.ast));
    r.type_ignore = PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(g.type_ignore));
    if (!r.version) return r;  // nothing may be trusted past this one use
    bool generic = type->tp_getattro == PyObject_GenericGetAttr;
    r.plain_class = generic && _PyType_Lookup(type, g.dunder_class) == g.object_class;
    r.plain_get = generic && type->tp_dictoffset > 0;
    PyObject* fields = _PyType_Lookup(type, g.fields);
    if (r.plain_get && fields && PyTuple_CheckExact(fields)) {
        bool plain = true;
        for (Py_ssize_t i = 0; plain && i < PyTuple_GET_SIZE(fields); ++i) {
            PyObject* f = PyTuple_GET_ITEM(fields, i);
            plain = PyUnicode_CheckExact(f) && !is_data_descriptor(_PyType_Lookup(type, f));
        }
        if (plain) r.fields = fields;
    }
    PyObject* attributes = _PyType_Lookup(type, g.attributes);
    bool located = r.plain_get && attributes && PyTuple_CheckExact(attributes);
    for (Py_ssize_t i = 0; located && i < PyTuple_GET_SIZE(attributes); ++i) {
        PyObject* a = PyTuple_GET_ITEM(attributes, i);
        located = PyUnicode_CheckExact(a);
        for (int p = 0; located && p < kLocations; ++p)
            if (PyUnicode_Compare(a, g.location[p]) == 0) r.location_mask |= 1u << p;
    }
    for (int p = 0; located && p < kLocations; ++p) {
        PyObject* v = _PyType_Lookup(type, g.location[p]);
        located = !v || !Py_TYPE(v)->tp_descr_get;
        r.class_value[p] = v;
    }
    r.plain_locations = located;
    r.plain_set = located && type->tp_setattro == PyObject_GenericSetAttr;
    // Looking names up may have run an odd class-dictionary key's __eq__.
    if (type->tp_version_tag != r.version) {
        r.version = 0;
        r.fields = nullptr;
        r.plain_class = r.plain_get = r.plain_locations = r.plain_set = false;
    }
    return r;
}

Result<bool> is_instance(PyObject* value, PyObject* cls, bool plain_class) {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(cls))) return true;
    if (plain_class) return false;
    int r = PyObject_IsInstance(value, cls);
    if (r < 0) return fail(take_pending());
    return r == 1;
}

bool plain_class_of(PyObject* value) {
    return common_scalar(value) || record(Py_TYPE(value)).plain_class;
}

Result<bool> is_node(PyObject* value) {
    if (node_type(Py_TYPE(value))) return true;
    if (common_scalar(value)) return false;
    return is_instance(value, g.ast, plain_class_of(value));
}


[[gnu::cold]] Failure generator_failure(Failure f) {
    if (!f.exception || !PyErr_GivenExceptionMatches(f.exception.get(), PyExc_StopIteration))
        return f;
    PyObject* stop = f.exception.get();
    Ref error = Ref::adopt(
        PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration"));
    if (!error) return take_pending();
    PyException_SetCause(error.get(), Py_NewRef(stop));
    PyException_SetContext(error.get(), Py_NewRef(stop));
    Failure out;
    out.exception = std::move(error);
    return out;
}


Result<Ref> get_optional(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return fail(take_pending());
    return Ref::adopt(value);
}

}  // namespace sprig::ast_helpers
