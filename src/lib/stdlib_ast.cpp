// The ast module's helpers, natively: each makes the reads, writes, isinstance checks and
// calls that its Python original makes, in the same order, and fails where it would fail.
//
// Exactness. A shortcut stands only for a step whose outcome it can prove without running
// Python code: isinstance by the type alone when the class's __class__ is object's, and
// getattr(node, field) as the instance dictionary's entry when the class reads attributes
// the generic way and names no data descriptor of that field. Everything else is asked of
// the object through the C API, as the Python code would ask it. Python code may run in
// such calls, so nothing read from a dictionary is trusted past the step that read it:
// every field is looked up afresh, and every object still to be used is held.
//
// Laziness. walk, iter_child_nodes and iter_fields are iterators that do per `next` what
// the generators do between two yields: walk reads all children of the node it is about to
// hand out, the other two read fields only as far as the next item. An iterator that fails
// or ends is finished, as a generator is; a StopIteration escaping from what it calls
// becomes RuntimeError("generator raised StopIteration"), as in a generator.
#include "lib/stdlib_ast.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "lib/class_version.hpp"
#include "lib/classes.hpp"
#include "lib/frame.hpp"
#include "lib/grow.hpp"
#include "lib/instance_dict.hpp"
#include "lib/state.hpp"

namespace sprig {

namespace {

constexpr int kLocations = 4;
constexpr const char* kLocationTexts[kLocations] = {"lineno", "col_offset", "end_lineno",
                                                    "end_col_offset"};

struct Globals {
    PyObject* ast;            // ast.AST
    PyObject* type_ignore;    // ast.TypeIgnore
    PyObject* object_class;   // object.__dict__['__class__']
    PyObject* fields;         // interned '_fields'
    PyObject* attributes;     // interned '_attributes'
    PyObject* dunder_class;   // interned '__class__'
    PyObject* location[kLocations];  // interned lineno, col_offset, end_lineno, end_col_offset
    PyObject* zero;           // 0, getattr's default in increment_lineno
    PyObject* one;            // 1, increment_lineno's default `n`
    PyTypeObject* walk_type;
    PyTypeObject* children_type;
    PyTypeObject* fields_type;
};
// The running call's interpreter's objects, kept in its State: made at each import.
[[gnu::always_inline]] inline Globals& globals() {
    return state_block<Globals>(state().objects.stdlib);
}

// ---------------------------------------------------------------------------------------
// What a class means to the shortcuts, read without running Python code and valid while the
// class keeps the version tag it had then. `fields` is borrowed from a class dictionary on
// the class's MRO: any change there gives the class a new tag, and a tag is never reused,
// so the tuple lives as long as a record naming the class's current tag.

struct ClassRecord {
    PyTypeObject* type;     // identity only
    unsigned int version;   // the class's version tag when read; 0: empty, or not kept
    PyObject* fields;       // borrowed: the class's _fields, an exact tuple of exact str
                            // none of which names a data descriptor; null otherwise
    bool plain_get;         // getattr is the generic one on a dictionary at a fixed offset
    bool plain_class;       // __class__ is object's: isinstance asks the type alone
    bool node;              // a subclass of ast.AST (ast.AST included)
    bool type_ignore;       // a subclass of ast.TypeIgnore
    // The location names: `in _attributes` as the class's _attributes answers it (an exact
    // tuple of exact str), and what getattr finds on the class when the instance has none
    // (borrowed, null: nothing). Set only when no location name is a descriptor there.
    bool plain_locations;
    bool plain_set;         // and setattr of one is a store into the instance dictionary
    uint8_t location_mask;  // bit p: location p is named in _attributes
    PyObject* class_value[4];
};

// A direct-mapped cache per thread and interpreter: a slot holds the last class that hashed
// to it. Nothing is owned.
constexpr size_t kRecordSlots = 512;
// Allocated on first need in the thread's caches for the running call's interpreter.
inline void destroy_records(void* records) { delete[] static_cast<ClassRecord*>(records); }
[[gnu::cold, gnu::noinline]] inline ClassRecord* make_records() {
    auto* made = new (std::nothrow) ClassRecord[kRecordSlots]();
    if (!made) return nullptr;
    ThreadCaches::Slot& slot = cache_slot(Cache::class_records);
    slot.data = made;
    slot.destroy = destroy_records;
    return made;
}

size_t record_slot(PyTypeObject* type) {
    auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type));
    return static_cast<size_t>((a * 0x9e3779b97f4a7c15ull) >> 55) & (kRecordSlots - 1);
}

