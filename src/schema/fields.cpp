// The per-thread TypeInfoCache and the two child-access operations built on it.
//
// Python code can run while a record is built (attribute reads on the type) and while
// children are read (properties, __getattr__, __eq__ of odd dictionary keys). The cache is
// therefore never held across such code: a record is built outside it and inserted after
// a second lookup, and an instance dictionary read by name is held by a reference. One
// whose entries are the fields in order is read in place, which runs no Python code.
#include "schema/fields.hpp"

#include <new>

#include "core/frame.hpp"
#include "core/names.hpp"
#include "core/type_map.hpp"
#include "schema/class_version.hpp"
#include "schema/instance_dict.hpp"

namespace sprig {

namespace {

// The thread's records by type. A record in `current_` has a version; records of classes
// that have no version tag are kept apart in `untagged_`, so that one comparison on a lookup
// in `current_` tells whether the record found is current. A record replaced, or swept out
// with its dead class, goes to `retired_` and lives until the thread's outermost call
// starts: a caller may still point into it. Nothing here keeps a class alive; the records of
// dead classes are swept out before a map grows.
class TypeInfoCache {
public:
    TypeInfoCache() = default;
    TypeInfoCache(const TypeInfoCache&) = delete;
    ~TypeInfoCache() {
        current_.for_each([](PyTypeObject*, TypeInfo* info) { destroy(info); });
        untagged_.for_each([](PyTypeObject*, TypeInfo* info) { destroy(info); });
        free_retired();
    }
    static void destroy(TypeInfo* info) {
        for (size_t i = 0; i < info->fields.size(); ++i) release_cached(info->fields[i]);
        if (info->watch) release_cached(info->watch);
        if (info->class_id_qualname) release_cached(info->class_id_qualname);
        delete info;
    }
    [[nodiscard]] bool init() { return current_.init(kSlots) && untagged_.init(kUntaggedSlots); }
    const TypeMap<TypeInfo*>* map() const { return &current_; }

    // The record of `type` made under `version`, if there is one.
    TypeInfo* find(PyTypeObject* type, unsigned int version) const {
        if (!version) return nullptr;
        TypeInfo* const* found = current_.find(type);
        return found && (*found)->version == version ? *found : nullptr;
    }

    // Takes `built`, just read from `type`, and returns the record to use: `built`, or an
    // equal record that was there before.
    Result<TypeInfo*> store(PyTypeObject* type, TypeInfo* built) {
        TypeMap<TypeInfo*>& map = built->version ? current_ : untagged_;
        TypeInfo** slot = map.find(type);
        if (slot) {
            TypeInfo* old = *slot;
            if (same_record(*old, *built, type)) {
                // Unchanged where it counts: nothing to set aside, and no growth when a
                // class that has no tag is met again and again.
                if (built->version) old->version = built->version;
                destroy(built);
                return old;
            }
            if (!retired_.push(old)) {
                destroy(built);
                return fail(no_memory());
            }
            *slot = built;
            return built;
        }
        if (map.at_limit()) SPRIG_TRY(sweep(map, built->version ? kSlots : kUntaggedSlots));
        if (!map.put(type, built)) {
            destroy(built);
            return fail(no_memory());
        }
        return built;
    }

    // Frees the records set aside; only when no call on the thread can point into them.
    void free_retired() {
        for (size_t i = 0; i < retired_.size(); ++i) destroy(retired_[i]);
        retired_.clear();
    }

private:
    // Sparse: about 130 ast classes in 2048 slots, so that few lookups need a second probe.
    static constexpr size_t kSlots = 2048;
    static constexpr size_t kUntaggedSlots = 16;

    static bool alive(PyTypeObject*, TypeInfo* info) { return class_alive(info->watch); }

    // Whether `old` can stand for `built`: the same live class, with the same names.
    static bool same_record(const TypeInfo& old, const TypeInfo& built, PyTypeObject* type) {
        if (old.location_mask != built.location_mask ||
            old.fields.size() != built.fields.size())
            return false;
        for (size_t i = 0; i < old.fields.size(); ++i)
            if (old.fields[i] != built.fields[i]) return false;
        if (!old.watch) return true;  // a static type: no other class takes its address
        PyObject* target = nullptr;
        int alive = PyWeakref_GetRef(old.watch, &target);
        Ref held = Ref::adopt(target);
        if (alive < 0) PyErr_Clear();
        return target == reinterpret_cast<PyObject*>(type);
    }

