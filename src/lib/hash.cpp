// The structural hash engine and subtree_hashes / subtree_hash.
//
// The general run collects the tree into a list of owned references, then hashes that
// list backwards, so every child is hashed before its parent, into a map from node address
// to hash. Python code can run inside it (properties and __getattr__ behind field reads,
// __repr__ and __hash__ of leaf values, __eq__ of odd dictionary keys, a metaclass behind
// _fields) and may call sprig again or change the tree. It relies only on what it owns: a
// reference to every collected node, so no address in the map can be reused; a reference
// to the node's dictionary, to a list being hashed and to a leaf before its repr runs; and
// a map that only its own insertions change. A node first met in the hashing pass (a field
// changed between the passes) is hashed by a nested run of its own.
//
// Most trees need none of that: every dictionary begins with the node's fields in order
// and every leaf hashes without running Python code. A quick run tries that first, in one
// depth-first pass that hashes each node when its last child is done. It runs no Python
// code and changes nothing, so when it meets anything else it gives up and the general run
// starts from scratch, as if the quick run had never been. When it succeeds, the general
// run would have read the very same values and computed the very same hashes.
#include "lib/hash.hpp"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <iterator>

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

constexpr const char kTreeChanged[] = "the tree changed while it was being hashed";

// A leaf contributes mix(mix(0, address of its exact type), s): its type is scrambled as a
// node's is, so two nearby type addresses cannot cancel a plausible difference in s. The
// word s is Python's hash, except where Python's hash of unequal values is equal by
// construction: an int enters by its value (Python hashes ints modulo 2**61 - 1), and a
// str hash enters with the length in code points (Python hashes a str's storage, so
// '\u203e' in two bytes and '> ' in two one-byte code points hash alike).
inline uint64_t leaf_word(PyTypeObject* type, uint64_t s) {
    return mix(mix(0, address(type)), s);
}

inline uint64_t str_word(PyObject* text, Py_hash_t hash) {
    return mix(static_cast<uint64_t>(PyUnicode_GET_LENGTH(text)),
               static_cast<uint64_t>(hash));
}

// A full-avalanche finalizer. A word enters a wide int's chain through it, not raw: mix
// keeps a difference in the top bit of its word in the top bit alone, and the next
// rotation puts it where the next raw word could cancel it, so n and n ^ (2**63 | 2**68)
// would hash alike.
inline uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

// An int beyond 64 bits: mix(0, NOT n), then fmix64 of each of the n 64-bit words of its
// shortest two's-complement form, least significant first. False when memory runs out.
[[gnu::cold, gnu::noinline]] bool wide_int_word(PyObject* x, uint64_t& out) {
    constexpr int kFlags = Py_ASNATIVEBYTES_LITTLE_ENDIAN;
    // An upper bound, possibly a byte more than the value needs: trimmed below.
    Py_ssize_t bytes = PyLong_AsNativeBytes(x, nullptr, 0, kFlags);
    if (bytes < 0) {  // cannot fail for an exact int; leave nothing pending all the same
        PyErr_Clear();
        return false;
    }
    size_t n = (static_cast<size_t>(bytes) + 7) / 8;
    uint64_t local[32];
    uint64_t* words = local;
    if (n > std::size(local)) {
        words = static_cast<uint64_t*>(std::malloc(n * sizeof(uint64_t)));
        if (!words) return false;
    }
    PyLong_AsNativeBytes(x, words, static_cast<Py_ssize_t>(n * sizeof(uint64_t)), kFlags);
    if constexpr (std::endian::native == std::endian::big)
        for (size_t k = 0; k < n; ++k) words[k] = std::byteswap(words[k]);
    // A top word that only repeats the sign of the word below adds nothing.
    while (n > 2 && words[n - 1] == static_cast<uint64_t>(
                                        static_cast<int64_t>(words[n - 2]) >> 63))
        --n;
    uint64_t g = mix(0, ~static_cast<uint64_t>(n));
    for (size_t k = 0; k < n; ++k) g = mix(g, fmix64(words[k]));
    if (words != local) std::free(words);
    out = g;
    return true;
}