bool is_data_descriptor(PyObject* attr) { return attr && Py_TYPE(attr)->tp_descr_set; }

[[gnu::noinline]] ClassRecord read_class(PyTypeObject* type) {
    ClassRecord r{};
    r.type = type;
    r.version = class_version(type);
    r.node = PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(globals().ast));
    r.type_ignore = PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(globals().type_ignore));
    if (!r.version) return r;  // nothing may be trusted past this one use
    bool generic = type->tp_getattro == PyObject_GenericGetAttr;
    r.plain_class = generic && _PyType_Lookup(type, globals().dunder_class) == globals().object_class;
    r.plain_get = generic && type->tp_dictoffset > 0;
    PyObject* fields = _PyType_Lookup(type, globals().fields);
    if (r.plain_get && fields && PyTuple_CheckExact(fields)) {
        bool plain = true;
        for (Py_ssize_t i = 0; plain && i < PyTuple_GET_SIZE(fields); ++i) {
            PyObject* f = PyTuple_GET_ITEM(fields, i);
            plain = PyUnicode_CheckExact(f) && !is_data_descriptor(_PyType_Lookup(type, f));
        }
        if (plain) r.fields = fields;
    }
    PyObject* attributes = _PyType_Lookup(type, globals().attributes);
    bool located = r.plain_get && attributes && PyTuple_CheckExact(attributes);
    for (Py_ssize_t i = 0; located && i < PyTuple_GET_SIZE(attributes); ++i) {
        PyObject* a = PyTuple_GET_ITEM(attributes, i);
        located = PyUnicode_CheckExact(a);
        for (int p = 0; located && p < kLocations; ++p)
            if (PyUnicode_Compare(a, globals().location[p]) == 0) r.location_mask |= 1u << p;
    }
    for (int p = 0; located && p < kLocations; ++p) {
        PyObject* v = _PyType_Lookup(type, globals().location[p]);
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

[[gnu::always_inline]] inline ClassRecord record(PyTypeObject* type) {
    auto* records = static_cast<ClassRecord*>(cache_slot(Cache::class_records).data);
    if (!records) [[unlikely]]
        records = make_records();
    if (!records) [[unlikely]]
        return read_class(type);  // no memory for the cache: read each time
    ClassRecord& slot = records[record_slot(type)];
    if (slot.type == type && slot.version && slot.version == type->tp_version_tag) [[likely]]
        return slot;
    ClassRecord fresh = read_class(type);
    if (fresh.version) slot = fresh;
    return fresh;
}

// ---------------------------------------------------------------------------------------
// isinstance as the helpers call it.

// Types whose __class__ is object's and cannot be changed.
[[gnu::always_inline]] inline bool common_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || value == Py_None || type == &PyLong_Type ||
           type == &PyList_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           type == &PyBytes_Type || type == &PyTuple_Type || value == Py_Ellipsis;
}

[[gnu::always_inline]] inline bool node_type(PyTypeObject* type) {
    return derives_from_ast(type, reinterpret_cast<PyTypeObject*>(globals().ast));
}

// What a field value is to the in-place steps, from its type alone. The common scalars
// (identifiers, constants, None) are told apart before any call: only an odd type pays
// for the full subclass test.
enum class PlainKind : uint8_t { node, list, scalar, undecided };

[[gnu::always_inline]] inline PlainKind plain_kind(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    auto* ast = reinterpret_cast<PyTypeObject*>(globals().ast);
    if (quickly_derives_from_ast(type, ast)) [[likely]]
        return PlainKind::node;
    if (type == &PyList_Type) return PlainKind::list;
    if (common_scalar(value)) return PlainKind::scalar;
    return PyType_IsSubtype(type, ast) ? PlainKind::node : PlainKind::undecided;
}

// isinstance(value, cls) with `cls` an exact type: by the type when that says yes or the
// class's __class__ is object's, else by the real call (which may run a __class__ property).
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

enum class Kind : uint8_t { other, node, list };

