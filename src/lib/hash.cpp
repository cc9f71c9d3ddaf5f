// The structural hash engine and subtree_hashes / subtree_hash. A run collects the tree into
// a list of owned references, then hashes that list backwards, so every child is hashed
// before its parent, into a map from node address to hash. The tree is only read.
//
// Python code runs inside a run (properties and __getattr__ behind field reads, __repr__
// and __hash__ of leaf values, __eq__ of odd dictionary keys) and may call sprig again or
// change the tree. That is safe because a run owns everything it relies on: a reference to
// every collected node, so no address in the map can be reused; a reference to the node's
// dictionary, to a list being hashed and to a leaf before its repr runs; and the map only
// ever changes through this run's own insertions. A node first met in the hashing pass (a
// field changed between the passes) is hashed by a nested run of its own.
#include "lib/hash.hpp"

#include <bit>
#include <cstdint>
#include <cstdlib>

#include "fields/fields.hpp"
#include "lib/cycles.hpp"
#include "lib/grow.hpp"
#include "lib/instance_dict.hpp"

namespace sprig {

namespace {

constexpr uint64_t kHashMultiplier = 0x9e3779b97f4a7c15ull;

// Every combining step of the hash; no finalisation follows the last one.
[[gnu::always_inline]] inline uint64_t mix(uint64_t h, uint64_t w) {
    return (std::rotl(h, 5) ^ w) * kHashMultiplier;
}

inline uint64_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Map from node address to hash, sized once for every collected entry and never grown: a
// run inserts at most one entry per distinct node, so it is never more than half full.
// Holds no references; the run's node list keeps every key alive.
class HashMemo {
public:
    struct Slot {
        PyObject* key;  // null: empty
        uint64_t hash;
    };

    HashMemo() = default;
    HashMemo(HashMemo&& o) noexcept
        : slots_(std::exchange(o.slots_, nullptr)), mask_(o.mask_), shift_(o.shift_) {}
    HashMemo(const HashMemo&) = delete;
    ~HashMemo() { std::free(slots_); }

    /// Room for `n` entries; false when memory is exhausted.
    [[nodiscard]] bool reserve(size_t n) {
        size_t capacity = 8;
        while (capacity < 2 * n) {
            if (capacity > SIZE_MAX / 2 / sizeof(Slot)) return false;
            capacity *= 2;
        }
        slots_ = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        return slots_ != nullptr;
    }

    /// The slot holding `key`, or the empty slot where it belongs. Valid until the next
    /// insertion, which only the owning run makes.
    [[gnu::always_inline]] Slot* slot(PyObject* key) const {
        size_t i = (address(key) >> 4) * kHashMultiplier >> shift_;
        for (;;) {
            Slot* s = &slots_[i];
            if (s->key == key || !s->key) return s;
            i = (i + 1) & mask_;
        }
    }

    [[gnu::always_inline]] const uint64_t* find(PyObject* key) const {
        Slot* s = slot(key);
        return s->key ? &s->hash : nullptr;
    }

    /// Calls f(key, hash) for each entry in table order until it returns false.
    template <class F>
    bool for_each(F&& f) const {
        for (size_t i = 0; i <= mask_; ++i)
            if (slots_[i].key && !f(slots_[i].key, slots_[i].hash)) return false;
        return true;
    }

private:
    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    int shift_ = 64;
};

// The thread's TypeInfo records for the types a run meets, so that each node costs one
// probe here rather than a lookup in the thread's cache. Direct-mapped; a miss asks the
// thread's cache, which keeps every record for the thread's life.
class TypeCache {
public:
    [[gnu::always_inline]] const TypeInfo* get(PyTypeObject* type) {
        Entry& e = entries_[(address(type) >> 4) * kHashMultiplier >> (64 - kBits)];
        if (e.type == type) [[likely]]
            return e.info;
        return fill(e, type);
    }
    Failure failure;  // why get() returned null

private:
    static constexpr int kBits = 7;
    struct Entry {
        PyTypeObject* type;
        const TypeInfo* info;
    };
    [[gnu::noinline]] const TypeInfo* fill(Entry& e, PyTypeObject* type) {
        auto info = type_info(type);
        if (!info) {
            failure = std::move(info.error());
            return nullptr;
        }
        e = {type, *info};
        return *info;
    }
    Entry entries_[1 << kBits] = {};
};

// One run over one root. A nested run is a separate HashRun on the C stack.
class HashRun {
public:
    explicit HashRun(const AstClasses& classes) : classes_(classes) {}

    Failure failure;  // why build() returned false