// The value word of an exact int: the value itself when it fits in 64 signed bits.
[[gnu::always_inline]] inline bool int_word(PyObject* x, uint64_t& out) {
    auto* v = reinterpret_cast<PyLongObject*>(x);
    if (PyUnstable_Long_IsCompact(v)) [[likely]] {
        out = static_cast<uint64_t>(static_cast<int64_t>(PyUnstable_Long_CompactValue(v)));
        return true;
    }
    int64_t value;
    if (PyLong_AsNativeBytes(x, &value, sizeof value, Py_ASNATIVEBYTES_NATIVE_ENDIAN) <=
        static_cast<Py_ssize_t>(sizeof value)) {
        out = static_cast<uint64_t>(value);
        return true;
    }
    return wide_int_word(x, out);
}

enum class Leaf {
    plain,   // hashed, and no Python code ran
    other,   // not one of the plain kinds: hash its repr
    failed,  // a plain kind, but memory ran out (a very wide int)
};

// The contribution of a leaf whose hash runs no Python code: None, Ellipsis and exact str,
// bytes, bool and int. A str keeps its hash once made.
[[gnu::always_inline]] inline Leaf plain_leaf_hash(PyObject* x, uint64_t& out) {
    PyTypeObject* type = Py_TYPE(x);
    uint64_t s;
    if (type == &PyUnicode_Type) {
        Py_hash_t h = reinterpret_cast<PyASCIIObject*>(x)->hash;
        s = str_word(x, h != -1 ? h : PyObject_Hash(x));  // cannot fail for a str
    } else if (type == &PyLong_Type) {
        if (!int_word(x, s)) return Leaf::failed;
    } else if (x == Py_None || type == &PyBool_Type || type == &PyBytes_Type ||
               x == Py_Ellipsis) {
        s = static_cast<uint64_t>(PyObject_Hash(x));  // cannot fail for these
    } else {
        return Leaf::other;
    }
    out = leaf_word(type, s);
    return Leaf::plain;
}

// Any other leaf enters through its repr, as ast.dump prints it. `x` must be kept alive by
// the caller while its repr runs. The repr may be a str subclass with a hash of its own.
bool repr_leaf_hash(PyObject* x, uint64_t& out) {
    Ref text = Ref::adopt(PyObject_Repr(x));
    if (!text) return false;
    Py_hash_t s = PyObject_Hash(text.get());
    if (s == -1 && PyErr_Occurred()) return false;
    out = leaf_word(Py_TYPE(x), str_word(text.get(), s));
    return true;
}

// Map from node address to hash, sized once for every entry it may get and never grown, so
// it stays at most two thirds full. Holds no references.
class HashMemo {
public:
    struct Slot {
        PyObject* key;  // null: empty
        uint64_t hash;
    };

    HashMemo() = default;
    HashMemo(HashMemo&& o) noexcept
        : slots_(std::exchange(o.slots_, nullptr)),
          capacity_(o.capacity_),
          size_(o.size_) {}
    HashMemo& operator=(HashMemo&& o) noexcept {
        std::swap(slots_, o.slots_);
        std::swap(capacity_, o.capacity_);
        std::swap(size_, o.size_);
        return *this;
    }
    HashMemo(const HashMemo&) = delete;
    HashMemo& operator=(const HashMemo&) = delete;
    ~HashMemo() { std::free(slots_); }

    /// Room for `n` entries; false when memory is exhausted.
    [[nodiscard]] bool reserve(size_t n) {
        if (n > SIZE_MAX / sizeof(Slot) / 2) return false;
        size_t capacity = n + n / 2 + 1;  // any size: the home slot is scaled, not masked
        auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
        if (!slots) return false;
        std::free(slots_);
        slots_ = slots;
        capacity_ = capacity;
        return true;
    }

    /// The slot holding `key`, or the empty slot where it belongs: valid until the next
    /// insertion.
    [[gnu::always_inline]] Slot* slot(PyObject* key) const {
        uint64_t h = (address(key) >> 4) * kHashMultiplier;
        auto i = static_cast<size_t>(static_cast<unsigned __int128>(h) * capacity_ >> 64);
        for (;;) {
            Slot* s = &slots_[i];
            if (s->key == key || !s->key) return s;
            if (++i == capacity_) i = 0;
        }
    }

