// The structural hash engine, shared by subtree_hash(es) and subtree_digest(s): one
// traversal with two ways of combining what it reads (a Scheme), so that both see the same
// tree the same way. Only the Scheme knows what a value is and how parts combine.
//
// The general run collects the tree into a list of owned references, then hashes that
// list backwards, so every child is hashed before its parent, into a map from node address
// to value. Python code can run inside it (properties and __getattr__ behind field reads,
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
// code and changes nothing, so when it meets anything else it gives up and the general
// run starts from scratch, as if the quick run had never been. When it succeeds, the
// general run would have read the very same values and computed the very same values.
// The one exception is the signal handlers that both runs let run every few thousand
// nodes: around them the quick run holds the path it stands on, and gives up unless every
// node on it still has its fields in place where they were.
//
// A Scheme S provides, for one run (each run makes its own):
//   Value                    what a node hashes to; Acc, the state of one node being read
//   open_known(type, info, acc) -> bool     starts a node; runs no Python code; false: the
//                                           quick run gives up
//   open_any(type, info, acc) -> Status     starts a node; may run Python code
//   field(acc, i)            a present field at position i begins (an absent one never does)
//   list_begin(acc, n), list_end(acc, count)   an exact list around its `count` elements
//   leaf(acc, x, in_list) -> Leaf           a leaf that needs no Python code, else `other`
//   repr_leaf(acc, x, in_list) -> Status    any other leaf; may run Python code
//   child(acc, value, in_list)              a child node's value
//   finish(acc, value) -> bool              the node's value; false when memory ran out
#pragma once
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "core/cycles.hpp"
#include "core/signals.hpp"
#include "core/grow.hpp"
#include "schema/fields.hpp"
#include "schema/instance_dict.hpp"

namespace sprig::engine {

constexpr uint64_t kKeyMultiplier = 0x9e3779b97f4a7c15ull;

constexpr const char kTreeChanged[] = "the tree changed while it was being hashed";

enum class Leaf {
    plain,   // taken in, and no Python code ran
    other,   // not one of the kinds taken without Python code: take it by repr_leaf
    failed,  // one of those kinds, but memory ran out (a very wide int)
};

// Map from node address to value, sized once for every entry it may get and never grown,
// so it stays at most two thirds full. Holds no references.
template <class V>
class HashMemo {
public:
    struct Slot {
        PyObject* key;  // null: empty
        V value;
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
        uint64_t h = (reinterpret_cast<uintptr_t>(key) >> 4) * kKeyMultiplier;
        auto i = static_cast<size_t>(static_cast<unsigned __int128>(h) * capacity_ >> 64);
        for (;;) {
            Slot* s = &slots_[i];
            if (s->key == key || !s->key) return s;
            if (++i == capacity_) i = 0;
        }
    }

    [[gnu::always_inline]] const V* find(PyObject* key) const {
        Slot* s = slot(key);
        return s->key ? &s->value : nullptr;
    }

    /// Fills the empty slot that slot(key) returned.
    void fill(Slot* s, PyObject* key, const V& value) {
        *s = {key, value};
        ++size_;
    }

    size_t size() const { return size_; }

    /// Calls f(key, value) for each entry in table order until it returns false.
    template <class F>
    bool for_each(F&& f) const {
        for (size_t i = 0; i < capacity_; ++i)
            if (slots_[i].key && !f(slots_[i].key, slots_[i].value)) return false;
        return true;
    }

private:
    Slot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
};

// ---- the quick run ----------------------------------------------------------------------

// One depth-first pass that hashes each node once its children are hashed, reading fields
// in place. False means "take the general run": a type this thread has no record of yet
// (or whose scheme needs Python code to start it), a dictionary that must be read by name,
// a leaf that needs Python code, a cycle, or memory running out. It takes no reference and
// leaves no trace. A signal handler's exception is no reason to take the general run:
// then run() is false with `interrupted` set.
template <class S>
class QuickRun {
public:
    using Value = typename S::Value;

    Failure failure;  // the handler's exception, with `interrupted`
    bool interrupted = false;

    // A node and its value, as the quick run finishes them.
    struct Done {
        PyObject* node;  // borrowed
        Value value;
    };

    QuickRun(const AstClasses& classes, KnownTypes known) : classes_(classes), known_(known) {}

