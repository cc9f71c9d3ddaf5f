// visit and generic_visit of sprig.NodeVisitor and sprig.NodeTransformer: the standard
// library's, call for call, with the descent through nodes that have no handler of their own
// run on an explicit stack instead of through Python frames.
//
// Exactness. Every shortcut below stands for a lookup whose answer it can prove without
// running Python code: type attributes come from the type's method cache (_PyType_Lookup),
// instance attributes from the instance dictionary, and a lookup that could involve a
// property, __getattr__ or __getattribute__ is made for real instead. Python code runs only
// in handlers, in by-name field reads and in the transformer's writes; whatever it changes
// (the tree, the visitor's class or its instance dictionary) is read again afterwards,
// because every decision is taken anew for each node.
#include "lib/visitors.hpp"

#include <algorithm>
#include <new>

#include "lib/frame.hpp"
#include "lib/grow.hpp"
#include "lib/instance_dict.hpp"
#include "lib/type_map.hpp"

namespace sprig {

namespace {

// Made once at import and never released.
struct Globals {
    PyObject* ast;              // ast.AST
    PyObject* object_class;     // object.__dict__['__class__']
    PyObject* visit;            // interned names
    PyObject* generic_visit;
    PyObject* fields;
    PyObject* dunder_class;
    PyObject* dunder_name;
    PyObject* prefix;           // 'visit_'
    PyObject* whole;            // slice(None, None, None)
};
Globals g;

// The installed method descriptors, one set per import of the module (a re-import makes new
// classes; the old ones keep working, and dispatching natively, as long as there is room).
constexpr int kMaxImports = 8;
struct Installed {
    PyObject* visit[2 * kMaxImports];  // owned
    PyObject* generic_v[kMaxImports];  // owned
    PyObject* generic_t[kMaxImports];  // owned
    int count = 0;
};
Installed g_installed;

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
};

bool current(const NodeClass* c, PyTypeObject* type) {
    if (!c->version || c->version != type->tp_version_tag) return false;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;
    // Some versions rename a class without a new version tag.
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_name == c->name;
}

bool is_data_descriptor(PyObject* attr) { return attr && Py_TYPE(attr)->tp_descr_set; }

void destroy(NodeClass* c) {
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
thread_local NodeClassCache* t_node_classes = nullptr;
struct NodeClassHolder {
    ~NodeClassHolder() {
        delete t_node_classes;
        t_node_classes = nullptr;
    }
};
thread_local NodeClassHolder t_node_class_holder;

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
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) {
        PyObject* name = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), g.dunder_name);
        if (!name) return discard(take_pending());
        c->name = name;
        c->plain_name = generic && PyUnicode_CheckExact(name) &&
                        _PyType_Lookup(type, g.dunder_class) == g.object_class;
        if (c->plain_name) {
            PyObject* method = PyUnicode_Concat(g.prefix, name);
            if (!method) return discard(take_pending());
            PyUnicode_InternInPlace(&method);
            c->method = method;
        }
    }
    PyObject* fields = _PyType_Lookup(type, g.fields);
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
    }
    return c;
}

Result<const NodeClass*> node_class(PyTypeObject* type) {
    NodeClassCache* cache = t_node_classes;
    if (cache) [[likely]] {
        NodeClass* const* found = cache->map.find(type);
        if (found && current(*found, type)) [[likely]]
            return *found;
    } else {
        (void)&t_node_class_holder;  // registers the holder's destructor for this thread
        cache = new (std::nothrow) NodeClassCache();
        if (!cache || !cache->map.init(256)) {
            delete cache;
            return fail(no_memory());
        }
        t_node_classes = cache;
    }
    auto made = make_node_class(type);
    if (!made) return fail(std::move(made.error()));
    if (!cache->all.push(*made)) {
        destroy(*made);
        return fail(no_memory());
    }
    if (!cache->map.put(type, *made)) return fail(no_memory());
    return *made;
}

// ---------------------------------------------------------------------------------------
// isinstance as the standard library's generic_visit calls it.

// isinstance(value, cls) for an exact `type` cls that `value`'s type is no subclass of:
// false unless value.__class__ says otherwise, which only a class of unusual make can.
bool plain_class_attribute(PyTypeObject* type) {
    return type->tp_getattro == PyObject_GenericGetAttr &&
           _PyType_Lookup(type, g.dunder_class) == g.object_class;
}