    [[gnu::always_inline]] const uint64_t* find(PyObject* key) const {
        Slot* s = slot(key);
        return s->key ? &s->hash : nullptr;
    }

    /// Fills the empty slot that slot(key) returned.
    void fill(Slot* s, PyObject* key, uint64_t hash) {
        *s = {key, hash};
        ++size_;
    }

    size_t size() const { return size_; }

    /// Calls f(key, hash) for each entry in table order until it returns false.
    template <class F>
    bool for_each(F&& f) const {
        for (size_t i = 0; i < capacity_; ++i)
            if (slots_[i].key && !f(slots_[i].key, slots_[i].hash)) return false;
        return true;
    }

private:
    Slot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
};

// ---- the quick run ----------------------------------------------------------------------

// A node being hashed by the quick run, with where its reading stopped for a child.
struct Frame {
    PyObject* node;                // borrowed: no Python code runs in a quick run
    const UnicodeEntry* entries;   // its fields, in place
    uint64_t h;                    // its hash so far
    uint64_t g;                    // the hash so far of the list being read
    uint32_t k;                    // its number of fields
    uint32_t i;                    // the field being read
    Py_ssize_t j;                  // the list element being read, or -1
};

// A node and its hash, as the quick run finishes them.
struct Hashed {
    PyObject* node;  // borrowed
    uint64_t hash;
};

// One depth-first pass that hashes each node once its children are hashed, reading fields
// in place. False means "take the general run": a type this thread has no record of yet, a
// dictionary that must be read by name, a leaf whose hash or repr might run Python code, a
// cycle, or memory running out. It takes no reference and leaves no trace.
class QuickRun {
public:
    QuickRun(const AstClasses& classes, KnownTypes known)
        : classes_(classes),
          known_(known),
          none_hash_(leaf_word(Py_TYPE(Py_None),
                               static_cast<uint64_t>(PyObject_Hash(Py_None)))) {}

    /// The hash of `root`; every node with its hash into `hashed` when it is not null (a
    /// node met along several paths is listed once per path).
    bool run(PyObject* root, Grow<Hashed>* hashed, uint64_t& out) {
        hashed_ = hashed;
        // The node being read stays in `cur`, out of memory; frames_ holds its ancestors,
        // each stopped at the child that leads to it.
        Frame cur;
        uint64_t h;
        switch (open(root, 0, h, cur)) {
            case Opened::no: return false;
            case Opened::hashed: out = h; return true;
            case Opened::frame: break;
        }
        for (;;) {
            PyObject* child = nullptr;
            while (cur.i < cur.k) {
                PyObject* value = cur.entries[cur.i].value;
                uint64_t c;
                if (Py_TYPE(value) == &PyList_Type) {
                    Py_ssize_t n = PyList_GET_SIZE(value);
                    PyObject** items = reinterpret_cast<PyListObject*>(value)->ob_item;
                    if (cur.j < 0) {
                        cur.g = mix(0, ~static_cast<uint64_t>(n));
                        cur.j = 0;
                    }
                    for (; cur.j < n; ++cur.j) {
                        Kind kind = classify(items[cur.j], c);
                        if (kind != Kind::leaf) {
                            if (kind == Kind::other) return false;
                            child = items[cur.j];
                            break;
                        }
                        cur.g = mix(cur.g, c);
                    }
                    if (child) break;
                    c = cur.g;
                    cur.j = -1;
                } else if (Kind kind = classify(value, c); kind != Kind::leaf) {
                    if (kind == Kind::other) return false;
                    child = value;
                    break;
                }
                cur.h = mix(mix(cur.h, cur.i), c);
                ++cur.i;
            }
            if (child) {
                Frame next;
                switch (open(child, static_cast<uint32_t>(frames_.size() + 1), h, next)) {
                    case Opened::no: return false;
                    case Opened::hashed: took(cur, h); continue;
                    case Opened::frame: break;
                }
                if (!frames_.push(cur)) return false;
                cur = next;
                continue;
            }
            h = cur.h;  // every field read: `cur` is hashed
            if (!record(cur.node, h)) return false;
            if (frames_.empty()) {
                out = h;
                return true;
            }
            cur = frames_.pop();
            took(cur, h);
        }
    }

private:
    enum class Opened { no, hashed, frame };
    enum class Kind { leaf, node, other };