    /// Hashes `root` and every node below it into `memo`.
    bool build(PyObject* root, HashMemo& memo) {
        if (!collect(root)) return false;
        if (!memo.reserve(nodes_.size())) return out_of_memory();
        // Backwards over a pre-order list: every child comes before its parent, and a
        // shared node is hashed once, at its last place.
        for (size_t p = nodes_.size(); p-- > 0;) {
            PyObject* node = nodes_[p];
            HashMemo::Slot* slot = memo.slot(node);
            if (slot->key) continue;
            uint64_t h;
            if (!hash_node(node, memo, h)) [[unlikely]]
                return false;
            slot->key = node;  // no insertion happened meanwhile: the slot is still free
            slot->hash = h;
        }
        return true;
    }

private:
    // Every node reachable from `root`, in depth-first pre-order, once per path, into
    // nodes_. Each stack entry carries its depth for the cycle check.
    bool collect(PyObject* root) {
        RefStack stack;
        Grow<uint32_t> depths;
        PathGuard guard;
        if (!stack.push_new(root) || !depths.push(0)) return out_of_memory();
        while (!stack.empty()) {
            uint32_t depth = depths.pop();
            PyObject* node = stack.pop();  // our reference, moved into nodes_ next
            if (!nodes_.push(node)) [[unlikely]] {
                Py_DECREF(node);
                return out_of_memory();
            }
            if (!guard.enter(node, depth)) [[unlikely]] {
                failure = std::move(guard.failure);
                return false;
            }
            const TypeInfo* info = types_.get(Py_TYPE(node));
            if (!info) [[unlikely]]
                return type_failure();
            if (info->fields.empty()) continue;  // nothing to read: skip the call
            size_t before = stack.size();
            if (Status s = push_children(node, classes_, stack); !s) [[unlikely]] {
                failure = std::move(s.error());
                return false;
            }
            size_t added = stack.size() - before;
            if (!depths.reserve_more(added)) [[unlikely]]
                return out_of_memory();
            for (size_t i = 0; i < added; ++i) depths.push_unchecked(depth + 1);
        }
        return true;
    }

    // The type, then each present field's position and contribution, in _fields order.
    bool hash_node(PyObject* node, const HashMemo& memo, uint64_t& out) {
        PyTypeObject* type = Py_TYPE(node);
        const TypeInfo* info = types_.get(type);
        if (!info) [[unlikely]]
            return type_failure();
        const Grow<PyObject*>& fields = info->fields;
        uint64_t h = mix(0, address(type));
        // Held: a property or repr run below may replace the node's __dict__.
        Ref dict = fields.empty() ? Ref() : Ref::retain(instance_dict(node));
        for (size_t i = 0; i < fields.size(); ++i) {
            PyObject* name = fields[i];
            PyObject* value = nullptr;  // borrowed from `dict` or from `owned`
            Ref owned;
            if (dict) {
                // Fetched afresh for every field: Python code run for the previous field
                // may have resized the dictionary. A matching entry is what the lookup
                // by name would find, since keys are unique.
                Py_ssize_t used = 0;
                const UnicodeEntry* entries = str_entries(dict.get(), &used);
                if (entries && static_cast<Py_ssize_t>(i) < used && entries[i].key == name)
                    [[likely]] {
                    value = entries[i].value;
                } else {
                    PyObject* found = nullptr;
                    if (PyDict_GetItemRef(dict.get(), name, &found) < 0) return take_failure();
                    owned = Ref::adopt(found);
                    value = found;
                }
            }
            if (!value) {
                owned = Ref::adopt(PyObject_GetAttr(node, name));
                if (!owned) {
                    Failure f = take_pending();
                    // An absent field adds nothing but keeps its position.
                    if (f.exception &&
                        PyErr_GivenExceptionMatches(f.exception.get(), PyExc_AttributeError))
                        continue;
                    failure = std::move(f);
                    return false;
                }
                value = owned.get();
            }
            uint64_t f;
            if (!field_hash(value, memo, f)) [[unlikely]]
                return false;
            h = mix(mix(h, i), f);
        }
        out = h;
        return true;
    }

    // Lists count only at field level, with their length mixed in first. The length is
    // read afresh for each element: a repr run meanwhile may shrink the list.
    [[gnu::always_inline]] bool field_hash(PyObject* value, const HashMemo& memo,
                                           uint64_t& out) {
        if (Py_TYPE(value) != &PyList_Type) return value_hash(value, memo, out);
        Ref held = Ref::retain(value);  // the field may be replaced while elements hash
        uint64_t g = mix(0, ~static_cast<uint64_t>(PyList_GET_SIZE(value)));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(value); ++j) {
            uint64_t e;
            if (!value_hash(PyList_GET_ITEM(value, j), memo, e)) [[unlikely]]
                return false;
            g = mix(g, e);
        }
        out = g;
        return true;
    }