// What iter_child_nodes makes of a field value: isinstance(value, AST), then
// isinstance(value, list).
[[gnu::always_inline]] inline Result<Kind> field_kind(PyObject* value) {
    if (common_scalar(value)) return Py_TYPE(value) == &PyList_Type ? Kind::list : Kind::other;
    if (node_type(Py_TYPE(value))) return Kind::node;
    bool plain = plain_class_of(value);
    auto node = is_instance(value, globals().ast, plain);
    if (!node) return fail(std::move(node.error()));
    if (*node) return Kind::node;
    auto list = is_instance(value, reinterpret_cast<PyObject*>(&PyList_Type), plain);
    if (!list) return fail(std::move(list.error()));
    return *list ? Kind::list : Kind::other;
}

Result<bool> is_node(PyObject* value) {
    if (node_type(Py_TYPE(value))) return true;
    if (common_scalar(value)) return false;
    return is_instance(value, globals().ast, plain_class_of(value));
}

// A failure of a generator's body: StopIteration leaves it as RuntimeError.
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

// getattr(obj, name, default): null when absent and no default is given.
Result<Ref> get_optional(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return fail(take_pending());
    return Ref::adopt(value);
}

// ---------------------------------------------------------------------------------------
// The body of iter_fields and of iter_child_nodes as one resumable cursor. All its pointers
// are owned; it is a plain value so that stacks of cursors can live in growable arrays,
// and its owner calls clear() on every path.
//
// Invariant: `fields` is null until the first step; then it holds either an exact tuple
// read by position `index` or an iterator over another _fields. `items` holds the exact
// list (read by position `item`, seeing changes as a list iterator does) or the iterator
// of the field value whose items are being read; null between fields. `plain_type` and
// `plain_version` say under which class state `fields` is the class's own, so that a field
// may be read from the instance dictionary; plain_type is null when never.

struct Cursor {
    PyObject* node;
    PyObject* fields;
    PyObject* items;
    Py_ssize_t index;
    Py_ssize_t item;
    PyTypeObject* plain_type;
    unsigned int plain_version;
    bool started;
    bool tuple;
    bool exact_list;

    static Cursor over(Ref node) {
        Cursor c{};
        c.node = node.release();
        return c;
    }
    void clear() {
        Py_CLEAR(items);
        Py_CLEAR(fields);
        Py_CLEAR(node);
    }
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(node);
        Py_VISIT(fields);
        Py_VISIT(items);
        return 0;
    }
};

// The value under the interned str `name` in a dictionary's entry table (`used` entries, as
// str_entries gives them), found by identity: a key that is interned too equals `name` only
// if it is `name`. Borrowed, null when absent. False when the table cannot tell (another
// layout, a key not interned): the dictionary API must answer then.
[[gnu::always_inline]] inline bool find_interned(const UnicodeEntry* entries, Py_ssize_t used,
                                                 PyObject* name, PyObject** value) {
    if (!entries) return false;
    *value = nullptr;
    for (Py_ssize_t i = 0; i < used; ++i) {
        PyObject* key = entries[i].key;
        if (key == name) {
            *value = entries[i].value;
            return true;
        }
        if (key && !PyUnicode_CHECK_INTERNED(key)) return false;
    }
    return true;
}

// dict.get(name) for an interned `name`, through the table where it can tell.
[[gnu::always_inline]] inline PyObject* get_interned(PyObject* dict, PyObject* name) {
    Py_ssize_t used = 0;
    const UnicodeEntry* entries = str_entries(dict, &used);
    PyObject* value = nullptr;
    if (find_interned(entries, used, name, &value)) [[likely]]
        return value;
    return PyDict_GetItemWithError(dict, name);
}

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
[[gnu::always_inline]] inline Result<Ref> next_child(Cursor& c) {
    PlainStep plain = plain_next_child(c);
    if (plain.decided) [[likely]]
        return Ref::adopt(plain.child);
    return next_child_generally(c);
}

// ---------------------------------------------------------------------------------------
// ast.walk's deque: owned references in [head, size) of `q`, taken from the front.

struct WalkQueue {
    Grow<PyObject*> q;
    size_t head = 0;

