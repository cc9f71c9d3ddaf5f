// The visitors' shared state: made at import (init_visitors), per thread (the node class
// records) and per call (Session). Python code runs here only in the isinstance calls of
// asked_shape and is_node, and in a handler that invoke calls.
#include "stdlib/visitor_state.hpp"

#include <new>

#include "schema/instance_dict.hpp"
#include "stdlib/visitors.hpp"

namespace sprig {
namespace visiting {

namespace {

void destroy(NodeClass* c) {
    for (size_t i = 0; i < c->shape.size(); ++i) release_cached(c->shape[i]);
    for (size_t i = 0; i < c->names.size(); ++i) release_cached(c->names[i]);
    if (c->fields) release_cached(c->fields);
    if (c->method) release_cached(c->method);
    if (c->name) release_cached(c->name);
    release_cached(c->type);
    delete c;
}

void destroy_node_classes(void* cache) { delete static_cast<NodeClassCache*>(cache); }

// The classes the records keep alive, for the module's traverse (see ThreadCaches::Slot).
int traverse_node_classes(void* cache, visitproc visit, void* arg) {
    auto* classes = static_cast<NodeClassCache*>(cache);
    for (size_t i = 0; i < classes->all.size(); ++i) Py_VISIT(classes->all[i]->type);
    return 0;
}

// Builds the record of `type`; runs no Python code (only `type`'s own getters are read).
Result<NodeClass*> make_node_class(PyTypeObject* type) {
    auto* c = new (std::nothrow) NodeClass{};
    if (!c) return fail(no_memory());
    c->type = Py_NewRef(reinterpret_cast<PyObject*>(type));
    auto discard = [&](Failure f) {
        destroy(c);
        return fail(std::move(f));
    };
    if (PyUnstable_Type_AssignVersionTag(type)) c->version = type->tp_version_tag;
    bool generic = type->tp_getattro == PyObject_GenericGetAttr;
    c->plain_class = generic && _PyType_Lookup(type, globals().dunder_class) == globals().object_class;
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) {
        PyObject* name = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), globals().dunder_name);
        if (!name) return discard(take_pending());
        c->name = name;
        c->plain_name = generic && PyUnicode_CheckExact(name) &&
                        _PyType_Lookup(type, globals().dunder_class) == globals().object_class;
        if (c->plain_name) {
            PyObject* method = PyUnicode_Concat(globals().prefix, name);
            if (!method) return discard(take_pending());
            PyUnicode_InternInPlace(&method);
            c->method = method;
        }
    }
    PyObject* fields = _PyType_Lookup(type, globals().fields);
    bool plain = generic && fields && PyTuple_CheckExact(fields);
    if (plain) {
        Py_ssize_t n = PyTuple_GET_SIZE(fields);
        for (Py_ssize_t i = 0; i < n && plain; ++i) {
            PyObject* f = PyTuple_GET_ITEM(fields, i);
            if (!PyUnicode_CheckExact(f) || is_data_descriptor(_PyType_Lookup(type, f))) {
                plain = false;
                break;
            }
            PyObject* text = Py_NewRef(f);
            PyUnicode_InternInPlace(&text);
            if (!c->names.push(text)) {
                Py_DECREF(text);
                return discard(no_memory());
            }
        }
    }
    if (plain) {
        c->fields = Py_NewRef(fields);
        c->plain_fields = true;
        c->plain_set = type->tp_setattro == PyObject_GenericSetAttr;
        for (size_t i = 0; i < c->names.size(); ++i) {
            if (!c->shape.push(Py_NewRef(c->names[i]))) {
                Py_DECREF(c->names[i]);
                return discard(no_memory());
            }
        }
        PyObject* attributes = _PyType_Lookup(type, globals().attributes);
        bool usable = attributes && PyTuple_CheckExact(attributes);
        for (Py_ssize_t i = 0; usable && i < PyTuple_GET_SIZE(attributes); ++i) {
            PyObject* a = PyTuple_GET_ITEM(attributes, i);
            if (!PyUnicode_CheckExact(a) || PyUnicode_Compare(a, globals().fields) == 0) {
                usable = false;
                break;
            }
            PyObject* text = Py_NewRef(a);
            PyUnicode_InternInPlace(&text);
            if (!c->shape.push(text)) {
                Py_DECREF(text);
                return discard(no_memory());
            }
        }
        for (size_t i = 0; usable && i < c->names.size(); ++i)
            usable = PyUnicode_Compare(c->names[i], globals().fields) != 0;
        c->known_shape = usable;
    }
    return c;
}

