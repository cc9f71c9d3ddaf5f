// walk, iter_child_nodes and iter_fields of the ast module, natively and lazily.
//
// Laziness. walk, iter_child_nodes and iter_fields are iterators that do per `next` what
// the generators do between two yields: walk reads all children of the node it is about to
// hand out, the other two read fields only as far as the next item. An iterator that fails
// or ends is finished, as a generator is; a StopIteration escaping from what it calls
// becomes RuntimeError("generator raised StopIteration"), as in a generator.
#include "stdlib/ast_iterators.hpp"

#include <algorithm>
#include <new>

#include "core/signals.hpp"
#include "stdlib/stdlib_ast.hpp"

namespace sprig {
namespace ast_helpers {
namespace {

// getattr(node, '_fields'), then the way to go through it.
[[gnu::noinline]] Status start_fields(Cursor& c) {
    c.started = true;
    ClassRecord r = record(Py_TYPE(c.node));
    Ref fields;
    if (r.fields) {
        // The class's tuple, unless the instance has a '_fields' of its own.
        PyObject* own = nullptr;
        if (PyObject* dict = instance_dict(c.node)) {
            prefetch_parse_order(c.node, dict);
            own = get_interned(dict, globals().fields);
            if (!own && PyErr_Occurred()) return fail(take_pending());
        }
        // A key of an odd dictionary may have run Python code in the lookup, which may
        // have changed the class that lent r.fields.
        bool same = Py_TYPE(c.node) == r.type && r.type->tp_version_tag == r.version;
        if (!own && same) [[likely]] {
            c.fields = Py_NewRef(r.fields);
            c.tuple = true;
            c.plain_type = r.type;
            c.plain_version = r.version;
            return {};
        }
        fields = Ref::retain(own);
    }
    if (!fields) {
        fields = Ref::adopt(PyObject_GetAttr(c.node, globals().fields));
        if (!fields) return fail(take_pending());
    }
    if (PyTuple_CheckExact(fields.get())) {
        c.fields = fields.release();
        c.tuple = true;
        return {};
    }
    PyObject* it = PyObject_GetIter(fields.get());
    if (!it) return fail(take_pending());
    c.fields = it;
    return {};
}

// getattr(node, name) for the field at `position` of the class's own _fields, when the
// class still reads attributes plainly: the dictionary's entry, else the class's attribute.
[[gnu::always_inline]] inline Result<Ref> read_plain(PyObject* node, PyObject* name,
                                                     Py_ssize_t position) {
    if (PyObject* dict = instance_dict(node)) [[likely]] {
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = str_entries(dict, &used);
        if (entries && position < used && entries[position].key == name) [[likely]]
            return Ref::retain(entries[position].value);
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (value) return Ref::retain(value);
        if (PyErr_Occurred()) return fail(take_pending());
    }
    return get_optional(node, name);
}

// The next (name, value) of iter_fields; false at the end. `name` is borrowed from the
// tuple or owned (an item of another iterable); `*owned_name` holds it in the latter case.
[[gnu::always_inline]] inline Result<bool> next_field(Cursor& c, PyObject** name, Ref* owned_name,
                                                    Ref* value) {
    if (!c.started) SPRIG_TRY(start_fields(c));
    if (!c.fields) return false;
    for (;;) {
        Py_ssize_t position = c.index;
        if (c.tuple) {
            if (position >= PyTuple_GET_SIZE(c.fields)) return false;
            *name = PyTuple_GET_ITEM(c.fields, position);
            c.index = position + 1;
        } else {
            *owned_name = Ref::adopt(PyIter_Next(c.fields));
            if (!*owned_name) {
                if (PyErr_Occurred()) return fail(take_pending());
                return false;
            }
            *name = owned_name->get();
        }
        Result<Ref> read;
        PyTypeObject* type = Py_TYPE(c.node);
        if (c.plain_type == type && type->tp_version_tag == c.plain_version) [[likely]]
            read = read_plain(c.node, *name, position);
        else
            read = get_optional(c.node, *name);
        if (!read) return fail(std::move(read.error()));
        if (*read) {
            *value = std::move(*read);
            return true;
        }
    }
}

// What the common steps made of a cursor's next step: a child (owned), the end, or nothing
// (`decided` false) when the general steps must take it.
struct PlainStep {
    PyObject* child;
    bool decided;
};

// The common steps of iter_child_nodes, on borrowed pointers: items of an exact list, and
// fields read in place while the node's class still reads them plainly, whose kind their
// type tells without running anything. A value they cannot judge is left, untaken, to the
// general steps, which go on from there.
[[gnu::always_inline]] inline PlainStep plain_next_child(Cursor& c) {
    for (;;) {
        if (c.items) {
            if (!c.exact_list) return {nullptr, false};
            Py_ssize_t n = PyList_GET_SIZE(c.items);
            for (; c.item < n; ++c.item) {
                PyObject* item = PyList_GET_ITEM(c.items, c.item);
                PlainKind kind = plain_kind(item);
                if (kind == PlainKind::node) {
                    ++c.item;
                    return {Py_NewRef(item), true};
                }
                if (kind == PlainKind::undecided) return {nullptr, false};
            }
            // A list that someone else holds too is dropped without running anything.
            if (Py_REFCNT(c.items) < 2) return {nullptr, false};
            Py_DECREF(c.items);
            c.items = nullptr;
        }
        if (!c.tuple || c.plain_type != Py_TYPE(c.node) ||
            c.plain_type->tp_version_tag != c.plain_version)
            return {nullptr, false};
        PyObject* dict = instance_dict(c.node);
        Py_ssize_t used = 0;
        const UnicodeEntry* entries = dict ? str_entries(dict, &used) : nullptr;
        Py_ssize_t count = PyTuple_GET_SIZE(c.fields);
        Py_ssize_t k = std::min(count, entries ? used : 0);
        for (; c.index < k && entries[c.index].key == PyTuple_GET_ITEM(c.fields, c.index);
             ++c.index) {
            PyObject* value = entries[c.index].value;
            PlainKind kind = plain_kind(value);
            if (kind == PlainKind::node) {
                ++c.index;
                return {Py_NewRef(value), true};
            }
            if (kind == PlainKind::list) {
                ++c.index;
                c.items = Py_NewRef(value);
                c.exact_list = true;
                c.item = 0;
                break;
            }
            if (kind == PlainKind::undecided) return {nullptr, false};
        }
        if (c.items) continue;
        return {nullptr, c.index >= count};  // past the last field: the end
    }
}

// next_child's steps in general, where a step may run Python code.
[[gnu::noinline]] Result<Ref> next_child_generally(Cursor& c) {
    for (;;) {
        PlainStep plain = plain_next_child(c);
        if (plain.decided) return Ref::adopt(plain.child);
        if (!c.started) {  // _fields first; the fields may then be read in place
            SPRIG_TRY(start_fields(c));
            continue;
        }
        if (c.items) {
            Ref item;
            if (c.exact_list) {
                if (c.item < PyList_GET_SIZE(c.items))
                    item = Ref::retain(PyList_GET_ITEM(c.items, c.item++));
            } else {
                item = Ref::adopt(PyIter_Next(c.items));
                if (!item && PyErr_Occurred()) return fail(take_pending());
            }
            if (!item) {
                Py_CLEAR(c.items);
                continue;
            }
            auto node = is_node(item.get());
            if (!node) return fail(std::move(node.error()));
            if (*node) return item;
            continue;
        }
        PyObject* name = nullptr;
        Ref owned_name, value;
        auto more = next_field(c, &name, &owned_name, &value);
        if (!more) return fail(std::move(more.error()));
        if (!*more) return Ref();
        auto kind = field_kind(value.get());
        if (!kind) return fail(std::move(kind.error()));
        if (*kind == Kind::node) return value;
        if (*kind == Kind::list) {
            c.item = 0;
            c.exact_list = PyList_CheckExact(value.get());
            if (c.exact_list) {
                c.items = value.release();
            } else {
                c.items = PyObject_GetIter(value.get());
                if (!c.items) return fail(take_pending());
            }
        }
    }
}

// The next child of iter_child_nodes, or a null Ref at the end.
[[gnu::always_inline]] inline Result<Ref> child_step(Cursor& c) {
    PlainStep plain = plain_next_child(c);
    if (plain.decided) [[likely]]
        return Ref::adopt(plain.child);
    return next_child_generally(c);
}

// its class reads its own _fields plainly, the dictionary holds those fields first and in
// order and no '_fields' of its own, and every value's type tells its kind. Nothing it does
// can run Python code, so the children are pushed borrowed and held only once all were
// found. False, with the queue as it was, when the general steps must do it.
[[gnu::always_inline]] inline bool extend_plainly(WalkQueue& queue, PyObject* node,
                                                  const ClassRecord& r) {
    PyObject* dict = instance_dict(node);
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = dict ? str_entries(dict, &used) : nullptr;
    if (!entries) return false;
    PyObject* fields = r.fields;
    Py_ssize_t count = PyTuple_GET_SIZE(fields);
    PyObject* own = nullptr;
    if (count > used || !find_interned(entries, used, globals().fields, &own) || own) return false;
    size_t start = queue.q.size();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = entries[i].value;
        if (entries[i].key != PyTuple_GET_ITEM(fields, i)) goto general;
        PlainKind kind = plain_kind(value);
        if (kind == PlainKind::node) {
            if (!queue.q.push(value)) goto general;
        } else if (kind == PlainKind::list) {
            Py_ssize_t n = PyList_GET_SIZE(value);
            if (!queue.q.reserve_more(static_cast<size_t>(n))) goto general;
            for (Py_ssize_t k = 0; k < n; ++k) {
                PyObject* item = PyList_GET_ITEM(value, k);
                PlainKind item_kind = plain_kind(item);
                if (item_kind == PlainKind::node)
                    queue.q.push_unchecked(item);
                else if (item_kind == PlainKind::undecided)
                    goto general;
            }
        } else if (kind == PlainKind::undecided) {
            goto general;
        }
    }
    for (size_t i = start; i < queue.q.size(); ++i) Py_INCREF(queue.q[i]);
    return true;
general:
    queue.q.truncate(start);
    return false;
}

// todo.extend(iter_child_nodes(node)).
Status extend_with_children(WalkQueue& queue, PyObject* node) {
    ClassRecord r = record(Py_TYPE(node));
    if (r.fields && extend_plainly(queue, node, r)) [[likely]]
        return {};
    Cursor c = Cursor::over(Ref::retain(node));
    for (;;) {
        auto child = child_step(c);
        if (!child) {
            c.clear();
            return fail(std::move(child.error()));
        }
        if (!*child) break;
        if (!queue.q.push(child->get())) {
            c.clear();
            return fail(no_memory());
        }
        (void)child->release();
    }
    c.clear();
    return {};
}

// One step of ast.walk: the front node, after its children joined the back; null at the

}  // namespace

Result<Ref> next_child(Cursor& c) { return child_step(c); }

Result<Ref> walk_step(WalkQueue& queue) {
    if (queue.empty()) return Ref();
    Ref node = queue.take();
    SPRIG_TRY(extend_with_children(queue, node.get()));
    return node;
}

namespace {

// ---------------------------------------------------------------------------------------
// The iterator objects. `running` stands for the generator's own flag: a `next` reached
// again from Python code that a `next` runs fails as a generator's would.


// Each iterator keeps the state of the interpreter that made it: its type, which it holds,
// holds that module, so the state outlives it, and no step has to look it up.
struct WalkIterator {
    PyObject_HEAD
    State* state;
    WalkQueue queue;
    PyObject* first[kInlineQueue];
    // A consumer in native code (list(), a for loop in C) runs no bytecode between steps:
    // the walk itself lets signal handlers run, since on a cycle it never ends.
    SignalCheck signals;
    bool running;
    bool done;
};

struct ChildIterator {  // iter_child_nodes and iter_fields
    PyObject_HEAD
    State* state;
    Cursor cursor;
    bool running;
    bool done;
};

[[gnu::cold]] PyObject* already_executing() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
}

PyObject* finish_step(Failure f) {
    raise_failure(generator_failure(std::move(f)));
    return nullptr;
}

void walk_release(WalkIterator* self) {
    self->done = true;
    self->queue.clear();
}

PyObject* walk_next(PyObject* op) {
    auto* self = reinterpret_cast<WalkIterator*>(op);
    Entered entered(self->state);
    if (!entered.ok()) return nullptr;
    if (self->running) [[unlikely]]
        return already_executing();
    if (self->done) return nullptr;
    self->running = true;
    Result<Ref> step = Ref();
    if (auto checked = self->signals.step(); !checked) [[unlikely]]
        step = fail(std::move(checked.error()));
    else
        step = walk_step(self->queue);
    self->running = false;
    if (step && *step) [[likely]]
        return step->release();
    walk_release(self);
    if (!step) return finish_step(std::move(step.error()));
    return nullptr;
}

template <bool kFields>
PyObject* child_next(PyObject* op) {
    auto* self = reinterpret_cast<ChildIterator*>(op);
    Entered entered(self->state);
    if (!entered.ok()) return nullptr;
    if (self->running) [[unlikely]]
        return already_executing();
    if (self->done) return nullptr;
    self->running = true;
    Result<Ref> out;
    if constexpr (kFields) {
        PyObject* name = nullptr;
        Ref owned_name, value;
        auto more = next_field(self->cursor, &name, &owned_name, &value);
        if (!more) {
            out = fail(std::move(more.error()));
        } else if (*more) {
            PyObject* pair = PyTuple_New(2);
            if (!pair) {
                out = fail(take_pending());
            } else {
                PyTuple_SET_ITEM(pair, 0, owned_name ? owned_name.release() : Py_NewRef(name));
                PyTuple_SET_ITEM(pair, 1, value.release());
                out = Ref::adopt(pair);
            }
        }
    } else {
        out = child_step(self->cursor);
    }
    self->running = false;
    if (out && *out) [[likely]]
        return out->release();
    self->done = true;
    Cursor dead = self->cursor;
    self->cursor = Cursor{};
    dead.clear();
    if (!out) return finish_step(std::move(out.error()));
    return nullptr;
}

int walk_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<WalkIterator*>(op);
    Py_VISIT(Py_TYPE(op));
    return self->queue.traverse(visit, arg);
}