    // Moves the records of dead classes to retired_.
    Status sweep(TypeMap<TypeInfo*>& map, size_t min_capacity) {
        size_t dead = 0;
        map.for_each([&](PyTypeObject* t, TypeInfo* info) { dead += !alive(t, info); });
        if (!retired_.reserve_more(dead)) return fail(no_memory());
        bool swept = map.sweep(alive,
                               [&](PyTypeObject*, TypeInfo* info) {
                                   retired_.push_unchecked(info);
                               },
                               min_capacity);
        if (!swept) return fail(no_memory());
        return {};
    }

    TypeMap<TypeInfo*> current_;
    TypeMap<TypeInfo*> untagged_;
    Grow<TypeInfo*> retired_;
};

enum class CellState : uint8_t { unused, alive, destroyed };
thread_local CellState t_cache_state = CellState::unused;
// The live cache, read on every lookup: a plain pointer needs no per-access guard, unlike
// the holder whose destructor must be registered on first use.
thread_local TypeInfoCache* t_cache = nullptr;

struct CacheHolder {
    TypeInfoCache* cache = nullptr;
    ~CacheHolder() {
        t_cache_state = CellState::destroyed;
        t_cache = nullptr;
        delete cache;
    }
};
thread_local CacheHolder t_cache_holder;

Result<TypeInfoCache*> thread_cache() {
    if (t_cache_state == CellState::destroyed)
        return fail(internal("cannot access a Thread Local Storage value during or after "
                             "destruction: the type cache of this thread is gone",
                             SPRIG_HERE));
    t_cache_state = CellState::alive;
    CacheHolder& holder = t_cache_holder;
    if (!holder.cache) {
        auto* cache = new (std::nothrow) TypeInfoCache();
        if (!cache || !cache->init()) {
            delete cache;
            return fail(no_memory());
        }
        holder.cache = cache;
        t_cache = cache;
    }
    return holder.cache;
}

// The str items of `type.<attribute>`, a tuple or a list as ast.iter_child_nodes accepts
// it, interned; anything else reads as empty.
Status read_names(PyTypeObject* type, Name attribute, Grow<PyObject*>& out) {
    auto name = interned(attribute);
    if (!name) return fail(std::move(name.error()));
    Ref value = Ref::adopt(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), *name));
    if (!value) return discard_pending();
    if (!PyTuple_Check(value.get()) && !PyList_Check(value.get())) return {};
    // No Python code runs below, so a list cannot change while it is read.
    Py_ssize_t n = PySequence_Fast_GET_SIZE(value.get());
    PyObject** items = PySequence_Fast_ITEMS(value.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_Check(items[i])) continue;
        PyObject* text = interned_exact(items[i]);
        if (!text) return fail(null_object(SPRIG_HERE));
        if (!out.push(text)) {
            Py_DECREF(text);
            return fail(no_memory());
        }
    }
    return {};
}

// The record of `type` as it is now, under `version`, its version tag before the reads
// (should they change the class, the record is not current the next time it is looked up).
Result<TypeInfo*> build_type_info(PyTypeObject* type, unsigned int version) {
    auto* info = new (std::nothrow) TypeInfo{{}, type, nullptr, version, 0};
    if (!info) return fail(no_memory());
    auto discard = [&](Failure f) {
        for (size_t i = 0; i < info->fields.size(); ++i) Py_DECREF(info->fields[i]);
        Py_XDECREF(info->watch);
        delete info;
        return fail(std::move(f));
    };
    Grow<PyObject*> attributes;
    Status read = read_names(type, Name::_attributes, attributes);
    for (size_t i = 0; i < attributes.size(); ++i) {
        for (int p = 0; p < kLocationCount; ++p) {
            auto location = interned(kLocationNames[p]);
            if (location && attributes[i] == *location) info->location_mask |= 1u << p;
        }
        Py_DECREF(attributes[i]);
    }
    if (!read) return discard(std::move(read.error()));
    if (Status s = read_names(type, Name::_fields, info->fields); !s)
        return discard(std::move(s.error()));
    auto watch = watch_class(type);
    if (!watch) return discard(std::move(watch.error()));
    info->watch = *watch;
    return info;
}

// How each push operation stores a child: the entry it appends for (child, field, index)
// of `node`, and the references that entry owns.
struct NodeEntries {
    using Entry = PyObject*;
    static Entry make(PyObject* child, PyObject*, PyObject*, Py_ssize_t) { return child; }
    static void retain(Entry e) { Py_INCREF(e); }
};
struct RefEntries {
    using Entry = ChildRef;
    static Entry make(PyObject* child, PyObject* node, PyObject* field, Py_ssize_t index) {
        return {child, node, field, index};
    }
    static void retain(const Entry& e) {
        Py_INCREF(e.child);
        Py_INCREF(e.parent);
    }
};

