// The type-filtered walks: frontier (plain and with edges), of_types and the visitor event
// stream. They share one way of expanding a node: its children are read in place from its
// instance dictionary when that holds the fields in order, by name otherwise.
//
// Ownership. Reading a field by name, or making a type's record, may run Python code that
// changes the tree or re-enters sprig; reading the entries in place runs none. So a child
// read in place is pushed borrowed: the tree keeps it alive while no Python code runs.
// Right before anything that may run Python code, every borrowed pointer on the work stack
// and the node being expanded take a reference, and children read by name come with
// references of their own. Results take theirs when they are found, while the node is
// still in the cache, rather than all at the end. A popped entry's references stay in
// `kept_` until the call ends, because entries borrowed from its node afterwards rely on it
// staying alive. Walks over parsed trees thus take references only for what they return.
// The signal handlers, run every few thousand nodes, may run Python code too: so are they.
#include "walks/walk_typed.hpp"

#include "core/cycles.hpp"
#include "core/signals.hpp"
#include "kinds/kinds.hpp"
#include "schema/fields.hpp"

namespace sprig {

namespace {

enum Tag : uint32_t {
    kVisit = 0,  // on the work stack: a node to visit
    kClose = 1,  // on the work stack: the end of a bracketed node's subtree
};
enum Event : uint32_t { kDispatch = 0, kEnter = 1, kLeave = 2 };

// A node on a work stack, a typed-walk result or an event record.
struct NodeEntry {
    PyObject* node;
    uint32_t depth;  // the root is at 0
    uint32_t tag;    // a Tag on the stack, an Event in the records
    static NodeEntry child(PyObject* child, PyObject*, PyObject*, Py_ssize_t,
                           uint32_t depth) {
        return {child, depth, kVisit};
    }
};
void take_refs(const NodeEntry& e) { Py_INCREF(e.node); }
void drop_refs(const NodeEntry& e) { Py_DECREF(e.node); }

// A child with where it was read from: `parent.<field>`, or `parent.<field>[index]`.
struct EdgeEntry {
    PyObject* node;
    PyObject* parent;
    PyObject* field;   // borrowed from the parent type's TypeInfo, kept through the call
    Py_ssize_t index;  // -1, or the position in the field's list counting every element
    uint32_t depth;
    static EdgeEntry child(PyObject* child, PyObject* parent, PyObject* field,
                           Py_ssize_t index, uint32_t depth) {
        return {child, parent, field, index, depth};
    }
};
void take_refs(const EdgeEntry& e) {
    Py_INCREF(e.node);
    Py_INCREF(e.parent);
}
void drop_refs(const EdgeEntry& e) {
    Py_DECREF(e.node);
    Py_DECREF(e.parent);
}

// A Grow whose first `owned_` entries hold references and whose others are borrowed.
template <class T>
class Held : public Grow<T> {
public:
    Held() = default;
    Held(const Held&) = delete;
    ~Held() {
        for (size_t i = 0; i < owned_; ++i) drop_refs((*this)[i]);
    }
    /// Python code may run next: the borrowed entries take references.
    void hold() {
        for (size_t i = owned_; i < this->size(); ++i) take_refs((*this)[i]);
        owned_ = this->size();
    }
    /// Marks the entries pushed since hold() as holding references they came with.
    void all_owned() { owned_ = this->size(); }
    /// Appends `e` with new references, to an array whose entries all hold theirs.
    [[nodiscard]] bool push_owned(const T& e) {
        if (!this->push(e)) [[unlikely]]
            return false;
        take_refs(e);
        owned_ = this->size();
        return true;
    }
    size_t owned() const { return owned_; }
    void set_owned(size_t n) { owned_ = n; }
    /// When every entry holds its references: the caller has taken them over.
    void disown() {
        this->truncate(0);
        owned_ = 0;
    }

private:
    size_t owned_ = 0;
};

// A Held that starts on room for a few results of its own: a call that finds few
// allocates nothing for them.
template <class T>
using HeldResults = Buffered<Held<T>, 32>;

// Reads the children of `node` by name, each with its own reference, onto `stack`.
Status push_by_name(PyObject* node, const AstClasses& classes, uint32_t depth,
                    Held<NodeEntry>& stack) {
    RefStack children;
    SPRIG_TRY(push_children(node, classes, children));
    if (!stack.reserve_more(children.size())) return fail(no_memory());
    for (size_t i = 0; i < children.size(); ++i)
        stack.push_unchecked({children[i], depth, kVisit});
    children.truncate(0);  // the references moved onto the stack
    return {};
}
Status push_by_name(PyObject* node, const AstClasses& classes, uint32_t depth,
                    Held<EdgeEntry>& stack) {
    ChildRefStack children;
    SPRIG_TRY(push_child_refs(node, classes, children));
    if (!stack.reserve_more(children.size())) return fail(no_memory());
    for (size_t i = 0; i < children.size(); ++i) {
        const ChildRef& r = children[i];
        stack.push_unchecked({r.child, r.parent, r.field, r.index, depth});
    }
    children.truncate(0);
    return {};
}

// The state and the node expansion shared by the walks. The loops keep the state they touch
// for every node in a Regs, a local aggregate that the compiler holds in registers: with
// strict aliasing off, the same state kept in members would be read again after every store
// into the stack. Whatever leaves the fast path (Python code may run, the cycle check
// passes a limit) writes the state back first and reads it again after.
template <class Entry>
class TypedWalk {
public:
    explicit TypedWalk(const NodeReaders& r) : classes_(r.classes), known_(r.known) {}

protected:
    struct Regs {
        typename Grow<Entry>::Span stack;
        size_t owned;  // the stack entries below this hold references
        TypeMap<TypeInfo*>::View known;
        PyObject** path;  // the cycle check's ancestors by depth, below `limit`
        uint32_t limit;
        bool node_held;  // the node being expanded is held (the root: by the call)
        SignalCheck signals;
    };