int walk_clear(PyObject* op) {
    walk_release(reinterpret_cast<WalkIterator*>(op));
    return 0;
}

void walk_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<WalkIterator*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    self->queue.~WalkQueue();
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

int child_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(op));
    return reinterpret_cast<ChildIterator*>(op)->cursor.traverse(visit, arg);
}

int child_clear(PyObject* op) {
    auto* self = reinterpret_cast<ChildIterator*>(op);
    self->done = true;
    Cursor dead = self->cursor;
    self->cursor = Cursor{};
    dead.clear();
    return 0;
}

void child_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    child_clear(op);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

PyObject* walk_close(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<WalkIterator*>(op);
    if (self->running) return already_executing();
    walk_release(self);
    Py_RETURN_NONE;
}

PyObject* child_close(PyObject* op, PyObject*) {
    if (reinterpret_cast<ChildIterator*>(op)->running) return already_executing();
    child_clear(op);
    Py_RETURN_NONE;
}

PyMethodDef g_walk_methods[] = {
    {"close", walk_close, METH_NOARGS, "Stop the walk and drop the nodes it still holds."},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef g_child_methods[] = {
    {"close", child_close, METH_NOARGS, "Stop and drop what the iterator holds."},
    {nullptr, nullptr, 0, nullptr},
};

template <class Next>
Result<PyTypeObject*> make_type(PyObject* module, const char* name, Next next, destructor dealloc,
                                traverseproc traverse, inquiry clear, PyMethodDef* methods,
                                int size) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(next)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec spec = {name, size, 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (!type) return fail(take_pending());
    return reinterpret_cast<PyTypeObject*>(type);
}

Result<Ref> new_child_iterator(PyTypeObject* type, PyObject* node) {
    auto* self = PyObject_GC_New(ChildIterator, type);
    if (!self) return fail(take_pending());
    self->state = &state();
    self->cursor = Cursor::over(Ref::retain(node));
    self->running = false;
    self->done = false;
    PyObject_GC_Track(self);
    return Ref::adopt(reinterpret_cast<PyObject*>(self));
}

}  // namespace
}  // namespace ast_helpers