    // `x` is borrowed; the paths that run Python code take their own reference first.
    [[gnu::always_inline]] bool value_hash(PyObject* x, const HashMemo& memo, uint64_t& out) {
        PyTypeObject* type = Py_TYPE(x);
        if (type == &PyUnicode_Type || type == &PyLong_Type || x == Py_None ||
            type == &PyBool_Type || type == &PyBytes_Type || x == Py_Ellipsis) {
            // These hash without running Python code, and str hashes are cached.
            Py_hash_t s = PyObject_Hash(x);
            if (s == -1 && PyErr_Occurred()) [[unlikely]]
                return take_failure();
            out = mix(address(type), static_cast<uint64_t>(s));
            return true;
        }
        if (is_ast_node(x, classes_)) {
            if (const uint64_t* h = memo.find(x)) [[likely]] {
                out = *h;
                return true;
            }
            return nested_hash(x, out);
        }
        return repr_hash(x, out);
    }

    // Any other leaf enters through its repr, as ast.dump prints it.
    [[gnu::cold, gnu::noinline]] bool repr_hash(PyObject* x, uint64_t& out) {
        Ref held = Ref::retain(x);
        uint64_t type = address(Py_TYPE(x));
        Ref text = Ref::adopt(PyObject_Repr(x));
        if (!text) return take_failure();
        Py_hash_t s = PyObject_Hash(text.get());
        if (s == -1 && PyErr_Occurred()) return take_failure();
        out = mix(type, static_cast<uint64_t>(s));
        return true;
    }

    // A node the collection pass did not see: a field changed between the passes. It gets
    // a run of its own, whose entries stay out of this run's map. Bounded by the recursion
    // limit: a chain of such nodes would otherwise nest without end on the C stack.
    [[gnu::cold, gnu::noinline]] bool nested_hash(PyObject* x, uint64_t& out) {
        Ref held = Ref::retain(x);
        if (Py_EnterRecursiveCall(" while hashing a tree that changed")) return take_failure();
        HashRun inner(classes_);
        HashMemo memo;
        bool built = inner.build(x, memo);
        Py_LeaveRecursiveCall();
        if (!built) {
            failure = std::move(inner.failure);
            return false;
        }
        const uint64_t* h = memo.find(x);
        if (!h) {
            failure = raise(PyExc_RuntimeError, "the tree changed while it was being hashed");
            return false;
        }
        out = *h;
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool take_failure() {
        failure = take_pending();
        return false;
    }

    [[gnu::cold, gnu::noinline]] bool type_failure() {
        failure = std::move(types_.failure);
        return false;
    }

    [[gnu::cold, gnu::noinline]] bool out_of_memory() {
        failure = no_memory();
        return false;
    }

    const AstClasses& classes_;
    RefStack nodes_;  // every collected node, owned until the run ends
    TypeCache types_;
};

// The hashes of `root` and every node below it.
Result<HashMemo> build_hash_memo(PyObject* root) {
    auto classes = get_ast_classes();
    if (!classes) return fail(std::move(classes.error()));
    HashRun run(*classes);
    HashMemo memo;
    if (!run.build(root, memo)) return fail(std::move(run.failure));
    return memo;
}

Result<Ref> signed_int(uint64_t h) {
    PyObject* value = PyLong_FromLongLong(std::bit_cast<int64_t>(h));
    if (!value) return fail(null_object(SPRIG_HERE));
    return Ref::adopt(value);
}

}  // namespace

Result<Ref> subtree_hashes(PyObject* node) {
    Ref held = Ref::retain(node);
    auto memo = build_hash_memo(node);
    if (!memo) return fail(std::move(memo.error()));
    Ref dict = Ref::adopt(PyDict_New());
    if (!dict) return fail(null_object(SPRIG_HERE));
    Failure failure;
    bool filled = memo->for_each([&](PyObject* key, uint64_t h) {
        Ref id = Ref::adopt(PyLong_FromVoidPtr(key));
        if (!id) {
            failure = take_pending();
            return false;
        }
        auto value = signed_int(h);
        if (!value) {
            failure = std::move(value.error());
            return false;
        }
        if (PyDict_SetItem(dict.get(), id.get(), value->get()) < 0) {
            failure = take_pending();
            return false;
        }
        return true;
    });
    if (!filled) return fail(std::move(failure));
    return dict;
}

Result<Ref> subtree_hash(PyObject* node) {
    Ref held = Ref::retain(node);
    auto memo = build_hash_memo(node);
    if (!memo) return fail(std::move(memo.error()));
    const uint64_t* h = memo->find(node);
    if (!h) return fail(raise(PyExc_RuntimeError, "the tree changed while it was being hashed"));
    return signed_int(*h);
}

}  // namespace sprig
