// visit and generic_visit of sprig.NodeVisitor and sprig.NodeTransformer: the standard
// library's, call for call, with the descent through nodes that have no handler of their own
// run on an explicit stack instead of through Python frames.
//
// Exactness. Every shortcut below stands for a lookup whose answer it can prove without
// running Python code: type attributes come from the type's method cache (_PyType_Lookup),
// instance attributes from the instance dictionary, and a lookup that could involve a
// property, __getattr__ or __getattribute__ is made for real instead. Python code runs only
// in handlers, in by-name field reads, in the transformer's writes and in releases that
// free objects. What dispatch remembers holds for a class state named by a version tag;
// what it read from the visitor's instance dictionary and a frame's view of its node's
// dictionary hold only until the next step that may have run Python code (see Session).
#include "lib/visitors.hpp"

#include <algorithm>
#include <new>

#include "lib/classes.hpp"
#include "lib/frame.hpp"
#include "lib/grow.hpp"
#include "lib/instance_dict.hpp"
#include "lib/plain_writes.hpp"
#include "lib/type_map.hpp"
#include "lib/visitor_function.hpp"
#include "lib/state.hpp"

namespace sprig {

namespace {

struct Globals {
    PyObject* ast;              // ast.AST
    PyObject* object_class;     // object.__dict__['__class__']
    PyObject* visit;            // interned names
    PyObject* generic_visit;
    PyObject* fields;
    PyObject* dunder_class;
    PyObject* dunder_name;
    PyObject* attributes;       // '_attributes'
    PyObject* prefix;           // 'visit_'
    PyObject* whole;            // slice(None, None, None)
    PyObject* ast_visit;        // ast.NodeVisitor.visit, the function
    PyObject* ast_generic_v;    // ast.NodeVisitor.generic_visit, the function
    PyObject* ast_generic_t;    // ast.NodeTransformer.generic_visit, the function
    // ast.NodeVisitor.visit_Constant, the function, where the ast module has one (it calls
    // the deprecated per-type handlers), and the names of those handlers; else null.
    PyObject* ast_visit_constant;
    // The interned names of the deprecated handlers, 'visit_Num' and so on; null when
    // ast.NodeVisitor has no visit_Constant, or when its table of them is not found.
    PyObject* deprecated;
    PyObject* value;            // 'value'
};
// The running call's interpreter's objects, kept in its State: made at each import.
[[gnu::always_inline]] inline Globals& globals() {
    return state_block<Globals>(state().objects.visitors);
}

enum class Mode : uint8_t { visitor, transformer };

// ---------------------------------------------------------------------------------------
// What one node class means to dispatch and to field reads, valid while the class keeps
// the version tag and the __name__ it had when the record was made.

struct NodeClass {
    PyObject* type;         // owned: keeps the address from being reused
    PyObject* name;         // owned: type.__name__ when made
    PyObject* method;       // owned, interned 'visit_' + name; null unless plain_name
    PyObject* fields;       // owned: the class's _fields tuple; null unless plain_fields
    Grow<PyObject*> names;  // owned, interned exact str: the items of `fields`
    unsigned int version;   // the type's version tag when made; 0: never current
    // node.__class__.__name__ is the type's own name: a `type` instance whose instances
    // take attributes the generic way, and __class__ is object's.
    bool plain_name;
    // getattr(node, f) for every f in _fields is the instance dictionary's entry when it has
    // one: the class's _fields is an exact tuple of exact str, and none of them (nor
    // _fields) names a data descriptor on the class.
    bool plain_fields;
    // type(node).__class__ is object's: isinstance asks no Python code about instances.
    bool plain_class;
    // __setattr__ is the generic one: with plain_fields, a write of a field is a store
    // into the instance dictionary.
    bool plain_set;
    // The keys a dictionary holds past the fields when the parser made the node: the type's
    // _attributes, interned. A dictionary whose keys are all among fields and these holds
    // no '_fields' of its own. Empty when one of them could be '_fields'.
    Grow<PyObject*> shape;  // the fields, then the attributes
    bool known_shape;
    // The dispatch found for this class on one visitor class, while that class keeps the
    // version tag it had (tags are never reused, so the pair names one class state) and
    // the visitor instance has no attribute that dispatch looks up.
    mutable struct {
        PyTypeObject* visitor;  // identity only
        unsigned int version;   // 0: empty
        uint8_t kind;
        uint8_t mode;
        // Borrowed: found in a class dictionary of the visitor class, which keeps it
        // while the class keeps its version tag.
        PyObject* target;
    } memo{};
};

bool current(const NodeClass* c, PyTypeObject* type) {
    if (!c->version || c->version != type->tp_version_tag) return false;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;
    // Some versions rename a class without a new version tag.
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_name == c->name;
}

bool is_data_descriptor(PyObject* attr) { return attr && Py_TYPE(attr)->tp_descr_set; }

void destroy(NodeClass* c) {
    for (size_t i = 0; i < c->shape.size(); ++i) release_cached(c->shape[i]);
    for (size_t i = 0; i < c->names.size(); ++i) release_cached(c->names[i]);
    if (c->fields) release_cached(c->fields);
    if (c->method) release_cached(c->method);
    if (c->name) release_cached(c->name);
    release_cached(c->type);
    delete c;
}

// The thread's records by class. A record that went stale is replaced but kept until the
// thread ends: frames of an outer call may still point at it.
struct NodeClassCache {
    TypeMap<NodeClass*> map;
    Grow<NodeClass*> all;
    ~NodeClassCache() {
        for (size_t i = 0; i < all.size(); ++i) destroy(all[i]);
    }
};
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

// The calling thread's cache, made on first use.
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

/// The current record of `type` in `cache`.
[[gnu::always_inline]] inline Result<const NodeClass*> node_class(NodeClassCache* cache,
                                                                  PyTypeObject* type) {
    NodeClass* const* found = cache->map.find(type);
    if (found && current(*found, type)) [[likely]]
        return *found;
    return make_current(cache, type);
}

Result<const NodeClass*> node_class(PyTypeObject* type) {
    auto cache = node_class_cache();
    if (!cache) return fail(std::move(cache.error()));
    return node_class(*cache, type);
}

// ---------------------------------------------------------------------------------------
// isinstance as the standard library's generic_visit calls it.

// isinstance(value, cls) for an exact `type` cls that `value`'s type is no subclass of:
// false unless value.__class__ says otherwise, which only a class of unusual make can.
bool plain_class_attribute(PyTypeObject* type) {
    return type->tp_getattro == PyObject_GenericGetAttr &&
           _PyType_Lookup(type, globals().dunder_class) == globals().object_class;
}

// Types that field values commonly have, whose __class__ is object's and cannot change.
[[gnu::always_inline]] inline bool common_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || value == Py_None || type == &PyLong_Type ||
           type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type ||
           type == &PyComplex_Type || value == Py_Ellipsis;
}

[[gnu::always_inline]] inline bool node_type(PyTypeObject* type) {
    return derives_from_ast(type, reinterpret_cast<PyTypeObject*>(globals().ast));
}

// What the two isinstance checks of generic_visit (list first, then ast.AST) make of a
// field value or a list item, when that takes no Python code.
enum class Shape : uint8_t { other, list, node, ask };

// `*rec` is set to the node's record when the thread has a current one.
[[gnu::always_inline]] inline Shape quick_shape(NodeClassCache* cache, PyObject* value,
                                                const NodeClass** rec) {
    if (PyList_Check(value)) return Shape::list;
    if (common_scalar(value)) return Shape::other;
    PyTypeObject* type = Py_TYPE(value);
    if (node_type(type)) [[likely]] {
        NodeClass* const* found = cache->map.find(type);
        if (found && current(*found, type)) [[likely]] {
            if (!(*found)->plain_class) return Shape::ask;
            *rec = *found;
            return Shape::node;
        }
        return plain_class_attribute(type) ? Shape::node : Shape::ask;
    }
    return plain_class_attribute(type) ? Shape::other : Shape::ask;
}

Result<bool> is_instance(PyObject* value, PyObject* cls) {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(cls))) return true;
    int r = PyObject_IsInstance(value, cls);
    if (r < 0) return fail(take_pending());
    return r == 1;
}