Result<bool> is_instance(PyObject* value, PyObject* cls) {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(cls))) return true;
    int r = PyObject_IsInstance(value, cls);
    if (r < 0) return fail(take_pending());
    return r == 1;
}

// Whether no key of `dict` is one that dispatch could look up on the instance.
bool shadows_nothing(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (PyUnicode_Tailmatch(key, globals().visit, 0, PY_SSIZE_T_MAX, -1) != 0) return false;
        if (key == globals().generic_visit || PyUnicode_Compare(key, globals().generic_visit) == 0)
            return false;
    }
    return true;
}

}  // namespace

NodeClassCache::~NodeClassCache() {
    for (size_t i = 0; i < all.size(); ++i) destroy(all[i]);
}

Result<NodeClassCache*> node_class_cache() {
    ThreadCaches::Slot& slot = cache_slot(Cache::node_classes);
    if (slot.data) [[likely]]
        return static_cast<NodeClassCache*>(slot.data);
    auto* cache = new (std::nothrow) NodeClassCache();
    if (!cache || !cache->map.init(256)) {
        delete cache;
        return fail(no_memory());
    }
    slot.data = cache;
    slot.destroy = destroy_node_classes;
    slot.traverse = traverse_node_classes;
    return cache;
}

[[gnu::noinline]] Result<const NodeClass*> make_current(NodeClassCache* cache,
                                                        PyTypeObject* type) {
    auto made = make_node_class(type);
    if (!made) return fail(std::move(made.error()));
    if (!cache->all.push(*made)) {
        destroy(*made);
        return fail(no_memory());
    }
    if (!cache->map.put(type, *made)) return fail(no_memory());
    return *made;
}


Result<const NodeClass*> node_class(PyTypeObject* type) {
    auto cache = node_class_cache();
    if (!cache) return fail(std::move(cache.error()));
    return node_class(*cache, type);
}

Result<Shape> asked_shape(PyObject* value, bool lists) {
    Ref held = Ref::retain(value);
    if (lists) {
        auto list = is_instance(value, reinterpret_cast<PyObject*>(&PyList_Type));
        if (!list) return fail(std::move(list.error()));
        if (*list) return Shape::list;
    }
    auto node = is_instance(value, globals().ast);
    if (!node) return fail(std::move(node.error()));
    return *node ? Shape::node : Shape::other;
}

Result<bool> is_node(NodeClassCache* cache, PyObject* value) {
    const NodeClass* rec = nullptr;
    Shape quick = quick_shape(cache, value, &rec);
    if (quick == Shape::list) return false;
    if (quick != Shape::ask) return quick == Shape::node;
    auto asked = asked_shape(value, false);
    if (!asked) return fail(std::move(asked.error()));
    return *asked == Shape::node;
}

Result<Ref> invoke(PyObject* callable, PyObject* self, PyObject* node) {
    Ref held = Ref::retain(callable);  // a handler may remove itself from its class
    if (compat::stack_exhausted(" while visiting a tree") ||
        compat::enter_handler_call(" while visiting a tree"))
        return fail(take_pending());
    PyObject* args[3] = {nullptr, self, node};
    PyObject* r = self ? PyObject_Vectorcall(callable, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr)
                       : PyObject_Vectorcall(callable, args + 2, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr);
    compat::leave_handler_call();
    if (!r) return fail(take_pending());
    return Ref::adopt(r);
}

// The visitor's instance dictionary (null when it keeps none). Made if the instance has
// none yet, which changes nothing any lookup finds.
Result<Ref> instance_attributes(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return Ref();
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) return fail(take_pending());
    return Ref::adopt(dict);
}