    // Starts on `node` at `depth`: hashed at once when its type has no fields, else `f` is
    // its frame.
    [[gnu::always_inline]] Opened open(PyObject* node, uint32_t depth, uint64_t& h,
                                       Frame& f) {
        PyTypeObject* type = Py_TYPE(node);
        const TypeInfo* info = known_.find(type);
        if (!info) [[unlikely]]
            return Opened::no;
        h = mix(0, address(type));
        size_t k = info->fields.size();
        if (k == 0) return record(node, h) ? Opened::hashed : Opened::no;
        const UnicodeEntry* entries = fields_in_place(node, *info);
        if (!entries || k > UINT32_MAX || !guard_.enter(node, depth)) [[unlikely]]
            return Opened::no;
        f = {node, entries, h, 0, static_cast<uint32_t>(k), 0, -1};
        return Opened::frame;
    }

    // Hands the hash of the child that `f` stopped at to `f`.
    [[gnu::always_inline]] static void took(Frame& f, uint64_t c) {
        if (f.j >= 0) {
            f.g = mix(f.g, c);
            ++f.j;
        } else {
            f.h = mix(mix(f.h, f.i), c);
            ++f.i;
        }
    }

    // A node, or a leaf with its contribution when hashing it runs no Python code.
    [[gnu::always_inline]] Kind classify(PyObject* x, uint64_t& out) {
        if (x == Py_None) {
            out = none_hash_;
            return Kind::leaf;
        }
        PyTypeObject* type = Py_TYPE(x);
        if (type->tp_base != &PyBaseObject_Type) {  // the common leaves derive from object
            if (is_ast_node(x, classes_)) return Kind::node;
            // bool
            return plain_leaf_hash(x, out) == Leaf::plain ? Kind::leaf : Kind::other;
        }
        if (Leaf leaf = plain_leaf_hash(x, out); leaf != Leaf::other)
            return leaf == Leaf::plain ? Kind::leaf : Kind::other;
        // Their reprs are made by C code alone; a failed one (out of memory) gives up.
        if (type == &PyFloat_Type || type == &PyComplex_Type)
            return repr_leaf_hash(x, out) ? Kind::leaf : (PyErr_Clear(), Kind::other);
        return Kind::other;
    }

    bool record(PyObject* node, uint64_t h) { return !hashed_ || hashed_->push({node, h}); }

    const AstClasses& classes_;
    KnownTypes known_;
    const uint64_t none_hash_;  // the contribution of None, the commonest leaf
    Grow<Frame> frames_;        // the ancestors of the node being read
    PathGuard guard_;
    Grow<Hashed>* hashed_ = nullptr;
};

// ---- the general run --------------------------------------------------------------------

// A node still to be collected, with its depth below the root.
struct Pending {
    PyObject* node;  // owned
    uint32_t depth;
};

// One run over one root. A nested run is a separate HashRun on the C stack.
class HashRun {
public:
    HashRun(const AstClasses& classes, KnownTypes known)
        : classes_(classes), known_(known) {}

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
            if (!hash_node(node, memo, h)) return false;
            memo.fill(slot, node, h);  // only this run inserts: the slot is still free
        }
        return true;
    }