    /// Starts on `n` entries at `buffer`, which its owner keeps beside it.
    WalkQueue(PyObject** buffer, size_t n) { q.start_on(buffer, n); }
    WalkQueue(const WalkQueue&) = delete;
    ~WalkQueue() { clear(); }
    bool empty() const { return head == q.size(); }
    Ref take() {
        Ref front = Ref::adopt(q[head++]);
        if (head == q.size()) {
            q.clear();
            head = 0;
        } else if (head >= 64 && head * 2 >= q.size()) {
            std::memmove(q.data(), q.data() + head, (q.size() - head) * sizeof(PyObject*));
            q.truncate(q.size() - head);
            head = 0;
        }
        return front;
    }
    void clear() {
        // One at a time from the back, each taken out before its release: a release may
        // run code that reaches the queue again (through the iterator that holds it).
        while (q.size() > head) {
            PyObject* last = q.pop();
            Py_DECREF(last);
        }
        q.clear();
        head = 0;
    }
    int traverse(visitproc visit, void* arg) {
        for (size_t i = head; i < q.size(); ++i) Py_VISIT(q[i]);
        return 0;
    }
};

// todo.extend(iter_child_nodes(node)) in one pass over the dictionary, for the common node:
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
        auto child = next_child(c);
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
// end.
Result<Ref> walk_step(WalkQueue& queue) {
    if (queue.empty()) return Ref();
    Ref node = queue.take();
    SPRIG_TRY(extend_with_children(queue, node.get()));
    return node;
}

// ---------------------------------------------------------------------------------------
// The iterator objects. `running` stands for the generator's own flag: a `next` reached
// again from Python code that a `next` runs fails as a generator's would.

constexpr size_t kInlineQueue = 8;

struct WalkIterator {
    PyObject_HEAD
    WalkQueue queue;
    PyObject* first[kInlineQueue];
    bool running;
    bool done;
};

struct ChildIterator {  // iter_child_nodes and iter_fields
    PyObject_HEAD
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

// The type was made for one module: its state is the interpreter's.
State* state_of(PyObject* op) {
    return static_cast<State*>(PyType_GetModuleState(Py_TYPE(op)));
}

PyObject* walk_next(PyObject* op) {
    auto* self = reinterpret_cast<WalkIterator*>(op);
    Entered entered(state_of(op));
    if (!entered.ok()) return nullptr;
    if (self->running) [[unlikely]]
        return already_executing();
    if (self->done) return nullptr;
    self->running = true;
    auto step = walk_step(self->queue);
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
    Entered entered(state_of(op));
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
        out = next_child(self->cursor);
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
    self->cursor = Cursor::over(Ref::retain(node));
    self->running = false;
    self->done = false;
    PyObject_GC_Track(self);
    return Ref::adopt(reinterpret_cast<PyObject*>(self));
}

// ---------------------------------------------------------------------------------------
// The location helpers.

// `attr in obj._attributes`, reading _attributes afresh as each test in ast.py does.
Result<bool> in_attributes(PyObject* obj, PyObject* attr) {
    Ref attributes = Ref::adopt(PyObject_GetAttr(obj, globals().attributes));
    if (!attributes) return fail(take_pending());
    int found = PySequence_Contains(attributes.get(), attr);
    if (found < 0) return fail(take_pending());
    return found == 1;
}

// One node's location attributes, as ast.py's location helpers test, read and write them.
// While the node's class reads them plainly and its dictionary (str keys only) holds no
// _attributes of its own, each step is a dictionary lookup or store that runs no Python
// code; every other step asks the object. `*epoch` counts the steps, over all nodes of a
// call, that may have run Python code: a finding older than the last of them is made anew.
class Located {
public:
    Located(PyObject* node, unsigned* epoch) : node_(node), epoch_(epoch) {}

    /// `name in node._attributes`.
    Result<bool> has(int p) {
        if (plain()) [[likely]]
            return (r_.location_mask >> p) & 1;
        ++*epoch_;
        return in_attributes(node_, globals().location[p]);
    }
    /// getattr(node, name), null when it has none.
    Result<Ref> get(int p) {
        if (plain()) [[likely]] {
            PyObject* v = get_interned(dict_, globals().location[p]);
            if (!v && PyErr_Occurred()) return fail(take_pending());
            return Ref::retain(v ? v : r_.class_value[p]);
        }
        ++*epoch_;
        return get_optional(node_, globals().location[p]);
    }
    /// setattr(node, name, value).
    Status set(int p, PyObject* value) {
        if (plain() && r_.plain_set) [[likely]] {
            // The value replaced is released in the store: only a plain one runs nothing.
            PyObject* old = get_interned(dict_, globals().location[p]);
            if (old && !common_scalar(old)) ++*epoch_;
            if (PyDict_SetItem(dict_, globals().location[p], value) < 0) return fail(take_pending());
            return {};
        }
        ++*epoch_;
        if (PyObject_SetAttr(node_, globals().location[p], value) < 0) return fail(take_pending());
        return {};
    }

private:
    bool plain() {
        if (checked_ == *epoch_ + 1) [[likely]]
            return plain_;
        checked_ = *epoch_ + 1;
        plain_ = false;
        r_ = record(Py_TYPE(node_));
        if (!r_.plain_locations) return false;
        dict_ = instance_dict(node_);
        Py_ssize_t used = 0;
        if (!dict_ || !str_entries(dict_, &used)) return false;
        plain_ = !get_interned(dict_, globals().attributes);
        return plain_;
    }