    /// The value of `root`; every node with its value into `done` when it is not null (a
    /// node met along several paths is listed once per path).
    bool run(PyObject* root, Grow<Done>* done, Value& out) {
        done_ = done;
        // The node being read stays in `cur`, out of memory; frames_ holds its ancestors,
        // each stopped at the child that leads to it.
        Frame cur;
        Value h;
        SignalCheck signals;
        switch (open(root, 0, h, cur)) {
            case Opened::no: return false;
            case Opened::hashed: out = h; return true;
            case Opened::frame: break;
        }
        for (;;) {
            PyObject* child = nullptr;
            while (cur.i < cur.k) {
                PyObject* value = cur.entries[cur.i].value;
                if (Py_TYPE(value) == &PyList_Type) {
                    Py_ssize_t n = PyList_GET_SIZE(value);
                    PyObject** items = reinterpret_cast<PyListObject*>(value)->ob_item;
                    if (cur.j < 0) {
                        s_.field(cur.acc, cur.i);
                        s_.list_begin(cur.acc, n);
                        cur.j = 0;
                    }
                    for (; cur.j < n; ++cur.j) {
                        PyObject* item = items[cur.j];
                        if (is_node(item)) {
                            child = item;
                            break;
                        }
                        if (s_.leaf(cur.acc, item, true) != Leaf::plain) return false;
                    }
                    if (child) break;
                    s_.list_end(cur.acc, static_cast<size_t>(n));
                    cur.j = -1;
                } else {
                    s_.field(cur.acc, cur.i);
                    if (is_node(value)) {
                        child = value;
                        break;
                    }
                    if (s_.leaf(cur.acc, value, false) != Leaf::plain) return false;
                }
                ++cur.i;
            }
            if (child) {
                Frame next;
                switch (open(child, static_cast<uint32_t>(frames_.size() + 1), h, next)) {
                    case Opened::no: return false;
                    case Opened::hashed: took(cur, h); break;
                    case Opened::frame:
                        if (!frames_.push(cur)) return false;
                        cur = next;
                        break;
                }
                if (!signals.tick()) [[unlikely]] {
                    if (!run_signal_handlers(cur.node, cur.entries, cur.k)) return false;
                }
                continue;
            }
            // every field read: `cur` is hashed
            if (!s_.finish(cur.acc, h) || !record(cur.node, h)) return false;
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

    // A node being read, with where its reading stopped for a child.
    struct Frame {
        PyObject* node;               // borrowed: no Python code runs in a quick run
        const UnicodeEntry* entries;  // its fields, in place
        typename S::Acc acc;          // what the scheme has of it so far
        uint32_t k;                   // its number of fields
        uint32_t i;                   // the field being read
        Py_ssize_t j;                 // the list element being read, or -1
    };

    // Starts on `node` at `depth`: hashed at once when its type has no fields, else `f` is
    // its frame.
    [[gnu::always_inline]] Opened open(PyObject* node, uint32_t depth, Value& h, Frame& f) {
        PyTypeObject* type = Py_TYPE(node);
        const TypeInfo* info = known_.find(type);
        if (!info) [[unlikely]]
            return Opened::no;
        if (!s_.open_known(type, *info, f.acc)) [[unlikely]]
            return Opened::no;
        size_t k = info->fields.size();
        if (k == 0)
            return s_.finish(f.acc, h) && record(node, h) ? Opened::hashed : Opened::no;
        const UnicodeEntry* entries = fields_in_place(node, *info);
        if (!entries || k > UINT32_MAX || !guard_.enter(node, depth)) [[unlikely]]
            return Opened::no;
        f.node = node;
        f.entries = entries;
        f.k = static_cast<uint32_t>(k);
        f.i = 0;
        f.j = -1;
        return Opened::frame;
    }

    // Between two fields of `node` (`entries`, `k`: its frame's): the handlers run with the
    // path held, and the run goes on only if every frame's table is still current. The
    // nodes it has finished are addresses only from then on; the tree changed under the
    // call if any of them went away, and the values found are then those of a tree that
    // changed, as with the general run.
    [[gnu::cold, gnu::noinline]] bool run_signal_handlers(PyObject* node,
                                                          const UnicodeEntry* entries,
                                                          uint32_t k) {
        // The path held the last time goes once this one is held.
        size_t stale = held_.size();
        if (!held_.reserve_more(frames_.size() + 1)) return false;
        held_.push_unchecked(Py_NewRef(node));
        for (size_t i = 0; i < frames_.size(); ++i)
            held_.push_unchecked(Py_NewRef(frames_[i].node));
        for (size_t i = 0; i < stale; ++i) Py_DECREF(held_[i]);
        size_t fresh = held_.size() - stale;
        for (size_t i = 0; i < fresh; ++i) held_[i] = held_[stale + i];
        held_.truncate(fresh);
        if (Status s = SignalCheck::handlers(); !s) {
            failure = std::move(s.error());
            interrupted = true;
            return false;
        }
        if (!still_in_place(node, entries, k)) return false;
        for (size_t i = 0; i < frames_.size(); ++i) {
            const Frame& f = frames_[i];
            if (!still_in_place(f.node, f.entries, f.k)) return false;
        }
        return true;
    }
    bool still_in_place(PyObject* node, const UnicodeEntry* entries, uint32_t k) const {
        const TypeInfo* info = known_.find(Py_TYPE(node));
        return info && info->fields.size() == k && fields_in_place(node, *info) == entries;
    }

    // Hands the value of the child that `f` stopped at to `f`.
    [[gnu::always_inline]] void took(Frame& f, const Value& c) {
        if (f.j >= 0) {
            s_.child(f.acc, c, true);
            ++f.j;
        } else {
            s_.child(f.acc, c, false);
            ++f.i;
        }
    }

    // Nodes derive from ast.AST, the common leaves from object; None is the commonest.
    [[gnu::always_inline]] bool is_node(PyObject* x) const {
        return x != Py_None && Py_TYPE(x)->tp_base != &PyBaseObject_Type &&
               is_ast_node(x, classes_);
    }

    bool record(PyObject* node, const Value& h) { return !done_ || done_->push({node, h}); }

    S s_;
    const AstClasses& classes_;
    KnownTypes known_;
    Grow<Frame> frames_;  // the ancestors of the node being read
    PathGuard guard_;
    Grow<Done>* done_ = nullptr;
    RefStack held_;  // the path held around the signal handlers last run
};

// ---- the general run --------------------------------------------------------------------

// A node still to be collected, with its depth below the root.
struct Pending {
    PyObject* node;  // owned
    uint32_t depth;
};

// One run over one root. A nested run is a separate HashRun on the C stack.
template <class S>
class HashRun {
public:
    using Value = typename S::Value;
    using Memo = HashMemo<Value>;

    HashRun(const AstClasses& classes, KnownTypes known) : classes_(classes), known_(known) {}

    Failure failure;  // why build() returned false

    /// Hashes `root` and every node below it into `memo`.
    bool build(PyObject* root, Memo& memo) {
        if (!collect(root)) return false;
        if (!memo.reserve(nodes_.size())) return out_of_memory();
        // Backwards over a pre-order list: every child comes before its parent, and a
        // shared node is hashed once, at its last place.
        SignalCheck signals;
        for (size_t p = nodes_.size(); p-- > 0;) {
            // hash_node reads the node's table afresh: a handler may change it.
            if (!signals.tick() && !handlers()) return false;
            PyObject* node = nodes_[p];
            typename Memo::Slot* slot = memo.slot(node);
            if (slot->key) continue;
            Value h;
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
        SignalCheck signals;
        while (!stack.empty()) {
            if (!signals.tick() && !handlers()) return false;  // every entry is owned
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
    bool hash_node(PyObject* node, const Memo& memo, Value& out) {
        PyTypeObject* type = Py_TYPE(node);
        const TypeInfo* info = info_of(type);
        if (!info) return false;
        typename S::Acc acc;
        if (Status opened = s_.open_any(type, *info, acc); !opened) {
            failure = std::move(opened.error());
            return false;
        }
        PyObject* const* fields = info->fields.data();
        size_t k = info->fields.size();
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
            auto at = static_cast<Py_ssize_t>(i);
            if (entries && at < used && entries[at].key == fields[i]) {
                s_.field(acc, i);
                if (!field_value(entries[i].value, memo, acc)) return false;
            } else {
                Ref value;
                if (!field_by_name(node, dict.get(), fields[i], value)) return false;
                if (!value) continue;  // absent: adds nothing, but keeps its position
                s_.field(acc, i);
                if (!field_value(value.get(), memo, acc)) return false;
            }
        }
        return s_.finish(acc, out) || out_of_memory();
    }

    // A field read by name: from the dictionary, else by attribute. `value` stays null when
    // the attribute read raised AttributeError: the field is absent.
    bool field_by_name(PyObject* node, PyObject* dict, PyObject* name, Ref& value) {
        ran_ = true;
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
        }
        return true;
    }

    // Lists count only at field level. The length is read afresh for each element: a repr
    // run meanwhile may shrink the list.
    bool field_value(PyObject* value, const Memo& memo, typename S::Acc& acc) {
        if (Py_TYPE(value) != &PyList_Type) return value_into(value, memo, acc, false);
        Ref held = Ref::retain(value);  // the field may be replaced while elements hash
        s_.list_begin(acc, PyList_GET_SIZE(value));
        size_t count = 0;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(value); ++j, ++count)
            if (!value_into(PyList_GET_ITEM(value, j), memo, acc, true)) return false;
        s_.list_end(acc, count);
        return true;
    }

    // `x` is borrowed; the paths that run Python code take their own reference first.
    bool value_into(PyObject* x, const Memo& memo, typename S::Acc& acc, bool in_list) {
        if (is_ast_node(x, classes_)) {
            if (const Value* h = memo.find(x)) {
                s_.child(acc, *h, in_list);
                return true;
            }
            Value h;
            if (!nested_hash(x, h)) return false;
            s_.child(acc, h, in_list);
            return true;
        }
        switch (s_.leaf(acc, x, in_list)) {
            case Leaf::plain: return true;
            case Leaf::failed: return out_of_memory();
            case Leaf::other: break;
        }
        ran_ = true;
        Ref held = Ref::retain(x);
        Status taken = s_.repr_leaf(acc, x, in_list);
        if (!taken) failure = std::move(taken.error());
        return bool(taken);
    }

    // A node the collection pass did not see: a field changed between the passes. It gets
    // a run of its own, whose entries stay out of this run's map. Bounded by the recursion
    // limit: a chain of such nodes would otherwise nest without end on the C stack.
    bool nested_hash(PyObject* x, Value& out) {
        ran_ = true;
        Ref held = Ref::retain(x);
        if (Py_EnterRecursiveCall(" while hashing a tree that changed"))
            return take_failure();
        HashRun inner(classes_, known_);
        Memo memo;
        bool built = inner.build(x, memo);
        Py_LeaveRecursiveCall();
        if (!built) {
            failure = std::move(inner.failure);
            return false;
        }
        const Value* h = memo.find(x);
        if (!h) {
            failure = raise(PyExc_RuntimeError, kTreeChanged);
            return false;
        }
        out = *h;
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool handlers() {
        Status s = SignalCheck::handlers();
        if (!s) failure = std::move(s.error());
        return bool(s);
    }

    [[gnu::cold, gnu::noinline]] bool take_failure() {
        failure = take_pending();
        return false;
    }

    [[gnu::cold, gnu::noinline]] bool out_of_memory() {
        failure = no_memory();
        return false;
    }

    S s_;
    const AstClasses& classes_;
    KnownTypes known_;
    bool ran_ = false;  // Python code may have run since hash_node last fetched its table
    RefStack nodes_;    // every collected node, owned until the run ends
};

// ---- entry points -----------------------------------------------------------------------

// The values of `root` and every node below it: by a quick run when it succeeds, else by
// the general run.
template <class S>
Result<HashMemo<typename S::Value>> values_below(PyObject* root, const NodeReaders& e) {
    using Done = typename QuickRun<S>::Done;
    HashMemo<typename S::Value> memo;
    {
        Grow<Done> done;
        typename S::Value h;
        QuickRun<S> quick(e.classes, e.known);
        bool quick_done = quick.run(root, &done, h);
        if (quick.interrupted) return fail(std::move(quick.failure));
        if (quick_done && memo.reserve(done.size())) {
            for (size_t i = 0; i < done.size(); ++i) {
                auto* slot = memo.slot(done[i].node);
                if (!slot->key) memo.fill(slot, done[i].node, done[i].value);
            }
            return memo;
        }
    }
    HashRun<S> run(e.classes, e.known);
    if (!run.build(root, memo)) return fail(std::move(run.failure));
    return memo;
}

/// {id(n): to_int(value)} for every distinct node reached from `node`.
template <class S, class ToInt>
Result<Ref> all_values(PyObject* node, ToInt&& to_int) {
    Ref held = Ref::retain(node);
    auto e = node_readers();
    if (!e) return fail(std::move(e.error()));
    auto memo = values_below<S>(node, *e);
    if (!memo) return fail(std::move(memo.error()));
    // Presized: the entries are known, so the table is made once, not regrown as it fills.
    Ref dict = Ref::adopt(_PyDict_NewPresized(static_cast<Py_ssize_t>(memo->size())));
    if (!dict) return fail(null_object(SPRIG_HERE));
    Failure failure;
    bool filled = memo->for_each([&](PyObject* key, const typename S::Value& h) {
        Ref id = Ref::adopt(PyLong_FromVoidPtr(key));
        if (!id) {
            failure = take_pending();
            return false;
        }
        Result<Ref> value = to_int(h);
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

/// to_int(value) of `node` alone.
template <class S, class ToInt>
Result<Ref> one_value(PyObject* node, ToInt&& to_int) {
    Ref held = Ref::retain(node);
    auto e = node_readers();
    if (!e) return fail(std::move(e.error()));
    typename S::Value h;
    {
        QuickRun<S> quick(e->classes, e->known);
        if (quick.run(node, nullptr, h)) return to_int(h);
        if (quick.interrupted) return fail(std::move(quick.failure));
    }
    HashRun<S> run(e->classes, e->known);
    HashMemo<typename S::Value> memo;
    if (!run.build(node, memo)) return fail(std::move(run.failure));
    const typename S::Value* found = memo.find(node);
    if (!found) return fail(raise(PyExc_RuntimeError, kTreeChanged));
    return to_int(*found);
}

}  // namespace sprig::engine