    Regs open() {
        return {stack_.open(), stack_.owned(), known_.view(), guard_.path(), guard_.limit(),
                node_held_, SignalCheck{}};
    }
    // The state again after Python code may have run; the signal count goes on.
    void reopen(Regs& r) {
        SignalCheck signals = r.signals;
        r = open();
        r.signals = signals;
    }
    void close(const Regs& r) {
        stack_.close(r.stack);
        stack_.set_owned(r.owned);
        node_held_ = r.node_held;
    }

    // Runs `loop(regs)`, which returns false with failure_ set when it fails, writing the
    // state back however it ends, so that the destructors release what the stack holds.
    // The loop's steps report failure the same way: a Status per node would be a value
    // in memory, written and read for every node.
    template <class Loop>
    Status with_regs(Loop&& loop) {
        Regs r = open();
        bool ok = loop(r);
        close(r);
        if (!ok) return fail(std::move(failure_));
        return {};
    }

    [[gnu::cold, gnu::noinline]] bool failed(Failure f) {
        failure_ = std::move(f);
        return false;
    }

    [[gnu::always_inline]] bool push(Regs& r, const Entry& e) {
        if (r.stack.size == r.stack.cap) [[unlikely]] {
            auto grown = stack_.regrow(r.stack, r.stack.size + 1);
            if (!grown.data) return false;
            r.stack = grown;
        }
        r.stack.data[r.stack.size++] = e;
        return true;
    }

    // Takes the top entry off the stack; popped() must follow.
    [[gnu::always_inline]] static Entry pop(Regs& r) { return r.stack.data[--r.stack.size]; }

    // After pop() of `e`: keeps its references, if it holds any, to the end.
    [[gnu::always_inline]] bool popped(Regs& r, const Entry& e) {
        if (r.stack.size) {
            // The next node's dictionary keys start loading while this one is expanded.
            if (PyObject* dict = instance_dict(r.stack.data[r.stack.size - 1].node))
                __builtin_prefetch(dict_keys_address(dict), 0, 3);
        }
        r.node_held = r.stack.size < r.owned;
        if (r.node_held) [[unlikely]] {
            r.owned = r.stack.size;
            if (!keep(e)) return false;
        }
        if (!r.signals.tick()) [[unlikely]] {
            close(r);
            bool ok = run_signal_handlers(e);
            reopen(r);
            return ok;
        }
        return true;
    }

