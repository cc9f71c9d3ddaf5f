// The interpreter's AstClasses pair and the per-thread FieldTable. Python code runs only
// while the table is built (__subclasses__()); entering a class met during a walk runs
// none, since the walk holds borrowed pointers into the tree.
#include "schema/classes.hpp"

#include <cstring>
#include <new>

#include "core/frame.hpp"
#include "core/grow.hpp"
#include "core/names.hpp"
#include "schema/class_version.hpp"
#include "schema/instance_dict.hpp"
#include "core/state.hpp"

namespace sprig {

namespace {

// The thread's table for the running call's interpreter, in its thread caches: made on
// first need, released in that interpreter. `in_use` is the lease.
struct TableHolder {
    FieldTable table;
    bool in_use = false;
    bool building = false;  // Python code its build runs must not find it half made
};

void destroy_table(void* holder) { delete static_cast<TableHolder*>(holder); }

Result<Ref> import_class(PyObject* module, Name attribute) {
    auto name = interned(attribute);
    if (!name) return fail(std::move(name.error()));
    Ref value = Ref::adopt(PyObject_GetAttr(module, *name));
    if (!value) return fail(take_pending());
    if (!PyType_HasFeature(Py_TYPE(value.get()), Py_TPFLAGS_TYPE_SUBCLASS))
        return fail(type_mismatch(value.get(), &PyType_Type));
    return value;
}

// A dictionary value read without running Python code: type dictionaries hold str keys.
PyObject* lookup_in_mro(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) {
        PyObject* dict = type->tp_dict;
        return dict && PyDict_Check(dict) ? find_str_key(dict, name) : nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        PyObject* dict = base->tp_dict;
        if (!dict || !PyDict_Check(dict)) continue;
        if (PyObject* v = find_str_key(dict, name)) return v;
    }
    return nullptr;
}

}  // namespace

Result<AstClasses> get_ast_classes() {
    const State& st = state();
    return AstClasses{st.objects.ast, st.objects.expr};
}

Status make_ast_classes(State& state, PyObject* ast_module) {
    auto ast = import_class(ast_module, Name::AST);
    if (!ast) return fail(std::move(ast.error()));
    auto expr = import_class(ast_module, Name::expr);
    if (!expr) return fail(std::move(expr.error()));
    state.objects.ast = ast->release();
    state.objects.expr = expr->release();
    return {};
}

namespace {

// The names in a class's `_fields` (a tuple or a list), read from the dictionaries along
// its MRO without running Python code: exact interned str, in order; non-str items are
// left out. Appends new references to `out`.
Status read_fields_mro(PyTypeObject* type, RefStack& out) {
    auto fields_name = interned(Name::_fields);
    if (!fields_name) return fail(std::move(fields_name.error()));
    PyObject* fields = lookup_in_mro(type, *fields_name);
    if (!fields || !(PyTuple_Check(fields) || PyList_Check(fields))) return {};
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fields);
    PyObject** items = PySequence_Fast_ITEMS(fields);
    if (!out.reserve_more(static_cast<size_t>(n))) return fail(no_memory());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_Check(items[i])) continue;
        PyObject* name = interned_exact(items[i]);
        if (!name) return fail(take_pending());
        out.push_unchecked(name);
    }
    return {};
}

}  // namespace

namespace {

constexpr FastClass kNoNode{nullptr, 0, 0, 0, false};
// Sparse: about 130 classes in 2048 slots, so that few lookups need a second probe.
constexpr size_t kNodeSlots = 2048;
constexpr size_t kOtherSlots = 16;

// A node entry's names and weak reference share one block: the reference comes first.
void release_names(const FastClass& entry) {
    if (!entry.names) return;
    PyObject** block = const_cast<PyObject**>(entry.names) - 1;
    for (uint32_t i = 0; i < entry.count; ++i) release_cached(entry.names[i]);
    if (block[0]) release_cached(block[0]);
    std::free(block);
}

bool node_alive(PyTypeObject*, const FastClass& entry) { return class_alive(entry.names[-1]); }
bool other_alive(PyTypeObject*, const OtherClass& entry) { return class_alive(entry.watch); }

}  // namespace

FieldTable::~FieldTable() {
    nodes_.for_each([](PyTypeObject*, FastClass& entry) { release_names(entry); });
    others_.for_each([](PyTypeObject*, OtherClass& entry) {
        if (entry.watch) release_cached(entry.watch);
    });
    release_names(untagged_);
}

Status FieldTable::enter_other(PyTypeObject* type, unsigned int version) {
    auto watch = watch_class(type);
    if (!watch) return fail(std::move(watch.error()));
    if (OtherClass* known = others_.find(type)) {
        if (known->watch) release_cached(known->watch);
        *known = {*watch, version, 0};
        return {};
    }
    if (others_.at_limit() &&
        !others_.sweep(other_alive,
                       [](PyTypeObject*, OtherClass& e) {
                           if (e.watch) release_cached(e.watch);
                       },
                       kOtherSlots)) {
        if (*watch) release_cached(*watch);
        return fail(no_memory());
    }
    if (!others_.put(type, {*watch, version, 0})) {
        if (*watch) release_cached(*watch);
        return fail(no_memory());
    }
    return {};
}