// The shape by the real isinstance calls; may run Python code (a __class__ property).
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

// ---------------------------------------------------------------------------------------
// Calls into Python, through the interpreter's recursion check: a handler that calls
// generic_visit nests a native frame per tree level.

Result<Ref> invoke(PyObject* callable, PyObject* self, PyObject* node) {
    Ref held = Ref::retain(callable);  // a handler may remove itself from its class
    if (Py_EnterRecursiveCall(" while visiting a tree")) return fail(take_pending());
    PyObject* args[3] = {nullptr, self, node};
    PyObject* r = self ? PyObject_Vectorcall(callable, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr)
                       : PyObject_Vectorcall(callable, args + 2, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr);
    Py_LeaveRecursiveCall();
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
    return PyFunction_Check(attr) || is_visitor_function(attr) ||
           Py_IS_TYPE(attr, &PyMethodDescr_Type);
}

// ---------------------------------------------------------------------------------------
// The state of one call of visit or generic_visit.
//
// Dispatch looks up names on the visitor: on its class, through the class's version tag,
// and in its instance dictionary. The instance dictionary is scanned once, and again only
// after Python code may have run (`dirty`): when it holds no key that starts with 'visit'
// and no 'generic_visit' it cannot shadow a class attribute that dispatch looks up, and
// the per-class findings apply as they are. Every step that may run Python code (a call,
// a by-name read, a write, a release that may free an object) marks the session dirty.