    // Pushes the children of `node`, popped at `depth`, so that they pop in
    // ast.iter_child_nodes order.
    [[gnu::always_inline]] bool expand(Regs& r, PyObject* node, uint32_t depth) {
        const TypeInfo* info = find_current(r.known, Py_TYPE(node));
        if (!info) [[unlikely]] {
            close(r);
            info = make_type_info(node);
            reopen(r);
            if (!info) return false;
        }
        if (info->fields.size() == 0) return true;  // no ancestor of anything: not guarded
        if (depth < r.limit) [[likely]] {
            r.path[depth] = node;
        } else {
            if (!deepen(node, depth)) return false;
            r.path = guard_.path();
            r.limit = guard_.limit();
        }
        uint32_t child_depth = depth + 1;
        auto make = [node, child_depth](PyObject* child, PyObject* field, Py_ssize_t index) {
            return Entry::child(child, node, field, index, child_depth);
        };
        size_t mark = r.stack.size;
        SpanAppender<Entry> top(stack_, r.stack);
        InPlace read = read_into(node, *info, classes_, top, make);
        if (read == InPlace::read) [[likely]]
            return true;
        r.stack.size = mark;
        if (read == InPlace::no_memory) return failed(no_memory());
        close(r);
        bool by_name = expand_by_name(node, depth);
        reopen(r);
        return by_name;
    }

    // Python code may run next: every pointer the walk keeps takes a reference.
    [[gnu::cold]] Status hold_all(PyObject* node) {
        stack_.hold();
        if (!node_held_) {
            if (!kept_.push_new(node)) return fail(no_memory());
            node_held_ = true;
        }
        return {};
    }

    AstClasses classes_;

private:
    // The record of the node's type, made now; null with failure_ set when it cannot be.
    [[gnu::cold, gnu::noinline]] const TypeInfo* make_type_info(PyObject* node) {
        // Making a record reads the type's attributes.
        if (Status held = hold_all(node); !held) {
            failed(std::move(held.error()));
            return nullptr;
        }
        auto made = type_info(Py_TYPE(node));
        if (!made) {
            failed(std::move(made.error()));
            return nullptr;
        }
        return *made;
    }

    // Between two nodes, with `e` popped: the stack and `e` are held first. The references
    // of entries popped before go then, or kept_ would grow with the tree: every entry
    // borrowed from their nodes now holds its own.
    [[gnu::cold, gnu::noinline]] bool run_signal_handlers(const Entry& e) {
        stack_.hold();
        size_t stale = kept_.size();
        if (!kept_.reserve_more(2)) return failed(no_memory());
        kept_.push_unchecked(Py_NewRef(e.node));
        if constexpr (requires { e.parent; }) kept_.push_unchecked(Py_NewRef(e.parent));
        for (size_t i = 0; i < stale; ++i) Py_DECREF(kept_[i]);
        size_t fresh = kept_.size() - stale;
        for (size_t i = 0; i < fresh; ++i) kept_[i] = kept_[stale + i];
        kept_.truncate(fresh);
        node_held_ = true;
        if (Status s = SignalCheck::handlers(); !s) return failed(std::move(s.error()));
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool expand_by_name(PyObject* node, uint32_t depth) {
        Status s = hold_all(node);
        if (s) s = push_by_name(node, classes_, depth + 1, stack_);
        if (!s) return failed(std::move(s.error()));
        stack_.all_owned();
        return true;
    }

    // The path outgrew its limit: the guard checks it for a cycle and makes room. The loop
    // state is not passed: its address must not escape, or it leaves the registers.
    [[gnu::cold, gnu::noinline]] bool deepen(PyObject* node, uint32_t depth) {
        if (!guard_.enter(node, depth)) return failed(std::move(guard_.failure));
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool keep(const Entry& e) {
        if (!kept_.reserve_more(2)) {
            drop_refs(e);
            return failed(no_memory());
        }
        kept_.push_unchecked(e.node);
        if constexpr (requires { e.parent; }) kept_.push_unchecked(e.parent);
        return true;
    }

    // The work stack of a small tree, which then needs no allocation; the heap once it grows.
    Buffered<Held<Entry>, 64> stack_;
    KnownTypes known_;
    PathGuard guard_;
    RefStack kept_;  // references of popped entries, released when the call ends
    bool node_held_ = true;
    Failure failure_;  // why a step of the loop returned false
};

// A list of the entries' nodes, the references moving into it.
Result<Ref> node_list(Held<NodeEntry>& entries) {
    size_t n = entries.size();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list) return fail(take_pending());
    for (size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), entries[i].node);
    entries.disown();
    return Ref::adopt(list);
}

// The first descendants of the root whose exact type is in `kinds`, in pre-order, as
// NodeEntry or, with where each was read from, EdgeEntry. The root itself is expanded
// whatever its type and never reported.
template <class Entry>
class FrontierWalk : public TypedWalk<Entry> {
    using Base = TypedWalk<Entry>;

public:
    using Base::Base;