private:
    // Every node reachable from `root`, in depth-first pre-order, once per path, into
    // nodes_. Each stack entry carries its depth for the cycle check.
    bool collect(PyObject* root) {
        NodeStack<Pending> stack;
        RefStack scratch;  // children read by name, before they join the stack
        PathGuard guard;
        if (!stack.push({root, 0})) return out_of_memory();
        Py_INCREF(root);
        while (!stack.empty()) {
            Pending p = stack.pop();
            if (!nodes_.push(p.node)) {  // takes over the reference
                Py_DECREF(p.node);
                return out_of_memory();
            }
            if (!guard.enter(p.node, p.depth)) {
                failure = std::move(guard.failure);
                return false;
            }
            const TypeInfo* info = info_of(Py_TYPE(p.node));
            if (!info) return false;
            if (info->fields.empty()) continue;
            uint32_t depth = p.depth + 1;
            Status pushed = push_owned_children(
                p.node, *info, classes_, stack, scratch,
                [&](PyObject* child) { return Pending{child, depth}; });
            if (!pushed) {
                failure = std::move(pushed.error());
                return false;
            }
        }
        return true;
    }

    // The thread's record for `type`; null with `failure` set when it cannot be made.
    const TypeInfo* info_of(PyTypeObject* type) {
        if (const TypeInfo* info = known_.find(type)) return info;
        auto info = type_info(type);  // reads _fields and _attributes: may run Python code
        if (!info) {
            failure = std::move(info.error());
            return nullptr;
        }
        ran_ = true;
        return *info;
    }

    // The type, then each present field's position and contribution, in _fields order.
    bool hash_node(PyObject* node, const HashMemo& memo, uint64_t& out) {
        PyTypeObject* type = Py_TYPE(node);
        const TypeInfo* info = info_of(type);
        if (!info) return false;
        PyObject* const* fields = info->fields.data();
        size_t k = info->fields.size();
        uint64_t h = mix(0, address(type));
        // Held: a property or repr run below may replace the node's __dict__.
        Ref dict = Ref::retain(k ? instance_dict(node) : nullptr);
        // A field is read in place when its entry sits at its own position in the table:
        // keys are unique, so that entry is what the lookup by name would find. The table
        // is fetched again after every call that may have run Python code and resized it.
        const UnicodeEntry* entries = nullptr;
        Py_ssize_t used = 0;
        ran_ = true;
        for (size_t i = 0; i < k; ++i) {
            if (ran_) {
                ran_ = false;
                entries = dict ? str_entries(dict.get(), &used) : nullptr;
            }
            uint64_t f;
            auto at = static_cast<Py_ssize_t>(i);
            if (entries && at < used && entries[at].key == fields[i]) {
                if (!field_hash(entries[i].value, memo, f)) return false;
            } else {
                bool present;
                if (!field_by_name(node, dict.get(), fields[i], memo, present, f))
                    return false;
                if (!present) continue;  // absent: adds nothing, but keeps its position
            }
            h = mix(mix(h, i), f);
        }
        out = h;
        return true;
    }

    // The contribution of a field read by name: from the dictionary, else by attribute.
    // `present` is false when the attribute read raised AttributeError.
    bool field_by_name(PyObject* node, PyObject* dict, PyObject* name, const HashMemo& memo,
                       bool& present, uint64_t& out) {
        ran_ = true;
        Ref value;
        if (dict) {
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(dict, name, &found) < 0) return take_failure();
            value = Ref::adopt(found);
        }
        if (!value) value = Ref::adopt(PyObject_GetAttr(node, name));
        if (!value) {
            Failure f = take_pending();
            if (!f.exception ||
                !PyErr_GivenExceptionMatches(f.exception.get(), PyExc_AttributeError)) {
                failure = std::move(f);
                return false;
            }
            present = false;
            return true;
        }
        present = true;
        return field_hash(value.get(), memo, out);
    }

    // Lists count only at field level, with their length mixed in first. The length is
    // read afresh for each element: a repr run meanwhile may shrink the list.
    bool field_hash(PyObject* value, const HashMemo& memo, uint64_t& out) {
        if (Py_TYPE(value) != &PyList_Type) return value_hash(value, memo, out);
        Ref held = Ref::retain(value);  // the field may be replaced while elements hash
        uint64_t g = mix(0, ~static_cast<uint64_t>(PyList_GET_SIZE(value)));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(value); ++j) {
            uint64_t e;
            if (!value_hash(PyList_GET_ITEM(value, j), memo, e)) return false;
            g = mix(g, e);
        }
        out = g;
        return true;
    }

    // `x` is borrowed; the paths that run Python code take their own reference first.
    bool value_hash(PyObject* x, const HashMemo& memo, uint64_t& out) {
        if (is_ast_node(x, classes_)) {
            if (const uint64_t* h = memo.find(x)) {
                out = *h;
                return true;
            }
            return nested_hash(x, out);
        }
        switch (plain_leaf_hash(x, out)) {
            case Leaf::plain: return true;
            case Leaf::failed: return out_of_memory();
            case Leaf::other: break;
        }
        ran_ = true;
        Ref held = Ref::retain(x);
        return repr_leaf_hash(x, out) || take_failure();
    }

    // A node the collection pass did not see: a field changed between the passes. It gets
    // a run of its own, whose entries stay out of this run's map. Bounded by the recursion
    // limit: a chain of such nodes would otherwise nest without end on the C stack.
    bool nested_hash(PyObject* x, uint64_t& out) {
        ran_ = true;
        Ref held = Ref::retain(x);
        if (Py_EnterRecursiveCall(" while hashing a tree that changed"))
            return take_failure();
        HashRun inner(classes_, known_);
        HashMemo memo;
        bool built = inner.build(x, memo);
        Py_LeaveRecursiveCall();
        if (!built) {
            failure = std::move(inner.failure);
            return false;
        }
        const uint64_t* h = memo.find(x);
        if (!h) {
            failure = raise(PyExc_RuntimeError, kTreeChanged);
            return false;
        }
        out = *h;
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool take_failure() {
        failure = take_pending();
        return false;
    }

    [[gnu::cold, gnu::noinline]] bool out_of_memory() {
        failure = no_memory();
        return false;
    }

    const AstClasses& classes_;
    KnownTypes known_;
    bool ran_ = false;  // Python code may have run since hash_node last fetched its table
    RefStack nodes_;    // every collected node, owned until the run ends
};