using namespace ast_helpers;

Status init_stdlib_ast(PyObject* module) {
    Ref ast = Ref::adopt(PyImport_ImportModule("ast"));
    if (!ast) return fail(take_pending());
    Globals made{};
    made.ast = PyObject_GetAttrString(ast.get(), "AST");
    made.type_ignore = PyObject_GetAttrString(ast.get(), "TypeIgnore");
    if (!made.ast || !made.type_ignore) return fail(take_pending());
    if (!PyType_CheckExact(made.ast)) return fail(type_mismatch(made.ast, &PyType_Type));
    if (!PyType_Check(made.type_ignore))
        return fail(type_mismatch(made.type_ignore, &PyType_Type));
    made.fields = PyUnicode_InternFromString("_fields");
    made.attributes = PyUnicode_InternFromString("_attributes");
    made.dunder_class = PyUnicode_InternFromString("__class__");
    for (int p = 0; p < kLocations; ++p)
        made.location[p] = PyUnicode_InternFromString(kLocationTexts[p]);
    made.zero = PyLong_FromLong(0);
    made.one = PyLong_FromLong(1);
    if (!made.fields || !made.attributes || !made.dunder_class || !made.location[3] ||
        !made.zero || !made.one)
        return fail(null_object(SPRIG_HERE));
    // In the order of the Params::standard positions (module.cpp). Taken before any patch of
    // this module's could stand in their place.
    const char* standard[kStandardHelpers] = {"walk", "iter_child_nodes", "iter_fields",
                                              "copy_location", "increment_lineno",
                                              "fix_missing_locations"};
    for (int i = 0; i < kStandardHelpers; ++i) {
        PyObject* found = PyObject_GetAttrString(ast.get(), standard[i]);
        if (!found) return fail(take_pending());
        Py_XSETREF(state().objects.standard[i], found);
    }
    made.object_class = Py_XNewRef(_PyType_Lookup(&PyBaseObject_Type, made.dunder_class));
    if (!made.object_class) return fail(null_object(SPRIG_HERE));
    auto walk = make_type(module, "sprig.WalkIterator", walk_next, walk_dealloc, walk_traverse,
                          walk_clear, g_walk_methods, sizeof(WalkIterator));
    if (!walk) return fail(std::move(walk.error()));
    auto children = make_type(module, "sprig.ChildNodeIterator", child_next<false>, child_dealloc,
                              child_traverse, child_clear, g_child_methods,
                              sizeof(ChildIterator));
    if (!children) return fail(std::move(children.error()));
    auto fields = make_type(module, "sprig.FieldIterator", child_next<true>, child_dealloc,
                            child_traverse, child_clear, g_child_methods,
                            sizeof(ChildIterator));
    if (!fields) return fail(std::move(fields.error()));
    made.walk_type = *walk;
    made.children_type = *children;
    made.fields_type = *fields;
    globals() = made;  // the State owns them now
    return {};
}

Result<Ref> ast_walk(PyObject* node) {
    auto* self = PyObject_GC_New(WalkIterator, globals().walk_type);
    if (!self) return fail(take_pending());
    self->state = &state();
    new (&self->queue) WalkQueue(self->first, kInlineQueue);
    new (&self->signals) SignalCheck();
    self->queue.q.push_unchecked(Py_NewRef(node));  // todo = deque([node])
    self->running = false;
    self->done = false;
    PyObject_GC_Track(self);
    return Ref::adopt(reinterpret_cast<PyObject*>(self));
}

Result<Ref> ast_iter_child_nodes(PyObject* node) {
    return new_child_iterator(globals().children_type, node);
}

Result<Ref> ast_iter_fields(PyObject* node) { return new_child_iterator(globals().fields_type, node); }

}  // namespace sprig