    Status run(PyObject* root, const KindSet& kinds) {
        return this->with_regs([&](typename Base::Regs& r) {
            if (!this->expand(r, root, 0)) return false;
            while (r.stack.size) {
                Entry e = this->pop(r);
                if (!this->popped(r, e)) return false;
                if (kind_set_contains(kinds, e.node)) {
                    if (!results.push_owned(e)) return this->failed(no_memory());
                    continue;
                }
                if (!this->expand(r, e.node, e.depth)) return false;
            }
            return true;
        });
    }

    HeldResults<Entry> results;
};

// Checks `kinds`, holding it in `*held`, and finds its set.
Status frontier_kinds(PyObject* kinds, Ref* held, CallKindSet& set) {
    auto checked = tuple_argument(kinds, "kinds");
    if (!checked) return fail(std::move(checked.error()));
    *held = std::move(*checked);
    return find_kind_set(kinds, set);
}

// Every node whose exact type is in `kinds`, in pre-order, descending into matches but not
// below a node whose type is in `prune`; the root is always descended.
class TypesWalk : public TypedWalk<NodeEntry> {
public:
    using TypedWalk::TypedWalk;

    Status run(PyObject* root, const KindSet& kinds, const KindSet& prune) {
        // Without a prune set, the loop leaves out its test.
        return prune.size() ? run<true>(root, kinds, prune) : run<false>(root, kinds, prune);
    }

    HeldResults<NodeEntry> results;

private:
    template <bool kPruning>
    Status run(PyObject* root, const KindSet& kinds, const KindSet& prune) {
        return with_regs([&](Regs& r) {
            if (!push(r, {root, 0, kVisit})) return failed(no_memory());
            while (r.stack.size) {
                NodeEntry e = pop(r);
                if (!popped(r, e)) return false;
                if (kind_set_contains(kinds, e.node) && !results.push_owned(e))
                    return failed(no_memory());
                if ((!kPruning || e.depth == 0 || !kind_set_contains(prune, e.node)) &&
                    !expand(r, e.node, e.depth))
                    return false;
            }
            return true;
        });
    }
};

// The visitor event stream. A bracketed node leaves a closing entry below its children on
// the work stack, so that its event 2 follows every event of its subtree.
class EventWalk : public TypedWalk<NodeEntry> {
public:
    using TypedWalk::TypedWalk;

    Status run(PyObject* root, const KindSet& kinds, const KindSet& bracket) {
        return with_regs([&](Regs& r) {
            if (!descend(r, root, 0, bracket)) return false;
            while (r.stack.size) {
                NodeEntry e = pop(r);
                if (!popped(r, e)) return false;
                if (e.tag == kClose || kind_set_contains(kinds, e.node)) {
                    Event event = e.tag == kClose ? kLeave : kDispatch;
                    if (!records_.push_owned({e.node, 0, event})) return failed(no_memory());
                    continue;
                }
                if (!descend(r, e.node, e.depth, bracket)) return false;
            }
            return true;
        });
    }