    PyObject* node_;    // borrowed: the caller holds it
    unsigned* epoch_;
    unsigned checked_ = 0;  // *epoch_ + 1 when plain_ was found; 0: never
    bool plain_ = false;
    ClassRecord r_{};
    PyObject* dict_ = nullptr;  // borrowed, while plain_ holds
};

// Releases `value`; one that is not a plain scalar may run Python code as it goes.
void drop(Ref& value, unsigned* epoch) {
    if (value && !common_scalar(value.get())) ++*epoch;
    value = Ref();
}

// node.<p> = getattr(node, name, 0) + n; with `keep_none`, a None read stays as it is.
Status add_to(Located& node, int p, PyObject* n, bool keep_none, unsigned* epoch) {
    auto value = node.get(p);
    if (!value) return fail(std::move(value.error()));
    PyObject* base = *value ? value->get() : globals().zero;
    if (keep_none && base == Py_None) return {};
    if (!PyLong_CheckExact(base) || !PyLong_CheckExact(n)) ++*epoch;
    Ref sum = Ref::adopt(PyNumber_Add(base, n));
    if (!sum) return fail(take_pending());
    drop(*value, epoch);
    return node.set(p, sum.get());
}

// One node of increment_lineno's loop.
Status increment_one(PyObject* child, PyObject* n, unsigned* epoch) {
    ClassRecord r = record(Py_TYPE(child));
    bool ignore = r.type_ignore;
    if (!ignore) {
        if (!r.plain_class) ++*epoch;
        auto is = is_instance(child, globals().type_ignore, r.plain_class);
        if (!is) return fail(std::move(is.error()));
        ignore = *is;
    }
    Located node(child, epoch);
    if (ignore) return add_to(node, 0, n, false, epoch);
    auto has_line = node.has(0);
    if (!has_line) return fail(std::move(has_line.error()));
    if (*has_line) SPRIG_TRY(add_to(node, 0, n, false, epoch));
    auto has_end = node.has(2);
    if (!has_end) return fail(std::move(has_end.error()));
    // `(end_lineno := getattr(child, "end_lineno", 0)) is not None`
    if (*has_end) SPRIG_TRY(add_to(node, 2, n, true, epoch));
    return {};
}

// The values fix_missing_locations hands down, in the order of ast.py's parameters.
struct Inherited {
    PyObject* value[kLocations];  // owned; by position of globals().location
};

void release(Inherited& v) {
    for (PyObject*& p : v.value) Py_CLEAR(p);
}

struct FixFrame {
    Cursor children;
    Inherited values;
};

// The order in which _fix treats the positions: lineno, end_lineno, col_offset,
// end_col_offset.
constexpr int kFixOrder[kLocations] = {0, 2, 1, 3};

// _fix's tests on one node, updating `v` (owned values) to what it hands down.
Status fix_one(PyObject* node, Inherited& v, unsigned* epoch) {
    Located located(node, epoch);
    for (int p : kFixOrder) {
        auto has = located.has(p);
        if (!has) return fail(std::move(has.error()));
        if (!*has) continue;
        auto current = located.get(p);
        if (!current) return fail(std::move(current.error()));
        bool end = p >= 2;
        // Starts: `hasattr(node, name)`; ends: `getattr(node, name, None) is None`.
        bool missing = end ? (!*current || current->get() == Py_None) : !*current;
        if (missing) {
            SPRIG_TRY(located.set(p, v.value[p]));
            continue;
        }
        drop(*current, epoch);
        auto again = located.get(p);  // `lineno = node.lineno`
        if (!again) return fail(std::move(again.error()));
        if (!*again) {  // gone between the two reads: the plain getattr raises
            *again = Ref::adopt(PyObject_GetAttr(node, globals().location[p]));
            if (!*again) return fail(take_pending());
        }
        Ref old = Ref::adopt(v.value[p]);
        v.value[p] = again->release();
        drop(old, epoch);
    }
    return {};
}

class FixStack : public Grow<FixFrame> {
public:
    ~FixStack() {
        while (!empty()) {
            FixFrame f = pop();
            f.children.clear();
            release(f.values);
        }
    }
};

Status push_fix_frame(FixStack& stack, PyObject* node, const Inherited& from, unsigned* epoch) {
    FixFrame f{};
    for (int p = 0; p < kLocations; ++p) f.values.value[p] = Py_NewRef(from.value[p]);
    Status fixed = fix_one(node, f.values, epoch);
    if (!fixed) {
        release(f.values);
        return fixed;
    }
    f.children = Cursor::over(Ref::retain(node));
    if (!stack.push(f)) {
        f.children.clear();
        release(f.values);
        return fail(no_memory());
    }
    return {};
}

}  // namespace

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
    new (&self->queue) WalkQueue(self->first, kInlineQueue);
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

