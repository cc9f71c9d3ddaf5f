// Dispatch of sprig.NodeVisitor.visit: the handler that the standard library's `visit`
// would find, remembered per node class for the visitor class in the state its version tag
// names, and the functions installed on the two classes, which dispatch recognises.
#include "stdlib/visitor_dispatch.hpp"

#include "schema/instance_dict.hpp"
#include "stdlib/visitors.hpp"

namespace sprig {
namespace visiting {
namespace {

bool is_our_visit(PyObject* descr) { return descr == state().objects.visit; }

// Whether `descr` is one of our generic_visit functions, and which.
bool is_our_generic(PyObject* descr, Mode* mode) {
    const State& st = state();
    if (descr == st.objects.generic_v) {
        *mode = Mode::visitor;
        return true;
    }
    if (descr == st.objects.generic_t) {
        *mode = Mode::transformer;
        return true;
    }
    return false;
}

// Whether `generic` is one of our generic_visit functions, and in which mode. Like the
// standard functions they apply to a visitor of any class.
bool our_generic_for(PyObject* generic, Mode* mode) {
    return generic && is_our_generic(generic, mode);
}

// A class attribute that getattr binds to the instance without running Python code.
bool plain_method(PyObject* attr) {
    return PyFunction_Check(attr) || Py_IS_TYPE(attr, &PyMethodDescr_Type);
}

// The handler that the standard library's `visit` finds for `node`:
//     getattr(self, 'visit_' + node.__class__.__name__, self.generic_visit)
// `by_name` when only the real lookups can tell. The instance dictionary `dict` is read
// by lookups that may run Python code (a key with its own __eq__).
Result<Dispatch> resolve_handler(PyObject* self, PyObject* dict, PyObject* node) {
    PyTypeObject* vt = Py_TYPE(self);
    auto rec = node_class(Py_TYPE(node));
    if (!rec) return fail(std::move(rec.error()));
    if (!(*rec)->plain_name || vt->tp_getattro != PyObject_GenericGetAttr)
        return Dispatch(Dispatch::by_name);
    PyObject* generic = _PyType_Lookup(vt, globals().generic_visit);
    if (!generic || !plain_method(generic)) return Dispatch(Dispatch::by_name);
    PyObject* method = (*rec)->method;
    PyObject* found = _PyType_Lookup(vt, method);
    if (is_data_descriptor(found)) return Dispatch(Dispatch::by_name);
    Ref generic_held = Ref::retain(generic);
    Ref found_held = Ref::retain(found);
    auto own_generic = dict_entry(dict, globals().generic_visit);
    if (!own_generic) return fail(std::move(own_generic.error()));
    auto own = dict_entry(dict, method);
    if (!own) return fail(std::move(own.error()));
    if (*own) return Dispatch(Dispatch::call, Mode::visitor, std::move(*own));
    if (found) {
        Mode mode;
        if (our_generic_for(found, &mode)) return Dispatch(Dispatch::descend, mode);
        if (found == globals().ast_visit_constant) return Dispatch(Dispatch::ast_visit);
        if (plain_method(found))
            return Dispatch(Dispatch::call_method, Mode::visitor, std::move(found_held));
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (!get) return Dispatch(Dispatch::call, Mode::visitor, std::move(found_held));
        PyObject* bound = get(found, self, reinterpret_cast<PyObject*>(vt));
        if (!bound) return fail(take_pending());
        return Dispatch(Dispatch::call, Mode::visitor, Ref::adopt(bound));
    }
    if (*own_generic) return Dispatch(Dispatch::call, Mode::visitor, std::move(*own_generic));
    Mode mode;
    if (our_generic_for(generic, &mode)) return Dispatch(Dispatch::descend, mode);
    return Dispatch(Dispatch::call_method, Mode::visitor, std::move(generic_held));
}

// Fills the memo of `c` for the visitor class `vt`, on an instance that shadows nothing:
// what resolve_handler would find, from class lookups alone, which run no Python code.
[[gnu::noinline]] void fill_memo(PyTypeObject* vt, const NodeClass* c) {
    auto& m = c->memo;
    m.version = 0;
    m.visitor = vt;
    m.kind = Dispatch::by_name;
    m.mode = static_cast<uint8_t>(Mode::visitor);
    m.target = nullptr;
    if (!PyUnstable_Type_AssignVersionTag(vt)) return;  // decided afresh on every node
    unsigned int version = vt->tp_version_tag;
    auto settle = [&](Dispatch::Kind kind, Mode mode, PyObject* target) {
        m.kind = kind;
        m.mode = static_cast<uint8_t>(mode);
        m.target = target;
        m.version = version;
    };
    if (!c->plain_name || vt->tp_getattro != PyObject_GenericGetAttr)
        return settle(Dispatch::by_name, Mode::visitor, nullptr);
    PyObject* generic = _PyType_Lookup(vt, globals().generic_visit);
    if (!generic || !plain_method(generic))
        return settle(Dispatch::by_name, Mode::visitor, nullptr);
    Mode generic_mode = Mode::visitor;
    bool generic_ours = our_generic_for(generic, &generic_mode);
    PyObject* found = _PyType_Lookup(vt, c->method);
    if (!found) {
        if (generic_ours) return settle(Dispatch::descend, generic_mode, nullptr);
        return settle(Dispatch::call_method, Mode::visitor, generic);
    }
    if (is_data_descriptor(found)) return settle(Dispatch::by_name, Mode::visitor, nullptr);
    Mode mode;
    if (our_generic_for(found, &mode)) return settle(Dispatch::descend, mode, nullptr);
    if (found == globals().ast_visit_constant) {
        // It calls a deprecated handler if the visitor has one, else generic_visit: then
        // only its read of node.value, and the isinstance checks of that value, remain.
        bool deprecated = !globals().deprecated;
        for (Py_ssize_t i = 0; !deprecated && i < PyTuple_GET_SIZE(globals().deprecated); ++i)
            deprecated |= _PyType_Lookup(vt, PyTuple_GET_ITEM(globals().deprecated, i)) != nullptr;
        auto* nt = reinterpret_cast<PyTypeObject*>(c->type);
        bool plain_value = nt->tp_getattro == PyObject_GenericGetAttr &&
                           !is_data_descriptor(_PyType_Lookup(nt, globals().value));
        if (!deprecated && generic_ours && plain_value)
            return settle(Dispatch::constant, generic_mode, nullptr);
        return settle(Dispatch::ast_visit, Mode::visitor, nullptr);
    }
    if (plain_method(found)) return settle(Dispatch::call_method, Mode::visitor, found);
    if (!Py_TYPE(found)->tp_descr_get) return settle(Dispatch::call, Mode::visitor, found);
    return settle(Dispatch::by_name, Mode::visitor, nullptr);
}

// Whether ast.NodeVisitor.visit_Constant would read node.value and then run no Python
// code before it calls generic_visit: the value sits in the node's dictionary and its
// class answers isinstance from its type alone.
bool plain_constant_value(PyObject* node) {
    PyObject* dict = instance_dict(node);
    if (!dict || !PyDict_CheckExact(dict)) return false;
    PyObject* value = find_str_key(dict, globals().value);
    if (!value) return false;
    return common_scalar(value) || plain_class_attribute(Py_TYPE(value));
}

// The standard library's `visit`, lookup for lookup.
Result<Ref> visit_by_name(PyObject* self, PyObject* node) {
    Ref cls = Ref::adopt(PyObject_GetAttr(node, globals().dunder_class));
    if (!cls) return fail(take_pending());
    Ref name = Ref::adopt(PyObject_GetAttr(cls.get(), globals().dunder_name));
    if (!name) return fail(take_pending());
    Ref method = Ref::adopt(PyNumber_Add(globals().prefix, name.get()));
    if (!method) return fail(take_pending());
    Ref fallback = Ref::adopt(PyObject_GetAttr(self, globals().generic_visit));
    if (!fallback) return fail(take_pending());
    PyObject* handler = nullptr;
    int found = PyObject_GetOptionalAttr(self, method.get(), &handler);
    if (found < 0) return fail(take_pending());
    Ref held = found ? Ref::adopt(handler) : std::move(fallback);
    return invoke(held.get(), nullptr, node);
}

Result<Visited> called(Result<Ref> r) {
    if (!r) return fail(std::move(r.error()));
    return Visited{false, Mode::visitor, std::move(*r)};
}

[[gnu::noinline]] Result<Visited> dispatch_shadowed(Session& s, PyObject* node);

}  // namespace

// `known` is the node's current record when the caller has it at hand, else null.
Result<Visited> dispatch(Session& s, PyObject* node, const NodeClass* known) {
    SPRIG_TRY(refresh(s));
    PyTypeObject* vt = Py_TYPE(s.self);
    if (s.clean) [[likely]] {
        const NodeClass* c = known;
        if (!c || !current(c, Py_TYPE(node))) [[unlikely]] {
            s.touch();  // making a record allocates, and a collection may run finalizers
            auto rec = node_class(s.cache, Py_TYPE(node));
            if (!rec) return fail(std::move(rec.error()));
            c = *rec;
        }
        if (!c->memo.version || c->memo.visitor != vt || c->memo.version != vt->tp_version_tag)
            [[unlikely]]
            fill_memo(vt, c);
        auto mode = static_cast<Mode>(c->memo.mode);
        switch (static_cast<Dispatch::Kind>(c->memo.kind)) {
            case Dispatch::descend: return Visited{true, mode, Ref(), c};
            case Dispatch::constant:
                if (plain_constant_value(node)) return Visited{true, mode, Ref(), c};
                break;
            case Dispatch::call_method:
                s.touch();
                return called(invoke(c->memo.target, s.self, node));
            case Dispatch::call:
                s.touch();
                return called(invoke(c->memo.target, nullptr, node));
            case Dispatch::by_name:
                s.touch();
                return called(visit_by_name(s.self, node));
            case Dispatch::ast_visit: break;
        }
        s.touch();
        return called(invoke(globals().ast_visit, s.self, node));
    }
    return dispatch_shadowed(s, node);
}

namespace {

// dispatch on an instance whose dictionary may shadow a handler. Out of line: its locals
// would otherwise sit on the C stack of every handler call, once per level of the tree.
Result<Visited> dispatch_shadowed(Session& s, PyObject* node) {
    s.touch();
    auto dict = instance_attributes(s.self);
    if (!dict) return fail(std::move(dict.error()));
    auto d = resolve_handler(s.self, dict->get(), node);
    if (!d) return fail(std::move(d.error()));
    switch (d->kind) {
        case Dispatch::descend:
        case Dispatch::constant: return Visited{true, d->mode, Ref()};
        case Dispatch::call_method: return called(invoke(d->target.get(), s.self, node));
        case Dispatch::call: return called(invoke(d->target.get(), nullptr, node));
        case Dispatch::by_name: return called(visit_by_name(s.self, node));
        case Dispatch::ast_visit: break;
    }
    return called(invoke(globals().ast_visit, s.self, node));
}

}  // namespace

// Whether `self.visit` is sprig's own, so that generic_visit may dispatch without calling it.
Result<bool> visit_is_ours(Session& s) {
    SPRIG_TRY(refresh(s));
    PyTypeObject* vt = Py_TYPE(s.self);
    if (s.clean && vt == s.visit_type && s.visit_version &&
        vt->tp_version_tag == s.visit_version) [[likely]]
        return true;
    if (vt->tp_getattro != PyObject_GenericGetAttr) return false;
    if (!is_our_visit(_PyType_Lookup(vt, globals().visit))) return false;
    if (s.clean) {
        if (PyUnstable_Type_AssignVersionTag(vt)) {
            s.visit_type = vt;
            s.visit_version = vt->tp_version_tag;
        }
        return true;
    }
    s.touch();
    auto dict = instance_attributes(s.self);
    if (!dict) return fail(std::move(dict.error()));
    auto own = dict_entry(dict->get(), globals().visit);
    if (!own) return fail(std::move(own.error()));
    return !*own;
}

}  // namespace visiting

}  // namespace sprig