    // The (event, node) tuples, the node references moving into them.
    Result<Ref> to_list() {
        Ref events[3];
        for (long long e = 0; e < 3; ++e) {
            events[e] = Ref::adopt(PyLong_FromLongLong(e));
            if (!events[e]) return fail(null_object(SPRIG_HERE));
        }
        size_t n = records_.size();
        Ref list = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return fail(take_pending());
        for (size_t i = 0; i < n; ++i) {
            PyObject* pair = PyTuple_New(2);
            if (!pair) {
                Failure f = take_pending();
                for (size_t j = i; j < n; ++j) drop_refs(records_[j]);
                records_.disown();  // the others moved into `list`, which releases them
                return fail(std::move(f));
            }
            PyTuple_SET_ITEM(pair, 0, Py_NewRef(events[records_[i].tag].get()));
            PyTuple_SET_ITEM(pair, 1, records_[i].node);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        records_.disown();
        return list;
    }

private:
    [[gnu::always_inline]] bool descend(Regs& r, PyObject* node, uint32_t depth,
                                        const KindSet& bracket) {
        if (kind_set_contains(bracket, node)) {
            if (!records_.push_owned({node, 0, kEnter})) return failed(no_memory());
            if (!push(r, {node, depth, kClose})) return failed(no_memory());
        }
        return expand(r, node, depth);
    }

    HeldResults<NodeEntry> records_;
};

// The body shared by the two frontier walks; `build` turns the matches into the result.
template <class Entry, class Build>
Result<Ref> frontier(PyObject* node, PyObject* kinds, Build&& build) {
    Ref held = Ref::retain(node);
    Ref held_kinds;
    CallKindSet set;
    SPRIG_TRY(frontier_kinds(kinds, &held_kinds, set));
    auto r = node_readers();
    if (!r) return fail(std::move(r.error()));
    FrontierWalk<Entry> walk(*r);
    SPRIG_TRY(walk.run(node, set.get()));
    return build(walk.results);
}

}  // namespace

Result<Ref> walk_frontier(PyObject* node, PyObject* kinds) {
    return frontier<NodeEntry>(node, kinds, node_list);
}

Result<Ref> walk_frontier_edges(PyObject* node, PyObject* kinds) {
    return frontier<EdgeEntry>(node, kinds, [](Held<EdgeEntry>& results) -> Result<Ref> {
        size_t n = results.size();
        Ref list = Ref::adopt(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return fail(take_pending());
        for (size_t i = 0; i < n; ++i) {
            const EdgeEntry& e = results[i];
            Ref index = Ref::adopt(PyLong_FromSsize_t(e.index));
            PyObject* edge = index ? PyTuple_New(4) : nullptr;
            if (!edge) {
                Failure f = take_pending();
                index = Ref();
                for (size_t j = i; j < n; ++j) drop_refs(results[j]);
                results.disown();  // the others moved into `list`, which releases them
                return fail(std::move(f));
            }
            PyTuple_SET_ITEM(edge, 0, e.node);
            PyTuple_SET_ITEM(edge, 1, e.parent);
            PyTuple_SET_ITEM(edge, 2, Py_NewRef(e.field));
            PyTuple_SET_ITEM(edge, 3, index.release());
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), edge);
        }
        results.disown();
        return list;
    });
}

Result<Ref> walk_of_types(PyObject* node, PyObject* kinds, PyObject* prune) {
    Ref held = Ref::retain(node);
    auto held_kinds = tuple_argument(kinds, "kinds");
    if (!held_kinds) return fail(std::move(held_kinds.error()));
    bool pruning = prune && prune != Py_None;  // omitted and None both mean no pruning
    Ref held_prune;
    if (pruning) {
        auto checked = tuple_argument(prune, "prune");
        if (!checked) return fail(std::move(checked.error()));
        held_prune = std::move(*checked);
    }
    CallKindSet kind_set, prune_set;  // no prune set: an empty one
    SPRIG_TRY(find_kind_set(kinds, kind_set));
    if (pruning) SPRIG_TRY(find_kind_set(prune, prune_set));
    auto r = node_readers();
    if (!r) return fail(std::move(r.error()));
    TypesWalk walk(*r);
    SPRIG_TRY(walk.run(node, kind_set.get(), prune_set.get()));
    return node_list(walk.results);
}

Result<Ref> walk_frontier_events(PyObject* node, PyObject* kinds, PyObject* bracket) {
    Ref held = Ref::retain(node);
    auto held_kinds = tuple_argument(kinds, "kinds");
    if (!held_kinds) return fail(std::move(held_kinds.error()));
    auto held_bracket = tuple_argument(bracket, "bracket");
    if (!held_bracket) return fail(std::move(held_bracket.error()));
    CallKindSet kind_set, bracket_set;
    SPRIG_TRY(find_kind_set(kinds, kind_set));
    SPRIG_TRY(find_kind_set(bracket, bracket_set));
    auto r = node_readers();
    if (!r) return fail(std::move(r.error()));
    EventWalk walk(*r);
    SPRIG_TRY(walk.run(node, kind_set.get(), bracket_set.get()));
    return walk.to_list();
}

}  // namespace sprig