// Appends the children of `node`, arranged so that popping yields them in field order and
// list order. Reading a field by name may run Python code (a property, __getattr__, the
// __eq__ of an odd dictionary key); on failure the entries appended so far stay,
// unreversed, for the caller to drop.
template <class Policy, class Out>
Status push_node_children(PyObject* node, const AstClasses& classes, Out& out) {
    auto info = type_info(Py_TYPE(node));
    if (!info) [[unlikely]]
        return fail(std::move(info.error()));
    const TypeInfo& record = **info;
    size_t k = record.fields.size();
    if (k == 0) return {};
    size_t start = out.size();
    switch (read_in_place(node, record, classes, out,
                          [&](PyObject* child, PyObject* field, Py_ssize_t index) {
                              return Policy::make(child, node, field, index);
                          })) {
        case InPlace::read:
            // No Python code ran, so the entries take their references now that all are in.
            for (size_t i = start; i < out.size(); ++i) Policy::retain(out[i]);
            return {};
        case InPlace::no_memory:
            return fail(no_memory());
        case InPlace::by_name:
            break;
    }

    // Emits the children in one field value, in order. Runs no Python code.
    auto classify = [&](PyObject* value, PyObject* field) -> bool {
        auto emit = [&](PyObject* child, Py_ssize_t index) {
            auto entry = Policy::make(child, node, field, index);
            if (!out.push(entry)) return false;
            Policy::retain(entry);
            return true;
        };
        if (Py_TYPE(value) == &PyList_Type) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(value); ++j) {
                PyObject* item = PyList_GET_ITEM(value, j);
                if (is_ast_node(item, classes) && !emit(item, j)) return false;
            }
            return true;
        }
        return !is_ast_node(value, classes) || emit(value, -1);
    };

    // Held: a property read below may replace the node's __dict__.
    Ref dict = Ref::retain(instance_dict(node));
    for (size_t i = 0; i < k; ++i) {
        PyObject* field = record.fields[i];
        Ref value;
        if (dict) {
            PyObject* found = nullptr;
            int got = PyDict_GetItemRef(dict.get(), field, &found);
            if (got < 0) return fail(take_pending());
            value = Ref::adopt(found);
        }
        if (!value) {
            value = Ref::adopt(PyObject_GetAttr(node, field));
            if (!value) {
                Failure f = take_pending();
                if (f.exception && PyErr_GivenExceptionMatches(f.exception.get(),
                                                               PyExc_AttributeError))
                    continue;
                return fail(std::move(f));
            }
        }
        if (!classify(value.get(), field)) return fail(no_memory());
    }
    out.reverse_from(start);
    return {};
}

}  // namespace

Result<const TypeInfo*> type_info(PyTypeObject* type) {
    if (TypeInfoCache* live = t_cache) [[likely]]
        if (const TypeInfo* found = find_current(live->map()->view(), type)) [[likely]]
            return found;
    auto cache = thread_cache();
    if (!cache) return fail(std::move(cache.error()));
    unsigned int version = class_version(type);
    if (TypeInfo* found = (*cache)->find(type, version)) return found;
    auto built = build_type_info(type, version);  // may run Python code, even re-enter
    if (!built) return fail(std::move(built.error()));
    cache = thread_cache();
    if (!cache) {
        TypeInfoCache::destroy(*built);
        return fail(std::move(cache.error()));
    }
    auto stored = (*cache)->store(type, *built);
    if (!stored) return fail(std::move(stored.error()));
    return *stored;
}

Result<NodeReaders> node_readers() {
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));
    auto known = known_types();
    if (!known) return fail(std::move(known.error()));
    return NodeReaders{*classes, *known};
}

Result<KnownTypes> known_types() {
    auto cache = thread_cache();
    if (!cache) return fail(std::move(cache.error()));
    if (outermost_call()) (*cache)->free_retired();
    return KnownTypes((*cache)->map());
}

Status push_children(PyObject* node, const AstClasses& classes, RefStack& stack) {
    return push_node_children<NodeEntries>(node, classes, stack);
}

Status push_child_refs(PyObject* node, const AstClasses& classes, ChildRefStack& out) {
    return push_node_children<RefEntries>(node, classes, out);
}

}  // namespace sprig