Result<const FastClass*> FieldTable::enter(PyTypeObject* type, unsigned int version) {
    auto* ast = reinterpret_cast<PyTypeObject*>(ast_);
    if (type == ast || !PyType_IsSubtype(type, ast)) {
        // Untagged, it is tested again at each meeting: nothing could tell when it changes.
        if (version) SPRIG_TRY(enter_other(type, version));
        return &kNoNode;
    }
    RefStack names;  // releases the names unless the table takes them over
    SPRIG_TRY(read_fields_mro(type, names));
    // Every ast class keeps the dictionary at a fixed offset; without one, nothing is read.
    Py_ssize_t offset = type->tp_dictoffset;
    bool readable = offset > 0 && offset <= static_cast<Py_ssize_t>(UINT32_MAX);
    uint32_t count = readable ? static_cast<uint32_t>(names.size()) : 0;
    // A class read untagged is read again at its next meeting: it needs no watching.
    Ref watch;
    if (version) {
        auto made = watch_class(type);
        if (!made) return fail(std::move(made.error()));
        watch = Ref::adopt(*made);
    }
    auto* block = static_cast<PyObject**>(std::malloc((count + 1) * sizeof(PyObject*)));
    if (!block) return fail(no_memory());
    if (count) std::memcpy(block + 1, names.data(), count * sizeof(PyObject*));
    FastClass entry{block + 1, count, readable ? static_cast<uint32_t>(offset) : 0, version,
                    true};
    if (!version) {
        release_names(untagged_);
        untagged_ = entry;
    } else if (FastClass* known = nodes_.find(type)) {
        release_names(*known);  // the class changed, or died and this one took its address
        *known = entry;
    } else {
        bool room = !nodes_.at_limit() ||
                    nodes_.sweep(node_alive,
                                 [](PyTypeObject*, FastClass& e) { release_names(e); },
                                 kNodeSlots);
        if (!room || !nodes_.put(type, entry)) {
            std::free(block);
            return fail(no_memory());
        }
    }
    block[0] = watch.release();
    if (count) names.clear();  // the table owns them now
    return version ? nodes_.find(type) : &untagged_;
}

Result<const FastClass*> FieldTable::admit(PyTypeObject* type) {
    unsigned int version = class_version(type);
    if (version) {
        const OtherClass* other = others_.find(type);
        if (other && other->version == version) return &kNoNode;
        const FastClass* node = nodes_.find(type);
        if (node && node->version == version) return node;
    }
    PyTypeObject* base = type->tp_base;
    if (!base || base == &PyBaseObject_Type) return &kNoNode;
    return enter(type, version);
}

Status FieldTable::build(const AstClasses& classes) {
    ast_ = classes.ast;
    if (!nodes_.init(kNodeSlots) || !others_.init(kOtherSlots)) return fail(no_memory());
    auto subclasses_name = interned(Name::__subclasses__);
    if (!subclasses_name) return fail(std::move(subclasses_name.error()));
    RefStack stack;
    if (!stack.push_new(classes.ast)) return fail(no_memory());
    while (!stack.empty()) {
        Ref cls = stack.take();
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        // Met before: a class under two ast bases, or a __subclasses__ that leads back.
        if (nodes_.find(type) || others_.find(type)) continue;
        SPRIG_TRY(enter(type, class_version(type)));  // a metaclass's __subclasses__ may list any class at all
        PyObject* self[1] = {cls.get()};
        Ref subclasses = Ref::adopt(PyObject_VectorcallMethod(
            *subclasses_name, self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!subclasses) return fail(take_pending());
        Ref iterator = Ref::adopt(PyObject_GetIter(subclasses.get()));
        if (!iterator) return fail(take_pending());
        for (;;) {
            PyObject* item = nullptr;
            int got = compat::iter_next_item(iterator.get(), &item);
            if (got < 0) return fail(take_pending());
            if (got == 0) break;
            Ref owned = Ref::adopt(item);
            if (!PyType_HasFeature(Py_TYPE(item), Py_TPFLAGS_TYPE_SUBCLASS))
                return fail(type_mismatch(item, &PyType_Type));
            if (!stack.push(owned.release())) return fail(no_memory());
        }
    }
    return {};
}

Result<FieldTableLease> acquire_field_table(const AstClasses& classes) {
    ThreadCaches::Slot& slot = cache_slot(Cache::field_table);
    auto* holder = static_cast<TableHolder*>(slot.data);
    if (holder && holder->building)
        return fail(internal("the field table of this thread is already borrowed by an outer "
                             "call on the same thread",
                             SPRIG_HERE));
    if (holder && holder->in_use) {
        auto* own = new (std::nothrow) FieldTable();
        if (!own) return fail(no_memory());
        if (Status built = own->build(classes); !built) {
            delete own;
            return fail(std::move(built.error()));
        }
        return FieldTableLease(own, nullptr);
    }
    if (!holder) {
        holder = new (std::nothrow) TableHolder();
        if (!holder) return fail(no_memory());
        // Leased while it is built: the build runs Python code, which may call a walk.
        holder->in_use = holder->building = true;
        slot.data = holder;
        slot.destroy = destroy_table;
        if (Status built = holder->table.build(classes); !built) {
            slot.data = nullptr;  // a failed build keeps nothing: the next call builds again
            delete holder;
            return fail(std::move(built.error()));
        }
        holder->building = false;
    }
    holder->in_use = true;
    return FieldTableLease(&holder->table, &holder->in_use);
}

}  // namespace sprig
