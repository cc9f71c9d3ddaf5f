// The visitor classes' methods as objects that bind as Python functions do, so that
// `sprig.NodeTransformer.generic_visit(other, node)` runs on any `other`, as the standard
// function does. Only the binding lives here; the bodies are the visitors'.
#include "stdlib/visitor_function.hpp"

#include <cstddef>

namespace sprig {

namespace {

// One function. Its strings are made once with it; `spec` and `standard` live as long as
// the process (a static record and an object that the visitors' globals hold).
struct VisitorFunction {
    PyObject ob_base;
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* standard;  // borrowed, may be null: see make_visitor_function
    PyObject* name;      // owned, exact str
    PyObject* qualname;  // owned, exact str
    PyObject* module;    // owned
    PyObject* doc;       // owned, exact str
};

VisitorFunction* as_function(PyObject* p) { return reinterpret_cast<VisitorFunction*>(p); }

// Binds (self, node) as a Python function with those two parameters does: positionally,
// by keyword, or both. False when that binding would fail.
bool bind(PyObject* const* args, Py_ssize_t n, PyObject* kwnames, PyObject** bound) {
    if (n > 2) return false;
    bound[0] = n > 0 ? args[0] : nullptr;
    bound[1] = n > 1 ? args[1] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int at = PyUnicode_CompareWithASCIIString(key, "self") == 0   ? 0
                 : PyUnicode_CompareWithASCIIString(key, "node") == 0 ? 1
                                                                      : -1;
        if (at < 0 || bound[at]) return false;
        bound[at] = args[n + k];
    }
    return bound[0] && bound[1];
}

// A call whose arguments do not bind: the standard function gets the same arguments and
// raises the binding error it raises, with its text on every version. Its outcome is the
// one the standard class would have, whatever it is.
[[gnu::cold, gnu::noinline]] PyObject* refuse(VisitorFunction* f, PyObject* const* args,
                                              size_t nargsf, PyObject* kwnames) {
    if (f->standard) return PyObject_Vectorcall(f->standard, args, nargsf, kwnames);
    PyErr_Format(PyExc_TypeError, "%U() takes the arguments (self, node)", f->qualname);
    return nullptr;
}

PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf,
               PyObject* kwnames) {
    VisitorFunction* f = as_function(callable);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n == 2 && !kwnames) [[likely]]
        return f->spec->body(args[0], args[1]);
    PyObject* bound[2];
    if (!bind(args, n, kwnames, bound)) return refuse(f, args, nargsf, kwnames);
    return f->spec->body(bound[0], bound[1]);
}

// As a function's __get__: itself when read through a class, bound to the instance else.
PyObject* get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

void dealloc(PyObject* self) {
    VisitorFunction* f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    PyObject_Free(self);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_signature(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->spec->signature);
}

// Pickled and copied by reference, as functions are: by module and qualified name.
PyObject* reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef g_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Filled by ready_type on first use: an initializer would have to name every slot, and
// the slots differ between versions.
PyTypeObject g_type{};

Status ready_type() {
    PyTypeObject& t = g_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return {};
    // A static object's header, as the macro makes it on each version (it ends in a comma).
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.ob_base = head[0];
    t.tp_name = "sprig.visitor_function";
    t.tp_basicsize = sizeof(VisitorFunction);
    // A method descriptor to the interpreter: `obj.name(...)` calls it with `obj` first,
    // without making a bound method.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_vectorcall_offset = offsetof(VisitorFunction, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = get;
    t.tp_dealloc = dealloc;
    t.tp_repr = repr;
    t.tp_getset = g_getset;
    t.tp_methods = g_methods;
    t.tp_doc =
        "A function of sprig's visitor classes, bound to the instance it is read from.";
    if (PyType_Ready(&t) < 0) return fail(take_pending());
    return {};
}

}  // namespace

Result<Ref> make_visitor_function(const FunctionSpec* spec, PyObject* standard,
                                  PyObject* module_name) {
    SPRIG_TRY(ready_type());
    Ref name = Ref::adopt(PyUnicode_InternFromString(spec->name));
    Ref qualname = Ref::adopt(PyUnicode_FromString(spec->qualname));
    Ref doc = Ref::adopt(PyUnicode_FromString(spec->doc));
    if (!name || !qualname || !doc) return fail(take_pending());
    VisitorFunction* f = PyObject_New(VisitorFunction, &g_type);
    if (!f) return fail(take_pending());
    f->vectorcall = call;
    f->spec = spec;
    f->standard = standard && PyFunction_Check(standard) ? standard : nullptr;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    return Ref::adopt(reinterpret_cast<PyObject*>(f));
}

bool is_visitor_function(PyObject* obj) { return Py_IS_TYPE(obj, &g_type); }

}  // namespace sprig