struct Session {
    PyObject* self;             // borrowed: the caller of visit or generic_visit holds it
    NodeClassCache* cache;      // the thread's, which outlives every call
    bool dirty = true;          // Python code may have run since `clean` was found
    bool clean = false;         // the instance dictionary shadows nothing dispatch reads
    PyTypeObject* visit_type = nullptr;  // identity only: the class whose `visit` is ours
    unsigned int visit_version = 0;      // its version tag when found so; 0: not found
    uint64_t generation = 1;    // counts the steps that may have run Python code
    void touch() {
        dirty = true;
        ++generation;
    }
};

// Releases `p`, noting that freeing it could have run Python code.
[[gnu::always_inline]] inline void drop(Session& s, PyObject* p) {
    if (!p) return;
    if (Py_REFCNT(p) == 1) s.touch();
    Py_DECREF(p);
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

[[gnu::always_inline]] inline Status refresh(Session& s) {
    if (!s.dirty) [[likely]]
        return {};
    return rescan(s);
}

Result<Session> open_session(PyObject* self) {
    auto cache = node_class_cache();
    if (!cache) return fail(std::move(cache.error()));
    return Session{self, *cache};
}

// ---------------------------------------------------------------------------------------
// Dispatch: what `self.visit(node)` does.

struct Dispatch {
    enum Kind : uint8_t {
        descend,      // our generic_visit, in `mode`: continue on the explicit stack
        call_method,  // target(self, node)
        call,         // target(node)
        by_name,      // the standard library's lookups, made for real
        ast_visit,    // ast.NodeVisitor.visit(self, node), for the deprecated handlers
        constant,     // descend unless node.value needs asking: then as ast_visit
    };
    explicit Dispatch(Kind k, Mode m = Mode::visitor, Ref t = Ref())
        : kind(k), mode(m), target(std::move(t)) {}
    Kind kind;
    Mode mode;   // for descend and constant
    Ref target;  // the callable for call_method (with self) and call
};

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
void fill_memo(PyTypeObject* vt, const NodeClass* c) {
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

// What `self.visit(node)` comes to: a descent on the explicit stack in `mode`, or the
// result of the call that the visit made.
struct Visited {
    bool descend;
    Mode mode;
    Ref result;
    const NodeClass* rec = nullptr;  // the node's current record, when at hand
};

Result<Visited> called(Result<Ref> r) {
    if (!r) return fail(std::move(r.error()));
    return Visited{false, Mode::visitor, std::move(*r)};
}

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

// ---------------------------------------------------------------------------------------
// generic_visit on an explicit stack.
//
// A frame stands for one generic_visit call in progress. Its loop state mirrors the
// standard library's: the _fields object taken once when the frame starts, the field read
// when its turn comes (after the previous field's whole subtree), and a list iterated by
// index against its current length, as list's own iterator does. Every object pointer in
// a frame is owned, since handlers run Python code between any two steps, except what
// belongs to the record `rec`, which the thread keeps until it ends.

enum Pending : uint8_t { kNone, kListItem, kSingle };

struct Frame {
    PyObject* node;          // owned
    // The _fields tuple, or an iterator over another _fields; owned unless `rec` is set,
    // whose tuple it then is.
    PyObject* fields;
    PyObject* field;         // owned or null: the single field whose result is pending
    PyObject* value;         // owned or null: that value, when it is a list being iterated
    PyObject* items;         // owned or null: the value's own iterator, when not list's
    PyObject* new_values;    // owned or null: the transformer's rebuilt list
    const NodeClass* rec;    // set when the fields are the record's, read in place if able
    // The node's dictionary entries, holding the fields in order from the first, as they
    // were in the session's generation `generation`, which no Python code has ended yet
    // if it is still the session's; 0 when not known.
    const UnicodeEntry* entries;
    uint64_t generation;
    Py_ssize_t next_field;   // position in the _fields tuple
    Py_ssize_t next_item;    // position in the list value
    Mode mode;
    Pending pending;         // where the result of the visit in progress goes
};

void release(Session& s, Frame& f) {
    drop(s, f.node);
    if (!f.rec) drop(s, f.fields);
    drop(s, f.field);
    drop(s, f.value);
    drop(s, f.items);
    drop(s, f.new_values);
}

class FrameStack : public Grow<Frame> {
public:
    explicit FrameStack(Session& s) : session_(s) { start_on(first_, kFirst); }
    FrameStack(const FrameStack&) = delete;
    ~FrameStack() {
        while (!empty()) {
            Frame f = pop();
            release(session_, f);
        }
    }
    // A structure in which a node is its own descendant makes the descent endless: each
    // time the depth reaches a limit that doubles, the nodes on the stack are checked for
    // a repeat. Real trees never reach the first limit.
    Status check_depth() {
        if (size() < limit_) [[likely]]
            return {};
        limit_ *= 2;
        Grow<PyObject*> seen;
        if (!seen.reserve(size())) return fail(no_memory());
        for (size_t i = 0; i < size(); ++i) seen.push_unchecked((*this)[i].node);
        std::sort(seen.data(), seen.data() + seen.size());
        if (std::adjacent_find(seen.data(), seen.data() + seen.size()) !=
            seen.data() + seen.size())
            return fail(cycle_error());
        return {};
    }

private:
    static constexpr size_t kFirst = 16;
    Frame first_[kFirst];  // room for shallow descents, which then allocate nothing
    Session& session_;
    size_t limit_ = 1024;
};

// Whether `dict` holds no '_fields': every key is the record's field or attribute at the
// position the parser puts it.
[[gnu::always_inline]] inline bool parser_shape(const NodeClass* c, PyObject* dict) {
    if (!c->known_shape) return false;
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    if (!entries || used > static_cast<Py_ssize_t>(c->shape.size())) return false;
    PyObject* const* expected = c->shape.data();
    bool same = true;
    for (Py_ssize_t i = 0; i < used; ++i) {
        PyObject* key = entries[i].key;
        same &= key == expected[i] || !key;
    }
    return same;
}

// Whether node._fields is the tuple of `rec`, the node's current record: the class's
// own, not shadowed in the instance dictionary.
[[gnu::always_inline]] inline Result<bool> uses_record(Session& s, const NodeClass* rec,
                                                       PyObject* node) {
    if (!rec->plain_fields) return false;
    PyObject* dict = instance_dict(node);
    if (!dict) return true;
    if (!PyDict_CheckExact(dict)) return false;
    if (parser_shape(rec, dict)) [[likely]]
        return true;
    s.touch();
    auto own = dict_entry(dict, globals().fields);
    if (!own) return fail(std::move(own.error()));
    // The lookup may have run Python code: the record must still be current.
    return !*own && current(rec, Py_TYPE(node));
}

// Starts a generic_visit of `node`: iter_fields takes node._fields first.
// `known` is the node's current record when the caller has it at hand, else null.
Status push_frame(Session& s, FrameStack& stack, Ref held, Mode mode,
                  const NodeClass* known = nullptr) {
    PyObject* node = held.get();
    SPRIG_TRY(stack.check_depth());
    if (!stack.reserve_more(1)) return fail(no_memory());
    PyTypeObject* type = Py_TYPE(node);
    Result<const NodeClass*> rec = known;
    if (!known || !current(known, type)) {
        s.touch();  // making a record allocates, and a collection may run finalizers
        rec = node_class(s.cache, type);
    }
    if (!rec) return fail(std::move(rec.error()));
    const NodeClass* c = *rec;
    PyObject* dict = instance_dict(node);
    if (c->plain_fields && dict && PyDict_CheckExact(dict)) [[likely]] {
        prefetch_parse_order(node, dict);
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = str_entries(dict, &used);
        if (entries && used >= static_cast<Py_ssize_t>(c->names.size()) &&
            parser_shape(c, dict)) [[likely]] {
            Frame f{};
            f.node = held.release();
            f.fields = c->fields;
            f.rec = c;
            f.entries = entries;
            f.generation = s.generation;
            f.mode = mode;
            stack.push_unchecked(f);
            return {};
        }
    }
    Frame f{};
    f.mode = mode;
    auto uses = uses_record(s, *rec, node);
    if (!uses) return fail(std::move(uses.error()));
    if (*uses) f.rec = *rec;
    if (f.rec) {
        f.fields = f.rec->fields;
        PyObject* dict = instance_dict(node);
        Py_ssize_t used = 0;
        const UnicodeEntry* entries =
            dict && PyDict_CheckExact(dict) ? str_entries(dict, &used) : nullptr;
        if (entries && used >= static_cast<Py_ssize_t>(f.rec->names.size())) {
            f.entries = entries;
            f.generation = s.generation;
        }
    } else {
        s.touch();
        Ref fields = Ref::adopt(PyObject_GetAttr(node, globals().fields));
        if (!fields) return fail(take_pending());
        if (PyTuple_CheckExact(fields.get())) {
            f.fields = fields.release();
        } else {
            f.fields = PyObject_GetIter(fields.get());
            if (!f.fields) return fail(take_pending());
        }
    }
    f.node = held.release();
    if (!stack.push(f)) {
        release(s, f);
        return fail(no_memory());
    }
    return {};
}

// The next field name of the frame's _fields, or null at the end.
Result<Ref> next_field(Frame& f) {
    if (PyTuple_CheckExact(f.fields)) {
        if (f.next_field >= PyTuple_GET_SIZE(f.fields)) return Ref();
        return Ref::retain(PyTuple_GET_ITEM(f.fields, f.next_field++));
    }
    PyObject* item = nullptr;
    int r = compat::iter_next_item(f.fields, &item);
    if (r < 0) return fail(take_pending());
    return Ref::adopt(item);
}

// The value of the frame's field at position `at` when it sits in the node's dictionary
// at that position, where getattr finds it; borrowed, null when it must be read by name.
[[gnu::always_inline]] inline PyObject* field_in_place(const Session& s, const Frame& f,
                                                       Py_ssize_t at) {
    if (f.generation == s.generation && f.entries[at].key == f.rec->names[at]) [[likely]]
        return f.entries[at].value;
    PyObject* node = f.node;
    if (!current(f.rec, Py_TYPE(node))) return nullptr;
    PyObject* dict = instance_dict(node);
    if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    if (!entries || at >= used || entries[at].key != f.rec->names[at]) return nullptr;
    return entries[at].value;
}

// getattr(node, field), null when it raises AttributeError (iter_fields skips the field).
Result<Ref> read_by_name(PyObject* node, PyObject* field) {
    PyObject* value = nullptr;
    int r = PyObject_GetOptionalAttr(node, field, &value);
    if (r < 0) return fail(take_pending());
    return Ref::adopt(value);
}

// The transformer's writes of the result of the visit of a child. A null result is the
// None of a visitor's generic_visit, which a transformer's generic_visit called on a
// visitor of the other class meets.
[[gnu::noinline]] Status put_back(Session& s, Frame& f, Pending pending, Ref result) {
    s.touch();
    if (!result) result = Ref::retain(Py_None);
    if (pending == kListItem) {
        if (result.get() == Py_None) return {};
        auto node = is_node(s.cache, result.get());
        if (!node) return fail(std::move(node.error()));
        int r = *node ? PyList_Append(f.new_values, result.get())
                      : PyList_Extend(f.new_values, result.get());
        if (r < 0) return fail(take_pending());
        return {};
    }
    Ref field = Ref::adopt(std::exchange(f.field, nullptr));
    Ref node = Ref::retain(f.node);
    int r;
    if (result.get() == Py_None) {
        r = PyObject_DelAttr(node.get(), field.get());
    } else {
        bool plain = f.rec && f.rec->plain_set && current(f.rec, Py_TYPE(node.get()));
        r = set_attribute(node.get(), field.get(), result.get(), plain);
    }
    if (r < 0) return fail(take_pending());
    return {};
}

// The result of the visit of a child, handed to the frame that asked for it.
[[gnu::always_inline]] inline Status deliver(Session& s, Frame& f, Ref result) {
    Pending pending = f.pending;
    f.pending = kNone;
    if (f.mode == Mode::visitor) {
        drop(s, result.release());
        return {};
    }
    return put_back(s, f, pending, std::move(result));
}

// The next child for the top frame to visit, with its pending mark set; null when the
// frame's fields are all done. `*rec` is set to the child's record when it was at hand.
Result<Ref> next_child(Session& s, Frame& f, const NodeClass** rec) {
    for (;;) {
        if (f.value) {
            PyObject* item = nullptr;
            Ref held;
            if (f.items) {
                s.touch();
                int r = compat::iter_next_item(f.items, &item);
                if (r < 0) return fail(take_pending());
                held = Ref::adopt(item);
            } else if (f.next_item < PyList_GET_SIZE(f.value)) {
                item = PyList_GET_ITEM(f.value, f.next_item++);  // borrowed until asked
            }
            if (!item) {
                // old_value[:] = new_values
                if (f.mode == Mode::transformer) {
                    s.touch();
                    if (PyObject_SetItem(f.value, globals().whole, f.new_values) < 0)
                        return fail(take_pending());
                }
                drop(s, std::exchange(f.value, nullptr));
                drop(s, std::exchange(f.items, nullptr));
                drop(s, std::exchange(f.new_values, nullptr));
                continue;
            }
            Shape shape = quick_shape(s.cache, item, rec);
            if (shape == Shape::list) shape = Shape::other;
            if (shape == Shape::ask) [[unlikely]] {
                s.touch();
                if (!held) held = Ref::retain(item);
                auto asked = is_node(s.cache, item);
                if (!asked) return fail(std::move(asked.error()));
                shape = *asked ? Shape::node : Shape::other;
            }
            if (shape == Shape::node) {
                f.pending = kListItem;
                return held ? std::move(held) : Ref::retain(item);
            }
            if (f.mode == Mode::transformer) {
                s.touch();
                if (PyList_Append(f.new_values, item) < 0) return fail(take_pending());
            }
            continue;
        }
        PyObject* field;
        PyObject* value = nullptr;  // borrowed from the node's dictionary, or held
        Ref held_field, held_value;
        if (f.rec) {
            if (f.next_field >= PyTuple_GET_SIZE(f.fields)) return Ref();
            Py_ssize_t at = f.next_field++;
            field = PyTuple_GET_ITEM(f.fields, at);
            value = field_in_place(s, f, at);
            if (!value) [[unlikely]] {
                s.touch();
                auto read = read_by_name(f.node, field);
                if (!read) return fail(std::move(read.error()));
                held_value = std::move(*read);
                value = held_value.get();
            }
        } else {
            s.touch();
            auto next = next_field(f);
            if (!next) return fail(std::move(next.error()));
            if (!*next) return Ref();
            held_field = std::move(*next);
            field = held_field.get();
            auto read = read_by_name(f.node, field);
            if (!read) return fail(std::move(read.error()));
            held_value = std::move(*read);
            value = held_value.get();
        }
        if (!value) continue;
        Shape shape = quick_shape(s.cache, value, rec);
        if (shape == Shape::ask) [[unlikely]] {
            s.touch();
            if (!held_value) held_value = Ref::retain(value);
            auto asked = asked_shape(value, true);
            if (!asked) return fail(std::move(asked.error()));
            shape = *asked;
        }
        if (shape == Shape::list) {
            if (f.mode == Mode::transformer) {
                s.touch();
                f.new_values = PyList_New(0);
                if (!f.new_values) return fail(take_pending());
            }
            if (!PyList_Check(value) || Py_TYPE(value)->tp_iter != PyList_Type.tp_iter) {
                s.touch();
                f.items = PyObject_GetIter(value);
                if (!f.items) return fail(take_pending());
            }
            f.next_item = 0;
            f.value = held_value ? held_value.release() : Py_NewRef(value);
            continue;
        }
        if (shape == Shape::node) {
            f.pending = kSingle;
            if (f.mode == Mode::transformer) f.field = Py_NewRef(field);
            return held_value ? std::move(held_value) : Ref::retain(value);
        }
    }
}

// generic_visit(node) in `mode`, and every generic_visit that the dispatch of its
// descendants comes to, on one stack. Returns what the outermost one returns.
Result<Ref> run_generic(Session& s, PyObject* root, Mode mode) {
    FrameStack stack(s);
    SPRIG_TRY(push_frame(s, stack, Ref::retain(root), mode));
    for (;;) {
        const NodeClass* rec = nullptr;
        auto child = next_child(s, stack[stack.size() - 1], &rec);
        if (!child) return fail(std::move(child.error()));
        if (!*child) {
            Frame& done = stack[stack.size() - 1];
            Ref node = Ref::adopt(std::exchange(done.node, nullptr));
            Mode done_mode = done.mode;
            // At its end a frame that read its record's fields holds nothing else.
            if (!done.rec || done.field || done.value || done.items || done.new_values)
                [[unlikely]]
                release(s, done);
            stack.truncate(stack.size() - 1);
            Ref result;
            if (done_mode == Mode::transformer)
                result = std::move(node);
            else
                drop(s, node.release());
            if (stack.empty()) return done_mode == Mode::transformer ? std::move(result)
                                                                    : Ref::retain(Py_None);
            SPRIG_TRY(deliver(s, stack[stack.size() - 1], std::move(result)));
            continue;
        }
        // self.visit(child)
        Mode mode;
        const NodeClass* c = nullptr;
        PyTypeObject* vt = Py_TYPE(s.self);
        if (rec && !s.dirty && s.clean && vt == s.visit_type && s.visit_version &&
            vt->tp_version_tag == s.visit_version && rec->memo.visitor == vt &&
            rec->memo.version == s.visit_version && rec->memo.kind == Dispatch::descend)
            [[likely]] {
            // What dispatch would find, with nothing run since its findings were made.
            mode = static_cast<Mode>(rec->memo.mode);
            c = rec;
        } else {
            auto ours = visit_is_ours(s);
            if (!ours) return fail(std::move(ours.error()));
            if (!*ours) [[unlikely]] {
                s.touch();
                Ref visit = Ref::adopt(PyObject_GetAttr(s.self, globals().visit));
                if (!visit) return fail(take_pending());
                auto result = invoke(visit.get(), nullptr, child->get());
                if (!result) return fail(std::move(result.error()));
                SPRIG_TRY(deliver(s, stack[stack.size() - 1], std::move(*result)));
                continue;
            }
            auto visited = dispatch(s, child->get(), rec);
            if (!visited) return fail(std::move(visited.error()));
            if (!visited->descend) {
                SPRIG_TRY(deliver(s, stack[stack.size() - 1], std::move(visited->result)));
                continue;
            }
            mode = visited->mode;
            c = visited->rec;
        }
        // A node without fields (a context such as Load) needs no frame: its
        // generic_visit reads _fields and returns.
        if (c && c->names.size() == 0 && current(c, Py_TYPE(child->get()))) {
            auto uses = uses_record(s, c, child->get());
            if (!uses) return fail(std::move(uses.error()));
            if (*uses) {
                Frame& top = stack[stack.size() - 1];
                if (mode == Mode::visitor && top.mode == Mode::visitor) {
                    top.pending = kNone;
                    drop(s, child->release());
                    continue;
                }
                if (mode == Mode::visitor) *child = Ref::retain(Py_None);
                SPRIG_TRY(deliver(s, top, std::move(*child)));
                continue;
            }
        }
        SPRIG_TRY(push_frame(s, stack, std::move(*child), mode, c));
    }
}

Result<Ref> visit_impl(PyObject* self, PyObject* node) {
    auto s = open_session(self);
    if (!s) return fail(std::move(s.error()));
    auto visited = dispatch(*s, node, nullptr);
    if (!visited) return fail(std::move(visited.error()));
    if (visited->descend) return run_generic(*s, node, visited->mode);
    return std::move(visited->result);
}

Result<Ref> generic_impl(PyObject* self, PyObject* node, Mode mode) {
    auto s = open_session(self);
    if (!s) return fail(std::move(s.error()));
    return run_generic(*s, node, mode);
}

PyObject* finish(Result<Ref> result) {
    if (result) return result->release();
    raise_failure(std::move(result.error()));
    return nullptr;
}

}  // namespace

// ast.NodeVisitor's own visit, and its visit_Constant with the names of the deprecated
// handlers that it looks for, where the ast module has them.
Status find_ast_visitor_functions(PyObject* ast) {
    Ref visitor = Ref::adopt(PyObject_GetAttrString(ast, "NodeVisitor"));
    if (!visitor) return fail(take_pending());
    if (!PyType_Check(visitor.get())) return fail(type_mismatch(visitor.get(), &PyType_Type));
    PyObject* own = reinterpret_cast<PyTypeObject*>(visitor.get())->tp_dict;
    globals().ast_visit = Py_XNewRef(PyDict_GetItemString(own, "visit"));
    globals().ast_generic_v = Py_XNewRef(PyDict_GetItemString(own, "generic_visit"));
    if (!globals().ast_visit || !globals().ast_generic_v) return fail(null_object(SPRIG_HERE));
    Ref transformer = Ref::adopt(PyObject_GetAttrString(ast, "NodeTransformer"));
    if (!transformer) return fail(take_pending());
    if (!PyType_Check(transformer.get()))
        return fail(type_mismatch(transformer.get(), &PyType_Type));
    globals().ast_generic_t = Py_XNewRef(PyDict_GetItemString(
        reinterpret_cast<PyTypeObject*>(transformer.get())->tp_dict, "generic_visit"));
    if (!globals().ast_generic_t) return fail(null_object(SPRIG_HERE));
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

Status init_visitors() {
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    globals().ast = PyObject_GetAttrString(ast.get(), "AST");
    if (!globals().ast) return fail(take_pending());
    if (!PyType_Check(globals().ast)) return fail(type_mismatch(globals().ast, &PyType_Type));
    const char* texts[] = {"visit", "generic_visit", "_fields", "__class__", "__name__",
                           "visit_", "_attributes", "value"};
    PyObject** slots[] = {&globals().visit, &globals().generic_visit, &globals().fields, &globals().dunder_class,
                          &globals().dunder_name, &globals().prefix, &globals().attributes, &globals().value};
    for (int i = 0; i < 8; ++i) {
        *slots[i] = PyUnicode_InternFromString(texts[i]);
        if (!*slots[i]) return fail(take_pending());
    }
    SPRIG_TRY(find_ast_visitor_functions(ast.get()));
    globals().object_class = Py_XNewRef(_PyType_Lookup(&PyBaseObject_Type, globals().dunder_class));
    globals().whole = PySlice_New(nullptr, nullptr, nullptr);
    if (!globals().whole || !globals().object_class) return fail(null_object(SPRIG_HERE));
    return {};
}

StandardMethods standard_methods() { return {globals().ast_visit, globals().ast_generic_v, globals().ast_generic_t}; }

PyObject* visitor_visit(PyObject* self, PyObject* node) { return finish(visit_impl(self, node)); }

PyObject* visitor_generic_visit(PyObject* self, PyObject* node) {
    return finish(generic_impl(self, node, Mode::visitor));
}

PyObject* transformer_generic_visit(PyObject* self, PyObject* node) {
    return finish(generic_impl(self, node, Mode::transformer));
}

}  // namespace sprig