[[gnu::always_inline]] inline Result<bool> is_instance(PyObject* value, PyObject* cls) {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(cls))) [[likely]]
        return true;
    if (plain_class_attribute(Py_TYPE(value))) [[likely]]
        return false;
    int r = PyObject_IsInstance(value, cls);
    if (r < 0) return fail(take_pending());
    return r == 1;
}

Result<bool> is_node(PyObject* value) { return is_instance(value, g.ast); }
Result<bool> is_list(PyObject* value) {
    if (PyList_Check(value)) return true;
    return is_instance(value, reinterpret_cast<PyObject*>(&PyList_Type));
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

// The visitor's instance dictionary (null when it keeps none), fetched for each decision:
// a handler may replace it.
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

bool is_our_visit(PyObject* descr) {
    for (int i = 0; i < 2 * g_installed.count; ++i)
        if (descr == g_installed.visit[i]) return true;
    return false;
}

// Whether `descr` is one of our generic_visit descriptors, and which.
bool is_our_generic(PyObject* descr, Mode* mode) {
    for (int i = 0; i < g_installed.count; ++i) {
        if (descr == g_installed.generic_v[i]) {
            *mode = Mode::visitor;
            return true;
        }
        if (descr == g_installed.generic_t[i]) {
            *mode = Mode::transformer;
            return true;
        }
    }
    return false;
}

// A class attribute that getattr binds to the instance without running Python code.
bool plain_method(PyObject* attr) {
    return PyFunction_Check(attr) || Py_IS_TYPE(attr, &PyMethodDescr_Type);
}

// ---------------------------------------------------------------------------------------
// Dispatch: what `self.visit(node)` does.

struct Dispatch {
    enum Kind : uint8_t { descend, call_method, call, by_name };
    explicit Dispatch(Kind k, Mode m = Mode::visitor, Ref t = Ref())
        : kind(k), mode(m), target(std::move(t)) {}
    Kind kind;
    Mode mode;   // for descend
    Ref target;  // the callable for call_method (with self) and call
};


// The handler that the standard library's `visit` finds for `node`:
//     getattr(self, 'visit_' + node.__class__.__name__, self.generic_visit)
// `by_name` when only the real lookups can tell.
Result<Dispatch> resolve_handler(PyObject* self, PyObject* dict, PyObject* node) {
    PyTypeObject* vt = Py_TYPE(self);
    auto rec = node_class(Py_TYPE(node));
    if (!rec) return fail(std::move(rec.error()));
    if (!(*rec)->plain_name || vt->tp_getattro != PyObject_GenericGetAttr)
        return Dispatch(Dispatch::by_name);
    PyObject* generic = _PyType_Lookup(vt, g.generic_visit);
    if (!generic || !plain_method(generic)) return Dispatch(Dispatch::by_name);
    PyObject* method = (*rec)->method;
    PyObject* found = _PyType_Lookup(vt, method);
    if (is_data_descriptor(found)) return Dispatch(Dispatch::by_name);
    // Python code may run in these lookups (a key with its own __eq__): the class attributes
    // are held from here on.
    Ref generic_held = Ref::retain(generic);
    Ref found_held = Ref::retain(found);
    auto own_generic = dict_entry(dict, g.generic_visit);
    if (!own_generic) return fail(std::move(own_generic.error()));
    auto own = dict_entry(dict, method);
    if (!own) return fail(std::move(own.error()));
    if (*own) return Dispatch(Dispatch::call, Mode::visitor, std::move(*own));
    if (found) {
        Mode mode;
        if (is_our_generic(found, &mode) && PyObject_TypeCheck(self, PyDescr_TYPE(found)))
            return Dispatch(Dispatch::descend, mode);
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
    if (is_our_generic(generic, &mode) && PyObject_TypeCheck(self, PyDescr_TYPE(generic)))
        return Dispatch(Dispatch::descend, mode);
    return Dispatch(Dispatch::call_method, Mode::visitor, std::move(generic_held));
}

// The standard library's `visit`, lookup for lookup.
Result<Ref> visit_by_name(PyObject* self, PyObject* node) {
    Ref cls = Ref::adopt(PyObject_GetAttr(node, g.dunder_class));
    if (!cls) return fail(take_pending());
    Ref name = Ref::adopt(PyObject_GetAttr(cls.get(), g.dunder_name));
    if (!name) return fail(take_pending());
    Ref method = Ref::adopt(PyNumber_Add(g.prefix, name.get()));
    if (!method) return fail(take_pending());
    Ref fallback = Ref::adopt(PyObject_GetAttr(self, g.generic_visit));
    if (!fallback) return fail(take_pending());
    PyObject* handler = nullptr;
    int found = PyObject_GetOptionalAttr(self, method.get(), &handler);
    if (found < 0) return fail(take_pending());
    Ref held = found ? Ref::adopt(handler) : std::move(fallback);
    return invoke(held.get(), nullptr, node);
}

// Whether `self.visit` is sprig's own, so that generic_visit may dispatch without calling it.
Result<bool> visit_is_ours(PyObject* self, PyObject* dict) {
    PyTypeObject* vt = Py_TYPE(self);
    if (vt->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* visit = _PyType_Lookup(vt, g.visit);
    if (!is_our_visit(visit)) return false;
    auto own = dict_entry(dict, g.visit);
    if (!own) return fail(std::move(own.error()));
    return !*own;
}

// ---------------------------------------------------------------------------------------
// generic_visit on an explicit stack.
//
// A frame stands for one generic_visit call in progress. Its loop state mirrors the
// standard library's: the _fields object taken once when the frame starts, the field read
// when its turn comes (after the previous field's whole subtree), and a list iterated by
// index against its current length, as list's own iterator does. Every pointer in a frame
// is owned, since handlers run Python code between any two steps.

enum Pending : uint8_t { kNone, kListItem, kSingle };

struct Frame {
    PyObject* node;          // owned
    PyObject* fields;        // owned: the _fields tuple, or an iterator over another _fields
    PyObject* field;         // owned or null: the field whose value is being visited
    PyObject* value;         // owned or null: that value, when it is a list being iterated
    PyObject* items;         // owned or null: the value's own iterator, when not list's
    PyObject* new_values;    // owned or null: the transformer's rebuilt list
    const NodeClass* rec;    // null unless fields are read from the instance dictionary
    Py_ssize_t next_field;   // position in the _fields tuple
    Py_ssize_t next_item;    // position in the list value
    Mode mode;
    Pending pending;         // where the result of the visit in progress goes
};

void release(Frame& f) {
    Py_XDECREF(f.node);
    Py_XDECREF(f.fields);
    Py_XDECREF(f.field);
    Py_XDECREF(f.value);
    Py_XDECREF(f.items);
    Py_XDECREF(f.new_values);
}

class FrameStack : public Grow<Frame> {
public:
    FrameStack() = default;
    FrameStack(const FrameStack&) = delete;
    ~FrameStack() {
        while (!empty()) {
            Frame f = pop();
            release(f);
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
    size_t limit_ = 1024;
};

// Starts a generic_visit of `node`: iter_fields takes node._fields first.
Status push_frame(FrameStack& stack, PyObject* node, Mode mode) {
    SPRIG_TRY(stack.check_depth());
    Frame f{};
    f.mode = mode;
    PyTypeObject* type = Py_TYPE(node);
    auto rec = node_class(type);
    if (!rec) return fail(std::move(rec.error()));
    PyObject* dict = instance_dict(node);
    if ((*rec)->plain_fields && dict && PyDict_CheckExact(dict)) {
        auto own = dict_entry(dict, g.fields);
        if (!own) return fail(std::move(own.error()));
        // The lookup may have run Python code: the record must still describe the type.
        if (!*own && current(*rec, type)) {
            f.rec = *rec;
            f.fields = Py_NewRef((*rec)->fields);
        }
    }
    if (!f.fields) {
        Ref fields = Ref::adopt(PyObject_GetAttr(node, g.fields));
        if (!fields) return fail(take_pending());
        if (PyTuple_CheckExact(fields.get())) {
            f.fields = fields.release();
        } else {
            f.fields = PyObject_GetIter(fields.get());
            if (!f.fields) return fail(take_pending());
        }
    }
    f.node = Py_NewRef(node);
    if (!stack.push(f)) {
        release(f);
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

// getattr(node, field), null when it raises AttributeError (iter_fields skips the field).
Result<Ref> read_field(const Frame& f, PyObject* field) {
    PyObject* node = f.node;
    if (f.rec && current(f.rec, Py_TYPE(node))) {
        PyObject* dict = instance_dict(node);
        if (dict && PyDict_CheckExact(dict)) {
            PyObject* name = f.rec->names[f.next_field - 1];
            Py_ssize_t used = 0;
            const UnicodeEntry* entries = str_entries(dict, &used);
            Py_ssize_t at = f.next_field - 1;
            if (entries && at < used && entries[at].key == name && entries[at].value)
                return Ref::retain(entries[at].value);
            auto own = dict_entry(dict, name);
            if (!own) return fail(std::move(own.error()));
            if (*own) return std::move(*own);
        }
    }
    PyObject* value = nullptr;
    int r = PyObject_GetOptionalAttr(node, field, &value);
    if (r < 0) return fail(take_pending());
    return Ref::adopt(value);
}

// The result of the visit of a child, handed to the frame that asked for it.
Status deliver(Frame& f, Ref result) {
    Pending pending = f.pending;
    f.pending = kNone;
    Ref field = Ref::adopt(std::exchange(f.field, nullptr));
    if (f.mode == Mode::visitor) return {};
    if (pending == kListItem) {
        if (result.get() == Py_None) return {};
        auto node = is_node(result.get());
        if (!node) return fail(std::move(node.error()));
        int r = *node ? PyList_Append(f.new_values, result.get())
                      : PyList_Extend(f.new_values, result.get());
        if (r < 0) return fail(take_pending());
        return {};
    }
    Ref node = Ref::retain(f.node);
    int r = result.get() == Py_None ? PyObject_DelAttr(node.get(), field.get())
                                    : PyObject_SetAttr(node.get(), field.get(), result.get());
    if (r < 0) return fail(take_pending());
    return {};
}

// The next child for the top frame to visit, with its pending mark set; null when the
// frame's fields are all done.
Result<Ref> next_child(Frame& f) {
    for (;;) {
        if (f.value) {
            PyObject* item = nullptr;
            if (f.items) {
                int r = compat::iter_next_item(f.items, &item);
                if (r < 0) return fail(take_pending());
            } else if (f.next_item < PyList_GET_SIZE(f.value)) {
                item = Py_NewRef(PyList_GET_ITEM(f.value, f.next_item++));
            }
            if (!item) {
                // old_value[:] = new_values
                Ref value = Ref::adopt(std::exchange(f.value, nullptr));
                Ref items = Ref::adopt(std::exchange(f.items, nullptr));
                Ref new_values = Ref::adopt(std::exchange(f.new_values, nullptr));
                if (f.mode == Mode::transformer &&
                    PyObject_SetItem(value.get(), g.whole, new_values.get()) < 0)
                    return fail(take_pending());
                continue;
            }
            Ref held = Ref::adopt(item);
            auto node = is_node(item);
            if (!node) return fail(std::move(node.error()));
            if (*node) {
                f.pending = kListItem;
                return held;
            }
            if (f.mode == Mode::transformer && PyList_Append(f.new_values, item) < 0)
                return fail(take_pending());
            continue;
        }
        auto field = next_field(f);
        if (!field) return fail(std::move(field.error()));
        if (!*field) return Ref();
        auto value = read_field(f, field->get());
        if (!value) return fail(std::move(value.error()));
        if (!*value) continue;
        auto list = is_list(value->get());
        if (!list) return fail(std::move(list.error()));
        if (*list) {
            if (f.mode == Mode::transformer) {
                f.new_values = PyList_New(0);
                if (!f.new_values) return fail(take_pending());
            }
            if (!PyList_Check(value->get()) ||
                Py_TYPE(value->get())->tp_iter != PyList_Type.tp_iter) {
                f.items = PyObject_GetIter(value->get());
                if (!f.items) return fail(take_pending());
            }
            f.next_item = 0;
            f.value = value->release();
            continue;
        }
        auto node = is_node(value->get());
        if (!node) return fail(std::move(node.error()));
        if (*node) {
            f.pending = kSingle;
            f.field = field->release();
            return std::move(*value);
        }
    }
}

// generic_visit(node) in `mode`, and every generic_visit that the dispatch of its
// descendants comes to, on one stack. Returns what the outermost one returns.
Result<Ref> run_generic(PyObject* self, PyObject* root, Mode mode) {
    FrameStack stack;
    SPRIG_TRY(push_frame(stack, root, mode));
    for (;;) {
        auto child = next_child(stack[stack.size() - 1]);
        if (!child) return fail(std::move(child.error()));
        if (!*child) {
            Frame done = stack.pop();
            Ref node = Ref::adopt(done.node);
            done.node = nullptr;
            release(done);
            Ref result = done.mode == Mode::transformer ? std::move(node) : Ref::retain(Py_None);
            if (stack.empty()) return result;
            SPRIG_TRY(deliver(stack[stack.size() - 1], std::move(result)));
            continue;
        }
        // self.visit(child)
        auto dict = instance_attributes(self);
        if (!dict) return fail(std::move(dict.error()));
        auto ours = visit_is_ours(self, dict->get());
        if (!ours) return fail(std::move(ours.error()));
        Result<Ref> result;
        if (!*ours) {
            Ref visit = Ref::adopt(PyObject_GetAttr(self, g.visit));
            if (!visit) return fail(take_pending());
            result = invoke(visit.get(), nullptr, child->get());
        } else {
            auto d = resolve_handler(self, dict->get(), child->get());
            if (!d) return fail(std::move(d.error()));
            switch (d->kind) {
                case Dispatch::descend:
                    SPRIG_TRY(push_frame(stack, child->get(), d->mode));
                    continue;
                case Dispatch::call_method:
                    result = invoke(d->target.get(), self, child->get());
                    break;
                case Dispatch::call:
                    result = invoke(d->target.get(), nullptr, child->get());
                    break;
                case Dispatch::by_name:
                    result = visit_by_name(self, child->get());
                    break;
            }
        }
        if (!result) return fail(std::move(result.error()));
        SPRIG_TRY(deliver(stack[stack.size() - 1], std::move(*result)));
    }
}

Result<Ref> visit_impl(PyObject* self, PyObject* node) {
    auto dict = instance_attributes(self);
    if (!dict) return fail(std::move(dict.error()));
    auto d = resolve_handler(self, dict->get(), node);
    if (!d) return fail(std::move(d.error()));
    switch (d->kind) {
        case Dispatch::descend: return run_generic(self, node, d->mode);
        case Dispatch::call_method: return invoke(d->target.get(), self, node);
        case Dispatch::call: return invoke(d->target.get(), nullptr, node);
        case Dispatch::by_name: break;
    }
    return visit_by_name(self, node);
}

// Binds the one parameter `node`, positionally or by keyword.
PyObject* bind_node(const char* method, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (n == 1 && nkw == 0) [[likely]]
        return args[0];
    if (n == 0 && nkw == 1 &&
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "node") == 0)
        return args[0];
    if (nkw > 0 && n + nkw >= 1) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_CompareWithASCIIString(key, "node") != 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             method, key);
                return nullptr;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'node'", method);
        return nullptr;
    }
    if (n == 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'node'",
                     method);
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes 2 positional arguments but %zd were given",
                 method, n + 1);
    return nullptr;
}

PyObject* finish(Result<Ref> result) {
    if (result) return result->release();
    raise_failure(std::move(result.error()));
    return nullptr;
}

}  // namespace

Status init_visitors() {
    if (g.whole) return {};  // made by an earlier import
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    g.ast = PyObject_GetAttrString(ast.get(), "AST");
    if (!g.ast) return fail(take_pending());
    if (!PyType_Check(g.ast)) return fail(type_mismatch(g.ast, &PyType_Type));
    const char* texts[] = {"visit", "generic_visit", "_fields", "__class__", "__name__",
                           "visit_"};
    PyObject** slots[] = {&g.visit, &g.generic_visit, &g.fields, &g.dunder_class,
                          &g.dunder_name, &g.prefix};
    for (int i = 0; i < 6; ++i) {
        *slots[i] = PyUnicode_InternFromString(texts[i]);
        if (!*slots[i]) return fail(take_pending());
    }
    g.object_class = Py_XNewRef(_PyType_Lookup(&PyBaseObject_Type, g.dunder_class));
    g.whole = PySlice_New(nullptr, nullptr, nullptr);
    if (!g.whole || !g.object_class) return fail(null_object(SPRIG_HERE));
    return {};
}

void register_visitor_methods(PyObject* visit_v, PyObject* generic_v, PyObject* visit_t,
                              PyObject* generic_t) {
    int i = g_installed.count;
    if (i == kMaxImports) return;  // later imports' classes call their methods instead
    g_installed.visit[2 * i] = Py_NewRef(visit_v);
    g_installed.visit[2 * i + 1] = Py_NewRef(visit_t);
    g_installed.generic_v[i] = Py_NewRef(generic_v);
    g_installed.generic_t[i] = Py_NewRef(generic_t);
    g_installed.count = i + 1;
}

PyObject* visitor_visit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    PyObject* node = bind_node("visit", args, nargsf, kwnames);
    if (!node) return nullptr;
    return finish(visit_impl(self, node));
}

PyObject* visitor_generic_visit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    PyObject* node = bind_node("generic_visit", args, nargsf, kwnames);
    if (!node) return nullptr;
    return finish(run_generic(self, node, Mode::visitor));
}

PyObject* transformer_generic_visit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
    PyObject* node = bind_node("generic_visit", args, nargsf, kwnames);
    if (!node) return nullptr;
    return finish(run_generic(self, node, Mode::transformer));
}

}  // namespace sprig