// ---- entry points -----------------------------------------------------------------------

// The hashes of `root` and every node below it, by the general run.
Result<HashMemo> build_hash_memo(PyObject* root, const NodeReaders& e) {
    HashRun run(e.classes, e.known);
    HashMemo memo;
    if (!run.build(root, memo)) return fail(std::move(run.failure));
    return memo;
}

// The same map from what a quick run hashed; false when the quick run gave up.
bool quick_hash_memo(PyObject* root, const NodeReaders& e, HashMemo& memo) {
    Grow<Hashed> hashed;
    uint64_t h;
    if (!QuickRun(e.classes, e.known).run(root, &hashed, h)) return false;
    if (!memo.reserve(hashed.size())) return false;
    for (size_t i = 0; i < hashed.size(); ++i) {
        HashMemo::Slot* slot = memo.slot(hashed[i].node);
        if (!slot->key) memo.fill(slot, hashed[i].node, hashed[i].hash);
    }
    return true;
}

Result<Ref> signed_int(uint64_t h) {
    PyObject* value = PyLong_FromLongLong(std::bit_cast<int64_t>(h));
    if (!value) return fail(null_object(SPRIG_HERE));
    return Ref::adopt(value);
}

}  // namespace

Result<Ref> subtree_hashes(PyObject* node) {
    Ref held = Ref::retain(node);
    auto e = node_readers();
    if (!e) return fail(std::move(e.error()));
    HashMemo memo;
    if (!quick_hash_memo(node, *e, memo)) {
        auto built = build_hash_memo(node, *e);
        if (!built) return fail(std::move(built.error()));
        memo = std::move(*built);
    }
    // Presized: the entries are known, so the table is made once, not regrown as it fills.
    Ref dict = Ref::adopt(_PyDict_NewPresized(static_cast<Py_ssize_t>(memo.size())));
    if (!dict) return fail(null_object(SPRIG_HERE));
    Failure failure;
    bool filled = memo.for_each([&](PyObject* key, uint64_t h) {
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
    auto e = node_readers();
    if (!e) return fail(std::move(e.error()));
    uint64_t h;
    if (QuickRun(e->classes, e->known).run(node, nullptr, h)) return signed_int(h);
    auto memo = build_hash_memo(node, *e);
    if (!memo) return fail(std::move(memo.error()));
    const uint64_t* found = memo->find(node);
    if (!found) return fail(raise(PyExc_RuntimeError, kTreeChanged));
    return signed_int(*found);
}

}  // namespace sprig