// The value of `name` in the dictionary `dict` (which may be null), as a new reference.
Result<Ref> dict_entry(PyObject* dict, PyObject* name) {
    if (!dict || PyDict_GET_SIZE(dict) == 0) return Ref();
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, name, &value) < 0) return fail(take_pending());
    return Ref::adopt(value);
}

[[gnu::noinline]] Status rescan(Session& s) {
    s.clean = false;
    if (Py_TYPE(s.self)->tp_getattro == PyObject_GenericGetAttr) {
        auto dict = instance_attributes(s.self);
        if (!dict) return fail(std::move(dict.error()));
        s.clean = !*dict || (PyDict_CheckExact(dict->get()) && shadows_nothing(dict->get()));
    }
    s.dirty = false;
    return {};
}

Result<Session> open_session(PyObject* self) {
    auto cache = node_class_cache();
    if (!cache) return fail(std::move(cache.error()));
    return Session{self, *cache};
}

}  // namespace visiting

using visiting::globals;

namespace {

// ast.NodeVisitor's own visit, and its visit_Constant with the names of the deprecated
// handlers that it looks for, where the ast module has them.
Status find_ast_visitor_functions(PyObject* ast) {
    Ref visitor = Ref::adopt(PyObject_GetAttrString(ast, "NodeVisitor"));
    if (!visitor) return fail(take_pending());
    if (!PyType_Check(visitor.get())) return fail(type_mismatch(visitor.get(), &PyType_Type));
    PyObject* own = reinterpret_cast<PyTypeObject*>(visitor.get())->tp_dict;
    globals().ast_visit = Py_XNewRef(PyDict_GetItemString(own, "visit"));
    if (!globals().ast_visit) return fail(null_object(SPRIG_HERE));
    globals().ast_visit_constant = Py_XNewRef(PyDict_GetItemString(own, "visit_Constant"));
    Ref names = Ref::adopt(PyList_New(0));
    if (!names) return fail(take_pending());
    PyObject* table = nullptr;
    if (globals().ast_visit_constant &&
        PyDict_GetItemStringRef(PyModule_GetDict(ast), "_const_node_type_names", &table) < 0)
        return fail(take_pending());
    Ref held = Ref::adopt(table);
    if (table && PyDict_Check(table)) {
        Py_ssize_t pos = 0;
        PyObject *key, *name;
        while (PyDict_Next(table, &pos, &key, &name)) {
            Ref method = Ref::adopt(PyNumber_Add(globals().prefix, name));
            if (!method) return fail(take_pending());
            PyObject* text = method.release();
            PyUnicode_InternInPlace(&text);
            method = Ref::adopt(text);
            if (PyList_Append(names.get(), method.get()) < 0) return fail(take_pending());
        }
    } else {
        return {};  // the handlers it looks for are unknown: every Constant goes through it
    }
    globals().deprecated = PyList_AsTuple(names.get());
    if (!globals().deprecated) return fail(take_pending());
    return {};
}

}  // namespace

Status init_visitors() {
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    globals().ast = PyObject_GetAttrString(ast.get(), "AST");
    if (!globals().ast) return fail(take_pending());
    if (!PyType_Check(globals().ast)) return fail(type_mismatch(globals().ast, &PyType_Type));
    const char* texts[] = {"visit", "generic_visit", "_fields", "__class__", "__name__",
                           "visit_", "_attributes", "value"};
    visiting::Globals& g = globals();
    PyObject** slots[] = {&g.visit,       &g.generic_visit, &g.fields,     &g.dunder_class,
                          &g.dunder_name, &g.prefix,        &g.attributes, &g.value};
    for (int i = 0; i < 8; ++i) {
        *slots[i] = PyUnicode_InternFromString(texts[i]);
        if (!*slots[i]) return fail(take_pending());
    }
    SPRIG_TRY(find_ast_visitor_functions(ast.get()));
    globals().object_class =
        Py_XNewRef(_PyType_Lookup(&PyBaseObject_Type, globals().dunder_class));
    globals().whole = PySlice_New(nullptr, nullptr, nullptr);
    if (!globals().whole || !globals().object_class) return fail(null_object(SPRIG_HERE));
    return {};
}

}  // namespace sprig