Result<Ref> ast_copy_location(PyObject* new_node, PyObject* old_node) {
    Ref result = Ref::retain(new_node);
    Ref held = Ref::retain(old_node);  // a __setattr__ may drop every other owner
    unsigned epoch = 0;
    Located old_at(old_node, &epoch), new_at(new_node, &epoch);
    for (int p = 0; p < kLocations; ++p) {
        auto in_old = old_at.has(p);
        if (!in_old) return fail(std::move(in_old.error()));
        if (!*in_old) continue;
        auto in_new = new_at.has(p);
        if (!in_new) return fail(std::move(in_new.error()));
        if (!*in_new) continue;
        auto value = old_at.get(p);
        if (!value) return fail(std::move(value.error()));
        if (*value && value->get() != Py_None) {
            SPRIG_TRY(new_at.set(p, value->get()));
            drop(*value, &epoch);
            continue;
        }
        // `hasattr(old_node, attr) and attr.startswith("end_")`: asked for every position.
        drop(*value, &epoch);
        auto again = old_at.get(p);
        if (!again) return fail(std::move(again.error()));
        bool present = static_cast<bool>(*again);
        drop(*again, &epoch);
        if (present && p >= 2) SPRIG_TRY(new_at.set(p, Py_None));
    }
    return result;
}

Result<Ref> ast_increment_lineno(PyObject* node, PyObject* n) {
    Ref result = Ref::retain(node);
    Ref amount = Ref::retain(n ? n : globals().one);
    PyObject* first[kInlineQueue];
    WalkQueue queue(first, kInlineQueue);
    queue.q.push_unchecked(Py_NewRef(node));
    unsigned epoch = 0;
    Status done;
    for (;;) {
        auto step = walk_step(queue);
        if (!step) {
            done = fail(generator_failure(std::move(step.error())));
            break;
        }
        if (!*step) break;
        ++epoch;  // the walk's step may have run Python code
        done = increment_one(step->get(), amount.get(), &epoch);
        if (!done) break;
    }
    queue.clear();
    if (!done) return fail(std::move(done.error()));
    return result;
}

Result<Ref> ast_fix_missing_locations(PyObject* node) {
    Ref result = Ref::retain(node);
    Inherited start{};
    for (int p = 0; p < kLocations; ++p) start.value[p] = Py_NewRef(p % 2 == 0 ? globals().one : globals().zero);
    FixStack stack;
    unsigned epoch = 0;
    Status pushed = push_fix_frame(stack, node, start, &epoch);
    release(start);
    if (!pushed) return fail(std::move(pushed.error()));
    while (!stack.empty()) {
        FixFrame& top = stack[stack.size() - 1];
        auto child = next_child(top.children);
        if (!child) return fail(generator_failure(std::move(child.error())));
        if (!*child) {
            FixFrame dead = stack.pop();
            dead.children.clear();
            release(dead.values);
            continue;
        }
        // Copied: pushing may move the array that `top` points into. The parent's frame
        // keeps the values until the new frame holds them.
        Inherited from = top.values;
        Status fixed = push_fix_frame(stack, child->get(), from, &epoch);
        if (!fixed) return fail(std::move(fixed.error()));
    }
    return result;
}

}  // namespace sprig
